#!/usr/bin/env python3
"""End-to-end runs of the packaged Windows program under wine, compared with
the Linux build on the same inputs.

Usage: wine_tests.py --wine WINE --package FOLDER --linux-program PROGRAM
                     --models FIXTURE_MODELS --work FOLDER

Runs one wine process at a time (each costs about a second and 1.1 GB to
read TensorFlow's DLL), except in the concurrency case. Prints one line per
case and "N passed, M failed"; exits 1 when a case fails. Console lines are
compared after dropping the CR of Windows' CR LF line ends.
"""

import argparse
import json
import math
import os
import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np

from lf_tools.common.capture_list import read_capture_list

# Descriptors of the two builds differ by TensorFlow's two builds' rounding
# (up to about 3e-7 on the demo). A keypoint whose size differs in its last
# bit (see keypoint_lines_apart) has its patch sampled a little differently:
# on the demo 1 row in 128320 differs by 1e-4. Descriptors are unit vectors.
DESCRIPTOR_TOLERANCE = 1e-5
ROWS_BEYOND_TOLERANCE = 1e-4  # share of rows
LARGEST_DIFFERENCE = 2e-3
# A wine run that takes longer than this hangs.
WINE_TIMEOUT = 1200
SMALL_CAPTURES = ("demo-0004", "demo-0005")  # for the shard and concurrency cases
SUCCESS_LINE = "------------Feature Predicion Success------------"


def windows_path(path):
    """The path as wine's drive Z: (the Linux root) shows it."""
    return "Z:" + str(path).replace("/", "\\")


class Runs:
    def __init__(self, options):
        self.wine = options.wine
        self.program = str(pathlib.Path(options.package) / "compute_features.exe")
        self.linux_program = options.linux_program

    def start_windows(self, args, cwd):
        return subprocess.Popen([self.wine, self.program, *args], cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    @staticmethod
    def finish(process, timeout=WINE_TIMEOUT):
        try:
            out, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
            return None, out.decode(errors="replace"), err.decode(errors="replace") + "\n(timed out)"
        return (process.returncode, out.decode("utf-8", errors="replace").replace("\r\n", "\n"),
                err.decode("utf-8", errors="replace").replace("\r\n", "\n"))

    def windows(self, args, cwd):
        return self.finish(self.start_windows(args, cwd))

    def linux(self, args, cwd):
        process = subprocess.run([self.linux_program, *args], cwd=cwd, capture_output=True, timeout=WINE_TIMEOUT)
        return process.returncode, process.stdout.decode(), process.stderr.decode()


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_same_run(windows, linux, what):
    expect(windows[0] == linux[0], f"{what}: exit code {windows[0]} on Windows, {linux[0]} on Linux\n"
           f"Windows stderr:\n{windows[2]}")
    expect(windows[1] == linux[1], f"{what}: standard output differs\nWindows:\n{windows[1]}\nLinux:\n{linux[1]}")
    expect(windows[2] == linux[2], f"{what}: standard error differs\nWindows:\n{windows[2]}\nLinux:\n{linux[2]}")


def read_descriptors(path):
    data = path.read_bytes()
    count = int.from_bytes(data[:8], "little")
    return np.frombuffer(data[8:], dtype="<f4").reshape(count, 128)


def keypoint_lines_apart(windows_feat, linux_feat, uuid):
    """Lines of two keypoint files that differ. They may differ only in the
    size's last printed digit: SIFT computes a keypoint's size with powf, whose
    glibc and MinGW versions differ in the last bit for about 0.06% of
    arguments. Everything else must be the same text."""
    windows_lines, linux_lines = windows_feat.split(b"\r\n"), linux_feat.split(b"\r\n")
    expect(len(windows_lines) == len(linux_lines), f"{uuid}.feat: {len(windows_lines)} vs {len(linux_lines)} lines")
    apart = 0
    for windows_line, linux_line in zip(windows_lines, linux_lines):
        if windows_line == linux_line:
            continue
        apart += 1
        w, l = windows_line.split(b" "), linux_line.split(b" ")
        same_rest = len(w) == len(l) == 4 and w[0] == l[0] and w[1] == l[1] and w[3] == l[3]
        size = abs(float(l[2]))
        last_digit = 10.0 ** (math.floor(math.log10(size)) - 5) if size > 0 else 0.0  # "%g": 6 digits
        expect(same_rest and abs(float(w[2]) - float(l[2])) <= 1.01 * last_digit,
               f"{uuid}.feat: {windows_line!r} vs {linux_line!r}")
    return apart


def compare_results(windows_matches, linux_matches, uuids):
    """Keypoint lines apart (keypoint_lines_apart), lines in all, and the
    descriptor figures as text."""
    apart = lines = 0
    all_rows = []
    for uuid in uuids:
        windows_feat = (windows_matches / f"{uuid}.feat").read_bytes()
        apart += keypoint_lines_apart(windows_feat, (linux_matches / f"{uuid}.feat").read_bytes(), uuid)
        lines += windows_feat.count(b"\n")
        windows_desc = read_descriptors(windows_matches / f"{uuid}.desc")
        linux_desc = read_descriptors(linux_matches / f"{uuid}.desc")
        expect(windows_desc.shape == linux_desc.shape, f"{uuid}.desc: {windows_desc.shape} vs {linux_desc.shape}")
        rows = np.abs(windows_desc - linux_desc).max(axis=1)
        all_rows.append(rows)
    rows = np.concatenate(all_rows) if all_rows else np.zeros(0)
    beyond = int((rows > DESCRIPTOR_TOLERANCE).sum())
    largest = float(rows.max(initial=0.0))
    within_largest = float(rows[rows <= DESCRIPTOR_TOLERANCE].max(initial=0.0))
    figures = (f"descriptor rows within {DESCRIPTOR_TOLERANCE:g}: {len(rows) - beyond} of {len(rows)} "
               f"(largest difference there {within_largest:.2g}), largest {largest:.2g}")
    expect(beyond <= ROWS_BEYOND_TOLERANCE * len(rows) and largest <= LARGEST_DIFFERENCE, figures)
    return apart, lines, figures


def temporary_files(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".part"))


def copy_workspace(source, target, uuids=None):
    shutil.copytree(source, target)
    if uuids is not None:
        records = [record for record in read_capture_list(str(source)) if record["uuid"] in uuids]
        (target / "caches" / "images.json").write_text(json.dumps({"images": records}, indent=2))
    return target


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--linux-program", required=True)
    parser.add_argument("--models", required=True)
    parser.add_argument("--demo-model", required=True)
    parser.add_argument("--demo-workspace", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", help="comma-separated names of the cases to run (the demo run is kept)")
    options = parser.parse_args()
    runs = Runs(options)
    work = pathlib.Path(options.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    models = pathlib.Path(options.models)
    demo_workspace = pathlib.Path(options.demo_workspace)
    # Non-ASCII folder names for the model and the workspace on Windows.
    unicode_folder = work / "données-€ü"
    unicode_folder.mkdir()
    windows_model = unicode_folder / "modèle"
    shutil.copytree(options.demo_model, windows_model)
    state = {}

    def argument_errors():
        # Run from one folder with the same relative paths, so the lines must match.
        (work / "args" / "ws" / "caches" / "images").mkdir(parents=True)
        shutil.copytree(options.demo_model, work / "args" / "model")
        for args in ([], ["model", ""], ["", "ws"], ["model", "ws", "--shard", "2/2"], ["model", "ws", "--bogus"],
                     ["model", "missing"]):
            expect_same_run(runs.windows(args, work / "args"), runs.linux(args, work / "args"), f"arguments {args}")

    def workspace_errors_with_drive_letters():
        base = work / "drive"
        (base / "no_images").mkdir(parents=True)
        code, out, err = runs.windows([windows_path(windows_model), windows_path(base / "nothing")], work)
        expect((code, out, err) == (1, "", f"Error: folder {windows_path(base / 'nothing')} doesn't exist\n"),
               f"missing data folder: {code} {out!r} {err!r}")
        code, out, err = runs.windows([windows_path(windows_model), windows_path(base / "no_images")], work)
        expected = f"Error: folder {windows_path(base / 'no_images')}\\caches\\images\\ doesn't exist\n"
        expect((code, out, err) == (1, "", expected), f"missing images folder: {code} {out!r} {err!r}")

    def demo_run():
        windows_ws = copy_workspace(demo_workspace, unicode_folder / "espace de travail")
        linux_ws = copy_workspace(demo_workspace, work / "linux-demo")
        started = time.monotonic()
        windows = runs.windows([windows_path(windows_model), windows_path(windows_ws)], work)
        seconds = time.monotonic() - started
        linux = runs.linux([options.demo_model, str(linux_ws)], work)
        expect_same_run(windows, linux, "demo workspace")
        expect(windows[1].endswith(SUCCESS_LINE + "\n"), "no success line")
        state["windows_matches"] = windows_ws / "caches" / "matches"
        uuids = [record["uuid"] for record in read_capture_list(str(demo_workspace))]
        apart, lines, figures = compare_results(windows_ws / "caches" / "matches", linux_ws / "caches" / "matches",
                                                uuids)
        return (f"{len(uuids)} captures, {lines} keypoint lines of which {apart} differ in the size's last digit, "
                f"{figures}, {seconds:.0f} s under wine")

    def bad_images_and_uuids():
        # One workspace, run by both builds from the same folder with the same relative paths.
        ws = work / "bad" / "ws"
        (ws / "caches" / "images").mkdir(parents=True)
        (ws / "raw").mkdir()
        shutil.copy(demo_workspace / "raw" / "graf1.png", ws / "raw" / "good.png")
        jpeg = (demo_workspace / "raw" / "leuvenA.jpg").read_bytes()
        (ws / "raw" / "cut.jpg").write_bytes(jpeg[: len(jpeg) // 2])
        (ws / "raw" / "text.jpg").write_text("not an image\n")
        records = [("raw/good.png", "", "good"), ("raw/missing.jpg", "", "missing"), ("raw/cut.jpg", "", "cut"),
                   ("raw/text.jpg", "", "text"), ("raw/good.png", "", ".."), ("raw/good.png", "", "a\\b"),
                   ("raw/good.png", "", "c:d"), ("raw/good.png", "", "")]
        (ws / "caches" / "images.json").write_text(json.dumps(
            {"images": [{"raw1_image": a, "raw2_image": b, "uuid": u} for a, b, u in records]}))
        linux_ws = work / "bad" / "linux"
        shutil.copytree(ws, linux_ws)
        shutil.copytree(options.demo_model, work / "bad" / "model")
        windows = runs.windows(["model", "ws"], work / "bad")
        os.rename(ws, work / "bad" / "windows")
        os.rename(linux_ws, ws)
        linux = runs.linux(["model", "ws"], work / "bad")
        expect_same_run(windows, linux, "bad images and uuids")
        expect(windows[0] == 1 and windows[2].count("Error:") >= 7, f"too few errors:\n{windows[2]}")
        expect(sorted(os.listdir(work / "bad" / "windows" / "caches" / "matches")) ==
               [".publish.lock", "good.desc", "good.feat"], "unexpected result files")

    def bad_models():
        # The model is loaded before the capture list is read: an empty workspace will do.
        ws = work / "models-ws"
        (ws / "caches" / "images").mkdir(parents=True)
        (ws / "caches" / "images.json").write_text('{"images": []}')
        lines = []
        for name in ("output_without_input", "no_variables", "wrong_shape", "not_a_model"):
            started = time.monotonic()
            code, out, err = runs.windows([windows_path(models / name), windows_path(ws)], work)
            seconds = time.monotonic() - started
            linux = runs.linux([str(models / name), str(ws)], work)
            errors = err.splitlines()
            expect(code == 1 and out == "", f"{name}: exit code {code}, output {out!r}, errors {err!r}")
            expect(len(errors) == 2 and errors[0] == linux[2].splitlines()[0], f"{name}: {err!r} vs {linux[2]!r}")
            prefix = linux[2].splitlines()[1].split(":")[0:2] if name == "output_without_input" else ["Error"]
            expect(errors[1].startswith(":".join(prefix)), f"{name}: second line {errors[1]!r}")
            lines.append(f"{name} {seconds:.0f} s")
        return ", ".join(lines)

    def shards_and_skip_done():
        expect("windows_matches" in state, "needs the demo run's results")
        ws = copy_workspace(demo_workspace, work / "shards", SMALL_CAPTURES)
        matches = ws / "caches" / "matches"
        # A killed run's temporary file, whose lock nobody holds: the next run removes it.
        matches.mkdir()
        (matches / ".0badc0de-4242-0.part").write_bytes(b"left by a killed run")
        outputs = []
        for shard in ("0/2", "1/2"):
            code, out, err = runs.windows([windows_path(windows_model), windows_path(ws), "--shard", shard], work)
            expect(code == 0, f"shard {shard}: {code}\n{err}")
            outputs.append(out)
        for uuid in SMALL_CAPTURES:
            for extension in ("feat", "desc"):
                expect((matches / f"{uuid}.{extension}").read_bytes() ==
                       (state["windows_matches"] / f"{uuid}.{extension}").read_bytes(),
                       f"{uuid}.{extension} of the shards differs from the plain run's")
        expect(temporary_files(matches) == [], f"temporary files left: {temporary_files(matches)}")
        counts = [line for out in outputs for line in out.splitlines() if line.startswith("records: ")]
        processed = sum(int(line.split()[1]) for line in counts)
        expect(len(counts) == 2 and processed == len(SMALL_CAPTURES), f"shard counts {counts}")
        code, out, err = runs.windows([windows_path(windows_model), windows_path(ws), "--skip-done"], work)
        expected = "".join(f"uuid : {uuid}\nskipped: results exist\n" for uuid in SMALL_CAPTURES)
        expected += f"records: 0 processed, {len(SMALL_CAPTURES)} skipped, 0 failed\n{SUCCESS_LINE}\n"
        expect((code, out) == (0, expected), f"skip-done: {code}\n{out}\n{err}")

    def concurrent_runs():
        expect("windows_matches" in state, "needs the demo run's results")
        ws = copy_workspace(demo_workspace, work / "concurrent", SMALL_CAPTURES)
        args = [windows_path(windows_model), windows_path(ws)]
        first = runs.start_windows(args, work)
        second = runs.start_windows(args, work)
        results = [runs.finish(first), runs.finish(second)]
        for code, out, err in results:
            expect(code == 0 and out.endswith(SUCCESS_LINE + "\n"), f"concurrent run: {code}\n{err}")
        matches = ws / "caches" / "matches"
        expect(temporary_files(matches) == [], f"temporary files left: {temporary_files(matches)}")
        for uuid in SMALL_CAPTURES:
            for extension in ("feat", "desc"):
                expect((matches / f"{uuid}.{extension}").read_bytes() ==
                       (state["windows_matches"] / f"{uuid}.{extension}").read_bytes(),
                       f"{uuid}.{extension} of the concurrent runs differs from the plain run's")

    cases = [argument_errors, workspace_errors_with_drive_letters, demo_run, bad_images_and_uuids, bad_models,
             shards_and_skip_done, concurrent_runs]
    if options.only:
        chosen = set(options.only.split(",")) | {"demo_run"}
        cases = [case for case in cases if case.__name__ in chosen]
    passed = failed = 0
    suite_started = time.monotonic()
    for case in cases:
        started = time.monotonic()
        try:
            note = case()
        except Failure as failure:
            failed += 1
            print(f"FAIL {case.__name__}: {failure}", flush=True)
            continue
        except Exception as error:  # a broken case must not hide the others
            failed += 1
            print(f"FAIL {case.__name__}: {type(error).__name__}: {error}", flush=True)
            continue
        passed += 1
        detail = f" ({note})" if note else ""
        print(f"ok   {case.__name__} in {time.monotonic() - started:.0f} s{detail}", flush=True)
    print(f"wine end-to-end: {time.monotonic() - suite_started:.0f} s")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
