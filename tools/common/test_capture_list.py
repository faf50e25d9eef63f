import json
import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

from lf_tools.common.capture_list import (CaptureListError, distinct_captures, image_name,
                                          image_path, parse_capture_list, read_capture_list)
from lf_tools.common.results import read_results

ROOT = pathlib.Path(__file__).resolve().parents[2]


def record(raw1="a", raw2="", uuid="u"):
    return {"raw1_image": raw1, "raw2_image": raw2, "uuid": uuid}


# The program's lookup: the member right after the previous read if its name
# matches, else the first of that name; strings end at an escaped NUL.
READ_AS_THE_PROGRAM_DOES = {
    "keys in any order": ('{"images": [{"uuid": "u", "raw2_image": "b", "raw1_image": "a", "x": 1}]}',
                          [record("a", "b", "u")]),
    "repeated uuid: the first": ('{"images": [{"uuid": "first", "raw1_image": "a", "raw2_image": "",'
                                 ' "x": 0, "uuid": "second"}]}', [record(uuid="first")]),
    "repeated uuid right after raw2_image: that one": (
        '{"images": [{"uuid": "first", "raw1_image": "a", "raw2_image": "", "uuid": "second"}]}',
        [record(uuid="second")]),
    "repeated raw2_image after raw1_image": (
        '{"images": [{"raw1_image": "a", "raw2_image": "first", "raw2_image": "second", "uuid": "u"}]}',
        [record(raw2="first")]),
    "repeated raw2_image, the second after raw1_image": (
        '{"images": [{"raw2_image": "first", "raw1_image": "a", "raw2_image": "second", "uuid": "u"}]}',
        [record(raw2="second")]),
    "NUL cuts the uuid": ('{"images": [{"raw1_image": "a", "raw2_image": "", "uuid": "ab\\u0000cd"}]}',
                          [record(uuid="ab")]),
    "NUL cuts a key name": ('{"images": [{"raw1_image": "a", "raw2_image": "", "uuid\\u0000x": "u"}]}',
                            [record()]),
    "empty list": ('{"images": []}\r\n\t ', []),
}


@pytest.mark.parametrize("case", READ_AS_THE_PROGRAM_DOES, ids=list(READ_AS_THE_PROGRAM_DOES))
def test_records_are_read_as_the_program_reads_them(case):
    text, expected = READ_AS_THE_PROGRAM_DOES[case]
    assert parse_capture_list(text) == expected


REFUSED = {
    "no images": '{"photos": []}',
    "root is an array": '[{"raw1_image": "a", "raw2_image": "", "uuid": "u"}]',
    "uuid missing": '{"images": [{"raw1_image": "a", "raw2_image": ""}]}',
    "raw2_image null": '{"images": [{"raw1_image": "a", "raw2_image": null, "uuid": "u"}]}',
    "uuid a number": '{"images": [{"raw1_image": "a", "raw2_image": "", "uuid": 3}]}',
    "record an array": '{"images": [["a", "", "u"]]}',
    "images an object": '{"images": {"raw1_image": "a"}}',
    "trailing comma": '{"images": [],}',
    "byte-order mark": '\ufeff{"images": []}',
    "NaN": '{"images": [], "x": NaN}',
    "second root value": '{"images": []} {}',
    "too deep": '{"images": [], "a": ' + "[" * 300 + "]" * 300 + "}",
}


@pytest.mark.parametrize("case", REFUSED, ids=list(REFUSED))
def test_lists_the_program_refuses_are_refused(case):
    with pytest.raises(CaptureListError):
        parse_capture_list(REFUSED[case])


def test_a_missing_or_malformed_file_is_named(tmp_path):
    with pytest.raises(CaptureListError, match="cannot read the capture list .*images.json"):
        read_capture_list(str(tmp_path))
    (tmp_path / "caches").mkdir()
    (tmp_path / "caches" / "images.json").write_text('{"images": [')
    with pytest.raises(CaptureListError, match="images.json: not valid JSON"):
        read_capture_list(str(tmp_path))


# (name in the list, the file the program reads for it, after "<workspace>/"): a
# backslash is a separator, nothing else is changed, and a leading separator or
# a drive letter stays inside the workspace.
IMAGE_PATHS = [
    ("raw/plain.png", "raw/plain.png"),
    ("raw\\back.png", "raw/back.png"),
    ("raw\\sub/mixed.png", "raw/sub/mixed.png"),
    ("raw\\\\double.png", "raw//double.png"),
    ("/raw/lead.png", "/raw/lead.png"),
    ("\\raw\\lead2.png", "/raw/lead2.png"),
    ("C:\\raw\\drive.png", "C:/raw/drive.png"),
    ("raw/dot\\..\\up.png", "raw/dot/../up.png"),
    ("raw/space #1 .png", "raw/space #1 .png"),
]


@pytest.mark.skipif(os.name == "nt", reason="the program reads backslashes itself there")
@pytest.mark.parametrize("workspace", ["ws", "ws/", "ws\\"])
@pytest.mark.parametrize("name, path", IMAGE_PATHS, ids=[name for name, _ in IMAGE_PATHS])
def test_image_path_is_the_file_the_program_reads(workspace, name, path):
    assert image_path(workspace, name) == "ws/" + path


@pytest.mark.parametrize("name, expected", [
    ("raw\\a.png", "raw/a.png"),
    ("\\\\raw//.\\a.png", "raw/a.png"),
    ("raw/dot\\..\\up.png", "raw/dot/../up.png"),
    ("C:\\raw\\drive.png", "C:/raw/drive.png"),
    ("raw/space #1 .png", "raw/space #1 .png"),
])
def test_image_names_are_relative_with_one_slash_between_folders(name, expected):
    assert image_name(name) == expected


DUPLICATES = {
    "listed again, spelt otherwise": ([record("raw/a.png", uuid="u"), record("b", uuid="v"),
                                       record("raw\\a.png", uuid="u")], ["u", "v"]),
    "a pair listed again": ([record("a", "b"), record("./a", "b//")], ["u"]),
    "another first image": ([record("a"), record("b")],
                            "capture u is listed with two different images, a and b"),
    "another second image": ([record("a", "b"), record("a", "c")], "images, a + b and a + c,"),
    "a pair, then one image": ([record("a", "b"), record("a")], "images, a + b and a,"),
}


@pytest.mark.parametrize("case", DUPLICATES, ids=list(DUPLICATES))
def test_a_uuid_listed_with_other_images_is_refused(case):
    records, expected = DUPLICATES[case]
    if isinstance(expected, str):
        with pytest.raises(CaptureListError, match=re.escape(expected)):
            distinct_captures(records)
    else:
        assert [r["uuid"] for r in distinct_captures(records)] == expected


PROGRAM = pathlib.Path(os.environ.get("LF_PROGRAM", ROOT / "build" / "app" / "compute_features"))


def square_image(column):
    """A PNG of 2048 x 64 pixels (the program keeps it as it is), dark but for a
    white 32-pixel square whose left side is at `column`."""
    cv2 = pytest.importorskip("cv2")
    image = np.full((64, 2048), 60, np.uint8)
    image[16:48, column:column + 32] = 255
    return cv2.imencode(".png", image)[1].tobytes()


def save_copy_model(folder):
    """A SavedModel whose descriptor is the first 128 values of its patch."""
    tf = pytest.importorskip("tensorflow")
    from lf_tools.common.model_contract import (BATCH, DESCRIPTOR_LENGTH, INPUT_NAME, OUTPUT_NAME,
                                                PATCH, SERVE_TAG)
    tf1 = tf.compat.v1
    with tf.Graph().as_default(), tf1.Session() as session:
        patches = tf1.placeholder(tf.float32, [BATCH, PATCH, PATCH, 1], name=INPUT_NAME)
        flat = tf.reshape(patches, [BATCH, PATCH * PATCH])
        tf.identity(flat[:, :DESCRIPTOR_LENGTH], name=OUTPUT_NAME)
        builder = tf1.saved_model.Builder(str(folder))
        builder.add_meta_graph_and_variables(session, [SERVE_TAG])
        builder.save()


@pytest.mark.skipif(os.name == "nt" or not PROGRAM.is_file(), reason="needs the program built for POSIX")
def test_the_program_reads_the_files_of_the_table(tmp_path):
    # Capture k's image has its square at column 40 + 200 k; a decoy at the
    # place a plain join of the name gives has it 100 columns further, so the
    # keypoints tell which file the program read.
    workspace = tmp_path / "ws"
    (workspace / "caches" / "images").mkdir(parents=True)
    records = []
    for k, (name, path) in enumerate(IMAGE_PATHS):
        target = workspace / path.lstrip("/")
        os.makedirs(target.parent, exist_ok=True)
        target.write_bytes(square_image(40 + 200 * k))
        naive = os.path.join(str(workspace), name)
        if naive.startswith(str(workspace)) and not os.path.exists(naive):
            os.makedirs(os.path.dirname(naive), exist_ok=True)
            pathlib.Path(naive).write_bytes(square_image(140 + 200 * k))
        assert os.path.samefile(image_path(str(workspace), name), target)
        records.append({"raw1_image": name, "raw2_image": "", "uuid": f"row{k}"})
    (workspace / "caches" / "images.json").write_text(json.dumps({"images": records}))
    save_copy_model(tmp_path / "model")

    run = subprocess.run([str(PROGRAM), str(tmp_path / "model"), str(workspace)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert run.returncode == 0, run.stdout
    for k, (name, _) in enumerate(IMAGE_PATHS):
        keypoints, _ = read_results(str(workspace / "caches" / "matches"), f"row{k}")
        centre = 40 + 200 * k + 16
        assert len(keypoints) and np.abs(keypoints[:, 0] - centre).max() < 30, (name, keypoints)
