"""Pairs from a reconstruction's verified tracks, and the real scene's camera figures."""

from types import SimpleNamespace

import numpy as np
import pytest

from lf_tools.training import real_scene, track_pairs


def fake_model(points):
    """points: {id: (error, [(image name, keypoint index), ...])}; images named by raw1_image."""
    names = sorted({name for _, elements in points.values() for name, _ in elements})
    ids = {name: 10 + i for i, name in enumerate(names)}
    images = {ids[name]: SimpleNamespace(name=name) for name in names}
    points3D = {pid: SimpleNamespace(error=error, xyz=np.zeros(3), track=SimpleNamespace(elements=[
        SimpleNamespace(image_id=ids[name], point2D_idx=index) for name, index in elements]))
        for pid, (error, elements) in points.items()}
    return SimpleNamespace(images=images, points3D=points3D)


def test_only_tracks_seen_often_enough_and_reprojected_well_are_kept():
    capture = {"raw/a.png": 0, "raw/b.png": 1, "raw/c.png": 2}
    model = fake_model({
        1: (0.5, [("raw/a.png", 4), ("raw/b.png", 7), ("raw/c.png", 9)]),
        2: (3.5, [("raw/a.png", 5), ("raw/b.png", 8), ("raw/c.png", 1)]),   # reprojected too far
        3: (0.5, [("raw/a.png", 6), ("raw/b.png", 2)]),                     # two views only
        4: (0.5, [("raw/a.png", 3), ("raw/a.png", 8), ("raw/b.png", 0)]),   # one view twice
    })
    tracks = track_pairs.verified_tracks(model, capture, min_track=3, max_error=2.0)
    assert [(t.point, t.elements) for t in tracks] == [(1, [(0, 4), (1, 7), (2, 9)])]
    two_views = track_pairs.verified_tracks(model, capture, min_track=2, max_error=2.0)
    assert sorted(t.point for t in two_views) == [1, 3, 4]
    assert [t.elements for t in two_views if t.point == 4] == [[(0, 3), (1, 0)]]


@pytest.mark.parametrize("views, per_track, expected", [(2, 1, 1), (2, 5, 1), (3, 2, 2), (3, 9, 3), (5, 4, 4)])
def test_pairs_join_two_different_views_of_one_track_never_twice(views, per_track, expected):
    tracks = [track_pairs.Track(7, [(c, 100 + c) for c in range(views)])]
    pairs = track_pairs.draw_pairs(tracks, 0, per_track, np.random.default_rng(3))
    assert len(pairs) == expected
    joined = {tuple(sorted((first, second))) for _, first, second in pairs}
    assert len(joined) == expected
    assert all(first[0] != second[0] for _, first, second in pairs)


@pytest.mark.parametrize("centres, widest", [
    ({0: [1, 0, 10], 1: [0, 0, 10], 2: [-1, 0, 10], 3: [10, 0, 0]}, (2, 3)),  # 95.7 degrees apart
    ({0: [0, 0, 100], 1: [-1, 0, 10], 2: [5, 0, 5], 3: [0, 0, 1]}, (1, 2)),  # 0 and 3: farthest apart, one ray
])
def test_the_first_pair_of_a_track_is_its_widest_pair_of_views(centres, widest):
    centres = {c: np.asarray(v, float) + [3, 4, 5] for c, v in centres.items()}
    tracks = [track_pairs.Track(7, [(c, 100 + c) for c in range(4)], (3.0, 4.0, 5.0))]
    for seed in range(5):
        pairs = track_pairs.draw_pairs(tracks, 0, 3, np.random.default_rng(seed), centres)
        assert (pairs[0][1][0], pairs[0][2][0]) == widest
        assert len({tuple(sorted((a, b))) for _, a, b in pairs}) == 3


def test_no_shard_holds_two_pairs_of_one_track():
    tracks = [track_pairs.Track(n, [(c, n) for c in range(2 + n % 3)]) for n in range(50)]
    pairs = track_pairs.draw_pairs(tracks, 0, 3, np.random.default_rng(5))
    assert len(pairs) == 17 * 1 + 17 * 3 + 16 * 3  # 17 tracks of 2 views, 17 of 3, 16 of 4
    limits = track_pairs.round_boundaries(pairs, 40)
    assert limits[0] == (0, 40) and limits[-1][1] == len(pairs)
    assert all(end - start <= 40 for start, end in limits)
    assert all(a[1] == b[0] for a, b in zip(limits, limits[1:]))
    for start, end in limits:
        numbers = [number for number, _, _ in pairs[start:end]]
        assert len(numbers) == len(set(numbers))


@pytest.mark.parametrize("value, text", [(1234.5678, "1234.57"), (0.000123456789, "0.000123457"),
                                         (359.99997, "360"), (2.0, "2")])
def test_values_are_compared_as_the_program_prints_them(value, text):
    assert track_pairs.printed(np.float32(value)) == np.float32(float(text))


def test_a_result_keypoint_the_mirror_does_not_find_stops_the_run(monkeypatch):
    found = [SimpleNamespace(pt=(10.123456, 20.5), size=3.25, angle=90.0),
             SimpleNamespace(pt=(30.0, 40.0), size=2.5, angle=181.234567)]
    monkeypatch.setattr(track_pairs.mirror, "detect", lambda sift, image: found)
    monkeypatch.setattr(track_pairs.mirror, "make_sift", lambda: None)
    printed_rows = np.array([[30, 40, 2.5, 181.235], [10.1235, 20.5, 3.25, 90]], np.float32)
    assert track_pairs.program_keypoints(None, printed_rows, "u") == [found[1], found[0]]
    with pytest.raises(RuntimeError, match="no keypoint printed as"):
        track_pairs.program_keypoints(None, printed_rows + np.float32([0.01, 0, 0, 0]), "u")


def test_shards_hold_pairs_in_the_training_layout():
    tracks = [track_pairs.Track(40, []), track_pairs.Track(41, [])]
    pairs = [(0, (0, 1), (1, 2)), (1, (0, 3), (1, 0)), (1, (2, 0), (0, 3))]
    patches = {key: np.full((32, 32), sum(key), np.float32) for key in [(0, 1), (1, 2), (0, 3), (1, 0), (2, 0)]}
    keypoints = {c: np.arange(16, dtype=np.float32).reshape(4, 4) + 100 * c for c in range(3)}
    fields = track_pairs.shard_fields(pairs, patches, keypoints, tracks)
    assert fields["patches"].shape == (3, 2, 32, 32) and fields["patches"].dtype == np.float16
    assert fields["patches"][1, :, 0, 0].tolist() == [3, 1]
    assert fields["view"].tolist() == [0, 0, 1]
    assert fields["track"].tolist() == [40, 41, 41]
    assert fields["captures"].tolist() == [[0, 1], [0, 1], [2, 0]]
    assert fields["xy"].tolist() == [[4, 5], [12, 13], [200, 201]]


def rotation(axis, degrees):
    import cv2

    return cv2.Rodrigues(np.radians(degrees) * np.asarray(axis, np.float64) / np.linalg.norm(axis))[0]


@pytest.mark.parametrize("scale", [1.0, 0.01, -2.0])
def test_a_projection_matrix_gives_back_its_camera(scale):
    K = np.array([[1800.0, 0, 1368], [0, 1800, 770], [0, 0, 1]])
    R, t = rotation([0.3, -1, 0.2], 40), np.array([0.5, -1.0, 3.0])
    found_R, found_t, found_K = real_scene.decompose(scale * K @ np.hstack([R, t[:, None]]))
    assert np.allclose(found_R, R, atol=1e-9) and np.allclose(found_t, t, atol=1e-9)
    assert np.allclose(found_K, K, atol=1e-6)


def test_camera_pairs_join_the_nearest_cameras_once():
    centres = {"a": [0, 0, 0], "b": [1, 0, 0], "c": [5, 0, 0], "d": [5.5, 0, 0]}
    truth = {"views": {u: {"R": np.eye(3).tolist(), "t": (-np.array(c, float)).tolist()}
                       for u, c in centres.items()}}
    assert real_scene.nearest_camera_pairs(truth, 1) == [("a", "b"), ("c", "d")]
    assert real_scene.nearest_camera_pairs(truth, 2) == [("a", "b"), ("a", "c"), ("b", "c"), ("b", "d"),
                                                         ("c", "d")]
    assert real_scene.sequential_pairs(["a", "b", "c"], 1) == [("a", "b"), ("b", "c")]


def test_ring_pairs_wrap_around_once_per_pair():
    assert real_scene.sequential_pairs(list("abcde"), 2, ring=True) == [
        ("a", "b"), ("a", "c"), ("b", "c"), ("b", "d"), ("c", "d"), ("c", "e"), ("d", "e"), ("d", "a"),
        ("e", "a"), ("e", "b")]
    # Neighbours reaching round the whole ring give each pair once.
    assert len(real_scene.sequential_pairs(list("abcd"), 3, ring=True)) == 6


@pytest.mark.parametrize("turn", [0, 90, -90, 180])
def test_a_bundler_camera_becomes_the_opencv_camera_turned_about_its_axis(turn):
    R, t = rotation([0.2, 1, -0.4], 70), np.array([0.3, -2.0, 1.5])
    text = "# Bundle file v0.3\n1 0\n1500 0 0\n" + "".join(
        " ".join(f"{v:.17g}" for v in row) + "\n" for row in (*R, t))
    (projection,) = real_scene.bundler_projections(text, turn)
    found_R, found_t, _ = real_scene.decompose(projection)
    flip = np.diag([1.0, -1.0, -1.0])  # Bundler's camera looks down -z with y up
    axis_turn = rotation([0, 0, -1], turn)  # counter-clockwise in the image, whose y points down
    np.testing.assert_allclose(found_R, axis_turn @ flip @ R, atol=1e-9)
    np.testing.assert_allclose(found_t, axis_turn @ flip @ t, atol=1e-9)
    # The camera centre does not move.
    np.testing.assert_allclose(-found_R.T @ found_t, -R.T @ t, atol=1e-9)
