#!/usr/bin/env python3
"""Build the tiny SavedModels the C++ tests load.

Every model is a few graph ops with no weights, so the whole set is built in
seconds at test time instead of being committed. The good models copy pixel
values into the output, which lets a test tell which patch a descriptor row
came from; the broken ones each break one part of the model contract.

Usage: make_fixture_models.py OUTDIR [--check]
"""

import argparse
import os
import shutil
import sys
import tempfile

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

tf1 = tf.compat.v1
tf.get_logger().setLevel("ERROR")

BATCH = 1024
PATCH = 32
DIM = 128
INPUT_NAME = "local_model_inputs"
OUTPUT_NAME = "StatefulPartitionedCall_1"


def _patches(name=INPUT_NAME):
    return tf1.placeholder(tf.float32, [BATCH, PATCH, PATCH, 1], name=name)


def _flat(patches, width):
    """First `width` values of each patch, row-major."""
    flat = tf.reshape(patches, [BATCH, PATCH * PATCH], name="flatten")
    return tf.slice(flat, [0, 0], [BATCH, width], name="leading_values")


def _build_valid():
    tf.identity(_flat(_patches(), DIM), name=OUTPUT_NAME)


def _build_batch_mean():
    patches = _patches()
    mean = tf.reduce_mean(patches, name="batch_mean")
    mean_column = tf.fill([BATCH, 1], mean, name="batch_mean_column")
    out = tf.concat([_flat(patches, DIM - 1), mean_column], axis=1, name="with_mean")
    tf.identity(out, name=OUTPUT_NAME)


def _build_missing_output():
    tf.identity(_flat(_patches(), DIM), name="descriptors")


def _build_missing_input():
    tf.identity(_flat(_patches(name="patches"), DIM), name=OUTPUT_NAME)


def _build_wrong_shape():
    tf.identity(_flat(_patches(), DIM // 2), name=OUTPUT_NAME)


def _build_wrong_type():
    out = tf.cast(_flat(_patches(), DIM), tf.float64, name="to_double")
    tf.identity(out, name=OUTPUT_NAME)


def _build_failing_run():
    # The C program feeds only the patches, so every run is missing this one.
    unfed = tf1.placeholder(tf.float32, [], name="unfed_input")
    out = tf.add(_flat(_patches(), DIM), unfed, name="plus_unfed")
    tf.identity(out, name=OUTPUT_NAME)


def _build_fails_on_large_input():
    # Runs on the load-time batch (all 0.5) but fails once a value passes 8.
    patches = _patches()
    check = tf1.assert_less(tf.reduce_max(patches), 8.0, name="values_below_8")
    with tf.control_dependencies([check]):
        tf.identity(_flat(patches, DIM), name=OUTPUT_NAME)


def _build_with_variable():
    scale = tf1.Variable(tf.ones([DIM]), name="scale")
    tf.identity(_flat(_patches(), DIM) * scale, name=OUTPUT_NAME)


# name -> (graph builder, meta graph tags)
MODELS = {
    "valid": (_build_valid, ["serve"]),
    "batch_mean": (_build_batch_mean, ["serve"]),
    "wrong_tag": (_build_valid, ["train"]),
    "missing_output": (_build_missing_output, ["serve"]),
    "missing_input": (_build_missing_input, ["serve"]),
    "wrong_shape": (_build_wrong_shape, ["serve"]),
    "wrong_type": (_build_wrong_type, ["serve"]),
    "failing_run": (_build_failing_run, ["serve"]),
    "fails_on_large_input": (_build_fails_on_large_input, ["serve"]),
    "no_variables": (_build_with_variable, ["serve"]),
    "output_without_input": (_build_valid, ["serve"]),
}


def _break_after_saving(name, staged):
    """Damage a saved model the way hand-edited or half-copied exports are."""
    if name == "no_variables":
        shutil.rmtree(os.path.join(staged, "variables"))
    elif name == "output_without_input":
        # TensorFlow throws inside its load call on such a graph.
        from tensorflow.core.protobuf import saved_model_pb2
        pb_path = os.path.join(staged, "saved_model.pb")
        saved = saved_model_pb2.SavedModel()
        with open(pb_path, "rb") as f:
            saved.ParseFromString(f.read())
        for node in saved.meta_graphs[0].graph_def.node:
            if node.name == OUTPUT_NAME:
                del node.input[:]
        with open(pb_path, "wb") as f:
            f.write(saved.SerializeToString())


def _replace_dir(staged, final):
    """Move `staged` to `final`, dropping any older copy first.

    Readers only ever see a complete old or a complete new folder; a previous
    run that died half-way leaves only its temp folder, which is removed.
    """
    if os.path.exists(final):
        old = tempfile.mkdtemp(prefix=".old-", dir=os.path.dirname(final))
        os.rename(final, os.path.join(old, "model"))
        os.rename(staged, final)
        shutil.rmtree(old)
    else:
        os.rename(staged, final)


def _save_model(outdir, name, build, tags):
    work = tempfile.mkdtemp(prefix=f".{name}-", dir=outdir)
    try:
        staged = os.path.join(work, name)
        with tf.Graph().as_default():
            build()
            with tf1.Session() as sess:
                sess.run(tf1.global_variables_initializer())
                builder = tf1.saved_model.Builder(staged)
                builder.add_meta_graph_and_variables(sess, tags)
                builder.save()
        _break_after_saving(name, staged)
        _replace_dir(staged, os.path.join(outdir, name))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _save_not_a_model(outdir):
    work = tempfile.mkdtemp(prefix=".not_a_model-", dir=outdir)
    try:
        staged = os.path.join(work, "not_a_model")
        os.mkdir(staged)
        with open(os.path.join(staged, "README.txt"), "w") as f:
            f.write("This folder is deliberately not a SavedModel.\n")
        _replace_dir(staged, os.path.join(outdir, "not_a_model"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def build_all(outdir):
    os.makedirs(outdir, exist_ok=True)
    for leftover in os.listdir(outdir):
        if leftover.startswith("."):
            shutil.rmtree(os.path.join(outdir, leftover), ignore_errors=True)
    for name, (build, tags) in MODELS.items():
        _save_model(outdir, name, build, tags)
    _save_not_a_model(outdir)


# --- self-check -------------------------------------------------------------

def _load(path, tags=("serve",)):
    """Load into a fresh graph; returns (session, graph)."""
    graph = tf.Graph()
    sess = tf1.Session(graph=graph)
    tf1.saved_model.loader.load(sess, list(tags), path)
    return sess, graph


def _has_op(graph, name):
    try:
        graph.get_operation_by_name(name)
        return True
    except KeyError:
        return False


def _run(sess, patches):
    return sess.run(f"{OUTPUT_NAME}:0", {f"{INPUT_NAME}:0": patches})


def check_all(outdir):
    rng = np.random.default_rng(7)
    patches = rng.random((BATCH, PATCH, PATCH, 1), dtype=np.float32)
    leading = patches.reshape(BATCH, -1)
    failures = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    def path(name):
        return os.path.join(outdir, name)

    sess, _ = _load(path("valid"))
    out = _run(sess, patches)
    expect(out.dtype == np.float32 and np.array_equal(out, leading[:, :DIM]),
           "valid: row b is the first 128 values of patch b")

    sess, _ = _load(path("batch_mean"))
    out = _run(sess, patches)
    expect(np.array_equal(out[:, :DIM - 1], leading[:, :DIM - 1])
           and np.allclose(out[:, DIM - 1], patches.mean(), rtol=1e-5),
           "batch_mean: 127 patch values then the whole-batch mean")

    try:
        _load(path("wrong_tag"))
        expect(False, "wrong_tag: no 'serve' meta graph")
    except RuntimeError:
        expect(True, "wrong_tag: no 'serve' meta graph")
    sess, _ = _load(path("wrong_tag"), tags=("train",))
    expect(np.array_equal(_run(sess, patches), leading[:, :DIM]),
           "wrong_tag: 'train' meta graph runs")

    _, graph = _load(path("missing_output"))
    expect(_has_op(graph, INPUT_NAME) and not _has_op(graph, OUTPUT_NAME),
           "missing_output: input present, output op absent")

    _, graph = _load(path("missing_input"))
    expect(_has_op(graph, OUTPUT_NAME) and not _has_op(graph, INPUT_NAME),
           "missing_input: output present, input op absent")

    sess, _ = _load(path("wrong_shape"))
    expect(_run(sess, patches).shape == (BATCH, DIM // 2),
           "wrong_shape: output is [1024, 64]")

    sess, _ = _load(path("wrong_type"))
    out = _run(sess, patches)
    expect(out.dtype == np.float64 and out.shape == (BATCH, DIM),
           "wrong_type: output is float64 [1024, 128]")

    sess, _ = _load(path("failing_run"))
    try:
        _run(sess, patches)
        expect(False, "failing_run: run fails with INVALID_ARGUMENT")
    except tf.errors.InvalidArgumentError:
        expect(True, "failing_run: run fails with INVALID_ARGUMENT")

    sess, _ = _load(path("fails_on_large_input"))
    halves = np.full((BATCH, PATCH, PATCH, 1), 0.5, np.float32)
    expect(np.array_equal(_run(sess, halves), halves.reshape(BATCH, -1)[:, :DIM]),
           "fails_on_large_input: a batch of halves runs")
    try:
        _run(sess, patches * 1000)
        expect(False, "fails_on_large_input: values above 8 fail with INVALID_ARGUMENT")
    except tf.errors.InvalidArgumentError:
        expect(True, "fails_on_large_input: values above 8 fail with INVALID_ARGUMENT")

    expect(not os.path.exists(path("no_variables/variables")), "no_variables: no variables folder")

    try:
        _load(path("not_a_model"))
        expect(False, "not_a_model: loading fails")
    except (OSError, RuntimeError):
        expect(True, "not_a_model: loading fails")

    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", help="folder to write the models into (created if missing)")
    parser.add_argument("--check", action="store_true",
                        help="after building, load every model and verify its behaviour")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    build_all(outdir)
    print(f"wrote {len(MODELS) + 1} fixtures to {outdir}")
    if args.check and not check_all(outdir):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
