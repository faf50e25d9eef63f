"""A capture's image as the program prepares it before finding keypoints.

Grey, 8 bits; brought to PREPARED_WIDTH x PREPARED_HEIGHT unless it already
has PREPARED_WIDTH columns (bilinear); a pair's two images averaged. Keypoint
coordinates in the result files are pixels of this image.
"""

import os

import numpy as np

from .program import (PREPARED_HEIGHT, PREPARED_WIDTH, ImageError,  # noqa: F401  (re-exported)
                      prepare, raw_image_paths)


def prepare_capture_image(workspace, record):
    """The prepared grey image (uint8) of the capture list entry `record`."""
    return prepare(workspace, record)


def raw_to_prepared(raw_width, raw_height):
    """3x3 matrix taking raw1's pixel coordinates to the prepared image's.

    Pixel centres map to pixel centres, as in the bilinear resize: a plain
    scale would be off by (scale - 1) / 2 pixels, 0.78 px in x for an 800
    column image, which shows at the 1 px threshold of the accuracy figures.
    """
    if raw_width == PREPARED_WIDTH:
        return np.eye(3)
    sx, sy = PREPARED_WIDTH / raw_width, PREPARED_HEIGHT / raw_height
    return np.array([[sx, 0.0, 0.5 * (sx - 1.0)], [0.0, sy, 0.5 * (sy - 1.0)], [0.0, 0.0, 1.0]])


def prepared_to_raw(xy, raw_width, raw_height, origin="centre"):
    """Positions [N, 2] in the prepared image mapped to raw1's pixels.

    origin "centre": pixel centres at whole numbers, as in OpenCV and hloc;
    "corner": COLMAP's convention, the image's top-left corner at (0, 0), so
    the first pixel's centre is at (0.5, 0.5).
    """
    xy = np.asarray(xy, np.float64)[:, :2]
    to_prepared = raw_to_prepared(raw_width, raw_height)
    raw = (xy - to_prepared[:2, 2]) / np.diag(to_prepared)[:2]
    return raw + 0.5 if origin == "corner" else raw


def raw_size(workspace, record):
    """(width, height) of the capture's first raw image, decoded as the program
    decodes it (grey; a JPEG's EXIF orientation applied)."""
    import cv2

    path = raw_image_paths(workspace, record)[0]
    image = cv2.imread(path, cv2.IMREAD_GRAYSCALE) if os.path.isfile(path) else None
    if image is None:
        raise ImageError(f"cannot read image {path}")
    return image.shape[1], image.shape[0]
