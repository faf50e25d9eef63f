import json

import pytest

from lf_tools.common.saved_model import MARKER, file_digest, read_marker


def marker_holding(text):
    def write(folder):
        folder.mkdir()
        (folder / MARKER).write_text(text)
    return write


@pytest.mark.parametrize("make, expected", [
    (lambda folder: None, None),
    (lambda folder: folder.mkdir(), None),
    (marker_holding("{\"trained\": tru"), None),
    (marker_holding(json.dumps({"script_version": 3, "trained": True}) + "\n"),
     {"script_version": 3, "trained": True}),
])
def test_the_marker_reads_back_only_when_whole(tmp_path, make, expected):
    folder = tmp_path / "model"
    make(folder)
    assert read_marker(folder) == expected


def test_the_digest_is_the_sha256_of_the_contents(tmp_path):
    (tmp_path / "empty").write_bytes(b"")
    (tmp_path / "abc").write_bytes(b"abc")
    assert file_digest(tmp_path / "empty") == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    assert file_digest(tmp_path / "abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
