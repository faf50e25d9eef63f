import numpy as np
import pytest

from lf_tools.common.drawing import draw_matches, spread_subset

pytest.importorskip("cv2")


def dominant(pixel):
    """'blue', 'green' or 'red' where one channel clearly leads (lines are anti-aliased), else None."""
    blue, green, red = (int(v) for v in pixel)
    for name, value, others in (("blue", blue, (green, red)), ("green", green, (blue, red)),
                                ("red", red, (blue, green))):
        if value > 150 and max(others) < 60:
            return name
    return None


def test_inliers_are_green_and_outliers_red_across_both_images():
    left = np.full((100, 200), 128, np.uint8)
    right = np.full((80, 300), 128, np.uint8)  # shorter: padded below
    xy1 = np.array([[50.0, 20.0], [50.0, 70.0]])
    xy2 = np.array([[50.0, 20.0], [50.0, 70.0]])
    picture = draw_matches(left, right, xy1, xy2, [[0, 0], [1, 1]], [True, False])
    assert picture.shape == (100, 500, 3)
    # Lines run from x=50 to x=250 (the second image starts at column 200).
    assert dominant(picture[20, 150]) == "green"
    assert dominant(picture[70, 150]) == "red"
    assert picture[45, 150].tolist() == [128, 128, 128]
    assert picture[90, 400].tolist() == [0, 0, 0]


@pytest.mark.parametrize("count, limit, expected", [(10, 3, [0, 4, 9]), (4, 9, [0, 1, 2, 3]),
                                                    (5, None, [0, 1, 2, 3, 4])])
def test_drawn_subset_spans_the_whole_list(count, limit, expected):
    assert spread_subset(count, limit).tolist() == expected


@pytest.mark.parametrize("outliers, outlier_pixel", [("full", "red"), ("faint", "faint"), ("off", "grey")])
def test_outliers_drawn_full_faint_or_not_at_all_under_a_caption(outliers, outlier_pixel):
    left = np.full((100, 200), 128, np.uint8)
    xy = np.array([[50.0, 20.0], [50.0, 70.0]])
    picture = draw_matches(left, left, xy, xy, [[0, 0], [1, 1]], [True, False], outliers=outliers,
                           caption="2 matches, 1 inlier")
    assert picture.shape == (28 + 100, 400, 3)
    assert picture[:28].max() > 240 and picture[:28].min() == 32  # light text on the dark band
    body = picture[28:]
    assert dominant(body[20, 150]) == "green"
    blue, green, red = (int(v) for v in body[70, 150])
    kind = {True: "red"}.get(dominant(body[70, 150]) == "red") or \
        ("grey" if (blue, green, red) == (128, 128, 128) else "faint" if red > green + 20 else None)
    assert kind == outlier_pixel
