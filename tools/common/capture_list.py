"""The workspace's capture list, caches/images.json, read as the program reads it.

    {"images": [{"raw1_image": "raw/a.jpg", "raw2_image": "", "uuid": "3f2a"}, ...]}

The program's reader finds each key of an object this way: the object keeps a
position, first on its first member and after each read on the member after
the one read; a key is taken from the member at the position when the names
match, else from the first member of that name. A record's keys are read in
the order raw1_image, raw2_image, uuid. Names and string values are C strings
there, so both end at an escaped NUL. Strict JSON only (no NaN, no byte-order
mark), nested at most MAX_DEPTH levels. Every tool reads the list through this
module, so that tools and program agree on which captures a list names.
"""

import json
import math
import os

RECORD_KEYS = ("raw1_image", "raw2_image", "uuid")
# The program refuses deeper lists before parsing them.
MAX_DEPTH = 256


class CaptureListError(Exception):
    """A capture list the program would refuse; the message says why."""


def capture_list_path(workspace):
    return os.path.join(workspace, "caches", "images.json")


def image_path(workspace, name):
    """The file the program reads for `name`, an image path of the list, in the
    workspace folder `workspace` as typed.

    The program puts a backslash between the two (none when the workspace is
    empty or ends in a separator) and touches the name no further; on a POSIX
    system every backslash of the result is then a slash. So "raw\\a.png" is
    raw/a.png, a name that starts with a separator stays inside the workspace,
    and "C:\\a.png" names a folder "C:" in it.
    """
    joined = workspace if not workspace or workspace[-1] in "\\/" else workspace + "\\"
    joined += name
    return joined if os.name == "nt" else joined.replace("\\", "/")


def image_name(name):
    """An image path of the list as COLMAP and hloc name images: relative to
    the workspace, one '/' between folders, no "." folder ("raw\\a.png",
    "/raw/a.png" and "raw//./a.png" are all "raw/a.png", the file that
    image_path names). HDF5 reads a name the same way."""
    parts = name.replace("\\", "/").split("/")
    return "/".join(part for part in parts if part not in ("", "."))


def _c_string(text):
    return text.split("\0", 1)[0]


class _Members:
    """An object's members in file order, with the program's lookup position."""

    def __init__(self, pairs):
        self.pairs = pairs
        self.position = 0

    def read(self, key):
        index = self.position
        if not (index < len(self.pairs) and _c_string(self.pairs[index][0]) == key):
            index = next((i for i, (name, _) in enumerate(self.pairs) if _c_string(name) == key), None)
            if index is None:
                raise CaptureListError(f'no "{key}" member')
        self.position = index + 1
        return self.pairs[index][1]


def _nesting_depth(text):
    depth = deepest = 0
    in_string = escaped = False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "]}":
            depth -= 1
    return deepest


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def _finite_float(text):
    value = float(text)
    if math.isinf(value):
        raise ValueError(f"number {text} is out of range")
    return value


def parse_capture_list(text):
    """Records [{"raw1_image", "raw2_image", "uuid"}] of the list `text` (str)."""
    if _nesting_depth(text) > MAX_DEPTH:
        raise CaptureListError(f"it nests arrays and objects deeper than {MAX_DEPTH} levels")
    if text.startswith("\ufeff"):
        raise CaptureListError("it starts with a byte-order mark")
    try:
        root = json.loads(text, object_pairs_hook=_Members, parse_constant=_refuse_constant,
                          parse_float=_finite_float)
    except ValueError as error:  # JSONDecodeError included
        raise CaptureListError(f"not valid JSON ({error})") from None
    if not isinstance(root, _Members):
        raise CaptureListError('the root is not an object holding "images"')
    images = root.read("images")
    if not isinstance(images, list):
        raise CaptureListError('"images" is not an array')
    records = []
    for number, element in enumerate(images, 1):
        if not isinstance(element, _Members):
            raise CaptureListError(f"capture {number} is not an object")
        record = {}
        for key in RECORD_KEYS:
            try:
                value = element.read(key)
            except CaptureListError as error:
                raise CaptureListError(f"capture {number}: {error}") from None
            if not isinstance(value, str):
                raise CaptureListError(f'capture {number}: "{key}" is not a string')
            record[key] = _c_string(value)
        records.append(record)
    return records


def read_capture_list(workspace):
    """The records of `workspace`'s capture list, in list order.

    Raises CaptureListError (naming the file) for a list that is missing,
    unreadable or that the program would refuse.
    """
    path = capture_list_path(workspace)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise CaptureListError(f"cannot read the capture list {path}: "
                               f"{error.strerror or error}") from None
    # The program takes the bytes as they are; surrogateescape keeps any byte
    # that is not UTF-8 so that uuids still name the same files.
    try:
        return parse_capture_list(data.decode("utf-8", "surrogateescape"))
    except CaptureListError as error:
        raise CaptureListError(f"capture list {path}: {error}") from None


def capture_uuids(workspace):
    """Distinct uuids of the list, in list order."""
    return list(dict.fromkeys(record["uuid"] for record in read_capture_list(workspace)))


def _images(record):
    """The record's images as image_name gives them: "raw1" or "raw1 + raw2"."""
    names = [record["raw1_image"]] + ([record["raw2_image"]] if record["raw2_image"] else [])
    return " + ".join(image_name(name) for name in names)


def distinct_captures(records):
    """One record per uuid, in list order.

    A uuid listed again with the same images (however spelt) is one capture. A
    uuid listed with other images raises CaptureListError naming it: the
    program writes each record's results over the last one's, but keeps the
    first when --skip-done skips the second or its image cannot be read, so
    the results on disk may come from either image.
    """
    first = {}
    for record in records:
        seen = first.setdefault(record["uuid"], record)
        if _images(seen) != _images(record):
            raise CaptureListError(
                f"capture {record['uuid']} is listed with two different images, {_images(seen)} and "
                f"{_images(record)}, so its results may come from either: give each its own uuid")
    return list(first.values())


def find_record(workspace, uuid):
    """The list's record of capture `uuid`; CaptureListError if it has none, or
    more than one naming different images (see distinct_captures)."""
    for record in distinct_captures(read_capture_list(workspace)):
        if record["uuid"] == uuid:
            return record
    raise CaptureListError(f"capture {uuid} is not in {capture_list_path(workspace)}")
