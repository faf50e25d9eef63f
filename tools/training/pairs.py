#!/usr/bin/env python3
"""Make positive patch pairs from training photographs, as the program sees them.

Each view pair is one photograph warped twice by random homographies (rotation,
scale, anisotropy, shear, strong perspective) and changed photometrically
(gamma, gain, offset, blur, noise), each view then prepared as the program
prepares a capture (grey, resized to 2048x1024). SIFT runs with the program's
parameters in both views, independently; a keypoint of the first view mapped
into the second must land near a keypoint detected there, with scale and
orientation agreeing, so the pairs carry the detector's real errors. Patches
are sampled exactly as the program samples them (tools/benchmark/python_peer.py,
checked bit for bit against the program by test_program_mirror.py).

Output: OUT/shard-NNNN.npz, each with `patches` float16 [N, 2, 32, 32] and
`photo` int16 [N] (index into the photograph list), written atomically, plus
OUT/manifest.json. A shard depends only on (seed, shard index), so shards can
be made by several processes, in any order, and a stopped run resumes.

Usage: pairs.py CACHE OUT [--shards N] [--pairs-per-shard N] [--seed S] [--workers W]
"""

import argparse
import json
import math
import os
import pathlib
import sys
import time

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
from lf_tools.common import program as mirror  # noqa: E402
from lf_tools.training.dataset import photograph_paths, refuse_held_out  # noqa: E402

WIDTH, HEIGHT = mirror.WIDTH, mirror.HEIGHT

# Agreement a detected keypoint of the second view must have with a mapped one.
MAX_ANGLE_ERROR_DEG = 30.0
MAX_SCALE_RATIO = 1.3
# Position error allowed, in pixels and as a share of the keypoint's size.
POSITION_TOLERANCE_PX = 2.0
POSITION_TOLERANCE_SIZE = 0.12
# Pairs kept from one view pair at most, so that a shard mixes many scenes.
MAX_PAIRS_PER_VIEW_PAIR = 400
# Half the side of the image square a patch samples, per unit of keypoint size.
PATCH_REACH_PER_SIZE = 0.5 * 3.0 * math.sqrt(2.0) * 5.0 * 0.5


def sift():
    return cv2.SIFT_create(-1, 3, 0.01, 10.0, 1.6)


def read_raw_grey(path):
    refuse_held_out(path)
    image = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
    if image is None:
        raise RuntimeError(f"cannot read image {path}")
    return image


def random_homography(rng, strength=1.0):
    """A homography of the prepared 2048x1024 frame, about its centre."""
    angle = math.radians(rng.uniform(-30.0, 30.0) * strength)
    scale = math.exp(rng.uniform(math.log(0.8), math.log(1.15)))
    aspect = math.exp(rng.uniform(-0.15, 0.15) * strength)
    shear = rng.uniform(-0.15, 0.15) * strength
    c, s = math.cos(angle), math.sin(angle)
    linear = np.array([[c, -s], [s, c]]) @ np.array([[scale * aspect, shear], [0.0, scale / aspect]])
    # Perspective up to a 1.35:1 change of scale from one side of the frame to the other.
    px = rng.uniform(-0.35, 0.35) * strength / (WIDTH / 2)
    py = rng.uniform(-0.35, 0.35) * strength / (HEIGHT / 2)
    shift = rng.uniform(-80.0, 80.0, 2)
    centre = np.array([WIDTH / 2, HEIGHT / 2])
    h = np.eye(3)
    h[:2, :2] = linear
    h[2, :2] = (px, py)
    to_centre = np.array([[1, 0, -centre[0]], [0, 1, -centre[1]], [0, 0, 1.0]])
    back = np.array([[1, 0, centre[0] + shift[0]], [0, 1, centre[1] + shift[1]], [0, 0, 1.0]])
    return back @ h @ to_centre


def photometric(rng, image):
    """Gamma, gain, offset, blur and noise on a uint8 image."""
    x = image.astype(np.float32) / 255.0
    x = np.power(x, math.exp(rng.uniform(-0.5, 0.5)))
    x = x * rng.uniform(0.6, 1.4) + rng.uniform(-0.15, 0.15)
    x = x * 255.0
    if rng.random() < 0.5:
        x = cv2.GaussianBlur(x, (0, 0), rng.uniform(0.3, 1.6))
    if rng.random() < 0.6:
        x = x + rng.normal(0.0, rng.uniform(1.0, 6.0), x.shape).astype(np.float32)
    return np.clip(np.rint(x), 0, 255).astype(np.uint8)


def make_view(raw, homography, rng):
    """The warped photograph prepared as the program would, and its valid-area distance map."""
    rows, cols = raw.shape
    to_prepared = np.diag([WIDTH / cols, HEIGHT / rows, 1.0])
    raw_homography = np.linalg.inv(to_prepared) @ homography @ to_prepared
    warped = cv2.warpPerspective(raw, raw_homography, (cols, rows), flags=cv2.INTER_LINEAR,
                                 borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    if cols != WIDTH:
        warped = cv2.resize(warped, (WIDTH, HEIGHT), interpolation=cv2.INTER_LINEAR)
    valid = cv2.warpPerspective(np.full((HEIGHT, WIDTH), 255, np.uint8), homography, (WIDTH, HEIGHT),
                                flags=cv2.INTER_NEAREST, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    distance = cv2.distanceTransform((valid > 0).astype(np.uint8), cv2.DIST_L2, 3)
    return photometric(rng, warped), distance


def keypoint_arrays(keypoints):
    xy = np.array([k.pt for k in keypoints], np.float64).reshape(-1, 2)
    size = np.array([k.size for k in keypoints], np.float64)
    angle = np.array([k.angle for k in keypoints], np.float64)
    return xy, size, angle


def map_keypoints(homography, xy, size, angle):
    """Position, size and angle of keypoints after the homography (local affine part)."""
    ones = np.ones((len(xy), 1))
    projected = np.hstack([xy, ones]) @ homography.T
    w = projected[:, 2:3]
    mapped = projected[:, :2] / w
    # Jacobian of the projective map at each point.
    h = homography
    jac = np.empty((len(xy), 2, 2))
    for r in range(2):
        jac[:, r, 0] = (h[r, 0] - mapped[:, r] * h[2, 0]) / w[:, 0]
        jac[:, r, 1] = (h[r, 1] - mapped[:, r] * h[2, 1]) / w[:, 0]
    mapped_size = size * np.sqrt(np.abs(np.linalg.det(jac)))
    # The sampling lays the patch's x axis along (cos angle, sin angle) in the image.
    t = np.radians(angle)
    axis = np.stack([np.cos(t), np.sin(t)], axis=1)
    mapped_axis = np.einsum("nij,nj->ni", jac, axis)
    mapped_angle = np.mod(np.degrees(np.arctan2(mapped_axis[:, 1], mapped_axis[:, 0])), 360.0)
    return mapped, mapped_size, mapped_angle


def border_margin(size):
    """Distance to the warp's black border below which a patch would show it."""
    return np.maximum(4.0, 0.75 * PATCH_REACH_PER_SIZE * size)


def correspondences(homography, first, second, first_distance, second_distance):
    """Index pairs (i, j): keypoint i of the first view whose mapping agrees with j of the second."""
    xy1, size1, angle1 = first
    xy2, size2, angle2 = second
    if len(xy1) == 0 or len(xy2) == 0:
        return np.zeros((0, 2), np.int64)
    mapped, mapped_size, mapped_angle = map_keypoints(homography, xy1, size1, angle1)
    inside = ((mapped[:, 0] >= 0) & (mapped[:, 0] < WIDTH - 1)
              & (mapped[:, 1] >= 0) & (mapped[:, 1] < HEIGHT - 1))
    # Keypoints whose neighbourhood reaches the warp's black border describe the border.
    margin1 = border_margin(size1)
    ix, iy = np.clip(xy1[:, 0].astype(int), 0, WIDTH - 1), np.clip(xy1[:, 1].astype(int), 0, HEIGHT - 1)
    inside &= first_distance[iy, ix] > margin1
    radius = np.maximum(POSITION_TOLERANCE_PX, POSITION_TOLERANCE_SIZE * mapped_size)
    matcher = cv2.BFMatcher(cv2.NORM_L2)
    candidates = matcher.radiusMatch(mapped.astype(np.float32), xy2.astype(np.float32),
                                     float(radius.max()))
    pairs = []
    used = np.zeros(len(xy2), bool)
    jx, jy = np.clip(xy2[:, 0].astype(int), 0, WIDTH - 1), np.clip(xy2[:, 1].astype(int), 0, HEIGHT - 1)
    second_ok = second_distance[jy, jx] > border_margin(size2)
    for i, found in enumerate(candidates):
        if not inside[i]:
            continue
        best, best_distance = -1, None
        for m in found:
            j = m.trainIdx
            if used[j] or not second_ok[j] or m.distance > radius[i]:
                continue
            ratio = size2[j] / mapped_size[i]
            if not (1.0 / MAX_SCALE_RATIO <= ratio <= MAX_SCALE_RATIO):
                continue
            difference = abs((angle2[j] - mapped_angle[i] + 180.0) % 360.0 - 180.0)
            if difference > MAX_ANGLE_ERROR_DEG:
                continue
            if best_distance is None or m.distance < best_distance:
                best, best_distance = j, m.distance
        if best >= 0:
            used[best] = True
            pairs.append((i, best))
    return np.array(pairs, np.int64).reshape(-1, 2)


def view_pair_patches(raw, rng, detector):
    """Patches [N, 2, 32, 32] float32 of one random view pair of a photograph."""
    h1 = random_homography(rng, strength=0.5 if rng.random() < 0.5 else 1.0)
    h2 = random_homography(rng)
    view1, distance1 = make_view(raw, h1, rng)
    view2, distance2 = make_view(raw, h2, rng)
    keypoints1 = mirror.detect(detector, view1)
    keypoints2 = mirror.detect(detector, view2)
    relation = h2 @ np.linalg.inv(h1)
    pairs = correspondences(relation, keypoint_arrays(keypoints1), keypoint_arrays(keypoints2),
                            distance1, distance2)
    if len(pairs) > MAX_PAIRS_PER_VIEW_PAIR:
        pairs = pairs[rng.choice(len(pairs), MAX_PAIRS_PER_VIEW_PAIR, replace=False)]
    if len(pairs) == 0:
        return np.zeros((0, 2, mirror.PATCH, mirror.PATCH), np.float32)
    first = mirror.extract(view1, [keypoints1[i] for i in pairs[:, 0]])
    second = mirror.extract(view2, [keypoints2[j] for j in pairs[:, 1]])
    return np.stack([first, second], axis=1)


def make_shard(photos, seed, shard, pairs_wanted):
    rng = np.random.default_rng([seed, shard])
    detector = sift()
    chunks, sources, total = [], [], 0
    while total < pairs_wanted:
        index = int(rng.integers(len(photos)))
        patches = view_pair_patches(read_raw_grey(photos[index]), rng, detector)
        chunks.append(patches)
        sources.append(np.full(len(patches), index, np.int16))
        total += len(patches)
    patches = np.concatenate(chunks)[:pairs_wanted]
    sources = np.concatenate(sources)[:pairs_wanted]
    order = rng.permutation(len(patches))
    return patches[order].astype(np.float16), sources[order]


def shard_path(out, shard):
    return os.path.join(out, "shard-%04d.npz" % shard)


def write_shard(out, shard, patches, sources):
    tmp = os.path.join(out, ".shard-%04d.%d.tmp.npz" % (shard, os.getpid()))
    np.savez(tmp, patches=patches, photo=sources)
    os.replace(tmp, shard_path(out, shard))


def run_worker(photos, out, seed, shards, pairs_per_shard, worker, workers):
    for shard in range(worker, shards, workers):
        if os.path.exists(shard_path(out, shard)):
            continue
        start = time.time()
        patches, sources = make_shard(photos, seed, shard, pairs_per_shard)
        write_shard(out, shard, patches, sources)
        seconds = time.time() - start
        print(f"shard {shard}: {len(patches)} pairs from {len(np.unique(sources))} photographs"
              f" in {seconds:.0f} s ({len(patches) / seconds:.0f} pairs/s)", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cache", help="folder the photographs were fetched into")
    parser.add_argument("out", help="folder for the shards")
    parser.add_argument("--shards", type=int, default=24)
    parser.add_argument("--pairs-per-shard", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workers", type=int, default=1, help="processes (default 1)")
    args = parser.parse_args()

    photos = photograph_paths(args.cache)
    os.makedirs(args.out, exist_ok=True)
    manifest = {"seed": args.seed, "shards": args.shards, "pairs_per_shard": args.pairs_per_shard,
                "photographs": [os.path.relpath(p, args.cache) for p in photos]}
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)
    cv2.setNumThreads(1)
    children = []
    for worker in range(1, args.workers):
        pid = os.fork()
        if pid == 0:
            run_worker(photos, args.out, args.seed, args.shards, args.pairs_per_shard, worker, args.workers)
            os._exit(0)
        children.append(pid)
    run_worker(photos, args.out, args.seed, args.shards, args.pairs_per_shard, 0, args.workers)
    for pid in children:
        os.waitpid(pid, 0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
