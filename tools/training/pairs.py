#!/usr/bin/env python3
"""Make positive patch pairs from training photographs, as the program sees them.

Each view pair is one photograph warped twice by random homographies (rotation,
scale, anisotropy, shear, strong perspective; half the pairs turned by up to 90
degrees and half scaled by 0.6-1.5 relative to each other), the second view
often also by a smooth non-homographic distortion, each view then prepared as
the program prepares a capture (grey, resized to 2048x1024) and changed
photometrically (gamma 0.5-2, gain, offset, a local light field, blur, noise,
JPEG re-compression; half the time at the photograph's own size, before the
resize, as a capture's own noise is). SIFT runs with the program's
parameters in both views, independently; a keypoint of the first view mapped
into the second must land near a keypoint detected there, with scale and
orientation agreeing, so the pairs carry the detector's real errors. Patches
are sampled exactly as the program samples them (tools/benchmark/python_peer.py,
checked bit for bit against the program by test_program_mirror.py).
With --angle-jitter or --size-jitter, half the second patches are sampled turned,
or resized, off their keypoints, drawn from streams of their own so that the views
and pairs stay those of the seed. With --max-width, view pairs come only from the
photographs at most that wide (those the resize to 2048 columns enlarges most);
with --only, from those whose path in the cache matches one of the globs (new
photographs, say); `photo` still indexes the whole list.

Output: OUT/shard-NNNN.npz, each with `patches` float16 [N, 2, 32, 32], `photo`
int16 [N] (index into the photograph list), `view` int32 [N] (the view pair
within the shard) and `xy` float32 [N, 2] (the first view's keypoint), so that
training can draw negatives from one scene; written atomically, plus
OUT/manifest.json. A shard depends only on (seed, shard index), so shards can
be made by several processes, in any order, and a stopped run resumes.

Usage: pairs.py CACHE OUT [--shards N] [--pairs-per-shard N] [--seed S] [--workers W]
                         [--pairs-per-view-pair N] [--angle-jitter DEG] [--size-jitter OCTAVES]
                         [--max-width PX] [--only GLOB ...]
"""

import argparse
import collections
import fnmatch
import json
import math
import os
import pathlib
import sys
import time
import traceback

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
from lf_tools.common import program as mirror  # noqa: E402
from lf_tools.common.folders import replace_file  # noqa: E402
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
PATCH_REACH_PER_SIZE = mirror.PATCH_REACH_PER_SIZE


def sift():
    return mirror.make_sift()


def read_raw_grey(path):
    refuse_held_out(path)
    image = cv2.imread(str(path), cv2.IMREAD_GRAYSCALE)
    if image is None:
        raise RuntimeError(f"cannot read image {path}")
    return image


def random_homography(rng, strength=1.0, angle_deg=None, scale=None):
    """A homography of the prepared 2048x1024 frame, about its centre; rotation and
    scale drawn unless given."""
    angle = math.radians(rng.uniform(-30.0, 30.0) * strength if angle_deg is None else angle_deg)
    if scale is None:
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


# Share of view pairs with a large relative rotation (uniform within +-90 degrees)
# and with a large relative scale (log-uniform within 0.6-1.5); the others stay
# within +-25 degrees and 0.85-1.18, the common case.
LARGE_ROTATION_RATE = 0.5
LARGE_SCALE_RATE = 0.5
# Share of second views with a smooth non-homographic distortion, and its largest
# displacement in prepared pixels.
DISTORTION_RATE = 0.6
DISTORTION_MAX_PX = 8.0
# Share of views whose photometric change is made at the photograph's own size.
CAPTURE_SIZE_PHOTOMETRIC_RATE = 0.5


def relative_angle_and_scale(rng):
    if rng.random() < LARGE_ROTATION_RATE:
        angle = rng.uniform(-90.0, 90.0)
    else:
        angle = rng.uniform(-25.0, 25.0)
    if rng.random() < LARGE_SCALE_RATE:
        scale = math.exp(rng.uniform(math.log(0.6), math.log(1.5)))
    else:
        scale = math.exp(rng.uniform(math.log(0.85), math.log(1.18)))
    return angle, scale


def view_homographies(rng):
    """Homographies of the two views, with the relative rotation and scale drawn
    as relative_angle_and_scale() says."""
    strength = 0.5 if rng.random() < 0.5 else 1.0
    angle1 = rng.uniform(-30.0, 30.0) * strength
    scale1 = math.exp(rng.uniform(math.log(0.8), math.log(1.15)))
    angle, scale = relative_angle_and_scale(rng)
    h1 = random_homography(rng, strength, angle_deg=angle1, scale=scale1)
    h2 = random_homography(rng, angle_deg=angle1 + angle, scale=scale1 * scale)
    return h1, h2


def in_raw_proportions(homography, cols, rows):
    """The homography drawn for an isotropic frame, as the prepared frame sees it when
    the photograph (cols x rows) is stretched to 2048x1024: a rotation of the scene
    becomes the rotation and shear a turned capture shows the program."""
    stretch = (WIDTH / cols) / (HEIGHT / rows)
    kx, ky = math.sqrt(stretch), 1.0 / math.sqrt(stretch)
    centre = np.array([[1, 0, WIDTH / 2], [0, 1, HEIGHT / 2], [0, 0, 1.0]])
    a = centre @ np.diag([kx, ky, 1.0]) @ np.linalg.inv(centre)
    return a @ homography @ np.linalg.inv(a)


def raw_to_prepared_matrix(cols, rows):
    """Raw pixels to prepared ones, pixel centres on pixel centres as the bilinear resize has them."""
    if cols == WIDTH:
        return np.eye(3)
    sx, sy = WIDTH / cols, HEIGHT / rows
    return np.array([[sx, 0.0, 0.5 * (sx - 1.0)], [0.0, sy, 0.5 * (sy - 1.0)], [0.0, 0.0, 1.0]])


def smooth_displacement(rng, max_px=DISTORTION_MAX_PX):
    """A smooth random displacement field [HEIGHT, WIDTH, 2] (float32) of the prepared
    frame: a few bumps a few hundred pixels wide, at most about max_px long."""
    cells_x = int(rng.integers(3, 8))
    cells_y = max(2, cells_x // 2)
    amplitude = rng.uniform(0.3, 1.0) * max_px
    grid = rng.normal(0.0, 1.0, (cells_y, cells_x, 2)).astype(np.float32)
    grid *= amplitude / max(1e-6, float(np.abs(grid).max()))
    return cv2.resize(grid, (WIDTH, HEIGHT), interpolation=cv2.INTER_CUBIC)


def bilinear(field, xy):
    """field [H, W, C] sampled at float positions xy [N, 2] (clamped at the border)."""
    rows, cols = field.shape[:2]
    x = np.clip(xy[:, 0], 0.0, cols - 1.0)
    y = np.clip(xy[:, 1], 0.0, rows - 1.0)
    x0 = np.minimum(np.floor(x).astype(np.int64), cols - 2)
    y0 = np.minimum(np.floor(y).astype(np.int64), rows - 2)
    fx, fy = (x - x0)[:, None], (y - y0)[:, None]
    return ((1 - fy) * ((1 - fx) * field[y0, x0] + fx * field[y0, x0 + 1])
            + fy * ((1 - fx) * field[y0 + 1, x0] + fx * field[y0 + 1, x0 + 1]))


def project(homography, xy):
    projected = np.hstack([xy, np.ones((len(xy), 1))]) @ homography.T
    return projected[:, :2] / projected[:, 2:3]


class ViewMap:
    """Where points of one prepared view land in another: a homography, then (when
    given) the inverse of the second view's displacement field, which samples its
    source at q + field(q)."""

    def __init__(self, homography, field=None):
        self.homography, self.field = homography, field

    def __call__(self, xy):
        p = project(self.homography, xy)
        if self.field is None:
            return p
        q = p.copy()
        # q + field(q) = p; the field is smooth and short, so this converges in a few rounds.
        for _ in range(8):
            q = p - bilinear(self.field, q)
        return q


def map_keypoints_through(view_map, xy, size, angle, step=0.5):
    """map_keypoints() for any ViewMap, its local affine part by central differences."""
    if isinstance(view_map, np.ndarray):
        return map_keypoints(view_map, xy, size, angle)
    if view_map.field is None:
        return map_keypoints(view_map.homography, xy, size, angle)
    mapped = view_map(xy)
    jac = np.empty((len(xy), 2, 2))
    for c in range(2):
        d = np.zeros(2)
        d[c] = step
        jac[:, :, c] = (view_map(xy + d) - view_map(xy - d)) / (2 * step)
    mapped_size = size * np.sqrt(np.abs(np.linalg.det(jac)))
    return mapped, mapped_size, mapped_orientation(jac, angle)


def illumination_field(rng):
    """A smooth multiplicative light field of the prepared frame: a ramp in a random
    direction and a few broad bright and dark areas, about 0.55-1.8."""
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float32)
    direction = rng.uniform(0.0, 2.0 * math.pi)
    ramp = ((xx - WIDTH / 2) * math.cos(direction) + (yy - HEIGHT / 2) * math.sin(direction)) / (WIDTH / 2)
    log_field = rng.uniform(0.0, 0.35) * ramp
    blobs = rng.normal(0.0, 1.0, (int(rng.integers(2, 4)), int(rng.integers(3, 6)))).astype(np.float32)
    log_field += rng.uniform(0.0, 0.3) * cv2.resize(blobs, (WIDTH, HEIGHT), interpolation=cv2.INTER_CUBIC)
    return np.exp(np.clip(log_field, -0.6, 0.6))


def photometric(rng, image):
    """Gamma 0.5-2, gain, offset, a local light field (on the prepared frame only),
    blur, noise and JPEG re-compression on a uint8 image."""
    x = image.astype(np.float32) / 255.0
    x = np.power(x, math.exp(rng.uniform(math.log(0.5), math.log(2.0))))
    x = x * rng.uniform(0.6, 1.4) + rng.uniform(-0.15, 0.15)
    if rng.random() < 0.6 and x.shape == (HEIGHT, WIDTH):
        x = x * illumination_field(rng)
    x = x * 255.0
    if rng.random() < 0.5:
        x = cv2.GaussianBlur(x, (0, 0), rng.uniform(0.3, 1.6))
    if rng.random() < 0.6:
        x = x + rng.normal(0.0, rng.uniform(1.0, 6.0), x.shape).astype(np.float32)
    out = np.clip(np.rint(x), 0, 255).astype(np.uint8)
    if rng.random() < 0.5:
        quality = int(rng.integers(30, 95))
        out = cv2.imdecode(cv2.imencode(".jpg", out, [cv2.IMWRITE_JPEG_QUALITY, quality])[1],
                           cv2.IMREAD_GRAYSCALE)
    return out


def make_view(raw, homography, rng, field=None):
    """The warped photograph prepared as the program would, and its valid-area distance map.

    The view's pixel q shows the prepared frame's point homography^-1(q + field(q)).
    """
    rows, cols = raw.shape
    to_prepared = raw_to_prepared_matrix(cols, rows)
    raw_homography = np.linalg.inv(to_prepared) @ homography @ to_prepared
    if field is None:
        warped = cv2.warpPerspective(raw, raw_homography, (cols, rows), flags=cv2.INTER_LINEAR,
                                     borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    else:
        # Sampled at the raw resolution, as the plain warp is, before the resize.
        grid = np.stack(np.meshgrid(np.arange(cols, dtype=np.float32), np.arange(rows, dtype=np.float32)),
                        axis=-1).reshape(-1, 2)
        raw_field = field if cols == WIDTH else cv2.resize(field, (cols, rows), interpolation=cv2.INTER_LINEAR)
        prepared = project(to_prepared, grid) + raw_field.reshape(-1, 2)
        source = project(np.linalg.inv(to_prepared) @ np.linalg.inv(homography), prepared)
        source = source.astype(np.float32).reshape(rows, cols, 2)
        warped = cv2.remap(raw, source, None, cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                           borderValue=0)
    # A capture's own noise, blur and compression are enlarged or shrunk with it
    # by the preparation; the rest of the time the change lands on the prepared view.
    at_capture_size = cols != WIDTH and rng.random() < CAPTURE_SIZE_PHOTOMETRIC_RATE
    if at_capture_size:
        warped = photometric(rng, warped)
    if cols != WIDTH:
        warped = cv2.resize(warped, (WIDTH, HEIGHT), interpolation=cv2.INTER_LINEAR)
    full = np.full((HEIGHT, WIDTH), 255, np.uint8)
    if field is None:
        valid = cv2.warpPerspective(full, homography, (WIDTH, HEIGHT), flags=cv2.INTER_NEAREST,
                                    borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    else:
        grid = np.stack(np.meshgrid(np.arange(WIDTH, dtype=np.float32), np.arange(HEIGHT, dtype=np.float32)),
                        axis=-1).reshape(-1, 2)
        source = project(np.linalg.inv(homography), grid + field.reshape(-1, 2))
        valid = cv2.remap(full, source.astype(np.float32).reshape(HEIGHT, WIDTH, 2), None, cv2.INTER_NEAREST,
                          borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    distance = cv2.distanceTransform((valid > 0).astype(np.uint8), cv2.DIST_L2, 3)
    return (warped if at_capture_size else photometric(rng, warped)), distance


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
    return mapped, mapped_size, mapped_orientation(jac, angle)


def mapped_orientation(jac, angle):
    """Where the detector's orientation should point after a local affine map `jac`
    [N, 2, 2]: the orientation is the dominant gradient's direction, and a gradient
    maps by the inverse transpose (a stretch along x turns gradients towards y). The
    two agree for a similarity; under shear or a stretch they differ by up to tens
    of degrees, and mapping the angle as a plain direction would pair patches the
    detector turned wrongly and refuse ones it turned rightly."""
    t = np.radians(angle)
    cos, sin = np.cos(t), np.sin(t)
    j00, j01, j10, j11 = jac[:, 0, 0], jac[:, 0, 1], jac[:, 1, 0], jac[:, 1, 1]
    # inv(jac).T is the adjugate's transpose over the determinant; only its sign matters
    # for a direction, and a degenerate map (determinant 0) must not end a long run.
    sign = np.sign(j00 * j11 - j01 * j10)
    mapped_x, mapped_y = sign * (j11 * cos - j10 * sin), sign * (j00 * sin - j01 * cos)
    return np.mod(np.degrees(np.arctan2(mapped_y, mapped_x)), 360.0)


def angle_difference(a, b):
    """Smallest difference between angles in degrees, 0-180, across 0/360."""
    return abs((a - b + 180.0) % 360.0 - 180.0)


def border_margin(size):
    """Distance to the warp's black border below which a patch would show it."""
    return np.maximum(4.0, 0.75 * PATCH_REACH_PER_SIZE * size)


def correspondences(homography, first, second, first_distance, second_distance):
    """Index pairs (i, j): keypoint i of the first view whose mapping agrees with j of the second.

    `homography` takes the first view to the second: a 3x3 matrix or a ViewMap."""
    xy1, size1, angle1 = first
    xy2, size2, angle2 = second
    if len(xy1) == 0 or len(xy2) == 0:
        return np.zeros((0, 2), np.int64)
    mapped, mapped_size, mapped_angle = map_keypoints_through(homography, xy1, size1, angle1)
    inside = ((mapped[:, 0] >= 0) & (mapped[:, 0] < WIDTH - 1)
              & (mapped[:, 1] >= 0) & (mapped[:, 1] < HEIGHT - 1))
    # Keypoints whose neighbourhood reaches the warp's black border describe the border.
    margin1 = border_margin(size1)
    ix, iy = np.clip(xy1[:, 0].astype(int), 0, WIDTH - 1), np.clip(xy1[:, 1].astype(int), 0, HEIGHT - 1)
    inside &= first_distance[iy, ix] > margin1
    radius = np.maximum(POSITION_TOLERANCE_PX, POSITION_TOLERANCE_SIZE * mapped_size)
    # Only keypoints that can pair set the search radius: one mapped near the
    # horizon gets a huge size, and a radius to match would list every keypoint
    # pair (tens of gigabytes of candidates).
    searched = np.flatnonzero(inside & (mapped_size <= MAX_SCALE_RATIO * size2.max()))
    if len(searched) == 0:
        return np.zeros((0, 2), np.int64)
    matcher = cv2.BFMatcher(cv2.NORM_L2)
    candidates = matcher.radiusMatch(mapped[searched].astype(np.float32), xy2.astype(np.float32),
                                     float(radius[searched].max()))
    pairs = []
    used = np.zeros(len(xy2), bool)
    jx, jy = np.clip(xy2[:, 0].astype(int), 0, WIDTH - 1), np.clip(xy2[:, 1].astype(int), 0, HEIGHT - 1)
    second_ok = second_distance[jy, jx] > border_margin(size2)
    for i, found in zip(searched, candidates):
        best, best_distance = -1, None
        for m in found:
            j = m.trainIdx
            if used[j] or not second_ok[j] or m.distance > radius[i]:
                continue
            ratio = size2[j] / mapped_size[i]
            if not (1.0 / MAX_SCALE_RATIO <= ratio <= MAX_SCALE_RATIO):
                continue
            if angle_difference(angle2[j], mapped_angle[i]) > MAX_ANGLE_ERROR_DEG:
                continue
            # Keypoints at one position (one per orientation) tie: the lower index
            # wins, whatever order the matcher lists them in.
            if best_distance is None or (m.distance, j) < (best_distance, best):
                best, best_distance = j, m.distance
        if best >= 0:
            used[best] = True
            pairs.append((i, best))
    return np.array(pairs, np.int64).reshape(-1, 2)


# How far the second patches are sampled off their detected keypoints. The detector
# turns a partner 15-30 degrees off, and finds it half an octave larger or smaller,
# often enough that matching it matters; jittered pairs show the network more of
# both than detection alone gives.
Jitter = collections.namedtuple("Jitter", "angle_deg size_octaves", defaults=(0.0, 0.0))


def jittered_keypoints(keypoints, rngs, jitter):
    """Copies of the keypoints: half of them turned by up to jitter.angle_deg either way,
    drawn from rngs[0], and half of them resized by up to jitter.size_octaves either
    way, drawn from rngs[1], so that adding a resize keeps a shard's turns."""
    n = len(keypoints)
    angles, factors = np.zeros(n), np.ones(n)
    if jitter.angle_deg > 0:
        turn, turns = rngs[0].random(n) < 0.5, rngs[0].uniform(-jitter.angle_deg, jitter.angle_deg, n)
        angles = np.where(turn, turns, 0.0)
    if jitter.size_octaves > 0:
        resize, octaves = rngs[1].random(n) < 0.5, rngs[1].uniform(-jitter.size_octaves, jitter.size_octaves, n)
        factors = np.where(resize, np.exp2(octaves), 1.0)
    return [cv2.KeyPoint(k.pt[0], k.pt[1], k.size * f, (k.angle + a) % 360.0 if a else k.angle,
                         k.response, k.octave, k.class_id)
            for k, a, f in zip(keypoints, angles, factors)]


def view_pair_patches(raw, rng, detector, most=MAX_PAIRS_PER_VIEW_PAIR, jitter=Jitter(), jitter_rngs=None):
    """Patches [N, 2, 32, 32] float32 of one random view pair of a photograph, at most `most`,
    and their keypoints' positions [N, 2] in the first view. With a `jitter`, second
    patches are sampled off their keypoints (see jittered_keypoints), drawn from
    `jitter_rngs` so that the views and pairs are those made without it."""
    h1, h2 = (in_raw_proportions(h, raw.shape[1], raw.shape[0]) for h in view_homographies(rng))
    field = smooth_displacement(rng) if rng.random() < DISTORTION_RATE else None
    view1, distance1 = make_view(raw, h1, rng)
    view2, distance2 = make_view(raw, h2, rng, field)
    keypoints1 = mirror.detect(detector, view1)
    keypoints2 = mirror.detect(detector, view2)
    relation = ViewMap(h2 @ np.linalg.inv(h1), field)
    pairs = correspondences(relation, keypoint_arrays(keypoints1), keypoint_arrays(keypoints2),
                            distance1, distance2)
    if len(pairs) > most:
        pairs = pairs[rng.choice(len(pairs), most, replace=False)]
    if len(pairs) == 0:
        return np.zeros((0, 2, mirror.PATCH, mirror.PATCH), np.float32), np.zeros((0, 2), np.float32)
    first = mirror.extract(view1, [keypoints1[i] for i in pairs[:, 0]])
    second_keypoints = [keypoints2[j] for j in pairs[:, 1]]
    second = mirror.extract(view2, jittered_keypoints(second_keypoints, jitter_rngs, jitter))
    positions = np.array([keypoints1[i].pt for i in pairs[:, 0]], np.float32)
    return np.stack([first, second], axis=1), positions


def make_shard(photos, seed, shard, pairs_wanted, per_view_pair=MAX_PAIRS_PER_VIEW_PAIR, jitter=Jitter(),
               choices=None):
    """A shard's fields (see write_shard), shuffled; view pairs come from the photographs
    indexed by `choices` (default: all)."""
    rng = np.random.default_rng([seed, shard])
    jitter_rngs = [np.random.default_rng([seed, shard, stream]) for stream in (1, 2)]
    detector = sift()
    chunks, sources, views, positions, total = [], [], [], [], 0
    while total < pairs_wanted:
        # Without choices the draw is the one plain shards have always made.
        index = int(rng.integers(len(photos)) if choices is None else choices[rng.integers(len(choices))])
        patches, xy = view_pair_patches(read_raw_grey(photos[index]), rng, detector, per_view_pair,
                                        jitter, jitter_rngs)
        chunks.append(patches)
        sources.append(np.full(len(patches), index, np.int16))
        views.append(np.full(len(patches), len(views), np.int32))
        positions.append(xy)
        total += len(patches)
    order = rng.permutation(min(total, pairs_wanted))
    return {"patches": np.concatenate(chunks)[order].astype(np.float16),
            "photo": np.concatenate(sources)[order],
            "view": np.concatenate(views)[order],
            "xy": np.concatenate(positions)[order]}


def shard_path(out, shard):
    return os.path.join(out, "shard-%04d.npz" % shard)


def write_shard(out, shard, fields):
    """`patches` float16 [N, 2, 32, 32]; `photo` int16 [N], the photograph; `view` int32 [N],
    the view pair within the shard; `xy` float32 [N, 2], the keypoint in the first view."""
    replace_file(shard_path(out, shard), lambda f: np.savez(f, **fields))


def run_worker(photos, out, seed, shards, pairs_per_shard, worker, workers, per_view_pair, jitter=Jitter(),
               choices=None):
    for shard in range(worker, shards, workers):
        if os.path.exists(shard_path(out, shard)):
            continue
        start = time.time()
        fields = make_shard(photos, seed, shard, pairs_per_shard, per_view_pair, jitter, choices)
        write_shard(out, shard, fields)
        seconds = time.time() - start
        count = len(fields["patches"])
        print(f"shard {shard}: {count} pairs from {len(np.unique(fields['photo']))} photographs"
              f" in {seconds:.0f} s ({count / seconds:.0f} pairs/s)", flush=True)


def run_child_worker(*args):
    """run_worker() in a forked child, which must never return into the parent's code."""
    try:
        run_worker(*args)
    except BaseException:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    os._exit(0)


def chosen_photographs(photos, cache, max_width=None, globs=None):
    """Indices of the photographs at most `max_width` wide whose path in `cache`
    matches one of `globs`; None when neither is given (draw from all)."""
    if max_width is None and globs is None:
        return None
    return [i for i, path in enumerate(photos)
            if (globs is None or any(fnmatch.fnmatchcase(os.path.relpath(path, cache), g) for g in globs))
            and (max_width is None or read_raw_grey(path).shape[1] <= max_width)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cache", help="folder the photographs were fetched into")
    parser.add_argument("out", help="folder for the shards")
    parser.add_argument("--shards", type=int, default=24)
    parser.add_argument("--pairs-per-shard", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workers", type=int, default=1, help="processes (default 1)")
    parser.add_argument("--pairs-per-view-pair", type=int, default=MAX_PAIRS_PER_VIEW_PAIR,
                        help="most pairs kept from one view pair: detection is most of a view pair's "
                             f"cost, so more are cheaper per pair but mix fewer scenes (default "
                             f"{MAX_PAIRS_PER_VIEW_PAIR})")
    parser.add_argument("--angle-jitter", type=float, default=0.0, metavar="DEG",
                        help="sample half the second patches turned by up to DEG degrees either way "
                             "(default 0: as detected); the views and pairs stay those of the seed")
    parser.add_argument("--size-jitter", type=float, default=0.0, metavar="OCTAVES",
                        help="sample half the second patches resized by up to OCTAVES either way "
                             "(default 0: as detected); the views, pairs and angles stay those of "
                             "the seed and --angle-jitter")
    parser.add_argument("--max-width", type=int, metavar="PX",
                        help="draw view pairs only from the photographs at most PX wide (default: all)")
    parser.add_argument("--only", metavar="GLOB", action="append",
                        help="draw view pairs only from the photographs whose path in the cache "
                             "matches GLOB, e.g. '*/erase.rcc.d/*'; may be repeated (default: all)")
    args = parser.parse_args(argv)
    jitter = Jitter(args.angle_jitter, args.size_jitter)

    photos = photograph_paths(args.cache)
    choices = chosen_photographs(photos, args.cache, args.max_width, args.only)
    if choices is not None:
        if not choices:
            parser.error("no photograph is " + " and ".join(
                ([f"at most {args.max_width} px wide"] if args.max_width is not None else [])
                + ([f"matching {' or '.join(args.only)}"] if args.only is not None else [])))
        print(f"drawing from {len(choices)} of {len(photos)} photographs", flush=True)
    os.makedirs(args.out, exist_ok=True)
    manifest = {"seed": args.seed, "shards": args.shards, "pairs_per_shard": args.pairs_per_shard,
                "pairs_per_view_pair": args.pairs_per_view_pair, "angle_jitter": args.angle_jitter,
                "size_jitter": args.size_jitter, "max_width": args.max_width, "only": args.only,
                "photographs": [os.path.relpath(p, args.cache) for p in photos],
                "drawn_from": choices}
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)
    cv2.setNumThreads(1)
    children = []
    for worker in range(1, args.workers):
        pid = os.fork()
        if pid == 0:
            run_child_worker(photos, args.out, args.seed, args.shards, args.pairs_per_shard, worker,
                             args.workers, args.pairs_per_view_pair, jitter, choices)
        children.append(pid)
    run_worker(photos, args.out, args.seed, args.shards, args.pairs_per_shard, 0, args.workers,
               args.pairs_per_view_pair, jitter, choices)
    # A worker killed (for memory, say) leaves its shards unmade: that is a failure.
    failed = 0
    for worker, pid in enumerate(children, start=1):
        _, status = os.waitpid(pid, 0)
        if status != 0:
            failed += 1
            print(f"pairs.py: worker {worker} failed ({describe_wait_status(status)}); "
                  "run again to make its shards", file=sys.stderr)
    return 1 if failed else 0


def describe_wait_status(status):
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)}"
    return f"exit status {os.waitstatus_to_exitcode(status)}"


if __name__ == "__main__":
    sys.exit(main())
