"""The program's fixed constants, and its image preparation, SIFT keypoints and
patch sampling written plainly in Python (the mirror).

The mirror gives the program's keypoints and patches bit for bit when it runs
on the OpenCV build the program is linked against (Debian's python3-opencv;
test_program_mirror.py checks it against the program). Every tool that needs
one of these constants imports it from here; test_header_mirror.py checks them
against the program's headers.
"""

import math
import os
from typing import NamedTuple

import numpy as np

from .capture_list import image_path
from .model_contract import PATCH

# The prepared image: grey, brought to PREPARED_WIDTH x PREPARED_HEIGHT
# (bilinear, aspect ratio not kept) unless it already has PREPARED_WIDTH columns.
PREPARED_WIDTH, PREPARED_HEIGHT = 2048, 1024
WIDTH, HEIGHT = PREPARED_WIDTH, PREPARED_HEIGHT  # the mirror's older names


class SiftSettings(NamedTuple):
    """OpenCV's SIFT settings, named as the program's ExtractionOptions names them."""
    sift_features: int = -1  # no cap: every keypoint the detector finds is kept
    sift_octave_layers: int = 3
    sift_contrast_threshold: float = 0.01
    sift_edge_threshold: float = 10.0
    sift_sigma: float = 1.6


SIFT = SiftSettings()

# A patch spans 2R pixels, R = int(size * PATCH_REACH_PER_SIZE), capped at the image diagonal.
PATCH_REACH_PER_SIZE = 0.5 * 3.0 * math.sqrt(2.0) * 5.0 * 0.5
# pi rounded to float, over 180, as the program uses it.
DEG_TO_RAD = 0.017453293005625408


class ImageError(Exception):
    """A capture's image that cannot be read or prepared."""


def load_grey(path):
    """One raw image, grey, brought to the prepared size as the program does."""
    import cv2

    image = cv2.imread(path, cv2.IMREAD_GRAYSCALE) if os.path.isfile(path) else None
    if image is None:
        raise ImageError(f"cannot read image {path}")
    if image.shape[1] != PREPARED_WIDTH:
        image = cv2.resize(image, (PREPARED_WIDTH, PREPARED_HEIGHT), interpolation=cv2.INTER_LINEAR)
    return image


def raw_image_paths(workspace, record):
    names = [record["raw1_image"]] + ([record["raw2_image"]] if record.get("raw2_image") else [])
    return [image_path(workspace, name) for name in names]


def prepare(workspace, record):
    """The prepared grey image (uint8) of capture list entry `record`: a pair's
    two images averaged."""
    import cv2

    images = [load_grey(path) for path in raw_image_paths(workspace, record)]
    if len(images) == 1:
        return images[0]
    if images[0].shape != images[1].shape:
        raise ImageError(f"the images of capture {record['uuid']} differ in size after resizing")
    return cv2.addWeighted(images[0], 0.5, images[1], 0.5, 0)


def make_sift():
    import cv2

    return cv2.SIFT_create(nfeatures=SIFT.sift_features,
                           nOctaveLayers=SIFT.sift_octave_layers,
                           contrastThreshold=SIFT.sift_contrast_threshold,
                           edgeThreshold=SIFT.sift_edge_threshold, sigma=SIFT.sift_sigma)


def detect(sift, image):
    """Keypoints, largest first (ties in any order, as the program's sort leaves them)."""
    keypoints = sift.detect(image, None)
    return sorted(keypoints, key=lambda k: k.size, reverse=True)


def patch_radius(size):
    """Half the side of a keypoint's patch in pixels, before the cap at the image diagonal."""
    return int(size * PATCH_REACH_PER_SIZE)


def sampling_grid():
    """Columns gx (along the patch row) and gy, one row per sample."""
    offsets = (2.0 * (np.arange(PATCH) / PATCH) - 1.0).astype(np.float32)
    gx, gy = np.meshgrid(offsets, offsets)
    return gx.reshape(-1, 1), gy.reshape(-1, 1)


def keypoint_transform(keypoint, diagonal):
    # Multiplied left to right, as the program does: the rounding decides the integer.
    radius = int(keypoint.size * 0.5 * 3.0 * math.sqrt(2.0) * 5.0 * 0.5)
    reach = min(float(radius), diagonal)
    theta = (360.0 - keypoint.angle) * DEG_TO_RAD
    a, b = reach * math.cos(theta), reach * math.sin(theta)
    x, y = keypoint.pt
    return np.array([[a, -b], [b, a], [x, y]], np.float32)


def extract(image, keypoints):
    """float32 [N, PATCH, PATCH]: each keypoint's patch, normalised to zero mean
    and unit deviation (0 where the patch is uniform)."""
    import cv2

    gx, gy = sampling_grid()
    float_image = image.astype(np.float32)
    rows, cols = image.shape
    diagonal = math.sqrt(cols * cols + rows * rows)
    patches = np.empty((len(keypoints), PATCH, PATCH), np.float32)
    for k, keypoint in enumerate(keypoints):
        # (gx, gy, 1) times the transform, summed in this order in float32 as
        # OpenCV's matrix product does: numpy's matmul rounds differently, and a
        # position one float step off can change a patch.
        t = keypoint_transform(keypoint, diagonal)
        positions = (gx * t[0] + gy * t[1] + t[2]).reshape(PATCH, PATCH, 2)
        patch = cv2.remap(float_image, positions, None, cv2.INTER_LINEAR,
                          borderMode=cv2.BORDER_REPLICATE)
        mean, deviation = cv2.meanStdDev(patch)
        m, s = np.float32(mean[0, 0]), np.float32(deviation[0, 0])
        patches[k] = 0.0 if s == 0 else (patch - m) / s
    return patches
