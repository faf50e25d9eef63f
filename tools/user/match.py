#!/usr/bin/env python3
"""Match two captures' descriptors and score the matches.

Matches are mutual nearest neighbours of the descriptors (Euclidean), with
Lowe's ratio test when --ratio is given. With --homography (an OpenCV XML/YAML
file such as opencv-doc's H1to3p.xml, or a text file of 3 lines of 3 numbers)
it prints the mean matching accuracy, the share of matches whose keypoint in
the first capture, mapped by the homography, lands within 1, 2, 3, 5 and 10
pixels of its partner, and how many do. Without one it fits a homography (or
with --fit fundamental, a fundamental matrix) with RANSAC and prints the
inlier count.

Pixels are those of the prepared images (2048 columns), where the keypoints
are. A homography given in the raw images' pixels (the default, as
H1to3p.xml is) is carried over to the prepared images first.

Usage: match.py WORKSPACE UUID1 UUID2 [--ratio R] [--homography FILE]
                [--fit homography|fundamental] [--draw OUT.png]
"""

import argparse
import sys

import numpy as np

from lf_tools.common.capture_list import CaptureListError, find_record
from lf_tools.common.drawing import check_picture_name, check_width, draw_capture_matches
from lf_tools.common.matching import (MMA_THRESHOLDS, RANSAC_PIXELS, fit_geometry, fit_line,
                                      load_homography, match_captures, mean_matching_accuracy,
                                      non_finite_count, project)
from lf_tools.common.prepared_image import ImageError, raw_size, raw_to_prepared
from lf_tools.common.results import ResultError, load_features


def homography_in_prepared_pixels(H, workspace, uuid1, uuid2):
    """H from the raw images' pixels (each capture's first image) to the prepared images'."""
    to_prepared1 = raw_to_prepared(*raw_size(workspace, find_record(workspace, uuid1)))
    to_prepared2 = raw_to_prepared(*raw_size(workspace, find_record(workspace, uuid2)))
    return to_prepared2 @ H @ np.linalg.inv(to_prepared1)


def accuracy_lines(scores):
    thresholds = list(scores)
    return [
        "threshold px " + "".join(f"{t:>7g}" for t in thresholds),
        "MMA          " + "".join(f"{scores[t][0]:>7.3f}" for t in thresholds),
        "correct      " + "".join(f"{scores[t][1]:>7d}" for t in thresholds),
    ]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workspace")
    parser.add_argument("uuid1")
    parser.add_argument("uuid2")
    parser.add_argument("--ratio", type=float, help="Lowe's ratio test threshold, e.g. 0.8")
    parser.add_argument("--homography", metavar="FILE", help="ground-truth homography, first to second")
    parser.add_argument("--homography-pixels", choices=("raw", "prepared"), default="raw",
                        help="pixels the homography is given in (default raw: those of the image files)")
    parser.add_argument("--fit", choices=("homography", "fundamental"), default="homography",
                        help="model fitted when no homography is given (default homography)")
    parser.add_argument("--ransac-px", type=float, default=RANSAC_PIXELS,
                        help=f"RANSAC inlier distance in pixels (default {RANSAC_PIXELS:g})")
    parser.add_argument("--draw", metavar="PNG", help="also draw the matches into this PNG file")
    parser.add_argument("--draw-width", type=int, default=2048,
                        help="width of the drawing in pixels (default 2048)")
    parser.add_argument("--draw-max-lines", type=int, default=300,
                        help="draw at most N matches, spread over the list (default 300, 0 for all)")
    return parser.parse_args(argv)


def check_options(args):
    if args.draw:
        check_picture_name(args.draw)
        check_width(args.draw_width, "--draw-width")
    if args.draw_max_lines < 0:
        raise ValueError(f"--draw-max-lines cannot be negative ({args.draw_max_lines})")
    if args.ratio is not None and not 0 < args.ratio <= 1:
        raise ValueError(f"--ratio must be above 0 and at most 1, not {args.ratio:g}")
    if not args.ransac_px > 0:
        raise ValueError(f"--ransac-px must be positive, not {args.ransac_px:g}")


def report_non_finite(folder, uuid):
    bad = non_finite_count(load_features(folder, uuid)[1])
    if bad:
        print(f"warning: {uuid}: {bad} descriptor rows hold NaN or infinity; left out of matching",
              file=sys.stderr)


def main(argv=None):
    args = parse_arguments(argv)
    try:
        check_options(args)
        H = load_homography(args.homography) if args.homography else None
        if H is not None and args.homography_pixels == "raw":
            H = homography_in_prepared_pixels(H, args.workspace, args.uuid1, args.uuid2)
        for uuid in (args.uuid1, args.uuid2):
            report_non_finite(args.workspace, uuid)
        keypoints1, keypoints2, matches = match_captures(args.workspace, args.uuid1, args.uuid2,
                                                         args.ratio)
    except (ResultError, ImageError, CaptureListError, ValueError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    rule = "mutual nearest neighbours" + (f", ratio < {args.ratio:g}" if args.ratio else "")
    print(f"{args.uuid1}: {len(keypoints1)} keypoints, {args.uuid2}: {len(keypoints2)} keypoints")
    print(f"matches ({rule}): {len(matches)}")
    if H is not None:
        scores = mean_matching_accuracy(keypoints1, keypoints2, matches, H, MMA_THRESHOLDS)
        for line in accuracy_lines(scores):
            print(line)
        # Drawn green: the matches correct within --ransac-px.
        errors = project(H, keypoints1[matches[:, 0], :2]) - keypoints2[matches[:, 1], :2]
        inliers = np.linalg.norm(errors, axis=1) <= args.ransac_px
    else:
        _, inliers = fit_geometry(keypoints1, keypoints2, matches, args.fit, args.ransac_px)
        print(fit_line(args.fit, inliers, len(matches), args.ransac_px))
    if args.draw:
        try:
            draw_capture_matches(args.workspace, args.uuid1, args.uuid2, keypoints1, keypoints2,
                               matches, inliers, args.draw, args.draw_width,
                               args.draw_max_lines or None)
        except (ImageError, CaptureListError, ValueError, OSError) as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        print(f"drawing: {args.draw}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
