"""What the model exporters share: the marker file that says what an export
holds (so that a rerun with the same inputs leaves it alone, and a folder
without one is never overwritten), and the timing of full batches of an export
loaded as the program loads it.

TensorFlow is imported by save and time_batches alone.
"""

import hashlib
import json
import os
import time

import numpy as np

from .model_contract import BATCH, INPUT_TENSOR, OUTPUT_TENSOR, PATCH, SERVE_TAG

MARKER = "export_info.json"


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def read_marker(folder):
    """The description in `folder`'s marker file; None when there is none that reads."""
    try:
        with open(os.path.join(folder, MARKER)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def save(staged, sess, patches, output, description):
    """Write the session's graph and variables to `staged` as a SavedModel tagged
    SERVE_TAG with one serving signature, and the marker holding `description`."""
    import tensorflow as tf

    tf1 = tf.compat.v1
    signature = tf1.saved_model.signature_def_utils.predict_signature_def(
        inputs={"patches": patches}, outputs={"descriptors": output})
    builder = tf1.saved_model.Builder(staged)
    builder.add_meta_graph_and_variables(sess, [SERVE_TAG], signature_def_map={"serving_default": signature})
    builder.save()
    with open(os.path.join(staged, MARKER), "w") as f:
        json.dump(description, f)
        f.write("\n")


def time_batches(outdir, runs):
    """Load the export as the C++ program does and time full batches."""
    import tensorflow as tf

    tf1 = tf.compat.v1
    with tf.Graph().as_default() as graph, tf1.Session(graph=graph) as sess:
        tf1.saved_model.loader.load(sess, [SERVE_TAG], outdir)
        rng = np.random.default_rng(0)
        patches = rng.uniform(0, 255, (BATCH, PATCH, PATCH, 1)).astype(np.float32)
        seconds = []
        for _ in range(runs):
            start = time.perf_counter()
            out = sess.run(OUTPUT_TENSOR, {INPUT_TENSOR: patches})
            seconds.append(time.perf_counter() - start)
    norms = np.linalg.norm(out, axis=1)
    print(f"output {out.dtype} {list(out.shape)}, row norms {norms.min():.4f}..{norms.max():.4f}")
    print("batch of %d: first %.3f s, best %.3f s, median %.3f s over %d runs"
          % (BATCH, seconds[0], min(seconds), float(np.median(seconds)), runs))
