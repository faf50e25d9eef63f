#!/usr/bin/env python3
"""Export TFeat (published weights, converted by convert_tfeat.py) as a SavedModel
meeting the program's model contract, the peer column of the quality tables.

The graph: per-patch instance normalisation (PyTorch's InstanceNorm2d: mean and
biased variance over the patch, epsilon 1e-5), 7x7 'VALID' convolution 1->32,
tanh, 2x2 max-pooling, 6x6 'VALID' convolution 32->64, tanh, flatten in
PyTorch's channel-first order, fully connected 4096->128, tanh. The output is
TFeat's own (not L2-normalised), as its authors match it.

--check REFERENCE compares the export, loaded as the program loads it, with
PyTorch's descriptors of the reference patches (convert_tfeat.py --reference)
and fails above --tolerance (default 1e-4).

Usage: export_tfeat_model.py OUTDIR [--weights NPZ] [--check REFERENCE_NPZ] [--time RUNS]
"""

import argparse
import os
import pathlib
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from lf_tools.common.folders import replace_folder  # noqa: E402
from lf_tools.common.model_contract import (BATCH, INPUT_NAME, INPUT_TENSOR, OUTPUT_NAME,  # noqa: E402
                                            OUTPUT_TENSOR, PATCH, SERVE_TAG)
from lf_tools.common import saved_model  # noqa: E402
from lf_tools.common.saved_model import file_digest, read_marker as _read_marker, time_batches  # noqa: E402

tf1 = tf.compat.v1
tf.get_logger().setLevel("ERROR")

SCRIPT_VERSION = 1
WEIGHTS_FOLDER = pathlib.Path(__file__).resolve().parent / "weights" / "tfeat"
DEFAULT_WEIGHTS = WEIGHTS_FOLDER / "tfeat-liberty.npz"
DEFAULT_REFERENCE = WEIGHTS_FOLDER / "tfeat-liberty-reference.npz"
INSTANCE_NORM_EPSILON = 1e-5
TOLERANCE = 1e-4


def load_tfeat(path):
    """TensorFlow-layout arrays from the PyTorch-layout .npz: conv kernels
    [rows, cols, in, out], the dense matrix [in, out]."""
    with np.load(path) as data:
        arrays = {name: data[name].astype(np.float32) for name in data.files}
    return {
        "conv1": arrays["features.1.weight"].transpose(2, 3, 1, 0), "bias1": arrays["features.1.bias"],
        "conv2": arrays["features.4.weight"].transpose(2, 3, 1, 0), "bias2": arrays["features.4.bias"],
        "dense": arrays["descr.0.weight"].T, "bias3": arrays["descr.0.bias"],
    }


def build_graph(weights):
    """TFeat in the default graph; returns (input, output, {variable: value})."""
    values = {}

    def variable(name):
        value = weights[name]
        v = tf1.Variable(tf.zeros(value.shape, name=name + "_zeros"), name=name)
        values[v] = value
        return v

    patches = tf1.placeholder(tf.float32, [BATCH, PATCH, PATCH, 1], name=INPUT_NAME)
    with tf.name_scope("instance_norm"):
        mean, variance = tf.nn.moments(patches, axes=[1, 2, 3], keepdims=True)
        x = (patches - mean) * tf.math.rsqrt(variance + INSTANCE_NORM_EPSILON)
    x = tf.tanh(tf.nn.bias_add(tf.nn.conv2d(x, variable("conv1"), 1, "VALID"), variable("bias1")))
    x = tf.nn.max_pool2d(x, 2, 2, "VALID")
    x = tf.tanh(tf.nn.bias_add(tf.nn.conv2d(x, variable("conv2"), 1, "VALID"), variable("bias2")))
    # PyTorch flattens [channel, row, col]; TensorFlow holds [row, col, channel].
    flat = tf.reshape(tf.transpose(x, [0, 3, 1, 2]), [BATCH, -1])
    descriptors = tf.tanh(tf.nn.bias_add(tf.matmul(flat, variable("dense")), variable("bias3")))
    output = tf.identity(descriptors, name=OUTPUT_NAME)
    return patches, output, values


def export(outdir, weights, description):
    def fill(staged):
        with tf.Graph().as_default():
            patches, output, values = build_graph(weights)
            with tf1.Session() as sess:
                sess.run([v.initializer for v in values], {v.initial_value: a for v, a in values.items()})
                saved_model.save(staged, sess, patches, output, description)

    replace_folder(outdir, ".export-", fill)


def describe(model, patches):
    """The SavedModel's descriptors of `patches` [N, 32, 32], N <= BATCH, loaded as the program loads it."""
    batch = np.zeros((BATCH, PATCH, PATCH, 1), np.float32)
    batch[:len(patches), :, :, 0] = patches
    with tf.Graph().as_default() as graph, tf1.Session(graph=graph) as sess:
        tf1.saved_model.loader.load(sess, [SERVE_TAG], model)
        return sess.run(OUTPUT_TENSOR, {INPUT_TENSOR: batch})[:len(patches)]


def largest_difference(model, reference):
    with np.load(reference) as data:
        patches, expected = data["patches"], data["descriptors"]
    return float(np.abs(describe(model, patches) - expected).max())


def ensure_export(outdir, weights=DEFAULT_WEIGHTS):
    """Export unless outdir already holds this export of these weights; refuses a
    folder this script did not write. Returns what was done, as a line."""
    description = {"script_version": SCRIPT_VERSION, "network": "tfeat",
                   "weights_sha256": file_digest(weights)}
    marker = _read_marker(outdir)
    if marker == description:
        return f"{outdir} already holds TFeat ({os.path.relpath(weights)})"
    if os.path.exists(outdir) and marker is None:
        raise FileExistsError(f"{outdir} exists and is not an export of this script")
    export(outdir, load_tfeat(weights), description)
    return f"exported TFeat ({os.path.relpath(weights)}) to {outdir}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", help="SavedModel folder to create")
    parser.add_argument("--weights", default=str(DEFAULT_WEIGHTS), help="convert_tfeat.py's .npz")
    parser.add_argument("--check", nargs="?", const=str(DEFAULT_REFERENCE), metavar="REFERENCE",
                        help="compare with PyTorch's descriptors (default: the committed reference)")
    parser.add_argument("--tolerance", type=float, default=TOLERANCE)
    parser.add_argument("--time", type=int, default=0, metavar="RUNS",
                        help="afterwards, time RUNS batches of 1024 patches")
    args = parser.parse_args(argv)
    outdir = os.path.abspath(args.outdir)
    try:
        print(ensure_export(outdir, args.weights))
    except FileExistsError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    if args.check:
        difference = largest_difference(outdir, args.check)
        verdict = "within" if difference <= args.tolerance else "ABOVE"
        print(f"largest difference from PyTorch: {difference:.2e}, {verdict} {args.tolerance:g}")
        if difference > args.tolerance:
            return 1
    if args.time > 0:
        time_batches(outdir, args.time)
    return 0


if __name__ == "__main__":
    sys.exit(main())
