#!/usr/bin/env python3
"""Build the benchmark workspace from the sample photographs of opencv-doc.

Eight captures of real photographs, each giving 10,000 or more keypoints once
prepared at 2048x1024 (about 175,000 in all); the first is a stereo pair, so
the averaging path is timed too.

With --small, 300 small captures instead: strips 2048 wide and 24 rows high
cut from low-texture photographs, about 160 keypoints each (the program keeps
an image that is 2048 wide at its own height). They time what a capture costs
beyond its keypoints: one network run each, unless batches are shared.

The layout is the one common/workspace_writer.py writes. An existing workspace
built from the same capture list is kept as it is.

Usage: make_benchmark_workspace.py OUTDIR [--source DIR] [--small] [--force]
"""

import argparse
import json
import os
import sys

from lf_tools.common.folders import replace_folder  # noqa: E402
from lf_tools.common.program import PREPARED_HEIGHT, PREPARED_WIDTH  # noqa: E402
from lf_tools.common.workspace_writer import DEBIAN_SAMPLES as DEFAULT_SOURCE  # noqa: E402
from lf_tools.common.workspace_writer import read_source, write_workspace  # noqa: E402

MARKER = ".benchmark_workspace"

# (uuid, raw1, raw2); keypoints at 2048x1024 in the comments.
CAPTURES = [
    ("bench-01", "aloeL.jpg", "aloeR.jpg"),  # 38,209
    ("bench-02", "leuvenA.jpg", ""),         # 30,611
    ("bench-03", "leuvenB.jpg", ""),         # 30,221
    ("bench-04", "aero1.jpg", ""),           # 19,585
    ("bench-05", "aero3.jpg", ""),           # 20,230
    ("bench-06", "building.jpg", ""),        # 12,210
    ("bench-07", "graf1.png", ""),           # 11,461
    ("bench-08", "graf3.png", ""),           # 12,939
]


# Small captures: (photograph, first row of the strip at 2048 wide) cycled.
SMALL_SOURCES = ["building.jpg", "graf1.png", "fruits.jpg", "graf3.png"]
SMALL_COUNT = 300
SMALL_HEIGHT = 24


def small_captures():
    return [(f"small-{i:03d}", f"small-{i:03d}.png", "") for i in range(SMALL_COUNT)]


def small_image(source, index):
    """PNG bytes of the strip of small capture `index`."""
    import cv2  # only here: the eight-capture workspace copies files as they are
    import numpy as np

    name = SMALL_SOURCES[index % len(SMALL_SOURCES)]
    data = np.frombuffer(read_source(source, name), np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE)
    image = cv2.resize(image, (PREPARED_WIDTH, PREPARED_HEIGHT), interpolation=cv2.INTER_LINEAR)
    strips = (PREPARED_HEIGHT - SMALL_HEIGHT) // SMALL_HEIGHT
    row = (index // len(SMALL_SOURCES)) % strips * SMALL_HEIGHT
    ok, png = cv2.imencode(".png", image[row:row + SMALL_HEIGHT])
    assert ok
    return png.tobytes()


def marker_text(small=False):
    # The marker holds the capture list, so a changed list rebuilds the workspace.
    if small:
        return json.dumps({"small": [SMALL_SOURCES, SMALL_COUNT, SMALL_HEIGHT]}) + "\n"
    return json.dumps({"captures": CAPTURES}) + "\n"


def is_current(outdir, small=False):
    try:
        with open(os.path.join(outdir, MARKER)) as f:
            return f.read() == marker_text(small)
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", help="workspace folder to create")
    parser.add_argument("--source", default=DEFAULT_SOURCE,
                        help=f"folder holding the sample photographs (default {DEFAULT_SOURCE})")
    parser.add_argument("--small", action="store_true",
                        help=f"{SMALL_COUNT} small captures of about 160 keypoints each")
    parser.add_argument("--force", action="store_true", help="rebuild even when up to date")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    if os.path.exists(outdir):
        if not os.path.exists(os.path.join(outdir, MARKER)):
            print(f"error: {outdir} exists and is not a benchmark workspace", file=sys.stderr)
            return 1
        if is_current(outdir, args.small) and not args.force:
            print(f"{outdir} already holds the benchmark workspace")
            return 0

    captures = small_captures() if args.small else CAPTURES

    def image_bytes(name):
        if args.small:
            return small_image(args.source, int(name[len("small-"):-len(".png")]))
        return read_source(args.source, name)

    def fill(staged):
        write_workspace(staged, captures, image_bytes)
        with open(os.path.join(staged, MARKER), "w") as f:
            f.write(marker_text(args.small))

    try:
        replace_folder(outdir, ".benchmark-workspace-", fill)
    except FileNotFoundError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"wrote benchmark workspace with {len(captures)} captures to {outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
