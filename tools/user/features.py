#!/usr/bin/env python3
"""Read a capture's keypoints and descriptors into numpy arrays.

As a module:
    from lf_tools.user.features import load_features
    keypoints, descriptors = load_features("build/demo/workspace", "demo-0002")
keypoints is float32 [N, 4] (x, y, size, angle: pixels of the prepared image,
degrees); descriptors is float32 [N, 128], memory-mapped and read-only, row i
describing keypoint i. An inconsistent or missing pair raises ResultError.

As a command, prints one line per capture (all of the workspace's list when no
uuid is given; for a matches folder, the list beside it in caches/) and exits 1
if any pair is missing or inconsistent, or holds descriptors with NaN or
infinity (which the matching tools leave out).

Usage: features.py FOLDER [UUID ...]    (FOLDER: a workspace or its caches/matches)
"""

import argparse
import os
import sys

import numpy as np

from lf_tools.common.capture_list import CaptureListError, read_capture_list
from lf_tools.common.matching import finite_rows
from lf_tools.common.results import ResultError, load_features, matches_folder

__all__ = ["ResultError", "load_features", "matches_folder"]


def list_workspace(folder):
    """The workspace whose capture list names the captures of `folder`."""
    if os.path.isdir(os.path.join(folder, "caches", "matches")) \
            or os.path.isfile(os.path.join(folder, "caches", "images.json")):
        return folder
    # A matches folder: its list is caches/images.json, one level up.
    return os.path.dirname(os.path.dirname(os.path.abspath(folder)))


def summary(uuid, keypoints, descriptors):
    """(line, count of descriptor rows with NaN or infinity)."""
    if len(keypoints) == 0:
        return f"{uuid}: 0 keypoints", 0
    finite = finite_rows(descriptors)
    bad = int(len(finite) - finite.sum())
    norms = np.linalg.norm(descriptors[finite], axis=1)
    line = (f"{uuid}: {len(keypoints)} keypoints, sizes {keypoints[:, 2].min():.3g}.."
            f"{keypoints[:, 2].max():.3g}, descriptors {descriptors.shape[1]}-D")
    if len(norms):
        line += f" with norms {norms.min():.3g}..{norms.max():.3g}"
    if bad:
        line += f", {bad} with NaN or infinity"
    return line, bad


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", help="workspace, or a folder of <uuid>.feat/<uuid>.desc files")
    parser.add_argument("uuids", nargs="*", help="captures (default: every capture of the workspace)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.folder):
        print(f"error: {args.folder} is not a folder", file=sys.stderr)
        return 1
    try:
        uuids = args.uuids or [record["uuid"] for record in read_capture_list(list_workspace(args.folder))]
    except CaptureListError as error:
        print(f"error: {error} (or name the captures after the folder)", file=sys.stderr)
        return 1
    failed = 0
    for uuid in uuids:
        try:
            line, non_finite = summary(uuid, *load_features(args.folder, uuid))
        except ResultError as error:
            print(f"error: {error}", file=sys.stderr)
            failed += 1
            continue
        print(line)
        if non_finite:
            print(f"error: {uuid}: {non_finite} descriptor rows hold NaN or infinity "
                  "(the matching tools leave them out)", file=sys.stderr)
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
