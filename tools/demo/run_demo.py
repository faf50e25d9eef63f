#!/usr/bin/env python3
"""Run the program on a workspace and summarise what it did per capture.

The program's own console lines are passed through as they come. Seconds per
capture are measured between consecutive "uuid : " reports, so each figure
covers one capture's network runs and file writing plus the next capture's
image preparation and keypoint search.

Usage: run_demo.py PROGRAM MODEL WORKSPACE
"""

import argparse
import os
import subprocess
import sys
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("model")
    parser.add_argument("workspace")
    args = parser.parse_args()

    started = time.monotonic()
    captures = []  # [uuid, keypoints, seconds]
    last_mark = started
    with subprocess.Popen([args.program, args.model, args.workspace], stdout=subprocess.PIPE, text=True) as run:
        for line in run.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            now = time.monotonic()
            if line.startswith("uuid : "):
                if captures:
                    captures[-1][2] = now - last_mark
                last_mark = now
                captures.append([line[len("uuid : "):].rstrip("\n"), None, None])
            elif line.startswith("keypoints: ") and captures:
                captures[-1][1] = int(line.split()[1])
    finished = time.monotonic()
    if captures and captures[-1][2] is None:
        captures[-1][2] = finished - last_mark

    matches = os.path.join(args.workspace, "caches", "matches")
    print()
    print(f"{'capture':<16}{'keypoints':>10}{'seconds':>10}")
    for uuid, keypoints, seconds in captures:
        print(f"{uuid:<16}{keypoints if keypoints is not None else '-':>10}{seconds:>10.2f}")
    print(f"Total {finished - started:.1f} s, exit code {run.returncode}.")
    print(f"Results (<uuid>.feat keypoints, <uuid>.desc descriptors) are in {os.path.abspath(matches)}")
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
