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
reprojection error, and the time of each step. All of OUT's files are put in
place at once, as export.py's are (see there): an earlier OUT stays whole until
the new one is complete, and also when a run fails or is interrupted.

--features sift uses OpenCV SIFT descriptors at the program's keypoints
instead of the network's; --features pycolmap-sift lets pycolmap find and
match its own SIFT features on the raw images (for comparison: the result
files are not used).

Usage: reconstruct.py WORKSPACE OUT [--pairs FILE] [--camera ...] [--ratio R | --no-ratio]
                      [--features network|sift|pycolmap-sift]
"""

import argparse
import json
import os
import shutil
import sys
import time
from dataclasses import dataclass

import numpy as np

from lf_tools.common.capture_list import CaptureListError, image_name, read_capture_list
from lf_tools.user.export import (INTERRUPTED, INTERRUPTED_EXIT_CODE, PYCOLMAP_CHILD_PREAMBLE,
                                  ExportError, add_export_options, check_output, check_ratio,
                                  disk_full_hint, interrupt_point, load_pycolmap, prepare_export,
                                  publish, quiet_pycolmap, run_pycolmap_child, verified_inliers,
                                  write_export, writing)

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


SIFT_CODE = PYCOLMAP_CHILD_PREAMBLE + """\
database, workspace = sys.argv[1:]
pycolmap.extract_features(database, workspace, image_names=json.load(sys.stdin),
                          camera_mode=pycolmap.CameraMode.AUTO, device=pycolmap.Device.cpu)
pycolmap.match_exhaustive(database, device=pycolmap.Device.cpu)
"""


def sift_image_names(workspace):
    """The list's first images, as export.py names them."""
    try:
        records = read_capture_list(workspace)
    except CaptureListError as error:
        raise ExportError(str(error)) from None
    return list(dict.fromkeys(image_name(record["raw1_image"]) for record in records))


def pycolmap_sift_database(workspace, names, folder):
    """COLMAP's own SIFT features and exhaustive matching (with verification) on
    the raw images, into folder/database.db; returns (image count, verified
    pairs, inlier matches)."""
    database = os.path.join(folder, "database.db")
    run_pycolmap_child(SIFT_CODE, "pycolmap's SIFT features and matching", folder,
                       [database, workspace], stdin=json.dumps(names))
    return (len(names), *verified_inliers(database))


def map_scene(database, workspace, folder, seed=0):
    """The largest model of pycolmap's incremental mapping, or None."""
    pycolmap = load_pycolmap()

    quiet_pycolmap()
    options = pycolmap.IncrementalPipelineOptions()
    options.random_seed = seed
    options.min_model_size = 2
    work = os.path.join(folder, ".models")
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
    # Encoded here and written by Python, whose failed write raises (OpenCV's
    # imwrite prints libpng's error and answers False).
    with writing(path), open(path, "wb") as f:
        f.write(cv2.imencode(".png", picture)[1].tobytes())


def reconstruct(workspace, out, pairs_file=None, camera="per-size", ratio=0.8, features="network",
                log=print):
    """Replaces OUT with the export's files and the model's, all put in place at
    once (export.publish); returns (ReconstructionSummary, model or None).
    Raises ExportError, and KeyboardInterrupt on Ctrl-C."""
    if not os.path.isdir(workspace):
        raise ExportError(f"{workspace} is not a folder")
    check_output(out, workspace)
    if features == "pycolmap-sift":
        names, prepared = sift_image_names(workspace), None
    else:
        prepared = prepare_export(workspace, pairs_file, camera, ratio,
                                  "sift" if features == "sift" else "network", log=log)
    result = []

    def build(folder):
        if prepared is None:
            mark = time.monotonic()
            images, verified_pairs, inliers = pycolmap_sift_database(workspace, names, folder)
            seconds = {"pycolmap SIFT and matching": time.monotonic() - mark}
        else:
            exported = write_export(folder, prepared)
            images, verified_pairs = exported.captures, exported.verified_pairs
            inliers = exported.inlier_matches
            seconds = dict(exported.seconds)
        mark = time.monotonic()
        model = map_scene(os.path.join(folder, "database.db"), workspace, folder)
        seconds["mapping"] = time.monotonic() - mark
        interrupt_point("mapping")
        if model is None:
            summary = ReconstructionSummary(images, 0, 0, 0.0, 0.0, verified_pairs, inliers, seconds)
            result.append((summary, None))
            return
        mark = time.monotonic()
        write_model(model, folder)
        seconds["writing the model"] = time.monotonic() - mark
        result.append((ReconstructionSummary(images, model.num_reg_images(), model.num_points3D(),
                                             model.compute_mean_track_length(),
                                             model.compute_mean_reprojection_error(), verified_pairs,
                                             inliers, seconds), model))

    publish(out, build)
    return result[0]


def write_model(model, folder):
    """folder/model/, folder/points.ply and folder/reconstruction.png."""
    model_folder = os.path.join(folder, "model")
    with writing(model_folder):
        os.makedirs(model_folder)
        model.write_binary(model_folder)
    check_written(model_folder)
    with writing(os.path.join(folder, "points.ply")):
        model.export_PLY(os.path.join(folder, "points.ply"))
    check_written(os.path.join(folder, "points.ply"))
    draw_model(model, os.path.join(folder, "reconstruction.png"))
    interrupt_point("model")


def check_written(path):
    """pycolmap's model writers report no failed write: a disk found full
    after one is taken as one (the file may stop short)."""
    if disk_full_hint(path):
        raise ExportError(f"cannot write {os.path.basename(path)}{disk_full_hint(path)}")


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
    except KeyboardInterrupt:
        print(INTERRUPTED, file=sys.stderr)
        return INTERRUPTED_EXIT_CODE
    print(summary.line())
    if model is None:
        print("error: no model: pycolmap found no initial pair to start from (too few verified "
              "matches, or views turned with too little movement between them)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
