"""Reading and writing a capture's result pair.

<uuid>.feat: one text line "x y size angle" per keypoint (printf %g, CR LF).
<uuid>.desc: little-endian uint64 count N, then N rows of DESCRIPTOR_LENGTH
little-endian float32, row i describing keypoint line i.
A pair is complete (consistent) when both files exist, the .desc is
8 + 4 * DESCRIPTOR_LENGTH * N bytes for the N of its header, and the .feat
holds exactly N line feeds and is empty or ends in CR LF: the rule of the
program's --skip-done, so that checkers and program never disagree on a pair.
"""

import io
import os
import struct
import warnings

import numpy as np

from .model_contract import DESCRIPTOR_LENGTH

HEADER_BYTES = 8
ROW_BYTES = 4 * DESCRIPTOR_LENGTH


class ResultError(Exception):
    """A result pair that is missing or does not hold together."""


def result_paths(matches_folder, uuid):
    return (os.path.join(matches_folder, uuid + ".feat"),
            os.path.join(matches_folder, uuid + ".desc"))


def keypoint_text_problem(data, count):
    """Why the .feat bytes `data` do not hold `count` keypoint lines, or None."""
    lines = data.count(b"\n")
    if lines != count:
        return f"{lines} keypoint lines"
    if data and not data.endswith(b"\r\n"):
        return "an unfinished last line (it does not end in CR LF)"
    return None


def _descriptor_count(desc_path):
    """Row count the .desc header announces, checked against the file size."""
    size = os.path.getsize(desc_path)
    if size < HEADER_BYTES:
        raise ResultError(f"{desc_path}: {size} bytes, shorter than its 8-byte header")
    with open(desc_path, "rb") as f:
        (count,) = struct.unpack("<Q", f.read(HEADER_BYTES))
    expected = HEADER_BYTES + ROW_BYTES * count
    if size != expected:
        raise ResultError(f"{desc_path}: header says {count} descriptors ({expected} bytes) "
                          f"but the file has {size} bytes")
    return count


def _check_both_exist(feat_path, desc_path):
    missing = [path for path in (feat_path, desc_path) if not os.path.isfile(path)]
    if missing:
        raise ResultError("missing result file" + ("s" if len(missing) > 1 else "") + ": "
                          + ", ".join(missing))


def pair_is_consistent(matches_folder, uuid):
    """Whether both files exist and agree on the keypoint count."""
    feat_path, desc_path = result_paths(matches_folder, uuid)
    try:
        _check_both_exist(feat_path, desc_path)
        count = _descriptor_count(desc_path)
        with open(feat_path, "rb") as f:
            return keypoint_text_problem(f.read(), count) is None
    except (ResultError, OSError):
        return False


def _malformed_line(feat_path, data):
    for number, line in enumerate(data.split(b"\n")[:-1], 1):
        fields = line.split()
        try:
            if len(fields) == 4:
                [float(field) for field in fields]
                continue
        except ValueError:
            pass
        return ResultError(f"{feat_path}, line {number}: expected 'x y size angle', "
                           f"found {line.rstrip().decode('ascii', 'replace')!r}")
    return ResultError(f"{feat_path}: malformed keypoint lines")


def _parse_keypoints(feat_path, data, count):
    if count == 0:
        return np.zeros((0, 4), np.float32)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            values = np.loadtxt(io.BytesIO(data), dtype=np.float64, ndmin=2, comments=None)
    except ValueError:
        values = None
    if values is None or values.shape != (count, 4):
        raise _malformed_line(feat_path, data)
    # Parsed as double, then rounded once, as the program's float keypoints were printed.
    return values.astype(np.float32)


def read_results(matches_folder, uuid):
    """(keypoints float32 [N, 4] as x, y, size, angle; descriptors float32 [N, 128]).

    The descriptors are memory-mapped, read-only. Raises ResultError when a
    file is missing, the .desc size disagrees with its header, a .feat line is
    malformed, or the two files disagree on N.
    """
    feat_path, desc_path = result_paths(matches_folder, uuid)
    _check_both_exist(feat_path, desc_path)
    count = _descriptor_count(desc_path)
    with open(feat_path, "rb") as f:
        data = f.read()
    problem = keypoint_text_problem(data, count)
    if problem is not None:
        raise ResultError(f"inconsistent pair for {uuid}: {feat_path} has {problem} "
                          f"and {desc_path} holds {count} descriptors")
    keypoints = _parse_keypoints(feat_path, data, count)
    if count == 0:
        return keypoints, np.zeros((0, DESCRIPTOR_LENGTH), np.float32)
    descriptors = np.memmap(desc_path, dtype="<f4", mode="r", offset=HEADER_BYTES,
                            shape=(count, DESCRIPTOR_LENGTH))
    return keypoints, descriptors


def matches_folder(folder):
    """The result folder of a workspace, or `folder` itself when it holds results."""
    inside = os.path.join(folder, "caches", "matches")
    return inside if os.path.isdir(inside) else folder


def load_features(folder, uuid):
    """(keypoints float32 [N, 4], descriptors memory-mapped float32 [N, 128]) of a
    capture, from a workspace or its result folder."""
    return read_results(matches_folder(folder), uuid)


def write_results(matches_folder, uuid, keypoints, descriptors):
    """Write a pair in the program's formats (not atomically: for tools and tests).

    keypoints: rows (x, y, size, angle); descriptors: [N, DESCRIPTOR_LENGTH].
    """
    descriptors = np.asarray(descriptors)
    if descriptors.ndim != 2 or descriptors.shape[1] != DESCRIPTOR_LENGTH \
            or len(descriptors) != len(keypoints):
        raise ValueError(f"need {len(keypoints)} descriptors of {DESCRIPTOR_LENGTH} values, "
                         f"got shape {descriptors.shape}")
    feat_path, desc_path = result_paths(matches_folder, uuid)
    with open(feat_path, "wb") as f:
        f.write("".join("%g %g %g %g\r\n" % tuple(float(v) for v in row)
                        for row in keypoints).encode("ascii"))
    with open(desc_path, "wb") as f:
        f.write(struct.pack("<Q", len(descriptors)))
        f.write(descriptors.astype("<f4").tobytes())
