#!/usr/bin/env python3
"""The program's pipeline written plainly in Python, as a yardstick.

Same steps as the program, written the obvious way:
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
import math  # noqa: E402
import os  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from common.model_contract import (BATCH, DESCRIPTOR_LENGTH as DIM, PATCH,  # noqa: E402
                                   SERVE_TAG)
from common.model_contract import INPUT_TENSOR as INPUT, OUTPUT_TENSOR as OUTPUT  # noqa: E402
from common.results import write_results  # noqa: E402
from common.workspace_writer import read_capture_list  # noqa: E402

tf1 = tf.compat.v1

WIDTH, HEIGHT = 2048, 1024
# pi rounded to float, over 180, as the program uses it.
DEG_TO_RAD = 0.017453293005625408


def load_grey(path):
    image = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if image is None:
        raise RuntimeError(f"cannot read image {path}")
    if image.shape[1] != WIDTH:
        image = cv2.resize(image, (WIDTH, HEIGHT), interpolation=cv2.INTER_LINEAR)
    return image


def prepare(data_dir, record):
    first = load_grey(os.path.join(data_dir, record["raw1_image"]))
    if not record["raw2_image"]:
        return first
    second = load_grey(os.path.join(data_dir, record["raw2_image"]))
    return cv2.addWeighted(first, 0.5, second, 0.5, 0)


def detect(sift, image):
    keypoints = sift.detect(image, None)
    return sorted(keypoints, key=lambda k: k.size, reverse=True)


def sampling_grid():
    """Columns gx (along the patch row) and gy, one row per sample."""
    offsets = (2.0 * (np.arange(PATCH) / PATCH) - 1.0).astype(np.float32)
    gx, gy = np.meshgrid(offsets, offsets)
    return gx.reshape(-1, 1), gy.reshape(-1, 1)


def keypoint_transform(keypoint, diagonal):
    radius = int(keypoint.size * 0.5 * 3.0 * math.sqrt(2.0) * 5.0 * 0.5)
    reach = min(float(radius), diagonal)
    theta = (360.0 - keypoint.angle) * DEG_TO_RAD
    a, b = reach * math.cos(theta), reach * math.sin(theta)
    x, y = keypoint.pt
    return np.array([[a, -b], [b, a], [x, y]], np.float32)


def extract(image, keypoints):
    gx, gy = sampling_grid()
    float_image = image.astype(np.float32)
    rows, cols = image.shape
    diagonal = math.sqrt(cols * cols + rows * rows)
    patches = np.empty((len(keypoints), PATCH, PATCH), np.float32)
    for k, keypoint in enumerate(keypoints):
        # (gx, gy, 1) times the transform, summed in this order in float32 as
        # OpenCV's matrix product does: numpy's matmul rounds differently, and a
        # position one float step off can change a patch.
        t = keypoint_transform(keypoint, diagonal)
        positions = (gx * t[0] + gy * t[1] + t[2]).reshape(PATCH, PATCH, 2)
        patch = cv2.remap(float_image, positions, None, cv2.INTER_LINEAR,
                          borderMode=cv2.BORDER_REPLICATE)
        mean, deviation = cv2.meanStdDev(patch)
        m, s = np.float32(mean[0, 0]), np.float32(deviation[0, 0])
        patches[k] = 0.0 if s == 0 else (patch - m) / s
    return patches


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
    sift = cv2.SIFT_create(-1, 3, 0.01, 10.0, 1.6)
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
