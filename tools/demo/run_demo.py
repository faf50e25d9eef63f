#!/usr/bin/env python3
"""Run the program on a workspace and summarise what it did per capture.

The program's own console lines are passed through as they come. Seconds per
capture are measured between consecutive "uuid : " reports, so each figure
covers one capture's network runs and file writing plus the next capture's
image preparation and keypoint search.

When the run succeeds, it then matches two captures of one scene seen from
two places as COLMAP's matcher does (mutual nearest neighbours of the
descriptors passing the ratio test from both sides), fits a homography to the
matches with RANSAC, prints one line with the match and inlier counts and
draws the inliers green, the outliers faint red, into a PNG file whose caption
gives the same counts.

Usage: run_demo.py PROGRAM MODEL WORKSPACE [--drawing PNG]
"""

import argparse
import os
import subprocess
import sys
import time

from lf_tools.common.drawing import draw_matches, save_png  # noqa: E402
from lf_tools.common.matching import fit_geometry, mutual_nearest_neighbours  # noqa: E402
from lf_tools.common.prepared_image import prepare_capture_image  # noqa: E402
from lf_tools.common.results import read_results  # noqa: E402
from lf_tools.common.capture_list import read_capture_list  # noqa: E402

# leuvenA.jpg and leuvenB.jpg: one street, the camera turned between the two.
MATCHED_PAIR = ("demo-0002", "demo-0003")
RANSAC_PIXELS = 3.0
DRAWING_WIDTH = 1024
DRAWN_MATCHES = 150  # inliers, and as many outliers at most: more hide each other at this width
RATIO = 0.8  # COLMAP's matcher's default


def matching_summary(workspace, drawing, pair=MATCHED_PAIR):
    """Match the pair, fit a homography, draw; returns the summary line."""
    matches_folder = os.path.join(workspace, "caches", "matches")
    records = {record["uuid"]: record for record in read_capture_list(workspace)}
    (keypoints1, descriptors1), (keypoints2, descriptors2) = (
        read_results(matches_folder, uuid) for uuid in pair)
    matches = mutual_nearest_neighbours(descriptors1, descriptors2, RATIO, symmetric=True)
    _, inliers = fit_geometry(keypoints1, keypoints2, matches, "homography", RANSAC_PIXELS)
    inlier_count = int(inliers.sum())
    share = inlier_count / len(matches) if len(matches) else 0.0
    names = ", ".join(os.path.basename(records[uuid]["raw1_image"]) for uuid in pair)
    drawn = min(inlier_count, DRAWN_MATCHES)
    caption = (f"{names.replace(', ', ' - ')}: {len(matches)} matches (mutual nearest neighbours, "
               f"ratio test {RATIO:g} both ways)\n{inlier_count} inliers of a homography fit "
               f"(RANSAC, {RANSAC_PIXELS:g} px; {share:.1%}): {drawn} of them drawn green, "
               f"outliers faint red")
    picture = draw_matches(prepare_capture_image(workspace, records[pair[0]]),
                           prepare_capture_image(workspace, records[pair[1]]),
                           keypoints1, keypoints2, matches, inliers, DRAWING_WIDTH, DRAWN_MATCHES,
                           outliers="faint", caption=caption)
    save_png(drawing, picture)
    return (f"Matching {pair[0]} with {pair[1]} ({names}): {len(matches)} matches (mutual nearest "
            f"neighbours, ratio test {RATIO:g} both ways), {inlier_count} inliers of a homography "
            f"fit (RANSAC, {RANSAC_PIXELS:g} px; {share:.1%}). Drawing: {os.path.abspath(drawing)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("model")
    parser.add_argument("workspace")
    parser.add_argument("--drawing", help="PNG file for the matches (default: beside the workspace)")
    args = parser.parse_args()
    drawing = args.drawing or os.path.join(
        os.path.dirname(os.path.abspath(args.workspace)), f"matches-{'-'.join(MATCHED_PAIR)}.png")

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
    if run.returncode == 0:
        print(matching_summary(args.workspace, drawing))
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
