import numpy as np
import pytest

from lf_tools.common import matching
from lf_tools.common.matching import (fit_geometry, load_homography, mean_matching_accuracy,
                             mutual_nearest_neighbours)

H1TO3P = "/usr/share/doc/opencv-doc/examples/data/H1to3p.xml"


def unit_rows(*angles_degrees):
    """Descriptors on a circle (2-D padded to 128), easy to reason about."""
    rows = np.zeros((len(angles_degrees), 128), np.float32)
    radians = np.deg2rad(angles_degrees)
    rows[:, 0], rows[:, 1] = np.cos(radians), np.sin(radians)
    return rows


def brute_force_mutual(desc1, desc2):
    distances = np.linalg.norm(desc1[:, None, :].astype(np.float64) - desc2[None, :, :], axis=2)
    forward, backward = distances.argmin(axis=1), distances.argmin(axis=0)
    return [(i, j) for i, j in enumerate(forward) if backward[j] == i]


def test_keeps_only_mutual_nearest_neighbours():
    desc1 = unit_rows(0, 90, 100)
    desc2 = unit_rows(2, 97)
    # 0 <-> 2 is mutual; 90 and 100 both prefer 97, which prefers 100.
    assert mutual_nearest_neighbours(desc1, desc2).tolist() == [[0, 0], [2, 1]]


def test_ratio_test_drops_ambiguous_matches():
    desc1 = unit_rows(0, 90)
    desc2 = unit_rows(1, 60, 88, 91.8)
    # For 0: nearest 1 degree away, second 60: clear. For 90: 1.8 and 2 degrees, a ratio of 0.9.
    assert mutual_nearest_neighbours(desc1, desc2).tolist() == [[0, 0], [1, 3]]
    assert mutual_nearest_neighbours(desc1, desc2, ratio=0.8).tolist() == [[0, 0]]


@pytest.mark.parametrize("chunk_rows", [1, 3, 1024])
def test_agrees_with_brute_force_across_chunks(monkeypatch, chunk_rows):
    monkeypatch.setattr(matching, "_CHUNK_ROWS", chunk_rows)
    rng = np.random.default_rng(3)
    desc1 = rng.normal(size=(40, 128)).astype(np.float32)
    desc2 = np.vstack([desc1[::2] + rng.normal(scale=0.3, size=(20, 128)),
                       rng.normal(size=(15, 128))]).astype(np.float32)
    assert [tuple(m) for m in mutual_nearest_neighbours(desc1, desc2)] == brute_force_mutual(desc1, desc2)


def test_no_descriptors_no_matches():
    assert mutual_nearest_neighbours(np.zeros((0, 128)), unit_rows(0)).shape == (0, 2)


def test_mean_matching_accuracy_counts_matches_within_each_threshold():
    H = np.array([[1, 0, 10], [0, 1, 0], [0, 0, 1]], float)  # shift 10 px right
    xy1 = np.zeros((4, 2))
    # Errors after the shift: 0.5, 1.5, 4 and 20 pixels.
    xy2 = np.array([[10.5, 0], [10, 1.5], [6, 0], [10, 20]])
    matches = np.array([[0, 0], [1, 1], [2, 2], [3, 3]])
    scores = mean_matching_accuracy(xy1, xy2, matches, H)
    assert scores == {1: (0.25, 1), 2: (0.5, 2), 3: (0.5, 2), 5: (0.75, 3), 10: (0.75, 3)}
    assert mean_matching_accuracy(xy1, xy2, np.zeros((0, 2)), H)[3] == (0.0, 0)


def test_loads_opencv_xml_and_plain_text(tmp_path):
    text = tmp_path / "h.txt"
    text.write_text("1 0 5\n0 2 -3\n0 0 1\n")
    np.testing.assert_array_equal(load_homography(str(text)), [[1, 0, 5], [0, 2, -3], [0, 0, 1]])
    yaml = tmp_path / "h.yml"
    yaml.write_text("%YAML:1.0\n---\nH: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
                    "   data: [ 1., 0., 5., 0., 2., -3., 0., 0., 1. ]\n")
    np.testing.assert_array_equal(load_homography(str(yaml)), [[1, 0, 5], [0, 2, -3], [0, 0, 1]])


def test_loads_the_opencv_sample_homography():
    import os
    if not os.path.exists(H1TO3P):
        pytest.skip(f"{H1TO3P} missing (Debian package opencv-doc)")
    H = load_homography(H1TO3P)
    assert H[0, 0] == pytest.approx(7.6285898e-01) and H[1, 2] == pytest.approx(-7.6999973e+01)
    assert H[2, 0] == pytest.approx(3.4663091e-04)


@pytest.mark.parametrize("content", ["1 2 3\n4 5 6\n", "not a matrix\n",
                                     "%YAML:1.0\n---\nH: !!opencv-matrix\n   rows: 2\n   cols: 2\n"
                                     "   dt: d\n   data: [ 1., 0., 0., 1. ]\n"])
def test_refuses_files_without_a_3x3_matrix(tmp_path, content):
    path = tmp_path / "bad.yml"
    path.write_text(content)
    with pytest.raises(ValueError, match="no 3x3 homography"):
        load_homography(str(path))


def test_ransac_finds_the_planted_inliers():
    rng = np.random.default_rng(5)
    H = np.array([[0.9, 0.1, 30], [-0.05, 1.1, -20], [1e-4, 0, 1]])
    xy1 = rng.uniform(0, 1000, (60, 2))
    mapped = np.hstack([xy1, np.ones((60, 1))]) @ H.T
    xy2 = mapped[:, :2] / mapped[:, 2:]
    outliers = np.arange(40, 60)
    xy2[outliers] += rng.uniform(50, 200, (20, 2))
    matches = np.stack([np.arange(60), np.arange(60)], axis=1)
    matrix, inliers = fit_geometry(xy1, xy2, matches, "homography", 3.0)
    assert inliers.tolist() == [True] * 40 + [False] * 20
    np.testing.assert_allclose(matrix / matrix[2, 2], H, rtol=1e-3, atol=1e-6)
    assert not fit_geometry(xy1, xy2, matches[:3], "homography")[1].any()


@pytest.mark.parametrize("content, words", [("0 0 0\n0 0 0\n0 0 0\n", "all zero"),
                                            ("1 0 0\n2 0 0\n0 0 1\n", r"singular \(rank 2\)")])
def test_refuses_a_homography_that_cannot_be_inverted(tmp_path, content, words):
    path = tmp_path / "h.txt"
    path.write_text(content)
    with pytest.raises(ValueError, match=words):
        load_homography(str(path))


def test_rows_with_nan_or_infinity_take_no_part_in_matching():
    desc1 = unit_rows(0, 90, 180)
    desc2 = unit_rows(89, 1, 179)
    desc1[1, 5] = np.nan
    desc2[2, 0] = np.inf
    # Without the bad rows: 0 <-> 1 only; indices stay those of the full arrays.
    assert mutual_nearest_neighbours(desc1, desc2).tolist() == [[0, 1]]


def brute_force_symmetric_ratio(desc1, desc2, ratio):
    distances = np.linalg.norm(desc1[:, None, :].astype(np.float64) - desc2[None, :, :], axis=2)
    pairs = []
    for i, j in brute_force_mutual(desc1, desc2):
        row, column = np.sort(distances[i]), np.sort(distances[:, j])
        if row[0] < ratio * row[1] and column[0] < ratio * column[1]:
            pairs.append((i, j))
    return pairs


@pytest.mark.parametrize("chunk_rows", [1, 3, 7, 1024])
def test_symmetric_ratio_test_agrees_with_brute_force_across_chunks(monkeypatch, chunk_rows):
    monkeypatch.setattr(matching, "_CHUNK_ROWS", chunk_rows)
    rng = np.random.default_rng(8)
    base = rng.normal(size=(40, 128))
    # Rows near base rows 0, 2 and 4 make those columns ambiguous from desc2's side only.
    desc1 = np.vstack([base, base[0:6:2] + rng.normal(scale=0.2, size=(3, 128))]).astype(np.float32)
    desc2 = np.vstack([base[::2] + rng.normal(scale=0.3, size=(20, 128)),
                       rng.normal(size=(10, 128))]).astype(np.float32)
    expected = brute_force_symmetric_ratio(desc1, desc2, 0.8)
    one_sided = [tuple(m) for m in mutual_nearest_neighbours(desc1, desc2, 0.8)]
    assert set(expected) < set(one_sided)  # the second side's test removes some
    assert [tuple(m) for m in mutual_nearest_neighbours(desc1, desc2, 0.8, symmetric=True)] == expected
