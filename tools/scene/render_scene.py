#!/usr/bin/env python3
"""Render a small scene with known cameras: the inside corner of a room.

Three textured planes (a floor and two walls meeting at the origin, z up,
metres) seen by VIEWS cameras on an arc, each looking at the corner. A plane
maps to an image through a homography, so each view is drawn exactly with
OpenCV (rendered at twice the size and averaged down, a depth test per pixel
between the planes). Textures are mosaics of training photographs of
opencv-doc (never the held-out ones: dataset.py refuses them by name).

Writes a workspace the program can run on:
  raw/view-NN.png        the views, WIDTH x HEIGHT, grey
  caches/images.json     one capture per view, uuid "view-NN"
  ground_truth.json      per view: K, R (world to camera) and t, x_cam = R X + t

Usage: render_scene.py OUT [--views N]
"""

import argparse
import json
import os
import sys

import numpy as np

from lf_tools.common.folders import replace_folder
from lf_tools.common.workspace_writer import DEBIAN_SAMPLES, read_source, write_workspace
from lf_tools.training.dataset import refuse_held_out

WIDTH, HEIGHT = 1024, 512  # 2:1, so the program's resize to 2048x1024 scales both axes by 2
FOCAL = 560.0
VIEWS = 8
# Texture pixels per metre of plane.
TEXELS_PER_METRE = 300
# Per plane: origin, the axis of texture columns and of texture rows (unit
# vectors), extent along each (metres), and the photographs of its 2x2 mosaic.
PLANES = (
    ("floor", (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (2.4, 2.4),
     ("fruits.jpg", "board.jpg", "baboon.jpg", "building.jpg")),
    ("wall_x", (0.0, 0.0, 2.0), (0.0, 1.0, 0.0), (0.0, 0.0, -1.0), (2.4, 2.0),
     ("messi5.jpg", "squirrel_cls.jpg", "butterfly.jpg", "ela_original.jpg")),
    ("wall_y", (0.0, 0.0, 2.0), (1.0, 0.0, 0.0), (0.0, 0.0, -1.0), (2.4, 2.0),
     ("apple.jpg", "orange.jpg", "left01.jpg", "basketball1.png")),
)
TARGET = np.array([0.6, 0.6, 0.6])
RADIUS = 3.8


def decode(name):
    import cv2

    refuse_held_out(name)
    data = np.frombuffer(read_source(DEBIAN_SAMPLES, name), np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_GRAYSCALE)
    if image is None:
        raise OSError(f"cannot decode {name}")
    return image


def texture(extent, names):
    """A 2x2 mosaic of the photographs, sized to the plane's extent."""
    import cv2

    columns, rows = (int(round(e * TEXELS_PER_METRE)) for e in extent)
    mosaic = np.zeros((rows, columns), np.uint8)
    half_c, half_r = columns // 2, rows // 2
    cells = ((0, 0, half_c, half_r), (half_c, 0, columns - half_c, half_r),
             (0, half_r, half_c, rows - half_r), (half_c, half_r, columns - half_c, rows - half_r))
    for (x, y, w, h), name in zip(cells, names):
        mosaic[y:y + h, x:x + w] = cv2.resize(decode(name), (w, h), interpolation=cv2.INTER_AREA)
    return mosaic


def look_at(centre, target, roll_degrees=0.0):
    """R (world to camera) of a camera at `centre` looking at `target`, z up,
    turned by `roll_degrees` about its axis."""
    forward = target - centre
    forward /= np.linalg.norm(forward)
    right = np.cross(forward, [0.0, 0.0, 1.0])
    right /= np.linalg.norm(right)
    down = np.cross(forward, right)
    R = np.stack([right, down, forward])
    roll = np.deg2rad(roll_degrees)
    turn = np.array([[np.cos(roll), -np.sin(roll), 0], [np.sin(roll), np.cos(roll), 0], [0, 0, 1]])
    return turn @ R


def cameras(count=VIEWS):
    """[(K, R, t)]: on an arc RADIUS metres from the corner, heights and rolls varied."""
    K = np.array([[FOCAL, 0, (WIDTH - 1) / 2], [0, FOCAL, (HEIGHT - 1) / 2], [0, 0, 1.0]])
    result = []
    for k, azimuth in enumerate(np.linspace(22, 68, count)):
        a = np.deg2rad(azimuth)
        centre = np.array([RADIUS * np.cos(a), RADIUS * np.sin(a), 1.2 + 0.25 * np.sin(1.7 * k)])
        R = look_at(centre, TARGET + [0.0, 0.0, 0.1 * np.cos(k)], 4.0 * np.sin(2.3 * k))
        result.append((K, R, -R @ centre))
    return result


def render_view(K, R, t, textures, scale=2):
    """The grey view (uint8 HEIGHT x WIDTH): rendered at `scale` times the size, averaged down."""
    import cv2

    # Pixel x of the view is x' = scale (x + 0.5) - 0.5 of the large picture.
    S = np.array([[scale, 0, (scale - 1) / 2], [0, scale, (scale - 1) / 2], [0, 0, 1.0]]) @ K
    big = (WIDTH * scale, HEIGHT * scale)
    picture = np.zeros(big[::-1], np.float32)
    depth = np.full(big[::-1], np.inf, np.float32)
    rays = np.linalg.inv(S) @ np.stack([*np.meshgrid(np.arange(big[0]), np.arange(big[1])),
                                        np.ones(big[::-1])]).reshape(3, -1)
    for (name, origin, u_axis, v_axis, extent, _), image in zip(PLANES, textures):
        origin, u_axis, v_axis = (np.asarray(v, float) for v in (origin, u_axis, v_axis))
        metres = 1.0 / TEXELS_PER_METRE
        # Texel (c, r), centre at whole numbers, lies at origin + (c + 0.5) u + (r + 0.5) v metres / texel.
        plane = np.column_stack([R @ u_axis * metres, R @ v_axis * metres,
                                 R @ (origin + 0.5 * metres * (u_axis + v_axis)) + t])
        corners = [origin, origin + extent[0] * u_axis, origin + extent[1] * v_axis,
                   origin + extent[0] * u_axis + extent[1] * v_axis]
        if min((R @ c + t)[2] for c in corners) <= 0.05:
            raise ValueError(f"plane {name} reaches behind a camera")
        H = S @ plane
        warped = cv2.warpPerspective(image.astype(np.float32), H, big, flags=cv2.INTER_LINEAR,
                                     borderMode=cv2.BORDER_CONSTANT, borderValue=0)
        inside = cv2.warpPerspective(np.ones(image.shape, np.float32), H, big, flags=cv2.INTER_NEAREST,
                                     borderMode=cv2.BORDER_CONSTANT, borderValue=0) > 0.5
        # Depth along the optical axis where the pixel's ray meets the plane.
        normal = R @ np.cross(u_axis, v_axis)
        offset = normal @ (R @ origin + t)
        along = (normal @ rays).reshape(big[::-1])
        with np.errstate(divide="ignore", invalid="ignore"):
            z = np.where(np.abs(along) > 1e-12, offset / along, np.inf)
        nearer = inside & (z > 0) & (z < depth)
        picture[nearer] = warped[nearer]
        depth[nearer] = z[nearer]
    small = cv2.resize(picture, (WIDTH, HEIGHT), interpolation=cv2.INTER_AREA)
    return np.clip(np.round(small), 0, 255).astype(np.uint8)


def render_scene(out, views=VIEWS):
    """Writes the workspace `out` (replacing an earlier one); returns the ground truth."""
    import cv2

    textures = [texture(extent, names) for *_, extent, names in PLANES]
    truth = {"width": WIDTH, "height": HEIGHT, "views": {}}
    pictures = {}
    for k, (K, R, t) in enumerate(cameras(views)):
        uuid = f"view-{k:02d}"
        ok, data = cv2.imencode(".png", render_view(K, R, t, textures))
        if not ok:
            raise OSError("cannot encode a view")
        pictures[f"{uuid}.png"] = data.tobytes()
        truth["views"][uuid] = {"image": f"raw/{uuid}.png", "K": K.tolist(), "R": R.tolist(),
                                "t": t.tolist()}

    def fill(folder):
        write_workspace(folder, [(uuid, f"{uuid}.png", "") for uuid in truth["views"]],
                        pictures.__getitem__)
        with open(os.path.join(folder, "ground_truth.json"), "w") as f:
            json.dump(truth, f, indent=1)

    replace_folder(out, ".scene-", fill)
    return truth


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="workspace folder to write")
    parser.add_argument("--views", type=int, default=VIEWS)
    args = parser.parse_args(argv)
    render_scene(args.out, args.views)
    print(f"{args.out}: {args.views} views of {WIDTH}x{HEIGHT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
