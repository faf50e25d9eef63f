"""Pictures of keypoints and matches on prepared images (OpenCV, BGR)."""

import numpy as np

KEYPOINT_COLOUR = (0, 200, 255)  # amber
INLIER_COLOUR = (0, 200, 0)  # green
OUTLIER_COLOUR = (0, 0, 255)  # red
# Sub-pixel positions for OpenCV's drawing calls: coordinates times 2**_SHIFT.
_SHIFT = 4


def _fixed(value):
    return int(round(value * (1 << _SHIFT)))


def _colour(grey):
    import cv2

    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def draw_keypoints(grey, keypoints, colour=KEYPOINT_COLOUR, thickness=1):
    """BGR copy of `grey` with a circle of diameter `size` per keypoint row
    (x, y, size, angle) and a radius drawn towards `angle` degrees
    (clockwise on screen, as OpenCV measures it)."""
    import cv2

    picture = _colour(grey)
    for x, y, size, angle in np.asarray(keypoints, np.float64):
        radius = max(size / 2.0, 1.0)
        theta = np.deg2rad(angle)
        centre = (_fixed(x), _fixed(y))
        tip = (_fixed(x + radius * np.cos(theta)), _fixed(y + radius * np.sin(theta)))
        cv2.circle(picture, centre, _fixed(radius), colour, thickness, cv2.LINE_AA, _SHIFT)
        cv2.line(picture, centre, tip, colour, thickness, cv2.LINE_AA, _SHIFT)
    return picture


def side_by_side(grey1, grey2):
    """One BGR picture, grey1 left of grey2, top-aligned; and grey2's x offset."""
    height = max(grey1.shape[0], grey2.shape[0])
    picture = np.zeros((height, grey1.shape[1] + grey2.shape[1], 3), np.uint8)
    picture[:grey1.shape[0], :grey1.shape[1]] = _colour(grey1)
    picture[:grey2.shape[0], grey1.shape[1]:] = _colour(grey2)
    return picture, grey1.shape[1]


def spread_subset(count, limit):
    """Indices of at most `limit` of `count` items, spread evenly over them."""
    if limit is None or count <= limit:
        return np.arange(count)
    return np.unique(np.linspace(0, count - 1, limit).round().astype(np.int64))


OUTLIER_STYLES = ("full", "faint", "off")
# Weight of a faint outlier's line against the picture under it.
FAINT = 0.25
CAPTION_LINE_ROWS = 22


def add_caption(picture, text):
    """The picture with a dark band above it holding `text` (lines split at
    newlines) in white: 6 + 22 rows per line."""
    import cv2

    lines = text.split("\n")
    band = np.full((6 + CAPTION_LINE_ROWS * len(lines), picture.shape[1], 3), 32, np.uint8)
    for number, line in enumerate(lines, 1):
        cv2.putText(band, line, (8, CAPTION_LINE_ROWS * number - 3), cv2.FONT_HERSHEY_SIMPLEX, 0.5,
                    (255, 255, 255), 1, cv2.LINE_AA)
    return np.vstack([band, picture])


def draw_matches(grey1, grey2, xy1, xy2, matches, inliers, width=None, max_lines=None,
                 thickness=1, outliers="full", caption=None):
    """The two images side by side, scaled to `width` columns if given, with a
    line per match: inliers green, outliers red (drawn first, so inliers stay
    visible), or faint, or left out (`outliers`). With `max_lines`, at most
    that many inliers and as many outliers, spread evenly over each list, are
    drawn, so that a few thousand matches stay readable. `caption` goes in a
    band above the picture."""
    import cv2

    if outliers not in OUTLIER_STYLES:
        raise ValueError(f"outliers must be one of {', '.join(OUTLIER_STYLES)}, not {outliers!r}")
    picture, offset = side_by_side(grey1, grey2)
    scale = 1.0
    if width and picture.shape[1] > width:
        scale = width / picture.shape[1]
        height = max(1, round(picture.shape[0] * scale))
        picture = cv2.resize(picture, (width, height), interpolation=cv2.INTER_AREA)
    matches = np.asarray(matches, np.int64).reshape(-1, 2)
    inliers = np.asarray(inliers, bool).reshape(-1)

    def draw(target, chosen, colour):
        for i, j in chosen:
            start = (_fixed(xy1[i][0] * scale), _fixed(xy1[i][1] * scale))
            end = (_fixed((xy2[j][0] + offset) * scale), _fixed(xy2[j][1] * scale))
            cv2.line(target, start, end, colour, thickness, cv2.LINE_AA, _SHIFT)
            cv2.circle(target, start, _fixed(2), colour, thickness, cv2.LINE_AA, _SHIFT)
            cv2.circle(target, end, _fixed(2), colour, thickness, cv2.LINE_AA, _SHIFT)

    if outliers != "off":
        wrong = matches[~inliers]
        wrong = wrong[spread_subset(len(wrong), max_lines)]
        if outliers == "faint":
            layer = picture.copy()
            draw(layer, wrong, OUTLIER_COLOUR)
            picture = cv2.addWeighted(layer, FAINT, picture, 1.0 - FAINT, 0)
        else:
            draw(picture, wrong, OUTLIER_COLOUR)
    right = matches[inliers]
    draw(picture, right[spread_subset(len(right), max_lines)], INLIER_COLOUR)
    return add_caption(picture, caption) if caption else picture


def check_picture_name(path):
    """Raise ValueError unless `path` ends in an image type OpenCV can write (.png, .jpg, ...)."""
    import cv2

    if not cv2.haveImageWriter(path):
        raise ValueError(f"{path}: not a picture file name; give it an image extension such as .png")


def check_width(width, option="--width"):
    if width is not None and width < 1:
        raise ValueError(f"{option} must be a positive number of columns, not {width}")


def save_png(path, picture, width=None):
    """Write `picture` as PNG, scaled down (area averaging) to `width` columns if given."""
    import cv2

    check_picture_name(path)
    check_width(width)
    if width and picture.shape[1] > width:
        height = max(1, round(picture.shape[0] * width / picture.shape[1]))
        picture = cv2.resize(picture, (width, height), interpolation=cv2.INTER_AREA)
    try:
        written = cv2.imwrite(path, picture, [cv2.IMWRITE_PNG_COMPRESSION, 9])
    except cv2.error as error:
        raise OSError(f"cannot write {path}: {str(error).strip().splitlines()[-1]}") from None
    if not written:
        raise OSError(f"cannot write {path}")


def draw_capture_matches(workspace, uuid1, uuid2, keypoints1, keypoints2, matches, inliers, out,
                         width=None, max_lines=None, outliers="full", caption=None):
    """Draw matches between two captures of `workspace` on their prepared images into `out`."""
    from .capture_list import find_record
    from .program import prepare

    picture = draw_matches(prepare(workspace, find_record(workspace, uuid1)),
                           prepare(workspace, find_record(workspace, uuid2)),
                           keypoints1, keypoints2, matches, inliers, width, max_lines,
                           outliers=outliers, caption=caption)
    save_png(out, picture)
