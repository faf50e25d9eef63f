#!/usr/bin/env python3
"""A real scene's reconstruction with several descriptors on the program's keypoints.

  real_scene.py pairs WORKSPACE PAIRS_TXT (--cameras FOLDER | --sequential [--ring]) [--neighbours K]
      the view pairs to match: each capture with its K nearest cameras (given
      projection matrices FOLDER/<stem>_P.txt, <stem> the raw image's name up
      to its first dot) or with the next K captures in the list (with --ring,
      the list's end followed by its start, for views taken around an object);
  real_scene.py bundler CAMERAS_OUT NAMES_TXT FOLDER [--turn DEGREES]
      writes FOLDER/<stem>_P.txt for each camera of a Bundler v0.3 solution
      (NAMES_TXT: its images in order, one a line, a leading count line
      allowed); --turn: the solution's pixels are the program's turned by this
      many degrees counter-clockwise (a solution made on the stored pixels of
      photographs the program reads upright by their EXIF orientation);
  real_scene.py rotations WORKSPACE CAMERAS MODEL ...
      the rotation error of each model's views against the cameras, after a
      similarity alignment of the camera centres (the compare figures);
  real_scene.py compare OUT --pairs PAIRS_TXT --network WORKSPACE [--peer NAME=WORKSPACE ...]
                        [--cameras FOLDER]
      reconstructs (reconstruct.py's steps, one shared camera, ratio 0.8) with
      the network's descriptors of WORKSPACE, with OpenCV SIFT descriptors at
      the same keypoints, and with each peer's descriptors (a workspace over the
      same images the program ran on with the peer's model); prints per variant
      the views registered, 3D points and their ratio to SIFT's, verified pairs
      and inlier matches and, with --cameras, the rotation error of each view
      against the given cameras after a similarity alignment; writes OUT/compare.json
      (--keep reuses the figures of variants reconstructed before in OUT).

These are the figures of check_scene.py --compare on a real scene: what the
training's held-out validation measures.
"""

import argparse
import json
import os
import sys

import numpy as np

from lf_tools.common.capture_list import read_capture_list

RATIO = 0.8
NEIGHBOURS = 8


def camera_file(folder, raw_name):
    stem = os.path.basename(raw_name).split(".")[0]
    return os.path.join(folder, f"{stem}_P.txt")


def decompose(projection):
    """(R world to camera, t, K) of a 3x4 projection matrix, R a rotation."""
    import cv2

    projection = np.asarray(projection, np.float64)
    # A matrix given up to a negative scale decomposes into a reflection.
    if np.linalg.det(projection[:, :3]) < 0:
        projection = -projection
    K, R, centre = cv2.decomposeProjectionMatrix(projection)[:3]
    # The factorisation is unique up to signs shared by K's columns and R's rows:
    # take the one with a positive diagonal.
    signs = np.diag(np.sign(np.diag(K)))
    K, R = K @ signs, signs @ R
    centre = centre[:3, 0] / centre[3, 0]
    return R, -R @ centre, K / K[2, 2]


def known_cameras(workspace, folder):
    """check_scene.py's truth: {"views": {uuid: {"image", "R", "t"}}} from the projection matrices."""
    views = {}
    for record in read_capture_list(workspace):
        R, t, _ = decompose(np.loadtxt(camera_file(folder, record["raw1_image"])))
        views[record["uuid"]] = {"image": record["raw1_image"], "R": R.tolist(), "t": t.tolist()}
    return {"views": views}


def nearest_camera_pairs(truth, neighbours=NEIGHBOURS):
    uuids = sorted(truth["views"])
    centres = np.array([-np.array(truth["views"][u]["R"]).T @ np.array(truth["views"][u]["t"]) for u in uuids])
    pairs = set()
    for i, centre in enumerate(centres):
        distances = np.linalg.norm(centres - centre, axis=1)
        for j in np.argsort(distances)[1:neighbours + 1]:
            pairs.add((uuids[min(i, j)], uuids[max(i, j)]))
    return sorted(pairs)


def sequential_pairs(uuids, neighbours=NEIGHBOURS, ring=False):
    if not ring:
        return [(first, second) for i, first in enumerate(uuids) for second in uuids[i + 1:i + 1 + neighbours]]
    pairs, seen = [], set()
    for i, first in enumerate(uuids):
        for k in range(1, neighbours + 1):
            second = uuids[(i + k) % len(uuids)]
            key = frozenset((first, second))
            if first != second and key not in seen:
                seen.add(key)
                pairs.append((first, second))
    return pairs


def bundler_projections(text, turn_degrees=0):
    """[3x4 projection matrix] of a Bundler v0.3 file's cameras, in OpenCV's camera
    frame (Bundler's looks down -z with y up), principal point at the origin: the
    rotation error needs only the rotation. `turn_degrees` turns each camera about its
    optical axis, counter-clockwise as seen in the image."""
    lines = [line for line in text.splitlines() if not line.startswith("#")]
    count = int(lines[0].split()[0])
    angle = np.radians(turn_degrees)
    turn = np.array([[np.cos(angle), np.sin(angle), 0], [-np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    projections = []
    for index in range(count):
        block = [[float(v) for v in line.split()] for line in lines[1 + 5 * index:6 + 5 * index]]
        focal, R, t = block[0][0], np.array(block[1:4]), np.array(block[4])
        K = np.diag([focal, focal, 1.0])
        projections.append(K @ turn @ np.diag([1.0, -1.0, -1.0]) @ np.hstack([R, t[:, None]]))
    return projections


def write_bundler_cameras(cameras_out, names_txt, folder, turn_degrees=0):
    with open(cameras_out) as f:
        projections = bundler_projections(f.read(), turn_degrees)
    with open(names_txt) as f:
        names = f.read().split()
    if names and names[0].isdigit() and len(names) == len(projections) + 1:
        names = names[1:]
    if len(names) != len(projections):
        raise ValueError(f"{names_txt}: {len(names)} names for {len(projections)} cameras")
    os.makedirs(folder, exist_ok=True)
    for name, projection in zip(names, projections):
        np.savetxt(camera_file(folder, name), projection)
    return len(names)


def model_rotations(workspace, cameras, model_folder):
    """(registered views, median, largest rotation error in degrees) of a model."""
    from lf_tools.scene.check_scene import rotation_errors
    from lf_tools.user.export import load_pycolmap

    errors, _ = rotation_errors(load_pycolmap().Reconstruction(model_folder), known_cameras(workspace, cameras))
    values = sorted(errors.values())
    return len(values), float(np.median(values)), float(values[-1])


def write_pairs(path, pairs):
    with open(path, "w") as f:
        f.writelines(f"{a} {b}\n" for a, b in pairs)


def figures(label, summary, model, truth):
    from lf_tools.scene.check_scene import rotation_errors

    result = {"variant": label, "images": summary.images, "registered": summary.registered,
              "points": summary.points, "verified_pairs": summary.verified_pairs,
              "inlier_matches": summary.inlier_matches, "mean_track_length": summary.mean_track_length,
              "mean_reprojection_error": summary.mean_reprojection_error, "seconds": summary.seconds}
    if truth is not None and model is not None:
        errors, centre_error = rotation_errors(model, truth)
        values = sorted(errors.values())
        result.update(rotation_median=float(np.median(values)) if values else None,
                      rotation_max=max(values) if values else None, centre_error=centre_error)
    return result


def line(result):
    text = (f"{result['variant']}: {result['registered']}/{result['images']} views registered, "
            f"{result['points']} points")
    if "points_over_sift" in result:
        text += f" ({result['points_over_sift']:.2f}x SIFT's)"
    text += f", {result['verified_pairs']} verified pairs, {result['inlier_matches']} inlier matches"
    if result.get("rotation_median") is not None:
        text += (f", rotation error median {result['rotation_median']:.3f} deg, max "
                 f"{result['rotation_max']:.3f} deg")
    return text


def compare(out, pairs, network, peers, cameras=None, keep=False, only=(), log=print):
    """With `keep`, a variant whose folder already holds its figures is not reconstructed
    again; with `only`, the other variants are reported from their kept figures, if any."""
    from lf_tools.user.reconstruct import reconstruct

    truth = known_cameras(network, cameras) if cameras else None
    variants = [("SIFT descriptors", network, "sift"), ("network", network, "network")]
    variants += [(name, workspace, "network") for name, workspace in peers]
    results, sift_points = [], None
    for label, workspace, features in variants:
        folder = os.path.join(out, "reconstruction-" + label.replace(" ", "-"))
        kept = os.path.join(folder, "figures.json")
        if (keep or only) and os.path.isfile(kept) and label not in only:
            with open(kept) as f:
                result = json.load(f)
        elif only and label not in only:
            continue
        else:
            summary, model = reconstruct(workspace, folder, pairs, "shared", RATIO, features,
                                         log=lambda text: print(text, file=sys.stderr))
            result = figures(label, summary, model, truth)
            with open(kept, "w") as f:
                json.dump(dict(result, workspace=os.path.abspath(workspace)), f, indent=1)
        if features == "sift":
            sift_points = result["points"]
        elif sift_points:
            result["points_over_sift"] = result["points"] / sift_points
        results.append(result)
        log(line(result))
    with open(os.path.join(out, "compare.json"), "w") as f:
        json.dump(results, f, indent=1)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make_pairs = commands.add_parser("pairs")
    make_pairs.add_argument("workspace")
    make_pairs.add_argument("out")
    how = make_pairs.add_mutually_exclusive_group(required=True)
    how.add_argument("--cameras", help="folder of <stem>_P.txt projection matrices")
    how.add_argument("--sequential", action="store_true", help="the next captures in the list")
    make_pairs.add_argument("--ring", action="store_true", help="with --sequential: the list's start follows its end")
    make_pairs.add_argument("--neighbours", type=int, default=NEIGHBOURS)
    bundler = commands.add_parser("bundler")
    bundler.add_argument("cameras_out")
    bundler.add_argument("names")
    bundler.add_argument("folder")
    bundler.add_argument("--turn", type=float, default=0.0)
    rotations = commands.add_parser("rotations")
    rotations.add_argument("workspace")
    rotations.add_argument("cameras")
    rotations.add_argument("models", nargs="+")
    run = commands.add_parser("compare")
    run.add_argument("out")
    run.add_argument("--pairs", required=True)
    run.add_argument("--network", required=True, help="workspace with the network's results")
    run.add_argument("--peer", action="append", default=[], metavar="NAME=WORKSPACE")
    run.add_argument("--cameras", help="folder of <stem>_P.txt: rotation errors against them")
    run.add_argument("--keep", action="store_true",
                     help="reuse the figures of variants already reconstructed in OUT")
    run.add_argument("--only", action="append", default=[], metavar="VARIANT",
                     help="reconstruct only this variant ('SIFT descriptors', 'network' or a peer's "
                          "name); the others' kept figures are reported")
    args = parser.parse_args(argv)
    if args.command == "pairs":
        if args.cameras:
            pairs = nearest_camera_pairs(known_cameras(args.workspace, args.cameras), args.neighbours)
        else:
            pairs = sequential_pairs([r["uuid"] for r in read_capture_list(args.workspace)], args.neighbours,
                                     args.ring)
        write_pairs(args.out, pairs)
        print(f"wrote {len(pairs)} pairs to {args.out}")
        return 0
    if args.command == "bundler":
        count = write_bundler_cameras(args.cameras_out, args.names, args.folder, args.turn)
        print(f"wrote {count} projection matrices to {args.folder}")
        return 0
    if args.command == "rotations":
        for model in args.models:
            registered, median, largest = model_rotations(args.workspace, args.cameras, model)
            print(f"{model}: {registered} views, rotation error median {median:.3f} deg, max {largest:.3f} deg")
        return 0
    os.makedirs(args.out, exist_ok=True)
    peers = [tuple(text.split("=", 1)) for text in args.peer]
    compare(args.out, args.pairs, args.network, peers, args.cameras, args.keep, args.only)
    return 0


if __name__ == "__main__":
    sys.exit(main())
