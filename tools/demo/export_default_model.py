#!/usr/bin/env python3
"""Export the default descriptor network as a TensorFlow SavedModel.

By default the weights are the trained ones committed in
tools/training/weights/default.npz (how they were made: tools/training/RECORD.md).
With --untrained the weights are random instead (He-normal from a seeded
generator): deterministic, well-formed descriptors that carry no learned
invariance, kept as the baseline of the quality table.

Any SavedModel can replace it if it has:
  * a meta graph tagged "serve";
  * a float32 placeholder named "local_model_inputs" of shape
    [1024, 32, 32, 1] (1024 single-channel 32x32 patches, [b, row, col, 0]);
  * an op named "StatefulPartitionedCall_1" whose output 0 is float32
    [1024, 128], row b being the descriptor of patch b.

The architecture is the usual compact patch-descriptor CNN: seven
convolutions with batch normalisation (inference form), ReLU after all but
the last, two stride-2 steps 32 -> 16 -> 8, an 8x8 'VALID' convolution down
to 128 values per patch, then L2 normalisation. Patches are standardised
inside the graph, so callers may feed raw 0..255 or 0..1 intensities.

The batch normalisation is folded into the convolutions at export: each
kernel is scaled by 1/sqrt(moving_variance + eps) per output channel and
followed by a bias of -moving_mean/sqrt(moving_variance + eps), which
TensorFlow runs as one fused convolution (about 1e-6 from the unfolded graph).
--unfolded exports the graph with separate batch-normalisation ops.

Usage: export_default_model.py OUTDIR [--weights NPZ | --untrained [--seed N]] [--unfolded] [--time RUNS]
"""

import argparse
import hashlib
import json
import os
import pathlib
import sys
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from lf_tools.common.folders import replace_folder  # noqa: E402
from lf_tools.common.model_contract import (BATCH, INPUT_NAME, OUTPUT_NAME, PATCH,  # noqa: E402
                                   SERVE_TAG)

tf1 = tf.compat.v1
tf.get_logger().setLevel("ERROR")

# Bump when the graph or the weight generation changes, so old exports are rebuilt.
SCRIPT_VERSION = 3
MARKER = "export_info.json"
DEFAULT_WEIGHTS = pathlib.Path(__file__).resolve().parents[1] / "training" / "weights" / "default.npz"
WEIGHT_NAMES = ("kernel", "moving_mean", "moving_variance")

BN_EPSILON = 1e-5

# (kernel size, output channels, stride, padding, ReLU after batch norm)
LAYERS = [
    (3, 32, 1, "SAME", True),
    (3, 32, 1, "SAME", True),
    (3, 64, 2, "SAME", True),
    (3, 64, 1, "SAME", True),
    (3, 128, 2, "SAME", True),
    (3, 128, 1, "SAME", True),
    (8, 128, 1, "VALID", False),
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
    layer must take the previous one's and the last must give 128."""
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


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def _variable(name, shape):
    # Zero-filled initialisers keep the big arrays out of the GraphDef; the real
    # values are fed to the initialisers once and then live in the checkpoint.
    return tf1.Variable(tf.zeros(shape, name=name + "_zeros"), name=name)


def build_graph(channels=None, folded=False):
    """Build the network in the default graph; returns (input, output, variables).
    `channels`: each layer's output channels (default: those of LAYERS).
    `folded`: each layer has a kernel and a bias (see fold_batch_norm) instead
    of a kernel and batch-normalisation statistics."""
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
            kernel = _variable("kernel", [size, size, in_channels, out_channels])
            x = tf.nn.conv2d(x, kernel, strides=[1, stride, stride, 1], padding=padding, name="conv")
            if folded:
                bias = _variable("bias", [out_channels])
                variables.append({"kernel": kernel, "bias": bias})
                x = tf.nn.bias_add(x, bias, name="bias")
            else:
                moving_mean = _variable("moving_mean", [out_channels])
                moving_variance = _variable("moving_variance", [out_channels])
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


def _read_marker(path):
    try:
        with open(os.path.join(path, MARKER)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def export(outdir, weights, description, folded=True):
    """Write the SavedModel with `weights` (per-layer dicts) to outdir;
    `description` goes into the marker file, which later runs compare."""
    if folded:
        weights = fold_batch_norm(weights)

    def fill(staged):
        with tf.Graph().as_default():
            patches, output, variables = build_graph([w["kernel"].shape[-1] for w in weights],
                                                     folded)
            with tf1.Session() as sess:
                feeds = {}
                for layer_vars, layer_values in zip(variables, weights):
                    for key, var in layer_vars.items():
                        feeds[var.initial_value] = layer_values[key]
                sess.run([v.initializer for layer in variables for v in layer.values()], feeds)

                signature = tf1.saved_model.signature_def_utils.predict_signature_def(
                    inputs={"patches": patches}, outputs={"descriptors": output})
                builder = tf1.saved_model.Builder(staged)
                builder.add_meta_graph_and_variables(
                    sess, [SERVE_TAG],
                    signature_def_map={"serving_default": signature})
                builder.save()
        with open(os.path.join(staged, MARKER), "w") as f:
            json.dump(description, f)
            f.write("\n")

    replace_folder(outdir, ".export-", fill)


def time_batches(outdir, runs):
    """Load the export as the C++ program does and time full batches."""
    with tf.Graph().as_default() as graph, tf1.Session(graph=graph) as sess:
        tf1.saved_model.loader.load(sess, [SERVE_TAG], outdir)
        rng = np.random.default_rng(0)
        patches = rng.uniform(0, 255, (BATCH, PATCH, PATCH, 1)).astype(np.float32)
        feed = {f"{INPUT_NAME}:0": patches}
        fetch = f"{OUTPUT_NAME}:0"
        seconds = []
        for _ in range(runs):
            start = time.perf_counter()
            out = sess.run(fetch, feed)
            seconds.append(time.perf_counter() - start)
    norms = np.linalg.norm(out, axis=1)
    print(f"output {out.dtype} {list(out.shape)}, row norms {norms.min():.4f}..{norms.max():.4f}")
    print("batch of 1024: first %.3f s, best %.3f s, median %.3f s over %d runs"
          % (seconds[0], min(seconds), float(np.median(seconds)), runs))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", help="SavedModel folder to create")
    parser.add_argument("--weights", default=str(DEFAULT_WEIGHTS),
                        help="trained weights (.npz); default: the committed ones")
    parser.add_argument("--untrained", action="store_true",
                        help="seeded random weights instead of trained ones")
    parser.add_argument("--seed", type=int, default=0,
                        help="weight generator seed with --untrained (default 0)")
    parser.add_argument("--unfolded", action="store_true",
                        help="keep batch normalisation as separate ops (slower; for comparisons)")
    parser.add_argument("--time", type=int, default=0, metavar="RUNS",
                        help="afterwards, time RUNS batches of 1024 patches")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    if args.untrained:
        description = {"script_version": SCRIPT_VERSION, "trained": False, "seed": args.seed}
    else:
        description = {"script_version": SCRIPT_VERSION, "trained": True,
                       "weights_sha256": file_digest(args.weights)}
    if args.unfolded:
        description["unfolded"] = True
    marker = _read_marker(outdir)
    what = (f"untrained model (seed {args.seed})" if args.untrained
            else f"trained model ({os.path.relpath(args.weights)})")
    if marker == description:
        print(f"{outdir} already holds the {what}")
    elif os.path.exists(outdir) and marker is None:
        # Never overwrite something this script did not write.
        print(f"error: {outdir} exists and is not an export of this script", file=sys.stderr)
        return 1
    else:
        weights = make_weights(args.seed) if args.untrained else load_weights(args.weights)
        export(outdir, weights, description, folded=not args.unfolded)
        print(f"exported {what} to {outdir}")
    if args.time > 0:
        time_batches(outdir, args.time)
    return 0


if __name__ == "__main__":
    sys.exit(main())
