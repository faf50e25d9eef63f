"""The training pairs' patches must be the program's, bit for bit.

pairs.py samples patches with the Python mirror of the program's image
preparation, SIFT and patch sampling (tools/benchmark/python_peer.py). Here the
program itself runs on a real photograph with eight window models, each
copying one eighth of every patch into its descriptor, so that the program's
whole patches can be compared with the mirror's.

Needs the built program and the OpenCV the program is built against (Debian's
python3-opencv, as in .venv-train); elsewhere SIFT finds other keypoints and
the test is skipped with the reason.
"""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "benchmark"))

cv2 = pytest.importorskip("cv2")
tf = pytest.importorskip("tensorflow")

from common.model_contract import BATCH, DESCRIPTOR_LENGTH, INPUT_NAME, OUTPUT_NAME, PATCH, SERVE_TAG  # noqa: E402
from common.results import read_results  # noqa: E402
from common.workspace_writer import DEBIAN_SAMPLES, read_source, write_workspace  # noqa: E402

PROGRAM = pathlib.Path(os.environ.get("LF_PROGRAM", ROOT / "build" / "app" / "compute_features"))
PROGRAM_OPENCV = "4.6.0"
WINDOWS = PATCH * PATCH // DESCRIPTOR_LENGTH
PHOTOGRAPH = "leuvenA.jpg"

pytestmark = [
    pytest.mark.skipif(not PROGRAM.is_file(), reason=f"program not built at {PROGRAM}"),
    pytest.mark.skipif(cv2.__version__ != PROGRAM_OPENCV,
                       reason=f"OpenCV {cv2.__version__} is not the program's {PROGRAM_OPENCV}"),
]


def export_window_model(folder, window):
    """A SavedModel whose descriptor b is values [window*128, (window+1)*128) of patch b."""
    tf1 = tf.compat.v1
    with tf.Graph().as_default(), tf1.Session() as session:
        patches = tf1.placeholder(tf.float32, [BATCH, PATCH, PATCH, 1], name=INPUT_NAME)
        flat = tf.reshape(patches, [BATCH, PATCH * PATCH])
        tf.identity(flat[:, window * DESCRIPTOR_LENGTH:(window + 1) * DESCRIPTOR_LENGTH], name=OUTPUT_NAME)
        builder = tf1.saved_model.Builder(str(folder))
        builder.add_meta_graph_and_variables(session, [SERVE_TAG])
        builder.save()


@pytest.fixture(scope="module")
def program_patches(tmp_path_factory):
    base = tmp_path_factory.mktemp("mirror")
    workspace = base / "workspace"
    write_workspace(str(workspace), [("photo", PHOTOGRAPH, "")],
                    lambda name: read_source(DEBIAN_SAMPLES, name))
    windows, keypoints = [], None
    for window in range(WINDOWS):
        model = base / f"window{window}"
        export_window_model(model, window)
        run = subprocess.run([str(PROGRAM), str(model), str(workspace)], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        assert run.returncode == 0, run.stdout
        keypoints, descriptors = read_results(str(workspace / "caches" / "matches"), "photo")
        windows.append(np.array(descriptors))
    return keypoints, np.concatenate(windows, axis=1).reshape(-1, PATCH, PATCH), workspace


@pytest.fixture(scope="module")
def mirror_patches(program_patches):
    import python_peer as mirror

    workspace = program_patches[2]
    image = mirror.load_grey(str(workspace / "raw" / PHOTOGRAPH))
    keypoints = mirror.detect(cv2.SIFT_create(-1, 3, 0.01, 10.0, 1.6), image)
    return keypoints, mirror.extract(image, keypoints)


def canonical_order(rows):
    """Sizes descending, ties by x, y, angle: the program's sort does not keep
    the detector's order among keypoints of equal size."""
    return np.lexsort((rows[:, 3], rows[:, 1], rows[:, 0], -rows[:, 2]))


@pytest.fixture(scope="module")
def matched(program_patches, mirror_patches):
    """(program rows, program patches, mirror rows, mirror patches), both in canonical order;
    the mirror's keypoints rounded as the result file prints them."""
    program_rows, patches, _ = program_patches
    keypoints, mirrored = mirror_patches
    mirror_rows = np.array([[float("%g" % v) for v in (k.pt[0], k.pt[1], k.size, k.angle)]
                            for k in keypoints], np.float32)
    p, m = canonical_order(program_rows), canonical_order(mirror_rows)
    return program_rows[p], patches[p], mirror_rows[m], mirrored[m]


def test_same_keypoints(matched):
    program_rows, _, mirror_rows, _ = matched
    assert len(program_rows) == len(mirror_rows) > 500
    np.testing.assert_array_equal(program_rows, mirror_rows)


def test_patches_identical_bit_for_bit(matched):
    _, patches, _, mirrored = matched
    assert patches.shape == mirrored.shape
    differing = np.flatnonzero(np.any(patches.view(np.uint32) != mirrored.view(np.uint32), axis=(1, 2)))
    assert differing.size == 0, f"{differing.size} of {len(patches)} patches differ, first {differing[:5]}"
