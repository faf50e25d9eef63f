"""The user tools on a small workspace whose matches are planted.

Captures "a" and "b" have 512x256 raw images, so the prepared images are
4 times larger and a raw pixel x maps to 4x + 1.5 (pixel centres kept).
Keypoint k of "b" is keypoint k of "a" under the raw homography x -> 2x + 5,
i.e. X -> 2X + 18.5 in prepared pixels, for k < 20; the last 10 are 60 to
200 pixels away from it. b's descriptors are a's in reverse row order.
"""

import json

import numpy as np
import pytest

from lf_tools.user import draw, features, match
from lf_tools.common.results import write_results
from lf_tools.common.workspace_writer import write_workspace

cv2 = pytest.importorskip("cv2")

PLANTED, STRAYS = 20, 10


def png(width, height, value):
    ok, data = cv2.imencode(".png", np.full((height, width), value, np.uint8))
    assert ok
    return data.tobytes()


@pytest.fixture
def workspace(tmp_path):
    folder = tmp_path / "ws"
    images = {"a.png": png(512, 256, 90), "b.png": png(512, 256, 90),
              "p1.png": png(1000, 500, 200), "p2.png": png(1000, 500, 100)}
    write_workspace(str(folder), [("a", "a.png", ""), ("b", "b.png", ""), ("pair", "p1.png", "p2.png")],
                    images.__getitem__)
    matches = folder / "caches" / "matches"
    matches.mkdir()
    rng = np.random.default_rng(11)
    count = PLANTED + STRAYS
    xy_a = rng.uniform(100, 900, (count, 2))
    xy_b = 2 * xy_a + 18.5
    xy_b[PLANTED:] += rng.uniform(60, 200, (STRAYS, 2)) * rng.choice([-1, 1], (STRAYS, 2))
    descriptors = rng.normal(size=(count, 128)).astype(np.float32)
    write_results(str(matches), "a", [(x, y, 4.0, 0.0) for x, y in xy_a], descriptors)
    write_results(str(matches), "b", [(x, y, 4.0, 0.0) for x, y in xy_b[::-1]], descriptors[::-1])
    return folder


def table(output, name):
    line = next(line for line in output.splitlines() if line.startswith(name))
    return [float(value) for value in line[len(name):].split()]


def test_reader_loads_from_a_workspace_or_its_result_folder(workspace):
    from_workspace = features.load_features(str(workspace), "a")
    from_results = features.load_features(str(workspace / "caches" / "matches"), "a")
    assert from_workspace[0].shape == (30, 4) and from_workspace[1].shape == (30, 128)
    np.testing.assert_array_equal(from_workspace[1], from_results[1])


def test_reader_command_exits_1_naming_an_inconsistent_pair(workspace, capsys):
    assert features.main([str(workspace), "a", "b"]) == 0
    assert capsys.readouterr().out.startswith("a: 30 keypoints")
    with open(workspace / "caches" / "matches" / "b.feat", "ab") as f:
        f.write(b"1 2 3 4\r\n")
    assert features.main([str(workspace), "a", "b"]) == 1
    assert "b.feat has 31 keypoint lines" in capsys.readouterr().err


@pytest.mark.parametrize("pixels, content, correct", [
    # Given in raw pixels, the homography is carried over to the prepared images.
    ("raw", "2 0 5\n0 2 5\n0 0 1\n", [PLANTED] * 5),
    ("prepared", "2 0 18.5\n0 2 18.5\n0 0 1\n", [PLANTED] * 5),
    # Read without the pixel-centre shift, it is 1.5 px off in x and in y (2.1 px).
    ("prepared", "2 0 20\n0 2 20\n0 0 1\n", [0, 0, PLANTED, PLANTED, PLANTED]),
])
def test_matcher_scores_against_a_homography(workspace, tmp_path, capsys, pixels, content, correct):
    homography = tmp_path / "H.txt"
    homography.write_text(content)
    assert match.main([str(workspace), "a", "b", "--homography", str(homography),
                       "--homography-pixels", pixels]) == 0
    output = capsys.readouterr().out
    assert "matches (mutual nearest neighbours): 30" in output
    assert table(output, "threshold px") == [1, 2, 3, 5, 10]
    assert table(output, "correct") == correct
    assert table(output, "MMA") == [round(c / 30, 3) for c in correct]


def test_matcher_without_homography_counts_ransac_inliers(workspace, capsys):
    assert match.main([str(workspace), "a", "b"]) == 0
    assert "homography fit (RANSAC, 3 px): 20 inliers of 30 matches (66.7%)" in capsys.readouterr().out


def test_matcher_reports_a_missing_capture(workspace, capsys):
    assert match.main([str(workspace), "a", "pair"]) == 1
    assert "pair.feat" in capsys.readouterr().err


@pytest.mark.parametrize("angle, on_tick, off_tick", [(0, (1025, 500), (1000, 525)),
                                                      (90, (1000, 525), (1025, 500))])
def test_keypoint_drawing_on_the_prepared_pair(workspace, tmp_path, angle, on_tick, off_tick):
    # One keypoint of size 100 at (1000, 500) of the pair, whose images average to 150.
    write_results(str(workspace / "caches" / "matches"), "pair", [(1000, 500, 100, angle)],
                  np.zeros((1, 128)))
    out = tmp_path / "keypoints.png"
    assert draw.main(["keypoints", str(workspace), "pair", str(out)]) == 0
    picture = cv2.imread(str(out))
    assert picture.shape == (1024, 2048, 3)
    grey = [150, 150, 150]
    assert picture[300, 300].tolist() == grey
    assert picture[500 - 25, 1000].tolist() == grey  # inside the circle
    assert picture[500 - 50, 1000].tolist() != grey  # on the circle: radius is half the size
    assert picture[on_tick[1], on_tick[0]].tolist() != grey
    assert picture[off_tick[1], off_tick[0]].tolist() == grey


def test_match_drawing_is_both_prepared_images_side_by_side(workspace, tmp_path, capsys):
    out = tmp_path / "matches.png"
    assert draw.main(["matches", str(workspace), "a", "b", str(out), "--width", "1024"]) == 0
    assert cv2.imread(str(out)).shape == (28 + 256, 1024, 3)  # a caption band above the pair
    assert "20 inliers of 30 matches" in capsys.readouterr().out


def test_drawing_reads_list_paths_as_the_program_does(workspace, tmp_path, capsys):
    # A backslash separates, and a leading separator stays inside the workspace.
    path = workspace / "caches" / "images.json"
    path.write_text(path.read_text().replace('"raw/a.png"', '"raw\\\\a.png"')
                    .replace('"raw/b.png"', '"\\\\raw\\\\b.png"'))
    assert draw.main(["keypoints", str(workspace), "a", str(tmp_path / "keypoints.png")]) == 0
    assert draw.main(["matches", str(workspace), "a", "b", str(tmp_path / "matches.png")]) == 0
    assert "20 inliers of 30 matches" in capsys.readouterr().out


def broken_list(workspace):
    (workspace / "caches" / "images.json").write_text('{"images": [')
    return [str(workspace)]


def a_listed_again_with_b_png(workspace):
    path = workspace / "caches" / "images.json"
    images = json.loads(path.read_text())["images"]
    path.write_text(json.dumps({"images": images + [dict(images[0], raw1_image="raw/b.png")]}))
    return ["keypoints", str(workspace), "a", str(workspace / "out.png")]


def matches_folder_without_list(workspace):
    (workspace / "caches" / "images.json").unlink()
    return [str(workspace / "caches" / "matches")]


# (tool, arguments after the workspace or a setup(workspace) giving all, words of the one line)
REFUSED_RUNS = {
    "draw without an image extension": (draw, ["matches", "{ws}", "a", "b", "{tmp}/out"],
                                        "not a picture file name"),
    "draw keypoints to a text file": (draw, ["keypoints", "{ws}", "a", "{tmp}/out.txt"],
                                      "not a picture file name"),
    "draw with a negative width": (draw, ["keypoints", "{ws}", "a", "{tmp}/out.png", "--width", "-5"],
                                   "--width must be a positive"),
    "match drawing without an image extension": (match, ["{ws}", "a", "b", "--draw", "{tmp}/out"],
                                                 "not a picture file name"),
    "match with an all-zero homography": (match, ["{ws}", "a", "b", "--homography", "{tmp}/zero.txt"],
                                          "the homography is all zero"),
    "draw a capture listed with two images": (draw, a_listed_again_with_b_png,
                                              "capture a is listed with two different images"),
    "features on a missing folder": (features, ["{tmp}/nowhere"], "is not a folder"),
    "features on a matches folder without a list": (features, matches_folder_without_list,
                                                     "cannot read the capture list"),
    "features on a malformed list": (features, broken_list, "images.json: not valid JSON"),
}


@pytest.mark.parametrize("case", REFUSED_RUNS, ids=list(REFUSED_RUNS))
def test_bad_input_gives_one_line_and_exit_1(workspace, tmp_path, capsys, case):
    tool, arguments, words = REFUSED_RUNS[case]
    (tmp_path / "zero.txt").write_text("0 0 0\n0 0 0\n0 0 0\n")
    if callable(arguments):
        arguments = arguments(workspace)
    else:
        arguments = [a.format(ws=workspace, tmp=tmp_path) for a in arguments]
    assert tool.main(arguments) == 1
    error = capsys.readouterr().err
    assert len(error.splitlines()) == 1 and error.startswith("error: ") and words in error
    assert not (tmp_path / "out").exists()


def test_non_finite_descriptor_rows_are_reported_and_left_out(workspace, capsys):
    matches = workspace / "caches" / "matches"
    keypoints, descriptors = features.load_features(str(workspace), "a")
    descriptors = np.array(descriptors)
    descriptors[:3, 7] = np.nan
    descriptors[3, 0] = np.inf
    write_results(str(matches), "a", keypoints, descriptors)
    assert features.main([str(workspace), "a"]) == 1
    captured = capsys.readouterr()
    assert "4 with NaN or infinity" in captured.out and "nan" not in captured.out
    assert "a: 4 descriptor rows hold NaN or infinity" in captured.err
    assert match.main([str(workspace), "a", "b"]) == 0
    captured = capsys.readouterr()
    assert "matches (mutual nearest neighbours): 26" in captured.out
    assert "a: 4 descriptor rows hold NaN or infinity; left out of matching" in captured.err
