"""The TFeat export computes what PyTorch's TFeat computes on the committed reference."""

import numpy as np
import pytest

from lf_tools.training import export_tfeat_model as tfeat


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("tfeat") / "model")
    tfeat.ensure_export(folder)
    return folder


def test_the_export_matches_pytorch_within_the_tolerance(exported):
    assert tfeat.largest_difference(exported, tfeat.DEFAULT_REFERENCE) <= tfeat.TOLERANCE


def channel_last_dense(weights):
    """The dense matrix as if PyTorch had flattened [row, col, channel]."""
    dense = weights["dense"].reshape(64, 8, 8, 128).transpose(1, 2, 0, 3).reshape(4096, 128)
    return dict(weights, dense=dense)


def transposed_kernels(weights):
    """Convolution kernels with rows and columns swapped."""
    return dict(weights, conv1=weights["conv1"].transpose(1, 0, 2, 3), conv2=weights["conv2"].transpose(1, 0, 2, 3))


@pytest.mark.parametrize("mistake", [channel_last_dense, transposed_kernels])
def test_the_reference_catches_a_layout_mistake(tmp_path, mistake):
    weights = mistake(tfeat.load_tfeat(tfeat.DEFAULT_WEIGHTS))
    folder = str(tmp_path / "model")
    tfeat.export(folder, weights, {"test": True})
    assert tfeat.largest_difference(folder, tfeat.DEFAULT_REFERENCE) > 100 * tfeat.TOLERANCE


def test_an_export_is_kept_and_a_foreign_folder_refused(exported, tmp_path):
    assert "already holds" in tfeat.ensure_export(exported)
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError):
        tfeat.ensure_export(str(foreign))
    assert (foreign / "notes.txt").read_text() == "mine"


def test_the_output_keeps_the_contract(exported):
    patches = np.random.default_rng(0).uniform(0, 255, (5, 32, 32)).astype(np.float32)
    descriptors = tfeat.describe(exported, patches)
    assert descriptors.shape == (5, 128) and descriptors.dtype == np.float32
    assert np.all(np.abs(descriptors) <= 1.0)


def summary_rows(tfeat_graf_correct):
    """Rows of one graf pair and one synthetic pair, the trained network ahead of
    TFeat everywhere except, perhaps, graf correct@3."""
    evaluate = pytest.importorskip("lf_tools.training.evaluate")
    quality = {"sift": 0.2, "raw": 0.1, "untrained": 0.15, "trained": 0.5, "tfeat": 0.3}
    rows = []
    for pair in ("graf1 -> graf3", "aero1 synthetic"):
        for descriptor in evaluate.DESCRIPTORS:
            correct = int(4000 * quality[descriptor])
            if pair.startswith("graf") and descriptor == "tfeat":
                correct = tfeat_graf_correct
            rows.append({"pair": pair, "descriptor": descriptor, "mutual": 4000, "ceiling": 4000,
                         "oriented_ceiling": 3000,
                         "mma": {t: quality[descriptor] for t in ("1", "3", "5")},
                         "correct": {"3": correct}})
    return evaluate.summary(rows)


@pytest.mark.parametrize("tfeat_graf_correct, line", [
    (100, "- goal ahead of TFeat on every figure of the summary: met"),
    (3000, "- goal ahead of TFeat on every figure of the summary (not on: graf correct@3): NOT met"),
    (2000, "- goal ahead of TFeat on every figure of the summary (not on: graf correct@3): NOT met"),
])
def test_the_summary_says_where_tfeat_is_not_behind(tfeat_graf_correct, line):
    text = summary_rows(tfeat_graf_correct)
    assert line in text.splitlines()
    assert "| tfeat |" in text
