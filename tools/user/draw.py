#!/usr/bin/env python3
"""Draw a capture's keypoints, or the matches between two captures, as PNG.

Pictures are drawn on the capture's image prepared as the program prepares it
(grey, 2048 columns, a pair's two images averaged), where the keypoints are.

  draw.py keypoints WORKSPACE UUID OUT.png [--largest N]
      a circle of the keypoint's size around each keypoint, with a radius
      towards its angle;
  draw.py matches WORKSPACE UUID1 UUID2 OUT.png [--ratio R] [--fit MODEL]
                  [--outliers full|faint|off]
      the two images side by side, a line per mutual-nearest-neighbour match
      (with --ratio, passing the ratio test from both sides): green for the
      inliers of a RANSAC fit, faint red for the others (or full red, or
      none); at most --max-lines inliers and as many outliers (default 300,
      0 for all), spread over each list; a caption with the counts.

--width N scales the picture down to N columns.
"""

import argparse
import sys

from lf_tools.common.capture_list import CaptureListError, find_record
from lf_tools.common.drawing import (check_picture_name, check_width, draw_capture_matches,
                                     draw_keypoints, save_png)
from lf_tools.common.matching import RANSAC_PIXELS, fit_geometry, fit_line, match_captures
from lf_tools.common.prepared_image import ImageError, prepare_capture_image
from lf_tools.common.results import ResultError, load_features

DRAWN_MATCHES = 300


def draw_keypoint_picture(workspace, uuid, out, largest=None, width=None):
    """Returns how many keypoints were drawn (the file lists the largest first)."""
    keypoints, _ = load_features(workspace, uuid)
    if largest is not None:
        keypoints = keypoints[:largest]
    image = prepare_capture_image(workspace, find_record(workspace, uuid))
    save_png(out, draw_keypoints(image, keypoints), width)
    return len(keypoints)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    keypoints = commands.add_parser("keypoints", help="a capture's keypoints")
    keypoints.add_argument("workspace")
    keypoints.add_argument("uuid")
    keypoints.add_argument("out", help="PNG file to write")
    keypoints.add_argument("--largest", type=int, help="draw only the N largest keypoints")
    matches = commands.add_parser("matches", help="the matches between two captures")
    matches.add_argument("workspace")
    matches.add_argument("uuid1")
    matches.add_argument("uuid2")
    matches.add_argument("out", help="PNG file to write")
    matches.add_argument("--ratio", type=float, help="Lowe's ratio test threshold, e.g. 0.8")
    matches.add_argument("--fit", choices=("homography", "fundamental"), default="homography")
    matches.add_argument("--ransac-px", type=float, default=RANSAC_PIXELS)
    matches.add_argument("--max-lines", type=int, default=DRAWN_MATCHES,
                         help=f"draw at most N inliers and N outliers (default {DRAWN_MATCHES}, 0 for all)")
    matches.add_argument("--outliers", choices=("full", "faint", "off"), default="faint",
                         help="how outliers are drawn (default faint)")
    for command in (keypoints, matches):
        command.add_argument("--width", type=int, help="scale the picture down to N columns")
    return parser.parse_args(argv)


def check_options(args):
    check_picture_name(args.out)
    check_width(args.width)
    for option in ("largest", "max_lines"):
        value = getattr(args, option, None)
        if value is not None and value < 0:
            raise ValueError(f"--{option.replace('_', '-')} cannot be negative ({value})")


def main(argv=None):
    args = parse_arguments(argv)
    try:
        check_options(args)
        if args.command == "keypoints":
            count = draw_keypoint_picture(args.workspace, args.uuid, args.out, args.largest,
                                          args.width)
            print(f"{args.out}: {count} keypoints of {args.uuid}")
            return 0
        keypoints1, keypoints2, matches = match_captures(args.workspace, args.uuid1, args.uuid2,
                                                         args.ratio, symmetric=True)
        _, inliers = fit_geometry(keypoints1, keypoints2, matches, args.fit, args.ransac_px)
        line = fit_line(args.fit, inliers, len(matches), args.ransac_px)
        draw_capture_matches(args.workspace, args.uuid1, args.uuid2, keypoints1, keypoints2,
                             matches, inliers, args.out, args.width, args.max_lines or None,
                             args.outliers, f"{args.uuid1} - {args.uuid2}: {line}")
        print(f"{args.out}: {line}")
        return 0
    except (ResultError, ImageError, CaptureListError, ValueError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
