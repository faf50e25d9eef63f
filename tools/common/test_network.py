import math
import re

import numpy as np
import pytest

from lf_tools.common.model_contract import DESCRIPTOR_LENGTH, PATCH
from lf_tools.common.network import BN_EPSILON, LAYERS, fold_batch_norm, load_weights, make_weights


def save(path, weights):
    np.savez(path, **{f"layer{index}/{name}": value for index, layer in enumerate(weights, start=1)
                      for name, value in layer.items()})


def test_the_layers_bring_a_patch_down_to_one_descriptor():
    side = PATCH
    for size, _, stride, padding, _ in LAYERS:
        side = math.ceil(side / stride) if padding == "SAME" else side - size + 1
    assert side == 1 and LAYERS[-1][1] == DESCRIPTOR_LENGTH


def test_seeded_weights_are_repeatable_and_fit_the_layers():
    first, again, other = make_weights(0), make_weights(0), make_weights(1)
    assert all(np.array_equal(a["kernel"], b["kernel"]) for a, b in zip(first, again))
    assert not np.array_equal(first[0]["kernel"], other[0]["kernel"])
    assert [layer["kernel"].shape[-1] for layer in first] == [layer[1] for layer in LAYERS]


def narrowed(weights, keep):
    """The weights with each layer but the last cut to `keep` output channels."""
    out, in_channels = [], 1
    for index, layer in enumerate(weights):
        channels = layer["kernel"].shape[-1] if index == len(weights) - 1 else keep
        out.append({"kernel": layer["kernel"][:, :, :in_channels, :channels],
                    "moving_mean": layer["moving_mean"][:channels],
                    "moving_variance": layer["moving_variance"][:channels]})
        in_channels = channels
    return out


def test_a_narrower_network_is_read_back_as_written(tmp_path):
    weights = narrowed(make_weights(0), 16)
    save(tmp_path / "narrow.npz", weights)
    loaded = load_weights(tmp_path / "narrow.npz")
    assert all(np.array_equal(loaded[i][name], weights[i][name])
               for i in range(len(LAYERS)) for name in weights[i])


def without(name):
    def change(weights):
        del weights[2][name]
    return change


def reshaped(index, name, shape):
    def change(weights):
        weights[index][name] = np.zeros(shape, np.float32)
    return change


@pytest.mark.parametrize("change, message", [
    (without("moving_mean"), "no array layer3/moving_mean"),
    (reshaped(0, "kernel", (5, 5, 1, 32)), "layer1/kernel has shape (5, 5, 1, 32), expected (3, 3, 1, 32)"),
    (reshaped(1, "kernel", (3, 3, 16, 32)), "layer2/kernel has shape (3, 3, 16, 32), expected (3, 3, 32, 32)"),
    (reshaped(3, "moving_variance", (63,)), "layer4/moving_variance has shape (63,), expected (64,)"),
    (reshaped(6, "kernel", (8, 8, 128, 64)),
     f"layer7/kernel has shape (8, 8, 128, 64), expected (8, 8, 128, {DESCRIPTOR_LENGTH})"),
])
def test_weights_that_do_not_fit_the_layers_are_refused(tmp_path, change, message):
    weights = make_weights(0)
    change(weights)
    save(tmp_path / "bad.npz", weights)
    with pytest.raises(ValueError, match=re.escape(message)):
        load_weights(tmp_path / "bad.npz")


def test_folding_gives_the_convolution_followed_by_its_batch_normalisation():
    rng = np.random.default_rng(3)
    layer = make_weights(2)[2]
    # Variances near BN_EPSILON, so that leaving it out would show.
    layer["moving_variance"] = rng.uniform(1e-5, 1e-4, layer["moving_variance"].shape).astype(np.float32)
    window = rng.normal(size=layer["kernel"].shape[:3]).astype(np.float64)
    convolved = np.tensordot(window, layer["kernel"], axes=3)
    normalised = (convolved - layer["moving_mean"]) / np.sqrt(layer["moving_variance"] + BN_EPSILON)
    folded = fold_batch_norm([layer])[0]
    assert folded["kernel"].dtype == np.float32 and folded["bias"].dtype == np.float32
    np.testing.assert_allclose(np.tensordot(window, folded["kernel"], axes=3) + folded["bias"],
                               normalised, rtol=1e-5, atol=1e-5)
