#!/usr/bin/env python3
"""Train the default descriptor network on patch pairs made by pairs.py.

HardNet-style: the layers of lf_tools.common.network, which
tools/demo/export_default_model.py exports (batch normalisation without scale
and offset, so that the export's inference graph holds it exactly), dropout before the last convolution, and a triplet margin
loss whose negative is the hardest one in the batch, from either side (the
anchor swap), optionally with the second hardest one too, and optionally with a
second-order term that keeps each pair's distances to its nearest neighbours alike
in both views (--sos-weight).

Shards are trained on one at a time: a shard never trained on first (the
generator may still be adding them), otherwise the least recently used one.
Each shard is reshuffled, and each pair flipped top to bottom (both patches,
as a mirrored scene would give) at random. With --scene-groups, part of each
batch comes in runs from single view pairs, so that the hardest negatives
include the scene's own look-alikes; keypoints within 3 px of each other in
one view pair are one place and never each other's negative. The learning rate falls linearly to
zero on a cosine over --steps, after a short warm-up: a function of the step
alone, so that a run stopped by --minutes resumes from its last checkpoint with
the same OUT on the same schedule (--schedule time: linear over --steps or
--minutes, whichever runs out first, as the first weights were trained); a
resume that changes the schedule or the loss's weights is refused. --init
starts from trained weights, a narrower network's widened. The validation
figures, on a shard made with another seed from the training
photographs, are the top-1 rate among all its pairs and FPR95 (false positives
at 95 % of true pairs accepted). Batch-normalisation statistics are re-estimated
over fresh batches before the weights are written.

Output in OUT: checkpoint files, progress.log, and weights.npz (the arrays
export_default_model.py --weights reads).

Usage: train.py PAIRS OUT [--steps N] [--minutes M] [--seed S] [--batch B]
"""

import argparse
import glob
import json
import os
import pathlib
import re
import sys
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
from lf_tools.common.folders import replace_file  # noqa: E402
from lf_tools.common.model_contract import BATCH  # noqa: E402
from lf_tools.common.network import BN_EPSILON, LAYERS  # noqa: E402

MARGIN = 1.0
DROPOUT = 0.3
WEIGHT_DECAY = 1e-4
BN_MOMENTUM = 0.95
# Distances below this are the same point seen twice, not a negative.
SAME_POINT_DISTANCE = 0.008
# Keypoints of one view pair nearer than this (pixels, first view) are one place:
# matching one to the other counts as correct, so neither is the other's negative.
SAME_PLACE_PX = 3.0
# Neighbours per pair whose distances the second-order term compares across views.
SOS_NEIGHBOURS = 8
# Batches over which the batch-normalisation statistics of finished weights are re-estimated.
RECALIBRATION_ROUNDS = 16


def layer_channels(width):
    """Output channels per layer: LAYERS' scaled by `width`, the 128 outputs kept."""
    channels = [max(1, int(round(layer[1] * width))) for layer in LAYERS]
    channels[-1] = LAYERS[-1][1]
    return channels


class Network(tf.Module):
    def __init__(self, seed, width=1.0):
        super().__init__()
        rng = np.random.default_rng(seed)
        self.kernels, self.means, self.variances = [], [], []
        in_channels = 1
        for index, ((size, _, _, _, _), out_channels) in enumerate(zip(LAYERS, layer_channels(width)),
                                                                    start=1):
            fan_in = size * size * in_channels
            kernel = rng.normal(0.0, np.sqrt(2.0 / fan_in), (size, size, in_channels, out_channels))
            self.kernels.append(tf.Variable(kernel.astype(np.float32), name=f"layer{index}_kernel"))
            self.means.append(tf.Variable(tf.zeros([out_channels]), trainable=False,
                                          name=f"layer{index}_moving_mean"))
            self.variances.append(tf.Variable(tf.ones([out_channels]), trainable=False,
                                              name=f"layer{index}_moving_variance"))
            in_channels = out_channels

    def __call__(self, patches, training, seed=None, statistics=None):
        """Descriptors of [N, 32, 32, 1] patches; with `statistics` (a list), batch moments are appended."""
        mean, variance = tf.nn.moments(patches, axes=[1, 2, 3], keepdims=True)
        x = (patches - mean) / (tf.sqrt(variance) + 1e-7)
        for index, (size, _, stride, padding, relu) in enumerate(LAYERS):
            if seed is not None and index == len(LAYERS) - 1:
                x = tf.nn.experimental.stateless_dropout(x, DROPOUT, seed=seed)
            x = tf.nn.conv2d(x, self.kernels[index], strides=[1, stride, stride, 1], padding=padding)
            if training:
                batch_mean, batch_variance = tf.nn.moments(x, axes=[0, 1, 2])
                if statistics is not None:
                    statistics.append((batch_mean, batch_variance))
                x = tf.nn.batch_normalization(x, batch_mean, batch_variance, None, None, BN_EPSILON)
            else:
                x = tf.nn.batch_normalization(x, self.means[index], self.variances[index], None, None,
                                              BN_EPSILON)
            if relu:
                x = tf.nn.relu(x)
        return tf.math.l2_normalize(tf.reshape(x, [tf.shape(x)[0], -1]), axis=1)

    def weights(self):
        out = {}
        for index in range(len(LAYERS)):
            out[f"layer{index + 1}/kernel"] = self.kernels[index].numpy()
            out[f"layer{index + 1}/moving_mean"] = self.means[index].numpy()
            out[f"layer{index + 1}/moving_variance"] = self.variances[index].numpy()
        return out


def descriptor_distance(first, second):
    """Euclidean distances [A, B] between unit descriptors, kept off zero for the gradient."""
    similarity = tf.matmul(first, second, transpose_b=True)
    return tf.sqrt(tf.maximum(2.0 - 2.0 * similarity, 0.0) + 1e-6)


def hardest_negative_loss(first, second, second_weight=0.0, same_place=None):
    """Mean triplet margin loss with the hardest in-batch negative of each pair
    (the nearer of its row's and its column's: the anchor swap); with
    `second_weight`, the second hardest one's margin loss is added at that weight.
    `same_place` (float [B, B], 1 where two pairs show one place) rules negatives out."""
    distance = descriptor_distance(first, second)
    positive = tf.linalg.diag_part(distance)
    size = tf.shape(distance)[0]
    excluded = tf.eye(size) * 10.0 + tf.cast(distance < SAME_POINT_DISTANCE, tf.float32) * 10.0
    if same_place is not None:
        excluded += same_place * 10.0
    candidates = distance + excluded
    negative = tf.minimum(tf.reduce_min(candidates, axis=1), tf.reduce_min(candidates, axis=0))
    loss = tf.reduce_mean(tf.nn.relu(MARGIN + positive - negative))
    if second_weight:
        nearest_two = -tf.math.top_k(-candidates, k=2).values
        loss += second_weight * tf.reduce_mean(tf.nn.relu(MARGIN + positive - nearest_two[:, 1]))
    return loss, tf.reduce_mean(positive), tf.reduce_mean(negative)


def second_order_loss(first, second, neighbours=SOS_NEIGHBOURS):
    """Mean over pairs of how far the distances to a pair's nearest neighbours (in
    either view) differ between the two views: a pair's neighbourhood should look
    the same from both sides."""
    within_first, within_second = descriptor_distance(first, first), descriptor_distance(second, second)
    count = tf.shape(first)[0]
    k = tf.minimum(neighbours + 1, count)
    near = tf.zeros_like(within_first, tf.bool)
    for within in (within_first, within_second):
        # The k + 1 nearest include the pair itself, taken out below.
        kth = -tf.math.top_k(-tf.stop_gradient(within), k=k).values[:, -1:]
        near = near | (within <= kth)
    near = tf.cast(near, tf.float32) * (1.0 - tf.eye(count))
    squared = tf.reduce_sum(near * tf.square(within_first - within_second), axis=1)
    return tf.reduce_mean(tf.sqrt(squared + 1e-8))


def make_train_step(network, optimizer, second_weight=0.0, sos_weight=0.0):
    @tf.function(reduce_retracing=True)
    def train_step(first, second, same_place, learning_rate, seed):
        optimizer.learning_rate.assign(learning_rate)
        count = tf.shape(first)[0]
        with tf.GradientTape() as tape:
            statistics = []
            descriptors = network(tf.concat([first, second], axis=0), training=True,
                                  seed=seed, statistics=statistics)
            loss, positive, negative = hardest_negative_loss(descriptors[:count], descriptors[count:],
                                                             second_weight, same_place)
            if sos_weight:
                loss += sos_weight * second_order_loss(descriptors[:count], descriptors[count:])
            decay = tf.add_n([tf.reduce_sum(k * k) for k in network.kernels])
            total = loss + WEIGHT_DECAY * 0.5 * decay
        gradients = tape.gradient(total, network.kernels)
        optimizer.apply_gradients(zip(gradients, network.kernels))
        for (mean, variance), moving_mean, moving_variance in zip(statistics, network.means,
                                                                   network.variances):
            moving_mean.assign(BN_MOMENTUM * moving_mean + (1 - BN_MOMENTUM) * mean)
            moving_variance.assign(BN_MOMENTUM * moving_variance + (1 - BN_MOMENTUM) * variance)
        return loss, positive, negative
    return train_step


def shard_index(path):
    return int(re.search(r"shard-(\d+)\.npz$", path).group(1))


def available_shards(pairs):
    # A link to a shard that is gone (pairs gathered from several runs) is skipped, not fatal.
    shards = (s for s in glob.glob(os.path.join(pairs, "shard-*.npz")) if os.path.isfile(s))
    return sorted(shards, key=shard_index)


def choose_shard(pairs, usage):
    """A shard never used if there is one, else the least recently used."""
    shards = available_shards(pairs)
    if not shards:
        raise FileNotFoundError(f"no shard-*.npz in {pairs}: run pairs.py first")
    fresh = [s for s in shards if str(shard_index(s)) not in usage]
    if fresh:
        return fresh[0]
    return min(shards, key=lambda s: (usage[str(shard_index(s))], shard_index(s)))


def recalibration_shard(pairs, usage, chosen=None):
    """The shard the batch-normalisation statistics are re-estimated on: `chosen`, else
    the least recently used one. Pairs of one real scene have their own statistics, so
    a mix of real and synthetic shards names a synthetic one."""
    return chosen if chosen else choose_shard(pairs, usage)


def load_patches(path):
    return load_shard(path)[0]


def load_shard(path):
    """(patches, view, xy); view and xy are None in shards made before they were recorded."""
    with np.load(path) as data:
        if "view" in data:
            return data["patches"].astype(np.float32), data["view"], data["xy"]
        return data["patches"].astype(np.float32), None, None


def batch_order(count, batch, rng, view=None, groups=0, group=128):
    """Index arrays of the batches of one pass over a shard.

    With `groups`, each batch holds that many runs of `group` pairs from one view
    pair each (while there are enough), the rest drawn from the whole shard: pairs
    of one scene give the hard negatives real photographs have (repeated
    structure, look-alikes a few pixels away), which pairs of other scenes rarely do."""
    if not groups or view is None:
        order = rng.permutation(count)
        return [order[s:s + batch] for s in range(0, count - batch + 1, batch)]
    runs, loose = [], []
    for v in np.unique(view):
        members = rng.permutation(np.flatnonzero(view == v))
        whole = len(members) // group * group
        runs += list(members[:whole].reshape(-1, group))
        loose.append(members[whole:])
    runs = [runs[i] for i in rng.permutation(len(runs))]
    count_batches = count // batch
    used = min(len(runs), count_batches * groups)
    loose = rng.permutation(np.concatenate(loose + runs[used:]))
    order, taken = [], 0
    for b in range(count_batches):
        mine = runs[b * groups:min(used, (b + 1) * groups)]
        rest = batch - group * len(mine)
        order.append(np.concatenate(mine + [loose[taken:taken + rest]]).astype(np.int64))
        taken += rest
    return order


def same_place(view, xy, chosen):
    """[B, B] float32: 1 where two chosen pairs come from one view pair within SAME_PLACE_PX."""
    v, p = view[chosen], xy[chosen]
    near = np.sum((p[:, None, :] - p[None, :, :]) ** 2, axis=2) < SAME_PLACE_PX ** 2
    return ((v[:, None] == v[None, :]) & near).astype(np.float32)


def batches(patches, batch, rng, view=None, xy=None, groups=0):
    """(first, second, same_place) per batch, each pair flipped top to bottom at random."""
    nowhere = np.zeros((batch, batch), np.float32)  # shards without positions: made once
    for indices in batch_order(len(patches), batch, rng, view, groups):
        chosen = patches[indices]
        flip = rng.random(batch) < 0.5
        chosen[flip] = chosen[flip, :, ::-1, :]
        place = nowhere if view is None else same_place(view, xy, indices)
        yield chosen[:, 0, :, :, None], chosen[:, 1, :, :, None], place


def validation_accuracy(network, validation):
    """Share of first patches whose nearest second patch (of all) is their own pair."""
    first = network(validation[:, 0, :, :, None], training=False).numpy()
    second = network(validation[:, 1, :, :, None], training=False).numpy()
    nearest = np.argmax(first @ second.T, axis=1)
    return float(np.mean(nearest == np.arange(len(first))))


def false_positive_rate_at_95(first, second):
    """FPR95: share of non-matching pairs (every first patch against every other
    pair's second) nearer than the distance that accepts 95 % of the true pairs."""
    similarity = first @ second.T
    positive = np.diag(similarity)
    threshold = np.quantile(positive, 0.05)
    negatives = similarity[~np.eye(len(first), dtype=bool)]
    return float(np.mean(negatives >= threshold))


def validation_figures(network, validation):
    """(top-1 among all pairs, FPR95) of the validation pairs."""
    first, second = [], []
    for start in range(0, len(validation), BATCH):
        chunk = validation[start:start + BATCH]
        first.append(network(chunk[:, 0, :, :, None], training=False).numpy())
        second.append(network(chunk[:, 1, :, :, None], training=False).numpy())
    first, second = np.concatenate(first), np.concatenate(second)
    top1 = float(np.mean(np.argmax(first @ second.T, axis=1) == np.arange(len(first))))
    return top1, false_positive_rate_at_95(first, second)


def learning_rate_at(step, steps, peak, warmup=50):
    """Short linear warm-up, then a cosine fall to zero at `steps`: a function of the
    step alone, so that a run stopped and resumed follows the same schedule."""
    if step < warmup:
        return peak * (step + 1) / warmup
    progress = min(1.0, (step - warmup) / max(1, steps - warmup))
    return peak * 0.5 * (1.0 + np.cos(np.pi * progress))


def widened(weights, channels):
    """`weights` (a weights.npz's arrays) for a network with `channels` outputs per layer,
    each a whole multiple of the given one's, computing the same descriptors: every
    channel is repeated and the next layer divides its inputs' weights among the copies.
    Batch normalisation gives each copy the statistics of the channel it copies, so the
    function holds in training too; the dropout before the last layer breaks the tie."""
    out, repeat_in = {}, 1
    for index, wanted in enumerate(channels, start=1):
        kernel = weights[f"layer{index}/kernel"]
        have = kernel.shape[-1]
        if wanted % have:
            raise ValueError(f"layer {index} has {have} channels, which do not divide {wanted}")
        repeat_out = wanted // have
        out[f"layer{index}/kernel"] = np.tile(kernel, (1, 1, repeat_in, repeat_out)) / repeat_in
        for name in ("moving_mean", "moving_variance"):
            out[f"layer{index}/{name}"] = np.tile(weights[f"layer{index}/{name}"], repeat_out)
        repeat_in = repeat_out
    return out


def initialise_from(network, path):
    """Kernels and moving statistics from a weights.npz (a warm start); a narrower
    network's are widened first, keeping what it computes."""
    with np.load(path) as data:
        weights = {name: data[name] for name in data.files}
    channels = [int(kernel.shape[-1]) for kernel in network.kernels]
    if any(weights[f"layer{i + 1}/kernel"].shape[-1] != c for i, c in enumerate(channels)):
        try:
            weights = widened(weights, channels)
        except ValueError as error:
            raise ValueError(f"{path}: {error}: use the same --width or a multiple of it") from None
    for index in range(len(network.kernels)):
        for variable, name in ((network.kernels[index], "kernel"), (network.means[index], "moving_mean"),
                               (network.variances[index], "moving_variance")):
            value = weights[f"layer{index + 1}/{name}"]
            if tuple(value.shape) != tuple(variable.shape):
                raise ValueError(f"{path}: layer {index + 1} {name} has shape {value.shape}, "
                                 f"the network {tuple(variable.shape)}")
            variable.assign(value)


def recalibrate_batch_norm(network, patches, batch, rng, rounds):
    """Moving statistics replaced by the average over `rounds` training-mode batches."""
    sums = None
    for _, (first, second, _) in zip(range(rounds), batches(patches, batch, rng)):
        statistics = []
        network(tf.concat([first, second], axis=0), training=True, statistics=statistics)
        values = [(m.numpy(), v.numpy()) for m, v in statistics]
        sums = values if sums is None else [(a + m, b + v) for (a, b), (m, v) in zip(sums, values)]
    for (mean, variance), moving_mean, moving_variance in zip(sums, network.means, network.variances):
        moving_mean.assign(mean / rounds)
        moving_variance.assign(variance / rounds)


def save_weights(path, weights):
    replace_file(path, lambda f: np.savez(f, **weights))


def recipe(args):
    """What a resumed run must share with the run it continues: its schedule and its loss."""
    return {"schedule": args.schedule, "steps": args.steps,
            "second_negative": args.second_negative, "sos_weight": args.sos_weight}


def recipe_conflicts(state, args):
    """The flags, as state.json records them, in which a resumed run differs from the run it
    continues. Runs before the step schedule recorded none (theirs was time); runs before
    the loss weights were recorded are not checked on them."""
    asked = recipe(args)
    recorded = {"schedule": "time", **{name: state[name] for name in asked if name in state}}
    return {name: value for name, value in recorded.items() if value != asked[name]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pairs", help="folder of shard-*.npz made by pairs.py")
    parser.add_argument("out", help="folder for checkpoints, progress.log and weights.npz")
    parser.add_argument("--steps", type=int, default=1500, help="length of the learning-rate schedule")
    parser.add_argument("--minutes", type=float, default=60.0,
                        help="training time in all, resumed runs included")
    parser.add_argument("--schedule", choices=("steps", "time"), default="steps",
                        help="steps: warm-up, then a cosine fall to zero at --steps, a function of the "
                             "step alone (--minutes only stops the run, which resumes on the same "
                             "schedule); time: linear fall to zero over --steps or --minutes, whichever "
                             "runs out first (how the first weights were trained)")
    parser.add_argument("--init", help="weights.npz to start from instead of the seeded "
                        "initialisation: the same --width, or a narrower one whose channels divide "
                        "this width's (widened, computing the same descriptors)")
    parser.add_argument("--second-negative", type=float, default=0.0,
                        help="weight of the second hardest negative's margin loss (0: hardest only)")
    parser.add_argument("--sos-weight", type=float, default=0.0,
                        help="weight of the second-order term: each pair's distances to its nearest "
                             "neighbours kept alike in both views (0: none)")
    parser.add_argument("--scene-groups", type=int, default=0,
                        help="runs of 128 pairs from one view pair in each batch, for negatives from "
                             "one scene (0: every batch drawn from the whole shard)")
    parser.add_argument("--validation-pairs", type=int, default=4096)
    parser.add_argument("--batch", type=int, default=512, help="pairs per step")
    parser.add_argument("--width", type=float, default=1.0,
                        help="channels relative to the default network's (0.5: half as many, "
                             "about four times faster)")
    parser.add_argument("--learning-rate", type=float, default=2e-3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--validation", help="a shard kept for the validation figure "
                        "(made by pairs.py with another seed)")
    parser.add_argument("--recalibration-shard",
                        help="the shard the batch-normalisation statistics are re-estimated on at the "
                             "end (default: the least recently used training shard)")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    tf.config.threading.set_intra_op_parallelism_threads(args.threads)
    tf.config.threading.set_inter_op_parallelism_threads(1)
    os.makedirs(args.out, exist_ok=True)
    started = time.time()
    tf.random.set_seed(args.seed)
    network = Network(args.seed, args.width)
    if args.init:
        initialise_from(network, args.init)
    optimizer = tf.keras.optimizers.Adam(learning_rate=args.learning_rate)
    step = tf.Variable(0, dtype=tf.int64)
    checkpoint = tf.train.Checkpoint(network=network, optimizer=optimizer, step=step)
    manager = tf.train.CheckpointManager(checkpoint, os.path.join(args.out, "checkpoints"), max_to_keep=2)
    state_path = os.path.join(args.out, "state.json")
    usage, trained_seconds = {}, 0.0
    if manager.latest_checkpoint:
        checkpoint.restore(manager.latest_checkpoint)
        with open(state_path) as f:
            state = json.load(f)
        usage, trained_seconds = state["usage"], state["trained_seconds"]
        conflicts = recipe_conflicts(state, args)
        if conflicts:
            flags = " ".join(f"--{name.replace('_', '-')} {value}" for name, value in conflicts.items())
            raise SystemExit(f"{args.out} was trained with {flags}: resume with the same")
        print(f"resumed at step {int(step.numpy())}", flush=True)
    train_step = make_train_step(network, optimizer, args.second_negative, args.sos_weight)
    validation = load_patches(args.validation)[:args.validation_pairs] if args.validation else None
    log = open(os.path.join(args.out, "progress.log"), "a")

    def report(line):
        print(line, flush=True)
        log.write(line + "\n")
        log.flush()

    def trained():
        return trained_seconds + time.time() - started

    def progress():
        return max(int(step.numpy()) / args.steps, trained() / (args.minutes * 60.0))

    def learning_rate(current):
        if args.schedule == "steps":
            return learning_rate_at(current, args.steps, args.learning_rate)
        return args.learning_rate * (1.0 - progress())

    def validation_line():
        top1, fpr95 = validation_figures(network, validation)
        return f" val_top1 {top1:.4f} val_fpr95 {fpr95:.5f}"

    def save():
        manager.save()
        record = {"usage": usage, "seed": args.seed, "batch": args.batch, "width": args.width,
                  "init": args.init, "scene_groups": args.scene_groups, **recipe(args),
                  "trained_seconds": trained()}
        # A run stopped while saving must still resume.
        replace_file(state_path, lambda f: json.dump(record, f), "w")

    report(f"start: seed {args.seed}, width {args.width}, batch {args.batch}, schedule {args.steps} steps, "
           f"learning rate {args.learning_rate}, {args.minutes} minutes, schedule {args.schedule}, "
           f"second negative {args.second_negative}, second order {args.sos_weight}, "
           f"scene groups {args.scene_groups}, init {args.init}"
           + (validation_line() if validation is not None and int(step.numpy()) == 0 else ""))
    last_save = time.time()
    stop = False
    while not stop and progress() < 1.0:
        shard = choose_shard(args.pairs, usage)
        usage[str(shard_index(shard))] = int(step.numpy())
        rng = np.random.default_rng([args.seed, int(step.numpy())])
        patches, view, xy = load_shard(shard)
        window_start, window_pairs, window_loss = time.time(), 0, []
        for first, second, place in batches(patches, args.batch, rng, view, xy, args.scene_groups):
            current = int(step.numpy())
            if progress() >= 1.0:
                stop = True
                break
            rate = learning_rate(current)
            loss, positive, negative = train_step(tf.constant(first), tf.constant(second),
                                                  tf.constant(place), tf.constant(rate, tf.float32),
                                                  tf.constant([args.seed, current], tf.int64))
            step.assign_add(1)
            window_pairs += len(first)
            window_loss.append(float(loss))
            if (current + 1) % 25 == 0:
                seconds = time.time() - window_start
                line = (f"step {current + 1} shard {shard_index(shard)} "
                        f"{window_pairs / seconds:.0f} pairs/s loss {np.mean(window_loss):.4f} "
                        f"pos {float(positive):.3f} neg {float(negative):.3f} lr {rate:.2e} "
                        f"trained {trained() / 60:.1f} min")
                if validation is not None and (current + 1) % 100 == 0:
                    line += validation_line()
                report(line)
                window_start, window_pairs, window_loss = time.time(), 0, []
            if time.time() - last_save > 300:
                save()
                last_save = time.time()
    save()
    rng = np.random.default_rng([args.seed, 1 << 20])
    recalibrate_batch_norm(network, load_patches(recalibration_shard(args.pairs, usage, args.recalibration_shard)),
                           args.batch, rng, RECALIBRATION_ROUNDS)
    save_weights(os.path.join(args.out, "weights.npz"), network.weights())
    line = f"done: step {int(step.numpy())}, {trained() / 60:.1f} min trained"
    if validation is not None:
        line += "," + validation_line()
    report(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
