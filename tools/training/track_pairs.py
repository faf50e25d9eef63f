#!/usr/bin/env python3
"""Make positive patch pairs from the 3D tracks of a real scene's reconstruction.

Input: a workspace the program has run on, and a model of it reconstructed with
the project's own path (reconstruct.py, whose export names each image by its
capture's raw1_image and keeps each capture's keypoints in the result file's
order, so a track element's point2D index is the program's keypoint index).
Every 3D point of the model with at least --min-track views and a mean
reprojection error of at most --max-error pixels is a verified track; each
gives --pairs-per-track pairs of two of its views' keypoints (different views
drawn at random; with --widest, a track's first pair is the two views that see
its point from the most different directions, the hardest pair it holds). Negatives come from the other tracks in a batch, as train.py
draws them.

Patches are sampled exactly as the program samples them: the keypoints are found
again by the program's mirror (lf_tools.common.program, bit for bit the
program's on Debian's OpenCV), each result-file keypoint is matched to the
mirror's keypoint that prints as it does (the .feat lines are printf %g), and
its patch is the mirror's. A keypoint of the result file that the mirror does not
find stops the run: the OpenCV is not the program's.

Output: OUT/shard-NNNN.npz as pairs.py writes them (`patches` float16
[N, 2, 32, 32], `photo` int16 [N], the first view's capture index, `view` int32
[N], the view pair, and `xy` float32 [N, 2], the first view's keypoint) plus
`track` int32 [N] and `captures` int16 [N, 2]; OUT/manifest.json; with
--picture, a drawing of sample pairs.

Usage: track_pairs.py WORKSPACE MODEL OUT [--min-track N] [--max-error PX] [--pairs-per-track N]
                      [--pairs-per-shard N] [--seed S] [--picture PNG] [--scene NAME] [--widest]
"""

import argparse
import json
import os
import sys
from dataclasses import dataclass

import numpy as np

from lf_tools.common import program as mirror
from lf_tools.common.capture_list import read_capture_list
from lf_tools.common.folders import replace_file
from lf_tools.common.results import matches_folder, read_results

MIN_TRACK = 3
MAX_ERROR_PX = 2.0
PAIRS_PER_SHARD = 20000


@dataclass
class Track:
    point: int  # the model's 3D point id
    elements: list  # [(capture index, keypoint index)], one per view
    xyz: tuple = (0.0, 0.0, 0.0)  # the 3D point


def verified_tracks(model, capture_index, min_track=MIN_TRACK, max_error=MAX_ERROR_PX):
    """Tracks of the model's 3D points seen in at least `min_track` captures with a
    reprojection error of at most `max_error` px; `capture_index` maps an image
    name to its capture's index."""
    names = {image_id: image.name for image_id, image in model.images.items()}
    tracks = []
    for point_id, point in model.points3D.items():
        if point.error > max_error:
            continue
        seen = {}
        for element in point.track.elements:
            capture = capture_index[names[element.image_id]]
            seen.setdefault(capture, element.point2D_idx)
        if len(seen) >= min_track:
            tracks.append(Track(point_id, sorted(seen.items()), tuple(np.asarray(point.xyz, float))))
    return tracks


def camera_centres(model, capture_index):
    """{capture index: camera centre in the model's frame} of the registered images."""
    centres = {}
    for image in model.images.values():
        if image.has_pose:
            pose = image.cam_from_world()
            centres[capture_index[image.name]] = -pose.rotation.matrix().T @ np.asarray(pose.translation)
    return centres


def widest_views(track, centres):
    """(i, j), i < j: the two elements of the track whose viewing rays to its point
    make the largest angle."""
    rays = np.array([centres[capture] - np.asarray(track.xyz) for capture, _ in track.elements], float)
    rays /= np.linalg.norm(rays, axis=1, keepdims=True)
    cosines = rays @ rays.T
    np.fill_diagonal(cosines, np.inf)
    first, second = np.unravel_index(np.argmin(cosines), cosines.shape)
    return (int(min(first, second)), int(max(first, second)))


def draw_pairs(tracks, count, pairs_per_track, rng, centres=None):
    """[(track number, (capture, keypoint), (capture, keypoint))], two different
    views of one track per pair, at most `pairs_per_track` per track; given the
    camera `centres`, each track's first pair is its widest_views. The pairs come
    in rounds, each shuffled, the n-th pair of every track in the n-th round, so that
    a shard cut along the rounds never holds two pairs of one track (they would be
    each other's negatives). `count` > 0 keeps the first `count` pairs."""
    rounds = [[] for _ in range(pairs_per_track)]
    for number, track in enumerate(tracks):
        elements = track.elements
        chosen = set()
        for taken in range(pairs_per_track):
            if len(chosen) * 2 >= len(elements) * (len(elements) - 1):
                break
            if taken == 0 and centres is not None:
                first, second = widest_views(track, centres)
                chosen.add((first, second))
                rounds[0].append((number, elements[first], elements[second]))
                continue
            while True:
                first, second = rng.choice(len(elements), 2, replace=False)
                key = (min(first, second), max(first, second))
                if key not in chosen:
                    chosen.add(key)
                    break
            rounds[taken].append((number, elements[first], elements[second]))
    pairs = [round_[i] for round_ in rounds for i in rng.permutation(len(round_))]
    return pairs[:count] if count else pairs


def round_boundaries(pairs, pairs_per_shard):
    """Shard limits [(start, end)]: at most `pairs_per_shard` pairs, and a new shard
    wherever a track comes again (the next round)."""
    limits, start, seen = [], 0, set()
    for index, (number, _, _) in enumerate(pairs):
        if number in seen or index - start >= pairs_per_shard:
            limits.append((start, index))
            start, seen = index, set()
        seen.add(number)
    if start < len(pairs) or not limits:
        limits.append((start, len(pairs)))
    return limits


def printed(value):
    """A float32 value as the program prints it (%g) and read_results reads it back."""
    return np.float32(float("%g" % float(value)))


def program_keypoints(image, result_keypoints, uuid):
    """The mirror's cv2.KeyPoint for each row of the result file, matched by their printed values."""
    found = mirror.detect(mirror.make_sift(), image)
    by_text = {}
    for keypoint in found:
        key = tuple(printed(v) for v in (*keypoint.pt, keypoint.size, keypoint.angle))
        by_text.setdefault(key, keypoint)
    matched = []
    for row in result_keypoints:
        key = tuple(np.float32(v) for v in row)
        if key not in by_text:
            raise RuntimeError(f"{uuid}: the mirror finds no keypoint printed as {list(row)}: run with "
                               "the program's OpenCV (Debian's python3-opencv)")
        matched.append(by_text[key])
    if len(found) != len(result_keypoints):
        raise RuntimeError(f"{uuid}: the mirror finds {len(found)} keypoints, the program {len(result_keypoints)}")
    return matched


def capture_patches(workspace, record, indices):
    """{keypoint index: float32 [32, 32] patch} for the wanted keypoints of one capture,
    and the prepared image."""
    image = mirror.prepare(workspace, record)
    keypoints, _ = read_results(matches_folder(workspace), record["uuid"])
    matched = program_keypoints(image, keypoints, record["uuid"])
    wanted = sorted(indices)
    patches = mirror.extract(image, [matched[i] for i in wanted])
    return dict(zip(wanted, patches)), keypoints, image


def gather_patches(workspace, records, pairs, log=print):
    """Patches and keypoints of every keypoint the pairs use, capture by capture."""
    wanted = {}
    for _, (c1, k1), (c2, k2) in pairs:
        wanted.setdefault(c1, set()).add(k1)
        wanted.setdefault(c2, set()).add(k2)
    patches, keypoints, images = {}, {}, {}
    for done, capture in enumerate(sorted(wanted), start=1):
        found, keypoints[capture], images[capture] = capture_patches(workspace, records[capture], wanted[capture])
        patches.update({(capture, k): p for k, p in found.items()})
        log(f"patches: {done}/{len(wanted)} captures ({records[capture]['uuid']}: {len(found)} keypoints)")
    return patches, keypoints, images


def shard_fields(pairs, patches, keypoints, tracks):
    view_pairs = {}
    fields = {"patches": np.empty((len(pairs), 2, mirror.PATCH, mirror.PATCH), np.float16),
              "photo": np.empty(len(pairs), np.int16), "view": np.empty(len(pairs), np.int32),
              "xy": np.empty((len(pairs), 2), np.float32), "track": np.empty(len(pairs), np.int32),
              "captures": np.empty((len(pairs), 2), np.int16)}
    for row, (number, first, second) in enumerate(pairs):
        fields["patches"][row] = (patches[first], patches[second])
        fields["photo"][row] = first[0]
        fields["view"][row] = view_pairs.setdefault((first[0], second[0]), len(view_pairs))
        fields["xy"][row] = keypoints[first[0]][first[1], :2]
        fields["track"][row] = tracks[number].point
        fields["captures"][row] = (first[0], second[0])
    return fields


def write_shards(out, fields, limits):
    os.makedirs(out, exist_ok=True)
    for shard, (start, end) in enumerate(limits):
        part = {name: value[start:end] for name, value in fields.items()}
        replace_file(os.path.join(out, f"shard-{shard:04d}.npz"), lambda f, part=part: np.savez(f, **part))
    return len(limits)


def crop_around(image, keypoint, half=48):
    """A (2 half)-pixel square of the image around the keypoint, with its circle and
    orientation drawn, in colour."""
    import cv2

    x, y, size, angle = (float(v) for v in keypoint)
    padded = cv2.copyMakeBorder(image, half, half, half, half, cv2.BORDER_CONSTANT, value=0)
    cx, cy = int(round(x)) + half, int(round(y)) + half
    crop = cv2.cvtColor(padded[cy - half:cy + half, cx - half:cx + half], cv2.COLOR_GRAY2BGR)
    centre = (half + x - round(x), half + y - round(y))
    radius = min(size / 2.0, half - 1.0)
    tip = (centre[0] + radius * np.cos(np.radians(angle)), centre[1] - radius * np.sin(np.radians(angle)))
    point = lambda p: (int(round(p[0] * 16)), int(round(p[1] * 16)))  # noqa: E731
    cv2.circle(crop, point(centre), int(round(radius * 16)), (0, 200, 0), 1, cv2.LINE_AA, 4)
    cv2.line(crop, point(centre), point(tip), (0, 200, 0), 1, cv2.LINE_AA, 4)
    return crop


def patch_picture(patch, side):
    import cv2

    grey = np.clip(np.asarray(patch, np.float32) * 40.0 + 128.0, 0, 255).astype(np.uint8)
    return cv2.cvtColor(cv2.resize(grey, (side, side), interpolation=cv2.INTER_NEAREST), cv2.COLOR_GRAY2BGR)


def draw_sample(path, pairs, patches, keypoints, images, records, rows=8, scale=2):
    """Rows of: the first view around its keypoint, the second view around its
    own, then the two patches as the network gets them (enlarged)."""
    import cv2

    half = 48
    side = 2 * half * scale
    lines = []
    for number, first, second in pairs[:rows]:
        cells = [cv2.resize(crop_around(images[c], keypoints[c][k], half), (side, side),
                            interpolation=cv2.INTER_NEAREST) for c, k in (first, second)]
        cells += [patch_picture(patches[first], side), patch_picture(patches[second], side)]
        row = np.concatenate([np.pad(c, ((2, 2), (2, 2), (0, 0)), constant_values=255) for c in cells], axis=1)
        label = f"track {number}: {records[first[0]]['uuid']} / {records[second[0]]['uuid']}"
        cv2.putText(row, label, (8, 18), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 255), 1, cv2.LINE_AA)
        lines.append(row)
    picture = np.concatenate(lines, axis=0)
    if not cv2.imwrite(path, picture):
        raise RuntimeError(f"cannot write {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workspace", help="a workspace the program has run on")
    parser.add_argument("model", help="a reconstruction of it (reconstruct.py's OUT/model)")
    parser.add_argument("out", help="folder for the shards")
    parser.add_argument("--min-track", type=int, default=MIN_TRACK, help="views a track needs at least")
    parser.add_argument("--max-error", type=float, default=MAX_ERROR_PX,
                        help="largest mean reprojection error of a track's 3D point, pixels")
    parser.add_argument("--pairs-per-track", type=int, default=1)
    parser.add_argument("--pairs", type=int, default=0, help="keep at most this many pairs (0: all)")
    parser.add_argument("--pairs-per-shard", type=int, default=PAIRS_PER_SHARD)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--picture", help="draw sample pairs into this PNG")
    parser.add_argument("--scene", default="", help="the scene's name, for the manifest")
    parser.add_argument("--widest", action="store_true",
                        help="each track's first pair: its two most different viewing directions")
    args = parser.parse_args(argv)

    from lf_tools.user.export import load_pycolmap

    records = read_capture_list(args.workspace)
    capture_index = {record["raw1_image"]: index for index, record in enumerate(records)}
    model = load_pycolmap().Reconstruction(args.model)
    tracks = verified_tracks(model, capture_index, args.min_track, args.max_error)
    rng = np.random.default_rng(args.seed)
    centres = camera_centres(model, capture_index) if args.widest else None
    pairs = draw_pairs(tracks, args.pairs, args.pairs_per_track, rng, centres)
    print(f"{model.num_points3D()} 3D points, {len(tracks)} verified tracks "
          f"(>= {args.min_track} views, <= {args.max_error:g} px), {len(pairs)} pairs", flush=True)
    patches, keypoints, images = gather_patches(args.workspace, records, pairs,
                                                log=lambda line: print(line, flush=True))
    fields = shard_fields(pairs, patches, keypoints, tracks)
    shards = write_shards(args.out, fields, round_boundaries(pairs, args.pairs_per_shard))
    manifest = {"scene": args.scene, "workspace": os.path.abspath(args.workspace),
                "model": os.path.abspath(args.model), "min_track": args.min_track,
                "max_error": args.max_error, "pairs_per_track": args.pairs_per_track, "seed": args.seed,
                "widest": args.widest,
                "tracks": len(tracks), "pairs": len(pairs), "shards": shards,
                "captures": [record["uuid"] for record in records]}
    replace_file(os.path.join(args.out, "manifest.json"), lambda f: json.dump(manifest, f, indent=1), "w")
    print(f"wrote {shards} shards of at most {args.pairs_per_shard} pairs to {args.out}")
    if args.picture:
        draw_sample(args.picture, pairs, patches, keypoints, images, records)
        print(f"drew {args.picture}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
