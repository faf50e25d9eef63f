#!/usr/bin/env python3
"""The program's pipeline written plainly in Python, as a yardstick.

Same steps as the program, written the obvious way (lf_tools.common.program):
OpenCV's Python binding for reading, resizing, averaging, SIFT and one
cv2.remap per keypoint; TensorFlow's Python API running the same SavedModel on
full batches of 1024 patches. Writes <uuid>.feat and <uuid>.desc in the
program's formats to MATCHES_DIR.

Prints the same "stage NAME SECONDS" / "capture ..." / "total SECONDS" lines as
pipeline_benchmark. "startup" counts from the first line of this file, imports
included; "network" covers filling each batch and taking its rows out, as the
program's figure covers packing its batch.

Usage: python_peer.py MODEL_DIR DATA_DIR MATCHES_DIR
"""

import time

START = time.perf_counter()

import argparse  # noqa: E402
import os  # noqa: E402
import sys  # noqa: E402

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import cv2  # noqa: E402,F401  (its import time counts in "startup", as the program's loading does)
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from lf_tools.common.capture_list import read_capture_list  # noqa: E402
from lf_tools.common.model_contract import BATCH, DESCRIPTOR_LENGTH as DIM, PATCH, SERVE_TAG  # noqa: E402
from lf_tools.common.model_contract import INPUT_TENSOR as INPUT, OUTPUT_TENSOR as OUTPUT  # noqa: E402
from lf_tools.common.program import detect, extract, make_sift, prepare  # noqa: E402
from lf_tools.common.results import write_results  # noqa: E402

tf1 = tf.compat.v1


def describe(session, batch, patches):
    out = np.empty((len(patches), DIM), np.float32)
    for first in range(0, len(patches), BATCH):
        count = min(BATCH, len(patches) - first)
        batch[:count, :, :, 0] = patches[first:first + count]
        out[first:first + count] = session.run(OUTPUT, {INPUT: batch})[:count]
    return out


def write(matches_dir, uuid, keypoints, descriptors):
    rows = [(k.pt[0], k.pt[1], k.size, k.angle) for k in keypoints]
    write_results(matches_dir, uuid, rows, descriptors)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model")
    parser.add_argument("data")
    parser.add_argument("matches")
    args = parser.parse_args()

    tf.get_logger().setLevel("ERROR")
    graph = tf.Graph()
    session = tf1.Session(graph=graph)
    with graph.as_default():
        tf1.saved_model.loader.load(session, [SERVE_TAG], args.model)
    records = read_capture_list(args.data)
    os.makedirs(args.matches, exist_ok=True)
    sift = make_sift()
    # Reused like the program's batch: spare slots keep what they held.
    batch = np.full((BATCH, PATCH, PATCH, 1), 0.5, np.float32)
    now = time.perf_counter()
    stages = {"startup": now - START}
    for name in ("prepare", "detect", "extract", "network", "write"):
        stages[name] = 0.0

    keypoint_total = 0
    for record in records:
        mark = time.perf_counter()
        image = prepare(args.data, record)
        now = time.perf_counter()
        times = {"prepare": now - mark}
        mark = now
        keypoints = detect(sift, image)
        now = time.perf_counter()
        times["detect"] = now - mark
        mark = now
        patches = extract(image, keypoints)
        now = time.perf_counter()
        times["extract"] = now - mark
        mark = now
        descriptors = describe(session, batch, patches)
        now = time.perf_counter()
        times["network"] = now - mark
        mark = now
        write(args.matches, record["uuid"], keypoints, descriptors)
        times["write"] = time.perf_counter() - mark
        for name, seconds in times.items():
            stages[name] += seconds
        keypoint_total += len(keypoints)
        print("capture %s %d %.6f %.6f %.6f %.6f %.6f" % (
            record["uuid"], len(keypoints), times["prepare"], times["detect"], times["extract"],
            times["network"], times["write"]), flush=True)

    for name, seconds in stages.items():
        print("stage %s %.6f" % (name, seconds))
    print("keypoints %d" % keypoint_total)
    print("captures %d" % len(records))
    print("total %.6f" % (time.perf_counter() - START))
    return 0


if __name__ == "__main__":
    sys.exit(main())
