import errno
import gzip
import json
import os
import signal

import pytest

from lf_tools.common.folders import replace_folder
from lf_tools.common.capture_list import read_capture_list
from lf_tools.common.workspace_writer import read_source, write_workspace


def test_writes_images_list_and_folders_the_program_needs(tmp_path):
    contents = {"a.jpg": b"first", "b.jpg": b"second", "c.png": b"third"}
    folder = tmp_path / "ws"
    write_workspace(str(folder), [("pair", "a.jpg", "b.jpg"), ("single", "c.png", "")], contents.__getitem__)
    assert json.loads((folder / "caches" / "images.json").read_text()) == {"images": [
        {"raw1_image": "raw/a.jpg", "raw2_image": "raw/b.jpg", "uuid": "pair"},
        {"raw1_image": "raw/c.png", "raw2_image": "", "uuid": "single"}]}
    assert {name: (folder / "raw" / name).read_bytes() for name in os.listdir(folder / "raw")} == contents
    assert (folder / "caches" / "images").is_dir() and not os.listdir(folder / "caches" / "images")
    assert [r["uuid"] for r in read_capture_list(str(folder))] == ["pair", "single"]


def test_reads_plain_or_gzipped_samples_and_names_a_missing_one(tmp_path):
    (tmp_path / "plain.jpg").write_bytes(b"plain")
    with gzip.open(tmp_path / "packed.jpg.gz", "wb") as f:
        f.write(b"packed")
    assert read_source(str(tmp_path), "plain.jpg") == b"plain"
    assert read_source(str(tmp_path), "packed.jpg") == b"packed"
    with pytest.raises(FileNotFoundError, match="missing.jpg"):
        read_source(str(tmp_path), "missing.jpg")


def fill_with(text):
    def fill(staged):
        os.mkdir(staged)
        with open(os.path.join(staged, "content"), "w") as f:
            f.write(text)
    return fill


def test_replace_folder_swaps_in_a_complete_folder_and_leaves_no_work_folder(tmp_path):
    out = tmp_path / "out"
    replace_folder(str(out), ".work-", fill_with("old"))
    replace_folder(str(out), ".work-", fill_with("new"))
    assert (out / "content").read_text() == "new"
    assert os.listdir(tmp_path) == ["out"]


def test_replace_folder_keeps_the_old_folder_when_building_fails(tmp_path):
    out = tmp_path / "out"
    replace_folder(str(out), ".work-", fill_with("old"))

    def failing(staged):
        fill_with("half")(staged)
        raise RuntimeError("disk full")

    with pytest.raises(RuntimeError):
        replace_folder(str(out), ".work-", failing)
    assert (out / "content").read_text() == "old"
    assert os.listdir(tmp_path) == ["out"]


def rename_with(action_before_call):
    """os.rename that runs action_before_call(call number) first."""
    real_rename, calls = os.rename, []

    def rename(source, target):
        calls.append(source)
        action_before_call(len(calls))
        real_rename(source, target)
    return rename


def test_replace_folder_puts_the_old_folder_back_when_the_swap_fails(tmp_path, monkeypatch):
    out = tmp_path / "out"
    replace_folder(str(out), ".work-", fill_with("old"))

    def fail_second(number):
        if number == 2:
            raise OSError(errno.EXDEV, "Invalid cross-device link")
    monkeypatch.setattr(os, "rename", rename_with(fail_second))
    with pytest.raises(OSError):
        replace_folder(str(out), ".work-", fill_with("new"))
    monkeypatch.undo()
    assert (out / "content").read_text() == "old"
    assert os.listdir(tmp_path) == ["out"]


@pytest.mark.skipif(not hasattr(signal, "SIGINT"), reason="no SIGINT")
def test_replace_folder_takes_ctrl_c_during_the_swap_after_it(tmp_path, monkeypatch):
    out = tmp_path / "out"
    replace_folder(str(out), ".work-", fill_with("old"))

    def ctrl_c_after_first(number):
        if number == 2:  # the old folder is moved away, the new not yet in place
            signal.raise_signal(signal.SIGINT)
    monkeypatch.setattr(os, "rename", rename_with(ctrl_c_after_first))
    with pytest.raises(KeyboardInterrupt):
        replace_folder(str(out), ".work-", fill_with("new"))
    monkeypatch.undo()
    assert (out / "content").read_text() == "new"
    assert os.listdir(tmp_path) == ["out"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
