import numpy as np

from lf_tools.benchmark.benchmark import compare_results
from lf_tools.common.results import write_results

KEYPOINTS = [(10.0, 20.0, 3.5, 90.0), (10.0, 20.0, 3.5, 90.0), (400.25, 7.0, 12.0, 0.0)]


def rows(*firsts):
    out = np.zeros((len(firsts), 128), np.float32)
    out[:, 0] = firsts
    return out


def folders(tmp_path):
    reference, other = tmp_path / "reference", tmp_path / "other"
    reference.mkdir()
    other.mkdir()
    return str(reference), str(other)


def test_same_keypoints_in_another_order_pair_alike_lines_by_closest_row(tmp_path):
    reference, other = folders(tmp_path)
    write_results(reference, "u", KEYPOINTS, rows(1.0, 2.0, 3.0))
    # Reordered; the two identical keypoints swap rows, and one row is 0.25 off.
    write_results(other, "u", [KEYPOINTS[2], KEYPOINTS[1], KEYPOINTS[0]], rows(3.25, 1.0, 2.0))
    assert compare_results(reference, other, ["u"]) == (True, 0.25, 3, [])


def test_different_keypoints_are_reported(tmp_path):
    reference, other = folders(tmp_path)
    write_results(reference, "u", KEYPOINTS, rows(1.0, 2.0, 3.0))
    write_results(other, "u", KEYPOINTS[:2] + [(400.25, 7.0, 12.0, 0.5)], rows(1.0, 2.0, 3.0))
    same, _, compared, notes = compare_results(reference, other, ["u"])
    assert not same and compared == 0
    assert notes == ["u: keypoints differ (3 vs 3, 1 and 1 lines of one missing from the other)"]


def test_an_inconsistent_pair_is_reported_not_compared(tmp_path):
    reference, other = folders(tmp_path)
    write_results(reference, "u", KEYPOINTS, rows(1.0, 2.0, 3.0))
    write_results(other, "u", KEYPOINTS, rows(1.0, 2.0, 3.0))
    with open(f"{other}/u.feat", "ab") as f:
        f.write(b"1 2 3 4\r\n")
    same, _, compared, notes = compare_results(reference, other, ["u"])
    assert not same and compared == 0
    assert len(notes) == 1 and "4 keypoint lines" in notes[0]
