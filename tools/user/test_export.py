"""export.py on a small workspace with planted keypoints and matches.

Captures "a" and "b" have 512x256 raw images (prepared 4 times larger, a raw
pixel x at 4x + 1.5); "c" has a 2048-column image, which the program keeps.
b's descriptors are a's in reverse row order, so a's row k matches b's row
N-1-k.
"""

import errno
import json
import os

import numpy as np
import pytest

from lf_tools.common.results import write_results
from lf_tools.common.workspace_writer import write_workspace
from lf_tools.user import export

cv2 = pytest.importorskip("cv2")
pycolmap = pytest.importorskip("pycolmap")
h5py = pytest.importorskip("h5py")

COUNT = 12


def png(width, height):
    ok, data = cv2.imencode(".png", np.full((height, width), 80, np.uint8))
    return data.tobytes()


@pytest.fixture
def workspace(tmp_path):
    folder = tmp_path / "ws"
    sizes = {"a.png": (512, 256), "b.png": (512, 256), "c.png": (2048, 700)}
    write_workspace(str(folder), [("a", "a.png", ""), ("b", "b.png", ""), ("c", "c.png", "")],
                    lambda name: png(*sizes[name]))
    matches = folder / "caches" / "matches"
    matches.mkdir()
    rng = np.random.default_rng(5)
    raw = rng.uniform(10, 250, (COUNT, 2))
    prepared = 4 * raw + 1.5
    descriptors = rng.normal(size=(COUNT, 128)).astype(np.float32)
    write_results(str(matches), "a", [(x, y, 8, 0) for x, y in prepared], descriptors)
    write_results(str(matches), "b", [(x, y, 8, 0) for x, y in prepared[::-1]], descriptors[::-1])
    write_results(str(matches), "c", [(100.0, 200.0, 8, 0)], rng.normal(size=(1, 128)))
    return folder, raw


def test_database_and_hdf5_hold_raw_pixels_and_the_matches(workspace, tmp_path):
    folder, raw = workspace
    out = tmp_path / "out"
    assert export.main([str(folder), str(out), "--no-verify"]) == 0
    database = pycolmap.Database.open(str(out / "database.db"))
    try:
        images = {image.name: image for image in database.read_all_images()}
        assert sorted(images) == ["raw/a.png", "raw/b.png", "raw/c.png"]
        cameras = {camera.camera_id: camera for camera in database.read_all_cameras()}
        assert sorted((c.width, c.height) for c in cameras.values()) == [(512, 256), (2048, 700)]
        assert database.num_frames() == 3
        # COLMAP's convention: the first pixel's centre is at (0.5, 0.5).
        np.testing.assert_allclose(database.read_keypoints(images["raw/a.png"].image_id)[:, :2],
                                   raw + 0.5, atol=1e-3)
        np.testing.assert_allclose(database.read_keypoints(images["raw/c.png"].image_id)[:, :2],
                                   [[100.5, 200.5]], atol=1e-4)
        pair = database.read_matches(images["raw/a.png"].image_id, images["raw/b.png"].image_id)
        assert sorted(map(tuple, pair.tolist())) == [(k, COUNT - 1 - k) for k in range(COUNT)]
    finally:
        database.close()
    with h5py.File(out / "features.h5", "r") as f:
        np.testing.assert_allclose(f["raw/a.png/keypoints"][()], raw, atol=1e-3)
        assert f["raw/b.png/descriptors"].shape == (128, COUNT)
        assert f["raw/c.png/image_size"][()].tolist() == [2048, 700]
        assert f["raw/a.png"].attrs["uuid"] == "a"
    with h5py.File(out / "matches.h5", "r") as f:
        assert f["raw-a.png/raw-b.png/matches0"][()].tolist() == list(range(COUNT - 1, -1, -1))
        assert f["raw-a.png/raw-b.png/matching_scores0"][()].min() > 0.99
    assert (out / "pairs.txt").read_text().splitlines() == [
        "raw/a.png raw/b.png", "raw/a.png raw/c.png", "raw/b.png raw/c.png"]


def respell_list(folder, spelling):
    """The workspace's list with each image path spelt by spelling.format(file name)."""
    path = folder / "caches" / "images.json"
    images = json.loads(path.read_text())["images"]
    for image in images:
        image["raw1_image"] = spelling.format(image["raw1_image"][len("raw/"):])
    path.write_text(json.dumps({"images": images}))


@pytest.mark.parametrize("spelling", ["raw\\{}", "/raw/{}", "\\raw\\{}", "raw\\\\.\\{}", "./raw//{}"])
def test_list_paths_are_read_as_the_program_reads_them(workspace, tmp_path, spelling):
    folder, raw = workspace
    respell_list(folder, spelling)
    (tmp_path / "pairs.txt").write_text(spelling.format("a.png") + " b\n")
    out = tmp_path / "out"
    assert export.main([str(folder), str(out), "--no-verify", "--pairs", str(tmp_path / "pairs.txt")]) == 0
    database = pycolmap.Database.open(str(out / "database.db"))
    try:
        names = sorted(image.name for image in database.read_all_images())
    finally:
        database.close()
    assert names == ["raw/a.png", "raw/b.png", "raw/c.png"]
    with h5py.File(out / "features.h5", "r") as f:
        np.testing.assert_allclose(f["raw/a.png/keypoints"][()], raw, atol=1e-3)
        assert f["raw/c.png/image_size"][()].tolist() == [2048, 700]
    assert (out / "pairs.txt").read_text() == "raw/a.png raw/b.png\n"


def with_records(*records):
    """Arguments for the workspace whose list is (uuid, raw1_image) `records`."""
    def make_arguments(folder, tmp_path):
        (folder / "caches" / "images.json").write_text(json.dumps({"images": [
            {"raw1_image": raw1, "raw2_image": "", "uuid": uuid} for uuid, raw1 in records]}))
        return [str(folder), str(tmp_path / "out")]
    return make_arguments


def test_a_capture_listed_again_with_the_same_image_is_exported_once(workspace, tmp_path):
    folder, raw = workspace
    arguments = with_records(("a", "raw/a.png"), ("b", "raw/b.png"), ("a", "raw\\a.png"))(folder, tmp_path)
    assert export.main(arguments + ["--no-verify"]) == 0
    with h5py.File(tmp_path / "out" / "features.h5", "r") as f:
        assert sorted(f["raw"]) == ["a.png", "b.png"]
        np.testing.assert_allclose(f["raw/a.png/keypoints"][()], raw, atol=1e-3)


def slash_and_dash_names(folder, tmp_path):
    """b's image named raw-a.png, a's raw/a.png: one pair key for both in hloc's matches.h5."""
    os.rename(folder / "raw" / "b.png", folder / "raw-a.png")
    return with_records(("a", "raw/a.png"), ("b", "raw-a.png"), ("c", "raw/c.png"))(folder, tmp_path)


def test_names_that_differ_only_in_slash_and_dash_need_no_hdf5(workspace, tmp_path):
    assert export.main(slash_and_dash_names(workspace[0], tmp_path) + ["--no-verify", "--no-h5"]) == 0
    assert sorted(os.listdir(tmp_path / "out")) == ["database.db", "pairs.txt"]


# Every name a capture list can hold: anything but NUL, bytes that are not UTF-8 included.
PAIR_NAMES = ["raw/plain.png", "raw/with space.png", "raw/#2.png", 'raw/"q".png', 'a"b', '"', "",
              "raw/tab\t.png", "raw/\u00fcn\u00efcode.png", "raw/\udc80bytes.png", "raw/new\nline.png",
              "raw/cr\r.png", "raw/\u2028separator.png", "raw/nbsp\u00a0.png", "back\\slash", "\\",
              "\U0001f600", "x\x1fy"]


def test_pairs_written_by_export_are_read_back_whatever_the_names(tmp_path):
    captures = [export.Capture(f"uuid{k}", name, (1, 1), None, None) for k, name in enumerate(PAIR_NAMES)]
    pairs = [(k, k + 1) for k in range(len(captures) - 1)] + [(0, len(captures) - 1)]
    with open(tmp_path / "pairs.txt", "w", encoding="utf-8") as f:
        f.writelines(export.pair_line(captures[i].name, captures[j].name) for i, j in pairs)
    assert export.read_pairs(str(tmp_path / "pairs.txt"), captures) == sorted(pairs)


@pytest.mark.parametrize("line, names", [
    ("raw/a.png raw/b.png", ["raw/a.png", "raw/b.png"]),
    ("  a\tb  # a comment", ["a", "b"]),
    ("a#b", ["a"]),
    ('"raw/my photo #2.jpg" b#c', ["raw/my photo #2.jpg", "b"]),
    ('a"b c', ['a"b', "c"]),
    ('"\\u00e9\\t\\"" ""', ['\u00e9\t"', ""]),
])
def test_pairs_lines_split_as_documented(line, names):
    assert export.split_pair_line(line) == names


def test_export_reads_its_own_pairs_file_back(workspace, tmp_path):
    folder, _ = workspace
    os.rename(folder / "raw" / "a.png", folder / "raw" / "my photo #1.png")
    os.rename(folder / "raw" / "b.png", folder / "raw" / '"b".png')
    records = with_records(("a", "raw/my photo #1.png"), ("b", 'raw/"b".png'), ("c", "raw/c.png"))
    arguments = records(folder, tmp_path)
    assert export.main(arguments + ["--no-verify"]) == 0
    written = (tmp_path / "out" / "pairs.txt").read_text()
    assert written.splitlines()[0] == '"raw/my photo #1.png" "raw/\\"b\\".png"'
    (tmp_path / "pairs.txt").write_text(written)
    again = [str(folder), str(tmp_path / "again"), "--no-verify", "--pairs", str(tmp_path / "pairs.txt")]
    assert export.main(again) == 0
    assert (tmp_path / "again" / "pairs.txt").read_text() == written


def no_results(folder, tmp_path):
    os.rename(folder / "caches" / "matches", folder / "caches" / "elsewhere")
    return [str(folder), str(tmp_path / "out")]


def unknown_pair(folder, tmp_path):
    (tmp_path / "pairs.txt").write_text("a b\nb nobody\n")
    return [str(folder), str(tmp_path / "out"), "--pairs", str(tmp_path / "pairs.txt")]


def unwritable_output(folder, tmp_path):
    (tmp_path / "file").write_text("")
    return [str(folder), str(tmp_path / "file" / "out")]


def pairs_file(text):
    def make_arguments(folder, tmp_path):
        (tmp_path / "pairs.txt").write_text(text)
        return [str(folder), str(tmp_path / "out"), "--pairs", str(tmp_path / "pairs.txt")]
    return make_arguments


def link_to_a_folder(folder, tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    return [str(folder), str(tmp_path / "link")]


def missing_pair_file(folder, tmp_path):
    return [str(folder), str(tmp_path / "out"), "--pairs", str(tmp_path / "nowhere.txt")]


def one_size_with_camera(text):
    """Arguments with --camera TEXT for the workspace without "c", whose images share one size."""
    def make_arguments(folder, tmp_path):
        (folder / "caches" / "images.json").write_text(json.dumps({"images": [
            {"raw1_image": f"raw/{uuid}.png", "raw2_image": "", "uuid": uuid} for uuid in "ab"]}))
        return [str(folder), str(tmp_path / "out"), "--camera", text]
    return make_arguments


BAD_INPUT = {
    "workspace without results": (no_results, "has no results"),
    "pairs naming an unknown capture": (unknown_pair, "line 2: unknown capture 'nobody'"),
    "output under a file": (unwritable_output, "cannot write into"),
    # An export replaces its whole folder.
    "output a link to a folder": (link_to_a_folder, "link: it is not a folder (a link to one is not taken)"),
    "output holding the workspace": (lambda folder, tmp: [str(folder), str(tmp)], "it holds the workspace"),
    "missing pairs file": (missing_pair_file, "cannot read the pairs file"),
    "pairs with an unfinished quote": (pairs_file('a b\n"raw/a.png b\n'),
                                       "line 2: a quoted name that does not end"),
    "pairs with a bad escape": (pairs_file('"raw\\a.png" b\n'),
                                "line 1: a quoted name that does not end or holds a bad escape"),
    "pairs with text after a quote": (pairs_file('"raw/a.png"b c\n'),
                                      "line 1: a quoted name followed by more"),
    "one camera for images of two sizes": (lambda folder, tmp: [str(folder), str(tmp / "out"), "--camera",
                                                                "shared"], "needs one image size"),
    # Its results may be c's (the last record written) or a's (a later run with
    # --skip-done, or c.png unreadable): a's keypoints would be placed on c.png.
    "a uuid listed with two images": (
        with_records(("a", "raw/a.png"), ("b", "raw/b.png"), ("a", "raw/c.png")),
        "capture a is listed with two different images, raw/a.png and raw/c.png"),
    "two uuids of one image": (with_records(("a", "raw/a.png"), ("b", "raw\\a.png")),
                               "captures a and b share the image raw/a.png"),
    "names that differ only in / against -": (
        slash_and_dash_names, "images raw/a.png and raw-a.png would share the name raw-a.png in matches.h5"),
    "a camera parameter NaN": (one_size_with_camera("PINHOLE:nan,1,1,1"), "must be a finite number"),
    "a camera parameter infinite": (one_size_with_camera("PINHOLE:500,500,inf,128"),
                                    "must be a finite number"),
    "a negative focal length": (one_size_with_camera("SIMPLE_PINHOLE:-500,256,128"),
                                "focal length must be above 0, not -500"),
    "a zero focal length in y": (one_size_with_camera("PINHOLE:500,0,256,128"),
                                 "focal length must be above 0, not 500, 0"),
}


@pytest.mark.parametrize("case", BAD_INPUT, ids=list(BAD_INPUT))
def test_bad_input_gives_one_line_and_exit_1(workspace, tmp_path, capsys, case):
    make_arguments, words = BAD_INPUT[case]
    assert export.main(make_arguments(workspace[0], tmp_path) + ["--no-verify"]) == 1
    assert not (tmp_path / "out").exists()
    error = capsys.readouterr().err
    assert len(error.splitlines()) == 1 and error.startswith("error: ") and words in error


def test_the_current_folder_is_not_replaced(workspace, tmp_path, capsys, monkeypatch):
    (tmp_path / "out").mkdir()
    monkeypatch.chdir(tmp_path / "out")
    assert export.main([str(workspace[0]), ".", "--no-verify"]) == 1
    assert "error: cannot write into .: it holds the current folder" in capsys.readouterr().err
    assert os.listdir(".") == []


@pytest.mark.parametrize("case", ["workspace without results", "output under a file",
                                  "pairs naming an unknown capture"])
def test_reconstruct_refuses_bad_input_in_one_line(workspace, tmp_path, capsys, case):
    from lf_tools.user import reconstruct

    make_arguments, words = BAD_INPUT[case]
    assert reconstruct.main(make_arguments(workspace[0], tmp_path)) == 1
    error = capsys.readouterr().err
    assert len(error.splitlines()) == 1 and error.startswith("error: ") and words in error


@pytest.fixture
def earlier_export(workspace, tmp_path):
    """OUT holding a complete export of the pair a-b only, and a file of the
    user's; returns (arguments of a new export of all pairs, OUT's bytes)."""
    folder, _ = workspace
    out = tmp_path / "out"
    (tmp_path / "pairs.txt").write_text("a b\n")
    assert export.main([str(folder), str(out), "--no-verify", "--pairs", str(tmp_path / "pairs.txt")]) == 0
    (out / "notes.txt").write_text("mine")
    return [str(folder), str(out)], folder_bytes(out)


def folder_bytes(folder):
    return {path.relative_to(folder).as_posix(): path.read_bytes()
            for path in sorted(folder.rglob("*")) if path.is_file()}


def left_in(tmp_path):
    return sorted(os.listdir(tmp_path))


INTERRUPTION_STEPS = ["database", "features.h5", "matches.h5", "verification", "publish"]


@pytest.mark.parametrize("step", INTERRUPTION_STEPS)
def test_an_interrupted_export_leaves_the_earlier_one_whole(earlier_export, tmp_path, capsys, monkeypatch, step):
    arguments, before = earlier_export
    monkeypatch.setenv("LF_TEST_INTERRUPT_AT", step)
    verify = [] if step == "verification" else ["--no-verify"]
    assert export.main(arguments + verify) == 130
    assert capsys.readouterr().err == "error: interrupted\n"
    assert folder_bytes(tmp_path / "out") == before
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]


def disk_full_in_h5py(monkeypatch, calls_before):
    real, calls = h5py.Group.create_dataset, []

    def create_dataset(self, *args, **kwargs):
        calls.append(1)
        if len(calls) > calls_before:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real(self, *args, **kwargs)
    monkeypatch.setattr(h5py.Group, "create_dataset", create_dataset)


def disk_full_in_sqlite(monkeypatch):
    def write_matches(*args):
        raise RuntimeError("[database_sqlite.cc:1350] SQLite error: database or disk is full")
    monkeypatch.setattr(pycolmap.Database, "write_matches", write_matches)


# (how the disk fills up, the words of the one line): the files are written
# in the order of the table, each step's failure as the library reports it.
FAILED_WRITES = {
    "database": (disk_full_in_sqlite, "cannot write database.db: SQLite error: database or disk is full"),
    "features.h5": (lambda patch: disk_full_in_h5py(patch, 4), "cannot write features.h5: No space left"),
    "matches.h5": (lambda patch: disk_full_in_h5py(patch, 9), "cannot write matches.h5: No space left"),
    # pycolmap ends the process on a failed write in its worker threads.
    "verification": (lambda patch: patch.setattr(export, "VERIFY_CODE", "import os; os.abort()"),
                     "pycolmap's geometric verification failed (signal SIGABRT)"),
}


@pytest.mark.parametrize("step", FAILED_WRITES)
def test_a_failed_export_says_why_in_one_line_and_leaves_the_earlier_one_whole(
        earlier_export, tmp_path, capsys, monkeypatch, step):
    arguments, before = earlier_export
    fill_disk, words = FAILED_WRITES[step]
    fill_disk(monkeypatch)
    verify = [] if step == "verification" else ["--no-verify"]
    assert export.main(arguments + verify) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: ") and len(error.splitlines()) == 1 and words in error
    assert error.endswith(f"({arguments[1]} is left as it was)\n")
    assert folder_bytes(tmp_path / "out") == before
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]


def test_a_new_export_replaces_the_tools_files_and_keeps_the_others(earlier_export, tmp_path):
    arguments, before = earlier_export
    out = tmp_path / "out"
    (out / "mine").mkdir()
    (out / "mine" / "list.txt").write_text("kept")
    (out / "model").mkdir()  # an earlier reconstruction's, no longer of this database
    (out / "points.ply").write_text("stale")
    assert export.main(arguments + ["--no-verify"]) == 0
    assert sorted(os.listdir(out)) == ["database.db", "features.h5", "matches.h5", "mine", "notes.txt",
                                       "pairs.txt"]
    assert (out / "notes.txt").read_text() == "mine" and (out / "mine" / "list.txt").read_text() == "kept"
    assert len((out / "pairs.txt").read_text().splitlines()) == 3
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]


@pytest.fixture
def empty_model(monkeypatch):
    """reconstruct's mapping made to return a model without images or points
    (the planted matches are too few for a real one); verification left out."""
    from lf_tools.user import reconstruct

    monkeypatch.setattr(reconstruct, "map_scene", lambda *args: pycolmap.Reconstruction())
    monkeypatch.setattr(export, "VERIFY_CODE", "")
    return reconstruct


def test_a_reconstruction_replaces_the_tools_files_and_keeps_the_others(earlier_export, tmp_path, empty_model):
    arguments, _ = earlier_export
    assert empty_model.main(arguments) == 0
    assert sorted(os.listdir(tmp_path / "out")) == sorted(export.EXPORT_FILES + export.RECONSTRUCTION_FILES
                                                          + ("notes.txt",))
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]


@pytest.mark.parametrize("step", ["verification", "mapping", "model", "publish"])
def test_an_interrupted_reconstruction_leaves_the_earlier_output_whole(
        earlier_export, tmp_path, capsys, monkeypatch, empty_model, step):
    arguments, before = earlier_export
    monkeypatch.setenv("LF_TEST_INTERRUPT_AT", step)
    assert empty_model.main(arguments) == 130
    assert capsys.readouterr().err == "error: interrupted\n"
    assert folder_bytes(tmp_path / "out") == before
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]


def test_a_model_written_on_a_full_disk_is_refused(earlier_export, tmp_path, capsys, monkeypatch, empty_model):
    # pycolmap's model writers report no failed write: the disk is found full after them.
    arguments, before = earlier_export
    monkeypatch.setattr(empty_model, "disk_full_hint", lambda path: "; the disk is full")
    assert empty_model.main(arguments) == 1
    assert capsys.readouterr().err == ("error: cannot write model; the disk is full "
                                       f"({arguments[1]} is left as it was)\n")
    assert folder_bytes(tmp_path / "out") == before
    assert left_in(tmp_path) == ["out", "pairs.txt", "ws"]
