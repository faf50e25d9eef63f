#!/usr/bin/env python3
"""Average weights.npz files trained from one start into one network.

Runs resumed from the same weights stay in one basin of the loss, so the mean of
their kernels is a network too, often better than each. Its batch-normalisation
statistics are not the mean of theirs: they are re-estimated over batches of a
training shard, as train.py does before it writes its weights.

Usage: average_weights.py OUT.npz WEIGHTS.npz WEIGHTS.npz... --shard SHARD.npz
       [--width W] [--validation SHARD.npz]
"""

import argparse
import os
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402

from lf_tools.training import train  # noqa: E402

RECALIBRATION_SEED = 5


def mean_kernels(paths):
    """Each kernel's mean over the files; all files must hold the same shapes."""
    loaded = []
    for path in paths:
        with np.load(path) as data:
            loaded.append({name: data[name] for name in data.files})
    first = loaded[0]
    for path, weights in zip(paths[1:], loaded[1:]):
        if weights.keys() != first.keys() or any(weights[k].shape != first[k].shape for k in first):
            raise ValueError(f"{path} holds another network than {paths[0]}: average only runs of one width")
    return {name: np.mean([w[name] for w in loaded], axis=0).astype(np.float32)
            for name in first if name.endswith("/kernel")}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="weights.npz to write")
    parser.add_argument("weights", nargs="+", help="weights.npz files of runs from one start")
    parser.add_argument("--shard", required=True, help="training shard for the batch-normalisation statistics")
    parser.add_argument("--width", type=float, default=0.5, help="the runs' --width (default 0.5)")
    parser.add_argument("--batch", type=int, default=1024, help="pairs per re-estimation batch")
    parser.add_argument("--validation", help="a validation shard: print its figures for each input and the mean")
    parser.add_argument("--validation-pairs", type=int, default=4096, help="as train.py's")
    args = parser.parse_args(argv)
    if len(args.weights) < 2:
        parser.error("give at least two weights files")
    # Refused before the minute of work, not after it.
    out_folder = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(out_folder):
        parser.error(f"no folder {out_folder} for {args.out}")
    try:
        kernels = mean_kernels(args.weights)
    except ValueError as error:
        raise SystemExit(f"average_weights.py: {error}") from None
    network = train.Network(1, args.width)
    validation = train.load_patches(args.validation)[:args.validation_pairs] if args.validation else None
    if validation is not None:
        for path in args.weights:
            train.initialise_from(network, path)
            print(f"{path}: val_top1 %.4f val_fpr95 %.5f" % train.validation_figures(network, validation))
    try:
        train.initialise_from(network, args.weights[0])
    except ValueError as error:
        raise SystemExit(f"average_weights.py: {error}") from None
    for variable, kernel in zip(network.kernels, (kernels[f"layer{i + 1}/kernel"]
                                                  for i in range(len(network.kernels)))):
        variable.assign(kernel)
    rng = np.random.default_rng(RECALIBRATION_SEED)
    train.recalibrate_batch_norm(network, train.load_patches(args.shard), args.batch, rng, train.RECALIBRATION_ROUNDS)
    if validation is not None:
        print("mean: val_top1 %.4f val_fpr95 %.5f" % train.validation_figures(network, validation))
    # OUT is often the committed default.npz.
    train.save_weights(args.out, network.weights())


if __name__ == "__main__":
    sys.exit(main())
