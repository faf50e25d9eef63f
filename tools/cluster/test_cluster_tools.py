import io
import json
import struct

import pytest

from lf_tools.cluster import verify_results
from lf_tools.cluster.sharding import fnv1a_64, shard_of


# Published FNV-1a 64 test vectors.
@pytest.mark.parametrize("data, expected", [
    (b"", 0xCBF29CE484222325),
    (b"a", 0xAF63DC4C8601EC8C),
    (b"foobar", 0x85944171F73967E8),
])
def test_fnv1a_64_matches_the_published_vectors(data, expected):
    assert fnv1a_64(data) == expected


def write_pair(matches, uuid, feat_lines, desc_rows, declared_rows=None):
    (matches / f"{uuid}.feat").write_bytes(b"1 2 3 4\r\n" * feat_lines)
    header = struct.pack("<Q", desc_rows if declared_rows is None else declared_rows)
    (matches / f"{uuid}.desc").write_bytes(header + b"\0" * (512 * desc_rows))


def test_verify_names_each_capture_without_a_consistent_pair_once(tmp_path):
    uuids = ["good", "no-desc", "no-feat", "short-desc", "extra-line", "never-run", "good"]
    (tmp_path / "caches").mkdir()
    (tmp_path / "caches" / "images.json").write_text(json.dumps(
        {"images": [{"raw1_image": "raw/x.jpg", "raw2_image": "", "uuid": uuid} for uuid in uuids]}))
    matches = tmp_path / "caches" / "matches"
    matches.mkdir()
    write_pair(matches, "good", 3, 3)
    write_pair(matches, "no-desc", 2, 2)
    (matches / "no-desc.desc").unlink()
    write_pair(matches, "no-feat", 2, 2)
    (matches / "no-feat.feat").unlink()
    write_pair(matches, "short-desc", 3, 2, declared_rows=3)
    write_pair(matches, "extra-line", 4, 3)
    (matches / ".12345-1.tmp").write_bytes(b"")
    (matches / ".publish.lock").write_bytes(b"")

    out = io.StringIO()
    bad_count = verify_results.verify(str(tmp_path), 3, out)

    bad = ["no-desc", "no-feat", "short-desc", "extra-line", "never-run"]
    assert bad_count == len(bad)
    assert out.getvalue().splitlines() == [
        *(f"missing or inconsistent: {uuid} (shard {shard_of(uuid, 3)}/3)" for uuid in bad),
        "temporary files left by interrupted runs: 1 (safe to delete when no run is active)",
        "captures: 6 in the list, 1 with consistent results, 5 missing or inconsistent",
    ]


def test_verify_looks_for_the_uuids_the_program_reads(tmp_path):
    # A repeated "uuid" key (the first counts) and an escaped NUL (the uuid ends there).
    (tmp_path / "caches").mkdir()
    (tmp_path / "caches" / "images.json").write_text(
        '{"images": [{"uuid": "first", "raw1_image": "a", "raw2_image": "", "x": 0, "uuid": "second"},'
        ' {"raw1_image": "b", "raw2_image": "", "uuid": "ab\\u0000cd"}]}')
    matches = tmp_path / "caches" / "matches"
    matches.mkdir()
    write_pair(matches, "first", 1, 1)
    write_pair(matches, "ab", 1, 1)
    out = io.StringIO()
    assert verify_results.verify(str(tmp_path), 1, out) == 0
    assert out.getvalue() == "captures: 2 in the list, 2 with consistent results, 0 missing or inconsistent\n"


@pytest.mark.parametrize("hidden, leftovers", [
    ([], []),
    ([".publish.lock"], []),
    # Runs given an option keep a record per pair there: not a leftover.
    ([".model_records/"], []),
    ([".model_records/", ".publish.lock", ".12345-1.tmp"], [".12345-1.tmp"]),
])
def test_only_unfinished_files_count_as_left_by_interrupted_runs(tmp_path, hidden, leftovers):
    for name in hidden:
        if name.endswith("/"):
            (tmp_path / name).mkdir()
            (tmp_path / name / "good").write_text("0123456789abcdef\n")
        else:
            (tmp_path / name).write_bytes(b"")
    assert verify_results.leftover_temporary_files(str(tmp_path)) == leftovers
