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
