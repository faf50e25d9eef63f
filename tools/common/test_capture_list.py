import pytest

from lf_tools.common.capture_list import CaptureListError, parse_capture_list, read_capture_list


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
