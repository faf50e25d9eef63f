"""Matching two captures' descriptors and scoring the matches.

Pixel coordinates are those of the result files, i.e. of the prepared image.
OpenCV is imported only by the functions that need it.
"""

import numpy as np

MMA_THRESHOLDS = (1, 2, 3, 5, 10)
RANSAC_PIXELS = 3.0
# Rows of the first set compared at once: bounds the distance block's memory.
_CHUNK_ROWS = 1024


def _augmented(desc1, desc2):
    """(A, B) such that A @ B.T holds the squared distances: rows [x, |x|^2, 1]
    and [-2y, 1, |y|^2]. One product then gives a block's distances, with no
    further pass over the block (memory traffic, not arithmetic, bounds this)."""
    ones1, ones2 = np.ones((len(desc1), 1), np.float32), np.ones((len(desc2), 1), np.float32)
    norms1 = np.einsum("ij,ij->i", desc1, desc1)[:, None]
    norms2 = np.einsum("ij,ij->i", desc2, desc2)[:, None]
    return (np.hstack([desc1, norms1, ones1]).astype(np.float32),
            np.ascontiguousarray(np.hstack([-2.0 * desc2, ones2, norms2]).astype(np.float32).T))


def _root(squared):
    return np.sqrt(np.maximum(squared, 0.0))


def finite_rows(descriptors):
    """bool [N]: rows without NaN or infinity."""
    descriptors = np.asarray(descriptors)
    if len(descriptors) == 0:
        return np.zeros(0, bool)
    return np.isfinite(descriptors).all(axis=1)


def mutual_nearest_neighbours(desc1, desc2, ratio=None, symmetric=False):
    """Index pairs (i, j), int64 [M, 2], where j is i's nearest neighbour in
    desc2 and i is j's nearest in desc1 (Euclidean distance).

    With `ratio`, a pair is kept only when i's nearest distance is below
    `ratio` times its second nearest (Lowe's test, from desc1's side), and with
    `symmetric` also j's nearest below `ratio` times j's second nearest in
    desc1 (the test from both sides, as COLMAP's matcher does it).
    Rows holding NaN or infinity take no part (see finite_rows).
    desc1 is compared in blocks of rows, so memory stays bounded by
    _CHUNK_ROWS x len(desc2) distances. Pairs are sorted by i.
    """
    desc1 = np.asarray(desc1, np.float32)
    desc2 = np.asarray(desc2, np.float32)
    keep1, keep2 = finite_rows(desc1), finite_rows(desc2)
    if not (keep1.all() and keep2.all()):
        index1, index2 = np.flatnonzero(keep1), np.flatnonzero(keep2)
        pairs = mutual_nearest_neighbours(desc1[keep1], desc2[keep2], ratio, symmetric)
        return np.stack([index1[pairs[:, 0]], index2[pairs[:, 1]]], axis=1).astype(np.int64)
    if len(desc1) == 0 or len(desc2) == 0:
        return np.zeros((0, 2), np.int64)
    augmented1, augmented2_t = _augmented(desc1, desc2)
    best_for_row = np.empty(len(desc1), np.int64)
    row_passes_ratio = np.ones(len(desc1), bool)
    best_column_distance = np.full(len(desc2), np.inf, np.float32)
    second_column_distance = np.full(len(desc2), np.inf, np.float32)
    best_for_column = np.zeros(len(desc2), np.int64)
    columns = np.arange(len(desc2))
    for start in range(0, len(desc1), _CHUNK_ROWS):
        distances = augmented1[start:start + _CHUNK_ROWS] @ augmented2_t
        rows = np.arange(len(distances))
        nearest = np.argmin(distances, axis=1)
        best_for_row[start:start + len(distances)] = nearest
        if ratio is not None and len(desc2) > 1:
            nearest_distance = distances[rows, nearest].copy()
            distances[rows, nearest] = np.inf
            second_distance = distances.min(axis=1)
            distances[rows, nearest] = nearest_distance
            row_passes_ratio[start:start + len(distances)] = \
                _root(nearest_distance) < ratio * _root(second_distance)
        column_nearest = np.argmin(distances, axis=0)
        column_distance = distances[column_nearest, columns]
        if ratio is not None and symmetric:
            distances[column_nearest, columns] = np.inf
            column_second = distances.min(axis=0) if len(distances) > 1 else \
                np.full(len(desc2), np.inf, np.float32)
            # Second smallest of the block's two and the running two.
            second_column_distance = np.minimum(
                np.maximum(best_column_distance, column_distance),
                np.minimum(second_column_distance, column_second))
        # Strictly closer only: on a tie the earlier row stays, as one argmin over all rows gives.
        closer = column_distance < best_column_distance
        best_column_distance[closer] = column_distance[closer]
        best_for_column[closer] = column_nearest[closer] + start
    first = np.arange(len(desc1))
    mutual = (best_for_column[best_for_row] == first) & row_passes_ratio
    if ratio is not None and symmetric and len(desc1) > 1:
        column_passes = _root(best_column_distance) < ratio * _root(second_column_distance)
        mutual &= column_passes[best_for_row]
    return np.stack([first[mutual], best_for_row[mutual]], axis=1).astype(np.int64)


def _homography_from_text(path):
    try:
        matrix = np.loadtxt(path, dtype=np.float64, ndmin=2)
    except ValueError:
        return None
    return matrix if matrix.shape == (3, 3) else None


def _homography_from_opencv_storage(path):
    import cv2

    storage = cv2.FileStorage(path, cv2.FILE_STORAGE_READ | cv2.FILE_STORAGE_FORMAT_AUTO)
    try:
        if not storage.isOpened():
            return None
        root = storage.root()
        for key in root.keys():
            matrix = root.getNode(key).mat()
            if matrix is not None and matrix.shape == (3, 3):
                return matrix.astype(np.float64)
        return None
    finally:
        storage.release()


def load_homography(path):
    """3x3 float64 matrix from a 3x3 text file or an OpenCV XML/YAML file
    (the first 3x3 matrix in it)."""
    matrix = _homography_from_text(path)
    if matrix is None:
        try:
            matrix = _homography_from_opencv_storage(path)
        except Exception:  # OpenCV raises its own error type on a malformed file
            matrix = None
    if matrix is None:
        raise ValueError(f"{path}: no 3x3 homography found (expected 3 lines of 3 numbers, "
                         f"or an OpenCV XML/YAML file holding a 3x3 matrix)")
    if not np.all(np.isfinite(matrix)):
        raise ValueError(f"{path}: the homography has non-finite values")
    rank = np.linalg.matrix_rank(matrix)
    if rank < 3:
        what = "all zero" if rank == 0 else f"singular (rank {rank})"
        raise ValueError(f"{path}: the homography is {what}; it must be an invertible 3x3 matrix")
    return matrix


def project(H, xy):
    """Points [N, 2] mapped through the homography H."""
    xy = np.asarray(xy, np.float64)
    mapped = np.hstack([xy, np.ones((len(xy), 1))]) @ np.asarray(H, np.float64).T
    return mapped[:, :2] / mapped[:, 2:3]


def mean_matching_accuracy(xy1, xy2, matches, H, thresholds=MMA_THRESHOLDS):
    """threshold -> (share of matches whose first point, mapped by H, lands
    within `threshold` pixels of its second point; how many do).

    No matches give accuracy 0 at every threshold.
    """
    matches = np.asarray(matches, np.int64).reshape(-1, 2)
    if len(matches) == 0:
        return {threshold: (0.0, 0) for threshold in thresholds}
    mapped = project(H, np.asarray(xy1)[matches[:, 0], :2])
    errors = np.linalg.norm(mapped - np.asarray(xy2, np.float64)[matches[:, 1], :2], axis=1)
    errors[~np.isfinite(errors)] = np.inf
    result = {}
    for threshold in thresholds:
        correct = int(np.count_nonzero(errors <= threshold))
        result[threshold] = (correct / len(matches), correct)
    return result


def fit_geometry(xy1, xy2, matches, model, threshold=3.0, seed=0):
    """RANSAC fit of a "homography" or "fundamental" matrix to the matched
    points; returns (matrix or None, inlier mask bool [M]).

    Seeded, so the same matches give the same inliers.
    """
    import cv2

    matches = np.asarray(matches, np.int64).reshape(-1, 2)
    minimum = {"homography": 4, "fundamental": 8}[model]
    inliers = np.zeros(len(matches), bool)
    if len(matches) < minimum:
        return None, inliers
    points1 = np.asarray(xy1, np.float64)[matches[:, 0], :2]
    points2 = np.asarray(xy2, np.float64)[matches[:, 1], :2]
    cv2.setRNGSeed(seed)
    if model == "homography":
        matrix, mask = cv2.findHomography(points1, points2, cv2.RANSAC, threshold,
                                          maxIters=10000, confidence=0.999)
    else:
        matrix, mask = cv2.findFundamentalMat(points1, points2, cv2.FM_RANSAC, threshold, 0.999,
                                              10000)
        if matrix is not None and matrix.shape != (3, 3):
            matrix = matrix[:3]  # several solutions: the first
    if matrix is None or mask is None:
        return None, inliers
    return matrix, mask.ravel().astype(bool)


def non_finite_count(descriptors):
    return len(descriptors) - int(finite_rows(descriptors).sum())


def match_captures(folder, uuid1, uuid2, ratio=None, symmetric=False):
    """(keypoints1, keypoints2, matches int [M, 2] of row indices) of two captures
    of a workspace or result folder."""
    from .results import load_features

    keypoints1, descriptors1 = load_features(folder, uuid1)
    keypoints2, descriptors2 = load_features(folder, uuid2)
    return keypoints1, keypoints2, mutual_nearest_neighbours(descriptors1, descriptors2, ratio,
                                                             symmetric)


def fit_line(model, inliers, match_count, threshold=RANSAC_PIXELS):
    share = inliers.sum() / match_count if match_count else 0.0
    return (f"{model} fit (RANSAC, {threshold:g} px): {int(inliers.sum())} inliers of "
            f"{match_count} matches ({share:.1%})")
