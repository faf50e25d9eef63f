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

The network, a compact patch-descriptor CNN, is that of
tools/common/network.py. Patches are standardised inside the graph, so callers
may feed raw 0..255 or 0..1 intensities.

The batch normalisation is folded into the convolutions at export: each
kernel is scaled by 1/sqrt(moving_variance + eps) per output channel and
followed by a bias of -moving_mean/sqrt(moving_variance + eps), which
TensorFlow runs as one fused convolution (about 1e-6 from the unfolded graph).
--unfolded exports the graph with separate batch-normalisation ops.

Usage: export_default_model.py OUTDIR [--weights NPZ | --untrained [--seed N]] [--unfolded] [--time RUNS]
"""

import argparse
import os
import pathlib
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import tensorflow as tf  # noqa: E402

from lf_tools.common.folders import replace_folder  # noqa: E402
from lf_tools.common.model_contract import BATCH  # noqa: E402
from lf_tools.common.network import build_graph, fold_batch_norm, load_weights, make_weights  # noqa: E402
from lf_tools.common import saved_model  # noqa: E402
from lf_tools.common.saved_model import file_digest, read_marker, time_batches  # noqa: E402

tf1 = tf.compat.v1
tf.get_logger().setLevel("ERROR")

# Bump when the graph or the weight generation changes, so old exports are rebuilt.
SCRIPT_VERSION = 3
DEFAULT_WEIGHTS = pathlib.Path(__file__).resolve().parents[1] / "training" / "weights" / "default.npz"


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
                saved_model.save(staged, sess, patches, output, description)

    replace_folder(outdir, ".export-", fill)


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
                        help=f"afterwards, time RUNS batches of {BATCH} patches")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    if args.untrained:
        description = {"script_version": SCRIPT_VERSION, "trained": False, "seed": args.seed}
    else:
        description = {"script_version": SCRIPT_VERSION, "trained": True,
                       "weights_sha256": file_digest(args.weights)}
    if args.unfolded:
        description["unfolded"] = True
    marker = read_marker(outdir)
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
