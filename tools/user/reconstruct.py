#!/usr/bin/env python3
"""Reconstruct a workspace's scene in 3D from the program's features, with pycolmap.

Runs export.py's steps into OUT (database.db with verified matches,
features.h5, matches.h5, pairs.txt), then pycolmap's incremental mapping, and
writes the largest model:
  OUT/model/            cameras.bin, images.bin, points3D.bin (COLMAP's format;
                        pycolmap.Reconstruction("OUT/model") reads it)
  OUT/points.ply        the 3D points with their colours
  OUT/reconstruction.png  cameras and points seen from above the scene
and prints one line: registered images, points, mean track length, mean
reprojection error, and the time of each step.

--features sift uses OpenCV SIFT descriptors at the program's keypoints
instead of the network's; --features pycolmap-sift lets pycolmap find and
match its own SIFT features on the raw images (for comparison: the result
files are not used).

Usage: reconstruct.py WORKSPACE OUT [--pairs FILE] [--camera ...] [--ratio R | --no-ratio]
                      [--features network|sift|pycolmap-sift]
"""

import argparse
import os
import shutil
import sys
import time
from dataclasses import dataclass

import numpy as np

from lf_tools.common.capture_list import CaptureListError, image_name, read_capture_list
from lf_tools.user.export import (ExportError, add_export_options, check_ratio, export,
                                  load_pycolmap, prepare_output, quiet_pycolmap,
                                  verified_inliers)

PICTURE_SIZE = 1200


@dataclass
class ReconstructionSummary:
    images: int
    registered: int
    points: int
    mean_track_length: float
    mean_reprojection_error: float
    verified_pairs: int
    inlier_matches: int
    seconds: dict

    def line(self):
        times = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in self.seconds.items())
        return (f"reconstruction: {self.registered}/{self.images} images registered, "
                f"{self.points} points, mean track length {self.mean_track_length:.2f}, "
                f"mean reprojection error {self.mean_reprojection_error:.2f} px; "
                f"{self.verified_pairs} verified pairs, {self.inlier_matches} inlier matches ({times})")


def pycolmap_sift_database(workspace, out):
    """COLMAP's own SIFT features and exhaustive matching (with verification) on
    the raw images; returns (image count, verified pairs, inlier matches)."""
    pycolmap = load_pycolmap()

    try:
        records = read_capture_list(workspace)
    except CaptureListError as error:
        raise ExportError(str(error)) from None
    names = list(dict.fromkeys(image_name(record["raw1_image"]) for record in records))
    database = os.path.join(out, "database.db")
    if os.path.exists(database):
        os.remove(database)
    quiet_pycolmap()
    pycolmap.extract_features(database, workspace, image_names=names,
                              camera_mode=pycolmap.CameraMode.AUTO, device=pycolmap.Device.cpu)
    pycolmap.match_exhaustive(database, device=pycolmap.Device.cpu)
    return (len(names), *verified_inliers(database))


def map_scene(database, workspace, out, seed=0):
    """The largest model of pycolmap's incremental mapping, or None."""
    pycolmap = load_pycolmap()

    quiet_pycolmap()
    options = pycolmap.IncrementalPipelineOptions()
    options.random_seed = seed
    options.min_model_size = 2
    work = os.path.join(out, ".models")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    from tqdm import tqdm

    db = pycolmap.Database.open(database)
    try:
        images = db.num_images()
    finally:
        db.close()
    bar = tqdm(total=images, desc="mapping", unit="image", disable=None, leave=False)
    try:
        models = pycolmap.incremental_mapping(database, workspace, work, options,
                                              initial_image_pair_callback=lambda: bar.update(2),
                                              next_image_callback=lambda: bar.update(1))
    finally:
        bar.close()
        shutil.rmtree(work, ignore_errors=True)
    if not models:
        return None
    return max(models.values(), key=lambda model: model.num_reg_images())


def camera_poses(model):
    """Centres [N, 3] and rotations (world to camera) [N, 3, 3] of the registered images."""
    centres, rotations = [], []
    for image in model.images.values():
        if not image.has_pose:
            continue
        pose = image.cam_from_world()
        rotation = pose.rotation.matrix()
        centres.append(-rotation.T @ pose.translation)
        rotations.append(rotation)
    return np.array(centres).reshape(-1, 3), np.array(rotations).reshape(-1, 3, 3)


def draw_model(model, path, size=PICTURE_SIZE):
    """The scene from above: the points in their colours, each camera a red dot
    with a line along its view. "Above" is against the cameras' mean image-down
    direction, so upright photographs give a ground plan."""
    import cv2

    points = np.array([p.xyz for p in model.points3D.values()]).reshape(-1, 3)
    colours = np.array([p.color for p in model.points3D.values()], np.uint8).reshape(-1, 3)
    centres, rotations = camera_poses(model)
    picture = np.full((size, size, 3), 255, np.uint8)
    if len(centres):
        down = rotations[:, 1, :].mean(axis=0)
        down /= np.linalg.norm(down) or 1.0
        ahead = rotations[:, 2, :].mean(axis=0)
        ahead -= (ahead @ down) * down
        ahead /= np.linalg.norm(ahead) or 1.0
        right = np.cross(down, ahead)
        # Picture x along `right`, picture y against `ahead`: the cameras below, looking up.
        basis = np.stack([right, -ahead])
        everything = np.vstack([points, centres])
        flat = everything @ basis.T
        low, high = np.percentile(flat, 1, axis=0), np.percentile(flat, 99, axis=0)
        low, high = np.minimum(low, (centres @ basis.T).min(axis=0)), \
            np.maximum(high, (centres @ basis.T).max(axis=0))
        middle, reach = (low + high) / 2, max(float(np.max(high - low)) / 2, 1e-9) * 1.1
        scale = (size / 2 - 20) / reach

        def to_pixels(xyz):
            uv = ((np.asarray(xyz).reshape(-1, 3) @ basis.T) - middle) * scale + size / 2
            return [tuple(int(v) for v in row) for row in np.round(uv * 16)]  # 4 fraction bits

        for uv, colour in zip(to_pixels(points), colours):
            cv2.circle(picture, uv, 24, tuple(int(c) for c in colour[::-1]), -1, cv2.LINE_AA, 4)
        for centre, rotation in zip(centres, rotations):
            start, end = to_pixels([centre, centre + 0.1 * reach * rotation[2]])
            cv2.line(picture, start, end, (0, 0, 200), 2, cv2.LINE_AA, 4)
            cv2.circle(picture, start, 16 * 6, (0, 0, 220), -1, cv2.LINE_AA, 4)
    caption = (f"{model.num_reg_images()} cameras, {model.num_points3D()} points, seen from above")
    cv2.putText(picture, caption, (20, 40), cv2.FONT_HERSHEY_SIMPLEX, 1.0, (0, 0, 0), 2, cv2.LINE_AA)
    if not cv2.imwrite(path, picture):
        raise ExportError(f"cannot write {path}")


def reconstruct(workspace, out, pairs_file=None, camera="per-size", ratio=0.8, features="network",
                log=print):
    """Writes OUT; returns (ReconstructionSummary, model or None). Raises ExportError."""
    if not os.path.isdir(workspace):
        raise ExportError(f"{workspace} is not a folder")
    if features == "pycolmap-sift":
        prepare_output(out)
        mark = time.monotonic()
        images, verified_pairs, inliers = pycolmap_sift_database(workspace, out)
        seconds = {"pycolmap SIFT and matching": time.monotonic() - mark}
    else:
        exported = export(workspace, out, pairs_file, camera, ratio,
                          "sift" if features == "sift" else "network", log=log)
        images, verified_pairs, inliers = exported.captures, exported.verified_pairs, exported.inlier_matches
        seconds = dict(exported.seconds)
    mark = time.monotonic()
    model = map_scene(os.path.join(out, "database.db"), workspace, out)
    seconds["mapping"] = time.monotonic() - mark
    model_folder = os.path.join(out, "model")
    for stale in ("points.ply", "reconstruction.png"):
        if os.path.exists(os.path.join(out, stale)):
            os.remove(os.path.join(out, stale))
    shutil.rmtree(model_folder, ignore_errors=True)
    if model is None:
        return ReconstructionSummary(images, 0, 0, 0.0, 0.0, verified_pairs, inliers, seconds), None
    mark = time.monotonic()
    os.makedirs(model_folder)
    model.write_binary(model_folder)
    model.export_PLY(os.path.join(out, "points.ply"))
    draw_model(model, os.path.join(out, "reconstruction.png"))
    seconds["writing the model"] = time.monotonic() - mark
    summary = ReconstructionSummary(images, model.num_reg_images(), model.num_points3D(),
                                    model.compute_mean_track_length(),
                                    model.compute_mean_reprojection_error(), verified_pairs, inliers,
                                    seconds)
    return summary, model


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workspace")
    parser.add_argument("out", help="folder for the database, the model, points.ply and reconstruction.png")
    add_export_options(parser)
    parser.add_argument("--features", choices=("network", "sift", "pycolmap-sift"), default="network",
                        help="the program's descriptors (default), OpenCV SIFT's at the same keypoints, "
                             "or pycolmap's own SIFT features")
    args = parser.parse_args(argv)
    try:
        check_ratio(args.ratio)
        summary, model = reconstruct(args.workspace, args.out, args.pairs, args.camera, args.ratio,
                                     args.features, log=lambda line: print(line, file=sys.stderr))
    except ExportError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    print(summary.line())
    if model is None:
        print("error: no model: pycolmap found no initial pair to start from (too few verified "
              "matches, or views turned with too little movement between them)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
