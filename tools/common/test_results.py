import struct

import numpy as np
import pytest

from lf_tools.common.results import ResultError, pair_is_consistent, read_results, write_results


def write_pair(folder, uuid, feat, rows, count=None):
    """Raw bytes: `feat` as given, a header of `count` (default: len(rows)), then `rows`."""
    (folder / f"{uuid}.feat").write_bytes(feat)
    rows = np.asarray(rows, "<f4").reshape(-1, 128)
    header = struct.pack("<Q", len(rows) if count is None else count)
    (folder / f"{uuid}.desc").write_bytes(header + rows.tobytes())


def test_reads_keypoints_and_memory_maps_descriptors(tmp_path):
    rows = np.arange(2 * 128, dtype=np.float32).reshape(2, 128)
    write_pair(tmp_path, "a", b"1024.5 3.25 12 359.999\r\n0 1e+03 1.5 0\r\n", rows)
    keypoints, descriptors = read_results(str(tmp_path), "a")
    assert keypoints.dtype == np.float32
    np.testing.assert_array_equal(keypoints, np.float32([[1024.5, 3.25, 12, 359.999], [0, 1000, 1.5, 0]]))
    assert isinstance(descriptors, np.memmap) and descriptors.dtype == np.float32
    np.testing.assert_array_equal(descriptors, rows)


def test_an_empty_pair_gives_empty_arrays(tmp_path):
    write_pair(tmp_path, "empty", b"", [])
    keypoints, descriptors = read_results(str(tmp_path), "empty")
    assert keypoints.shape == (0, 4) and descriptors.shape == (0, 128)
    assert pair_is_consistent(str(tmp_path), "empty")


ONE_ROW = np.zeros((1, 128))
BROKEN_PAIRS = {
    # name: (feat bytes, descriptor rows, header count, words the error must contain)
    "more lines than rows": (b"1 2 3 4\r\n5 6 7 8\r\n", ONE_ROW, None, ["2 keypoint lines", "1 descriptors"]),
    "fewer lines than rows": (b"", ONE_ROW, None, ["0 keypoint lines", "1 descriptors"]),
    "header beyond the rows": (b"1 2 3 4\r\n", ONE_ROW, 2, ["header says 2", "520 bytes"]),
    "truncated header": (b"", None, None, ["shorter than its 8-byte header"]),
    "malformed line": (b"1 2 3\r\n", ONE_ROW, None, ["line 1", "'1 2 3'"]),
}


@pytest.mark.parametrize("case", BROKEN_PAIRS, ids=list(BROKEN_PAIRS))
def test_inconsistent_pairs_are_refused_with_the_reason(tmp_path, case):
    feat, rows, count, words = BROKEN_PAIRS[case]
    if rows is None:
        (tmp_path / "x.feat").write_bytes(feat)
        (tmp_path / "x.desc").write_bytes(b"\0\0\0")
    else:
        write_pair(tmp_path, "x", feat, rows, count)
    with pytest.raises(ResultError) as error:
        read_results(str(tmp_path), "x")
    for word in words:
        assert word in str(error.value)
    if case != "malformed line":  # the counts agree there: only parsing finds it
        assert not pair_is_consistent(str(tmp_path), "x")


@pytest.mark.parametrize("missing", ["x.feat", "x.desc"])
def test_a_missing_file_is_named(tmp_path, missing):
    write_pair(tmp_path, "x", b"1 2 3 4\r\n", ONE_ROW)
    (tmp_path / missing).unlink()
    with pytest.raises(ResultError, match=missing.replace(".", r"\.")):
        read_results(str(tmp_path), "x")
    assert not pair_is_consistent(str(tmp_path), "x")


def test_writes_the_program_formats(tmp_path):
    rows = np.full((2, 128), 0.5, np.float32)
    rows[1] = -2.0
    write_results(str(tmp_path), "w", [(1024.5, 3.25, 12.0, 359.999), (0.0, 1000.0, 1.5, 0.0)], rows)
    assert (tmp_path / "w.feat").read_bytes() == b"1024.5 3.25 12 359.999\r\n0 1000 1.5 0\r\n"
    desc = (tmp_path / "w.desc").read_bytes()
    assert desc[:8] == b"\x02" + b"\0" * 7
    assert desc[8:12] == b"\x00\x00\x00\x3f" and desc[-4:] == b"\x00\x00\x00\xc0"
    assert len(desc) == 8 + 2 * 512


def test_write_refuses_rows_that_do_not_match_the_keypoints(tmp_path):
    with pytest.raises(ValueError):
        write_results(str(tmp_path), "w", [(1, 2, 3, 4)], np.zeros((2, 128)))
    with pytest.raises(ValueError):
        write_results(str(tmp_path), "w", [(1, 2, 3, 4)], np.zeros((1, 64)))


def load_pair_cases():
    import json
    import pathlib
    path = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "pair_consistency_cases.json"
    return json.loads(path.read_text())["cases"]


def write_case(folder, case):
    if case["feat"] is not None:
        (folder / "c.feat").write_bytes(case["feat"].encode("ascii"))
    desc = case["desc"]
    if desc is None:
        return
    if "raw_hex" in desc:
        data = bytes.fromhex(desc["raw_hex"])
    else:
        data = (struct.pack("<Q", desc["count"]) + np.ones((desc["rows"], 128), "<f4").tobytes()
                + b"\x07" * desc["extra_bytes"])
    (folder / "c.desc").write_bytes(data)


# The same table the program's --skip-done check is tested on.
@pytest.mark.parametrize("case", load_pair_cases(), ids=lambda case: case["name"])
def test_pair_completeness_follows_the_shared_table(tmp_path, case):
    write_case(tmp_path, case)
    assert pair_is_consistent(str(tmp_path), "c") == case["consistent"]
    if case["consistent"]:
        keypoints, descriptors = read_results(str(tmp_path), "c")
        assert len(keypoints) == len(descriptors) == case["desc"]["count"]
    else:
        with pytest.raises(ResultError):
            read_results(str(tmp_path), "c")
