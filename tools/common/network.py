"""The default descriptor network: its layers, its weights (seeded, or read from
an .npz) and its inference graph. The export (tools/demo/export_default_model.py)
and the training (tools/training/train.py) both build it from here.

Seven convolutions with batch normalisation (inference form, no scale or
offset), ReLU after all but the last, two stride-2 steps PATCH -> PATCH/2 ->
PATCH/4, an 8x8 'VALID' convolution down to DESCRIPTOR_LENGTH values per patch,
then L2 normalisation. Patches are standardised inside the graph.

TensorFlow is imported by build_graph alone.
"""

import numpy as np

from .model_contract import BATCH, DESCRIPTOR_LENGTH, INPUT_NAME, OUTPUT_NAME, PATCH

BN_EPSILON = 1e-5
WEIGHT_NAMES = ("kernel", "moving_mean", "moving_variance")

# (kernel size, output channels, stride, padding, ReLU after batch norm)
LAYERS = [
    (3, 32, 1, "SAME", True),
    (3, 32, 1, "SAME", True),
    (3, 64, 2, "SAME", True),
    (3, 64, 1, "SAME", True),
    (3, 128, 2, "SAME", True),
    (3, 128, 1, "SAME", True),
    (8, DESCRIPTOR_LENGTH, 1, "VALID", False),
]


def make_weights(seed):
    """Seeded numpy arrays for every layer: conv kernel and BN statistics."""
    rng = np.random.default_rng(seed)
    weights = []
    in_channels = 1
    for size, out_channels, _, _, _ in LAYERS:
        fan_in = size * size * in_channels
        kernel = rng.normal(0.0, np.sqrt(2.0 / fan_in),
                            (size, size, in_channels, out_channels))
        # Plausible running statistics: near-zero means, variances around 1.
        mean = rng.normal(0.0, 0.05, out_channels)
        variance = rng.uniform(0.8, 1.2, out_channels)
        weights.append({name: value.astype(np.float32) for name, value in
                        (("kernel", kernel), ("moving_mean", mean), ("moving_variance", variance))})
        in_channels = out_channels
    return weights


def load_weights(path):
    """Per-layer arrays from an .npz holding layerN/kernel, layerN/moving_mean and
    layerN/moving_variance (N from 1). Kernel sizes must be those of LAYERS; the
    channel counts may be narrower (a thinner network trains faster), but each
    layer must take the previous one's and the last must give DESCRIPTOR_LENGTH."""
    weights = []
    with np.load(path) as data:
        in_channels = 1
        for index, (size, out_channels, _, _, _) in enumerate(LAYERS, start=1):
            layer = {}
            for name in WEIGHT_NAMES:
                key = f"layer{index}/{name}"
                if key not in data.files:
                    raise ValueError(f"{path}: no array {key}")
                layer[name] = data[key].astype(np.float32)
            channels = layer["kernel"].shape[-1]
            if index == len(LAYERS):
                channels = out_channels
            expected = {"kernel": (size, size, in_channels, channels),
                        "moving_mean": (channels,), "moving_variance": (channels,)}
            for name in WEIGHT_NAMES:
                if layer[name].shape != expected[name]:
                    raise ValueError(f"{path}: layer{index}/{name} has shape {layer[name].shape}, "
                                     f"expected {expected[name]}")
            weights.append(layer)
            in_channels = channels
    return weights


def build_graph(channels=None, folded=False):
    """Build the network in the default graph; returns (input, output, variables).
    `channels`: each layer's output channels (default: those of LAYERS).
    `folded`: each layer has a kernel and a bias (see fold_batch_norm) instead
    of a kernel and batch-normalisation statistics."""
    import tensorflow as tf

    tf1 = tf.compat.v1

    def variable(name, shape):
        # Zero-filled initialisers keep the big arrays out of the GraphDef; the real
        # values are fed to the initialisers once and then live in the checkpoint.
        return tf1.Variable(tf.zeros(shape, name=name + "_zeros"), name=name)

    channels = channels or [layer[1] for layer in LAYERS]
    patches = tf1.placeholder(tf.float32, [BATCH, PATCH, PATCH, 1], name=INPUT_NAME)

    with tf.name_scope("input_norm"):
        mean, variance = tf.nn.moments(patches, axes=[1, 2, 3], keepdims=True, name="moments")
        x = tf.math.divide(patches - mean, tf.sqrt(variance) + 1e-7, name="standardised")

    variables = []
    in_channels = 1
    for index, ((size, _, stride, padding, relu), out_channels) in enumerate(zip(LAYERS, channels),
                                                                              start=1):
        with tf.name_scope(f"layer{index}"):
            kernel = variable("kernel", [size, size, in_channels, out_channels])
            x = tf.nn.conv2d(x, kernel, strides=[1, stride, stride, 1], padding=padding, name="conv")
            if folded:
                bias = variable("bias", [out_channels])
                variables.append({"kernel": kernel, "bias": bias})
                x = tf.nn.bias_add(x, bias, name="bias")
            else:
                moving_mean = variable("moving_mean", [out_channels])
                moving_variance = variable("moving_variance", [out_channels])
                variables.append({"kernel": kernel, "moving_mean": moving_mean,
                                  "moving_variance": moving_variance})
                x = tf.nn.batch_normalization(x, moving_mean, moving_variance, offset=None,
                                              scale=None, variance_epsilon=BN_EPSILON,
                                              name="batch_norm")
            if relu:
                x = tf.nn.relu(x, name="relu")
        in_channels = out_channels

    flat = tf.reshape(x, [BATCH, LAYERS[-1][1]], name="flatten")
    normalised = tf.math.l2_normalize(flat, axis=1, name="l2_normalize")
    output = tf.identity(normalised, name=OUTPUT_NAME)
    return patches, output, variables


def fold_batch_norm(weights):
    """Per-layer {"kernel", "bias"} equal to each convolution followed by its
    batch normalisation, in float32 as TensorFlow computes the latter."""
    folded = []
    for layer in weights:
        variance = np.asarray(layer["moving_variance"], np.float32)
        scale = (np.float32(1) / np.sqrt(variance + np.float32(BN_EPSILON))).astype(np.float32)
        kernel = (np.asarray(layer["kernel"], np.float32) * scale).astype(np.float32)
        bias = (-np.asarray(layer["moving_mean"], np.float32) * scale).astype(np.float32)
        folded.append({"kernel": kernel, "bias": bias})
    return folded
