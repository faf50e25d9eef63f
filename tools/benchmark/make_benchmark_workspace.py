#!/usr/bin/env python3
"""Build the benchmark workspace from the sample photographs of opencv-doc.

Eight captures of real photographs, each giving 10,000 or more keypoints once
prepared at 2048x1024 (about 175,000 in all); the first is a stereo pair, so
the averaging path is timed too.

The layout is the one common/workspace_writer.py writes. An existing workspace
built from the same capture list is kept as it is.

Usage: make_benchmark_workspace.py OUTDIR [--source DIR] [--force]
"""

import argparse
import json
import os
import sys

from lf_tools.common.folders import replace_folder  # noqa: E402
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


def marker_text():
    # The marker holds the capture list, so a changed list rebuilds the workspace.
    return json.dumps({"captures": CAPTURES}) + "\n"


def is_current(outdir):
    try:
        with open(os.path.join(outdir, MARKER)) as f:
            return f.read() == marker_text()
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", help="workspace folder to create")
    parser.add_argument("--source", default=DEFAULT_SOURCE,
                        help=f"folder holding the sample photographs (default {DEFAULT_SOURCE})")
    parser.add_argument("--force", action="store_true", help="rebuild even when up to date")
    args = parser.parse_args()

    outdir = os.path.abspath(args.outdir)
    if os.path.exists(outdir):
        if not os.path.exists(os.path.join(outdir, MARKER)):
            print(f"error: {outdir} exists and is not a benchmark workspace", file=sys.stderr)
            return 1
        if is_current(outdir) and not args.force:
            print(f"{outdir} already holds the benchmark workspace")
            return 0

    def fill(staged):
        write_workspace(staged, CAPTURES, lambda name: read_source(args.source, name))
        with open(os.path.join(staged, MARKER), "w") as f:
            f.write(marker_text())

    try:
        replace_folder(outdir, ".benchmark-workspace-", fill)
    except FileNotFoundError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(f"wrote benchmark workspace with {len(CAPTURES)} captures to {outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
