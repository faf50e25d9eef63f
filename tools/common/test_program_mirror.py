"""The training pairs' patches must be the program's, bit for bit.

pairs.py samples patches with the Python mirror of the program's image
preparation, SIFT and patch sampling (lf_tools.common.program). Here the
program itself runs on a real photograph with eight window models, each
copying one eighth of every patch into its descriptor, so that the program's
whole patches can be compared with the mirror's.

Needs the built program (LF_PROGRAM) and the OpenCV the program is built
against (Debian's python3-opencv, as in .venv-opencv); elsewhere SIFT finds
other keypoints. CTest runs it in .venv-opencv with LF_REQUIRE_MIRROR=1
(scripts/run_mirror_test.sh), where a missing condition fails instead of
skipping; the plain pytest runs of tools/ leave it out.
"""

import os
import pathlib
import subprocess

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROGRAM = pathlib.Path(os.environ.get("LF_PROGRAM", ROOT / "build" / "app" / "compute_features"))
PROGRAM_OPENCV = "4.6.0"
PHOTOGRAPH = "leuvenA.jpg"


def unmet(reason):
    if os.environ.get("LF_REQUIRE_MIRROR") == "1":
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason, allow_module_level=True)


try:
    import cv2
    import tensorflow as tf
except ImportError as error:
    unmet(f"cannot import {error.name}")
if not PROGRAM.is_file():
    unmet(f"program not built at {PROGRAM}")
if cv2.__version__ != PROGRAM_OPENCV:
    unmet(f"OpenCV {cv2.__version__} is not the program's {PROGRAM_OPENCV}")

from lf_tools.common import program as mirror  # noqa: E402
from lf_tools.common.model_contract import (BATCH, DESCRIPTOR_LENGTH, INPUT_NAME,  # noqa: E402
                                            OUTPUT_NAME, PATCH, SERVE_TAG)
from lf_tools.common.results import read_results  # noqa: E402
from lf_tools.common.workspace_writer import DEBIAN_SAMPLES, read_source, write_workspace  # noqa: E402

WINDOWS = PATCH * PATCH // DESCRIPTOR_LENGTH


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
    workspace = program_patches[2]
    image = mirror.load_grey(str(workspace / "raw" / PHOTOGRAPH))
    keypoints = mirror.detect(mirror.make_sift(), image)
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
