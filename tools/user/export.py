#!/usr/bin/env python3
"""Export a workspace's features and matches for COLMAP and for hloc-style tools.

Writes into the folder OUT:
  database.db   a COLMAP database: cameras, images (named by their raw1_image
                path, relative to the workspace, with '/' between folders: a
                backslash is a separator, as for the program), keypoints in
                raw-image pixels (COLMAP's convention: the top-left image
                corner at 0,0), the
                matches of the chosen pairs and, unless --no-verify, their
                two-view geometries from pycolmap's geometric verification;
  features.h5   per image name (hloc's layout; '/' in a name nests groups):
                keypoints float32 [N, 2] in raw-image pixels with pixel centres
                at whole numbers (hloc's convention; add 0.5 for COLMAP's),
                descriptors float32 [128, N] (one column per keypoint, as hloc
                stores them), image_size int [2] (width, height), and the
                attribute uuid;
  matches.h5    per pair, group "<name0>/<name1>" with '/' inside each name
                replaced by '-': matches0 int32 [N0], the keypoint of image 1
                matched to each keypoint of image 0 or -1, and
                matching_scores0 float32 [N0], 1 / (1 + descriptor distance),
                0 where unmatched (hloc's naming: two images whose names
                differ only in '/' against '-' are refused, --no-h5 leaves
                the HDF5 files out);
  pairs.txt     the pairs, one "name0 name1" line each, in --pairs' form.

OUT is replaced as a whole. The files are written into a new hidden folder
beside OUT (".export-" and random letters), which takes OUT's place only when
every file is complete, the database verified. Whatever an earlier OUT held
besides the tools' files (these four, and reconstruct.py's model/, points.ply
and reconstruction.png, which an export drops as they would no longer match)
is linked into the new folder first. So a reader finds at OUT either the
earlier complete export or the new one, never a part of one nor a mix of the
two. The swap is two renames, between which OUT is missing for an instant
(Ctrl-C and a plain kill wait for both); a reader that opens one file before a
swap and another after it mixes the two, so read while no export into OUT is
finishing. A run that fails or is interrupted (Ctrl-C, a full disk) leaves the
earlier OUT as it was and its hidden folder removed, and ends in one "error:"
line and exit code 1, or 130 for Ctrl-C; one killed outright (SIGKILL, a
crash) may leave the hidden folder, to be deleted. OUT may not be a link, the
current folder, or a folder holding the workspace.

Keypoints are mapped from the prepared image (2048x1024, where the result
files give them) back to each capture's first raw image through the resize
the program made; a capture of two raw images is placed in its first image's
frame. Matches are mutual nearest neighbours of the descriptors, by default
with the ratio test from both sides (0.8, as COLMAP's matcher), computed in
blocks so that memory stays bounded.

Usage: export.py WORKSPACE OUT [--pairs FILE] [--camera per-size|shared|MODEL:P1,P2,...]
                 [--ratio R | --no-ratio] [--descriptors network|sift] [--no-verify]
--pairs names captures by uuid or image name, two a line, separated by
whitespace ('#' starts a comment); a name that is empty or holds whitespace,
'#', '"' or a character that is not printable is written in double quotes with
JSON's escapes ("raw/my photo #2.jpg"), as pairs.txt writes it, so an export's
pairs.txt is read back as it was written. Without --pairs every pair is
matched. --camera: one camera per raw image size (default), one camera for
all, or given intrinsics for all, e.g.
PINHOLE:fx,fy,cx,cy (COLMAP's model names and parameter order; finite numbers,
focal lengths above 0).
--descriptors sift: OpenCV SIFT descriptors at the same keypoints, for comparison.
"""

import argparse
import contextlib
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np

from lf_tools.common.capture_list import (CaptureListError, capture_list_path, distinct_captures,
                                          image_name, read_capture_list)
from lf_tools.common.folders import replace_folder
from lf_tools.common.matching import finite_rows, mutual_nearest_neighbours
from lf_tools.common.prepared_image import ImageError, prepared_to_raw, raw_size
from lf_tools.common.results import ResultError, matches_folder, read_results

DEFAULT_RATIO = 0.8
# What the tools write into OUT (export.py the first, reconstruct.py both):
# a new OUT holds these of the run, and whatever else the earlier one held.
EXPORT_FILES = ("database.db", "features.h5", "matches.h5", "pairs.txt")
RECONSTRUCTION_FILES = ("model", "points.ply", "reconstruction.png")
# Free space below this counts as a full disk: a write that failed for want of
# space leaves less than a block.
FULL_DISK_BYTES = 64 << 10
INTERRUPTED = "error: interrupted"
INTERRUPTED_EXIT_CODE = 130  # a shell's code for a process stopped by Ctrl-C
# COLMAP's own prior for an unknown focal length: 1.2 times the larger side.
FOCAL_PRIOR_FACTOR = 1.2


class ExportError(Exception):
    """Input or output that cannot be exported; the message is the one line to show."""


@dataclass
class Capture:
    uuid: str
    name: str  # image_name of raw1_image: the image's name in COLMAP and HDF5
    size: tuple  # (width, height) of the raw image
    keypoints: np.ndarray  # float32 [N, 4] in prepared pixels (x, y, size, angle)
    descriptors: np.ndarray  # float32 [N, D]

    def raw_xy(self, origin):
        return prepared_to_raw(self.keypoints, *self.size, origin=origin).astype(np.float32)


def load_pycolmap():
    """pycolmap, imported after OpenCV: loaded first, its own zlib takes over
    OpenCV's PNG writer, which then crashes (double free) on the next imwrite."""
    import cv2  # noqa: F401
    import pycolmap

    return pycolmap


def progress(iterable, description, total=None):
    """A tqdm bar on a terminal, nothing elsewhere."""
    from tqdm import tqdm

    return tqdm(iterable, desc=description, total=total, disable=None, leave=False, unit="")


def sift_descriptors(workspace, record, keypoints):
    """OpenCV SIFT descriptors at the given keypoints, on the prepared image."""
    import cv2

    from lf_tools.common.program import make_sift, prepare

    image = prepare(workspace, record)
    points = [cv2.KeyPoint(float(x), float(y), float(size), float(angle))
              for x, y, size, angle in keypoints]
    computed, descriptors = make_sift().compute(image, points)
    if descriptors is None:
        descriptors = np.zeros((0, 128), np.float32)
    if len(computed) != len(points):
        raise ExportError(f"SIFT dropped keypoints of capture {record['uuid']}")
    return descriptors.astype(np.float32)


def load_captures(workspace, descriptors="network"):
    try:
        records = distinct_captures(read_capture_list(workspace))
    except CaptureListError as error:
        raise ExportError(str(error)) from None
    if not records:
        raise ExportError(f"{capture_list_path(workspace)} names no captures")
    folder = os.path.join(workspace, "caches", "matches")
    if not os.path.isdir(folder):
        raise ExportError(f"{workspace} has no results ({folder} is missing): "
                          "run compute_features on it first")
    names = {}
    for record in records:
        uuid, name = record["uuid"], image_name(record["raw1_image"])
        if name in names:
            raise ExportError(f"captures {names[name]} and {uuid} share the image {name}; "
                              "COLMAP needs one name per image")
        names[name] = uuid
    captures = []
    for record, (name, uuid) in zip(progress(records, "reading results"), names.items()):
        try:
            keypoints, rows = read_results(matches_folder(workspace), uuid)
            size = raw_size(workspace, record)
        except (ResultError, ImageError) as error:
            raise ExportError(f"capture {uuid}: {error}") from None
        if descriptors == "sift":
            rows = sift_descriptors(workspace, record, keypoints)
        captures.append(Capture(uuid, name, size, np.array(keypoints), np.array(rows, np.float32)))
    return captures


class PairsSyntaxError(ValueError):
    """A pairs line that cannot be split into names."""


def quote_name(name):
    """A name for a pairs line: as it is, or in double quotes with JSON's
    escapes when it is empty or holds whitespace, '#', '"' or a character that
    is not printable (the line stays one line of printable UTF-8)."""
    if name and all(c.isprintable() and not c.isspace() and c not in '#"' for c in name):
        return name
    return '"' + "".join(c if c.isprintable() and c not in '"\\' else json.dumps(c)[1:-1]
                         for c in name) + '"'


def pair_line(name0, name1):
    return f"{quote_name(name0)} {quote_name(name1)}\n"


_QUOTED = json.JSONDecoder()


def split_pair_line(line):
    """The names of a pairs line: separated by whitespace, up to a '#' outside
    quotes; a name that starts with '"' is a JSON string."""
    names, position = [], 0
    while True:
        while position < len(line) and line[position].isspace():
            position += 1
        if position == len(line) or line[position] == "#":
            return names
        if line[position] == '"':
            try:
                name, position = _QUOTED.raw_decode(line, position)
            except ValueError:
                raise PairsSyntaxError("a quoted name that does not end or holds a bad escape") from None
            if position < len(line) and not (line[position].isspace() or line[position] == "#"):
                raise PairsSyntaxError("a quoted name followed by more than a space")
        else:
            start = position
            while position < len(line) and not line[position].isspace() and line[position] != "#":
                position += 1
            name = line[start:position]
        names.append(name)


def read_pairs(path, captures):
    """Index pairs (i, j), i < j, named in `path` by uuid or image name (as
    exported, or as the list spells it)."""
    index = {}
    for number, capture in enumerate(captures):
        index[capture.name] = index[capture.uuid] = number
    try:
        # Read as the capture list is: a name's bytes that are not UTF-8 still match.
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            lines = f.read().split("\n")
    except OSError as error:
        raise ExportError(f"cannot read the pairs file {path}: {error.strerror or error}") from None
    pairs = []
    for number, line in enumerate(lines, 1):
        try:
            fields = split_pair_line(line[:-1] if line.endswith("\r") else line)
        except PairsSyntaxError as error:
            raise ExportError(f"{path}, line {number}: {error}") from None
        if not fields:
            continue
        if len(fields) != 2:
            raise ExportError(f"{path}, line {number}: expected two captures, found {line.strip()!r}")
        keys = [field if field in index else image_name(field) for field in fields]
        unknown = [field for field, key in zip(fields, keys) if key not in index]
        if unknown:
            raise ExportError(f"{path}, line {number}: unknown capture {unknown[0]!r} "
                              "(neither a uuid nor an image name of the capture list)")
        i, j = sorted(index[key] for key in keys)
        if i != j:
            pairs.append((i, j))
    return sorted(set(pairs))


def exhaustive_pairs(count):
    return [(i, j) for i in range(count) for j in range(i + 1, count)]


def match_pairs(captures, pairs, ratio):
    """{(i, j): (matches int [M, 2], distances float32 [M])}."""
    result = {}
    for i, j in progress(pairs, "matching"):
        desc1, desc2 = captures[i].descriptors, captures[j].descriptors
        matches = mutual_nearest_neighbours(desc1, desc2, ratio, symmetric=True)
        distances = np.linalg.norm(desc1[matches[:, 0]] - desc2[matches[:, 1]], axis=1)
        result[(i, j)] = (matches, distances.astype(np.float32))
    return result


def parse_camera(text):
    """'per-size', 'shared', or (model name, [parameters]) from MODEL:P1,P2,..."""
    if text in ("per-size", "shared"):
        return text
    model, _, values = text.partition(":")
    try:
        params = [float(value) for value in values.split(",")]
    except ValueError:
        params = []
    if not model or not params:
        raise ExportError(f"--camera {text}: expected per-size, shared or MODEL:P1,P2,... "
                          "such as PINHOLE:1200,1200,960,540")
    if not all(math.isfinite(value) for value in params):
        raise ExportError(f"--camera {text}: every parameter must be a finite number")
    return model, params


def make_cameras(captures, camera):
    """(list of pycolmap cameras without ids, camera index per capture)."""
    pycolmap = load_pycolmap()

    sizes = sorted({c.size for c in captures})
    if camera != "per-size" and len(sizes) > 1:
        raise ExportError(f"one camera for all images needs one image size, found "
                          f"{', '.join(f'{w}x{h}' for w, h in sizes)}")

    def default_camera(width, height):
        return pycolmap.Camera.create_from_model_name(
            0, "SIMPLE_RADIAL", FOCAL_PRIOR_FACTOR * max(width, height), width, height)

    if camera == "per-size":
        cameras = [default_camera(*size) for size in sizes]
        return cameras, [sizes.index(c.size) for c in captures]
    if camera == "shared":
        return [default_camera(*sizes[0])], [0] * len(captures)
    model, params = camera
    width, height = sizes[0]
    try:
        given = pycolmap.Camera.create_from_model_name(0, model, 1.0, width, height)
    except Exception as error:  # pycolmap raises its own types for an unknown model
        raise ExportError(f"--camera: unknown camera model {model} ({error})") from None
    if len(given.params) != len(params):
        raise ExportError(f"--camera: {model} takes {len(given.params)} parameters "
                          f"({given.params_info}), not {len(params)}")
    focal_lengths = [params[index] for index in given.focal_length_idxs()]
    if min(focal_lengths) <= 0:
        raise ExportError(f"--camera: {model}'s focal length must be above 0, not "
                          f"{', '.join(f'{value:g}' for value in focal_lengths)}")
    given.params = params
    given.has_prior_focal_length = True
    return [given], [0] * len(captures)


def write_database(path, captures, matched, cameras, camera_of):
    """A new COLMAP database at `path` with make_cameras' cameras; returns
    image ids in capture order."""
    with writing(path):
        return _fill_database(path, captures, matched, cameras, camera_of)


@contextlib.contextmanager
def writing(path, verb="write"):
    """An OSError, or pycolmap's RuntimeError (SQLite's, say), while the block
    writes `path` becomes an ExportError naming the file."""
    try:
        yield
    except (OSError, RuntimeError) as error:
        # pycolmap's messages start with "[file.cc:line]".
        reason = getattr(error, "strerror", None) or re.sub(r"^\[[^]]*\] *", "", str(error)).rstrip(".")
        raise ExportError(f"cannot {verb} {os.path.basename(path)}: {reason}{disk_full_hint(path)}") from None


def _fill_database(path, captures, matched, cameras, camera_of):
    pycolmap = load_pycolmap()

    database = pycolmap.Database.open(path)
    try:
        camera_ids, rig_ids = [], []
        for each in cameras:
            each.camera_id = database.write_camera(each)
            rig = pycolmap.Rig()
            rig.add_ref_sensor(each.sensor_id)
            camera_ids.append(each.camera_id)
            rig_ids.append(database.write_rig(rig))
        image_ids = []
        for capture, index in zip(captures, camera_of):
            image_id = database.write_image(pycolmap.Image(name=capture.name, camera_id=camera_ids[index]))
            frame = pycolmap.Frame()
            frame.rig_id = rig_ids[index]
            frame.add_data_id(database.read_image(image_id).data_id)
            database.write_frame(frame)
            database.write_keypoints(image_id, capture.raw_xy("corner"))
            image_ids.append(image_id)
        for (i, j), (matches, _) in matched.items():
            database.write_matches(image_ids[i], image_ids[j], matches.astype(np.uint32))
    finally:
        database.close()
    return image_ids


def quiet_pycolmap():
    """pycolmap's log lines off but for fatal ones (glog level 3): the tools
    report what failed in their own one line."""
    pycolmap = load_pycolmap()

    pycolmap.logging.minloglevel = 3


# pycolmap ends the whole process (abort) when one of its worker threads
# fails, as on a full disk: its threaded steps run in a child Python, whose
# end the tools report in one line. OpenCV is imported first, as in
# load_pycolmap.
PYCOLMAP_CHILD_PREAMBLE = "import json, sys\nimport cv2\nimport pycolmap\npycolmap.logging.minloglevel = 3\n"
VERIFY_CODE = PYCOLMAP_CHILD_PREAMBLE + "pycolmap.geometric_verification(sys.argv[1])\n"


def run_pycolmap_child(code, what, folder, arguments=(), stdin=None):
    """Runs `code` in a child Python with `arguments`; ExportError naming
    `what` when it fails. `folder` is where it writes (for the full-disk hint)."""
    run = subprocess.run([sys.executable, "-c", code, *arguments], input=stdin, text=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if run.returncode != 0:
        how = (f"signal {signal.Signals(-run.returncode).name}" if run.returncode < 0
               else f"exit status {run.returncode}")
        raise ExportError(f"{what} failed ({how}){disk_full_hint(folder)}")


def disk_full_hint(path):
    """"; the disk is full" when the file system of `path` has less than
    FULL_DISK_BYTES free for this process, else ""."""
    folder = path if os.path.isdir(path) else os.path.dirname(os.path.abspath(path))
    try:
        status = os.statvfs(folder)
    except (OSError, AttributeError):  # no statvfs on Windows
        return ""
    # The blocks kept for root are root's to write.
    blocks = status.f_bfree if os.geteuid() == 0 else status.f_bavail
    return "; the disk is full" if blocks * status.f_frsize < FULL_DISK_BYTES else ""


def verify(path):
    """pycolmap's geometric verification of every matched pair; returns
    (verified pairs, verified inlier matches)."""
    run_pycolmap_child(VERIFY_CODE, "pycolmap's geometric verification", path, [path])
    return verified_inliers(path)


def verified_inliers(path):
    """(verified pairs, verified inlier matches) of a database."""
    # SQLite writes beside a database it opens (its write-ahead log), so a
    # full disk fails this too.
    with writing(path, "open"):
        database = load_pycolmap().Database.open(path)
        try:
            _, inliers = database.read_two_view_geometry_num_inliers()
        finally:
            database.close()
    inliers = np.asarray(inliers, np.int64)
    return int(np.count_nonzero(inliers)), int(inliers.sum())


def pair_key(name0, name1):
    """hloc's name of a pair's group in matches.h5; its readers look a pair up
    under this key, in either order."""
    return "/".join((name0.replace("/", "-"), name1.replace("/", "-")))


def check_pair_keys(captures):
    """Two images whose names differ only in '/' against '-' would give their
    pairs one key: refused, as hloc's readers could not tell them apart."""
    owners = {}
    for capture in captures:
        key = capture.name.replace("/", "-")
        other = owners.setdefault(key, capture.name)
        if other != capture.name:
            raise ExportError(f"images {other} and {capture.name} would share the name {key} in "
                              "matches.h5 (hloc's pair names put '-' for '/'): rename one, "
                              "or export with --no-h5")


def write_h5(folder, captures, matched):
    """features.h5 and matches.h5 in `folder`. h5py writes through a Python file
    object: writing a path itself, HDF5 crashes the process (segmentation
    fault) once the disk is full, where a file object raises OSError."""
    import h5py

    path = os.path.join(folder, "features.h5")
    with writing(path), open(path, "wb") as file, h5py.File(file, "w") as f:
        for capture in captures:
            group = f.create_group(capture.name)
            group.create_dataset("keypoints", data=capture.raw_xy("centre"))
            group.create_dataset("descriptors", data=np.ascontiguousarray(capture.descriptors.T))
            group.create_dataset("image_size", data=np.array(capture.size, np.int64))
            group.attrs["uuid"] = capture.uuid
    interrupt_point("features.h5")
    path = os.path.join(folder, "matches.h5")
    with writing(path), open(path, "wb") as file, h5py.File(file, "w") as f:
        for (i, j), (matches, distances) in matched.items():
            group = f.create_group(pair_key(captures[i].name, captures[j].name))
            matches0 = np.full(len(captures[i].keypoints), -1, np.int32)
            scores0 = np.zeros(len(captures[i].keypoints), np.float32)
            matches0[matches[:, 0]] = matches[:, 1]
            scores0[matches[:, 0]] = 1.0 / (1.0 + distances)
            group.create_dataset("matches0", data=matches0)
            group.create_dataset("matching_scores0", data=scores0)
    interrupt_point("matches.h5")


def check_output(out, workspace):
    """Refuses, before any work, an OUT that cannot be replaced as a whole:
    one that is not a folder (a link to one included), that holds the current
    folder or the workspace, or whose parent cannot be written."""
    if os.path.islink(out) or (os.path.lexists(out) and not os.path.isdir(out)):
        raise ExportError(f"cannot write into {out}: it is not a folder (a link to one is not taken)")
    whole = os.path.abspath(out)
    for name, inside in (("the current folder", os.getcwd()), ("the workspace", os.path.abspath(workspace))):
        if os.path.commonpath([whole, inside]) == whole:
            raise ExportError(f"cannot write into {out}: it holds {name}, and an export replaces "
                              "its whole folder")
    parent = os.path.dirname(whole)
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise ExportError(f"cannot write into {out}: {parent} is not a folder")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ExportError(f"cannot write into {out}: {parent} is not writable")


def carry_over(out, staged):
    """Links every entry of an earlier OUT that is not the tools' into the new
    folder (a folder's files one by one; copied where links cannot be made)."""
    if not os.path.isdir(out):
        return
    for name in sorted(set(os.listdir(out)) - set(EXPORT_FILES + RECONSTRUCTION_FILES)):
        source, target = os.path.join(out, name), os.path.join(staged, name)
        if os.path.isdir(source) and not os.path.islink(source):
            shutil.copytree(source, target, symlinks=True, copy_function=_link_or_copy)
        else:
            _link_or_copy(source, target)


def _link_or_copy(source, target):
    if os.path.islink(source):
        os.symlink(os.readlink(source), target)
        return
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)


def interrupt_point(step):
    """Test hook: a run whose LF_TEST_INTERRUPT_AT names `step` stops there as
    on Ctrl-C."""
    if os.environ.get("LF_TEST_INTERRUPT_AT") == step:
        raise KeyboardInterrupt


def publish(out, build):
    """build(folder) writes OUT's files into a new folder beside OUT (hidden:
    ".export-" and random letters), which then replaces OUT as a whole
    (replace_folder), with the entries of an earlier OUT that are not the
    tools' carried over; an earlier OUT stays as it was until then, and also
    when build fails or is interrupted."""
    def fill(staged):
        os.mkdir(staged)
        build(staged)
        carry_over(out, staged)
        interrupt_point("publish")

    state = "left as it was" if os.path.lexists(out) else "not written"
    try:
        replace_folder(out, ".export-", fill)
    except OSError as error:
        hint = disk_full_hint(os.path.dirname(os.path.abspath(out)))
        raise ExportError(f"cannot write {out}: {error.strerror or error}{hint} ({out} is {state})") from None
    except ExportError as error:
        raise ExportError(f"{error} ({out} is {state})") from None


@dataclass
class ExportSummary:
    captures: int
    keypoints: int
    pairs: int
    matches: int
    verified_pairs: int
    inlier_matches: int
    non_finite_rows: int
    seconds: dict  # step name -> seconds

    def line(self):
        verified = (f", {self.verified_pairs} verified pairs with {self.inlier_matches} inlier matches"
                    if self.verified_pairs is not None else "")
        times = ", ".join(f"{name} {seconds:.1f} s" for name, seconds in self.seconds.items())
        return (f"exported {self.captures} images, {self.keypoints} keypoints, {self.pairs} pairs "
                f"with {self.matches} matches{verified} ({times})")


@dataclass
class PreparedExport:
    """Everything an export writes, read and matched."""
    captures: list
    pairs: list
    matched: dict  # see match_pairs
    cameras: list
    camera_of: list
    non_finite_rows: int
    seconds: dict


def prepare_export(workspace, pairs_file=None, camera="per-size", ratio=DEFAULT_RATIO,
                   descriptors="network", h5=True, log=print):
    """Reads the workspace and matches the pairs; writes nothing. Raises ExportError."""
    seconds = {}
    mark = time.monotonic()
    camera = parse_camera(camera) if isinstance(camera, str) else camera
    captures = load_captures(workspace, descriptors)
    if h5:
        check_pair_keys(captures)
    pairs = read_pairs(pairs_file, captures) if pairs_file else exhaustive_pairs(len(captures))
    cameras, camera_of = make_cameras(captures, camera)
    non_finite = sum(len(c.descriptors) - int(finite_rows(c.descriptors).sum()) for c in captures)
    if non_finite:
        log(f"warning: {non_finite} descriptor rows hold NaN or infinity; left out of matching")
    seconds["reading"] = time.monotonic() - mark
    mark = time.monotonic()
    matched = match_pairs(captures, pairs, ratio)
    seconds["matching"] = time.monotonic() - mark
    return PreparedExport(captures, pairs, matched, cameras, camera_of, non_finite, seconds)


def write_export(folder, prepared, verification=True, h5=True):
    """The export's files, written into the folder `folder`; returns an ExportSummary."""
    captures, pairs, matched = prepared.captures, prepared.pairs, prepared.matched
    seconds = dict(prepared.seconds)
    mark = time.monotonic()
    database = os.path.join(folder, "database.db")
    write_database(database, captures, matched, prepared.cameras, prepared.camera_of)
    interrupt_point("database")
    path = os.path.join(folder, "pairs.txt")
    with writing(path), open(path, "w", encoding="utf-8") as f:
        f.writelines(pair_line(captures[i].name, captures[j].name) for i, j in pairs)
    if h5:
        write_h5(folder, captures, matched)
    seconds["writing"] = time.monotonic() - mark
    verified_pairs = inliers = None
    if verification:
        mark = time.monotonic()
        verified_pairs, inliers = verify(database)
        seconds["verification"] = time.monotonic() - mark
        interrupt_point("verification")
    return ExportSummary(len(captures), sum(len(c.keypoints) for c in captures), len(pairs),
                         sum(len(m) for m, _ in matched.values()), verified_pairs, inliers,
                         prepared.non_finite_rows, seconds)


def export(workspace, out, pairs_file=None, camera="per-size", ratio=DEFAULT_RATIO,
           descriptors="network", verification=True, h5=True, log=print):
    """Replaces OUT with the export's files (see publish); returns an
    ExportSummary. Raises ExportError, and KeyboardInterrupt on Ctrl-C."""
    if not os.path.isdir(workspace):
        raise ExportError(f"{workspace} is not a folder")
    check_output(out, workspace)
    prepared = prepare_export(workspace, pairs_file, camera, ratio, descriptors, h5, log)
    summaries = []
    publish(out, lambda folder: summaries.append(write_export(folder, prepared, verification, h5)))
    return summaries[0]


def add_export_options(parser):
    parser.add_argument("--pairs", metavar="FILE",
                        help="pairs to match (default: all): two uuids or image names a line, "
                             "a name with whitespace, '#' or '\"' in double quotes with JSON's "
                             "escapes, as in an export's pairs.txt")
    parser.add_argument("--camera", default="per-size",
                        help="per-size (default), shared, or MODEL:P1,P2,... for all images")
    ratio = parser.add_mutually_exclusive_group()
    ratio.add_argument("--ratio", type=float, default=DEFAULT_RATIO,
                       help=f"ratio test threshold, applied from both sides (default {DEFAULT_RATIO:g})")
    ratio.add_argument("--no-ratio", dest="ratio", action="store_const", const=None,
                       help="mutual nearest neighbours only")
    parser.add_argument("--descriptors", choices=("network", "sift"), default="network",
                        help="the result files' descriptors (default) or OpenCV SIFT's at the same keypoints")


def check_ratio(ratio):
    if ratio is not None and not 0 < ratio <= 1:
        raise ExportError(f"--ratio must be above 0 and at most 1, not {ratio:g}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workspace")
    parser.add_argument("out", help="folder for database.db, features.h5, matches.h5, pairs.txt")
    add_export_options(parser)
    parser.add_argument("--no-verify", action="store_true", help="leave out geometric verification")
    parser.add_argument("--no-h5", action="store_true", help="write the COLMAP database only")
    args = parser.parse_args(argv)
    try:
        check_ratio(args.ratio)
        summary = export(args.workspace, args.out, args.pairs, args.camera, args.ratio,
                         args.descriptors, not args.no_verify, not args.no_h5,
                         log=lambda line: print(line, file=sys.stderr))
    except ExportError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(INTERRUPTED, file=sys.stderr)
        return INTERRUPTED_EXIT_CODE
    print(summary.line())
    return 0


if __name__ == "__main__":
    sys.exit(main())
