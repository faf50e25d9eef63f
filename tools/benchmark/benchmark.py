#!/usr/bin/env python3
"""Measure the program on the benchmark workspace and compare it with a plain
Python implementation of the same pipeline.

Runs, in this order:
  1. compute_features once to warm the file cache (not counted);
  2. REPEAT rounds of: compute_features (end to end), pipeline_benchmark (the
     same calls with a timer around each stage), python_peer.py (the same
     pipeline in Python); the best round of each counts;
  3. compute_features on the first capture alone and on the first two, for
     peak memory against the full list;
  4. checks that all three produced the same keypoints and descriptors.

Machine-readable lines start with "result "; everything else is for people.

Usage: benchmark.py --build-dir DIR --model DIR --workspace DIR [--repeat N]
"""

import argparse
import collections
import os
import platform
import shutil
import subprocess
import sys
import time

import numpy as np

from lf_tools.common.results import ResultError, read_results  # noqa: E402
from lf_tools.common.capture_list import read_capture_list  # noqa: E402
from lf_tools.common.model_contract import BATCH  # noqa: E402
from lf_tools.common.workspace_writer import read_source, write_workspace  # noqa: E402

STAGES = ["startup", "prepare", "detect", "extract", "network", "write", "release"]
STAGE_TITLES = {
    "startup": "start-up (libraries, model, list)",
    "prepare": "image preparation",
    "detect": "keypoint detection",
    "extract": "patch extraction",
    "network": "network runs",
    "write": "file writing",
    "release": "freeing per-capture memory",
}
DESCRIPTOR_TOLERANCE = 1e-4
OVERHEAD_TARGET = 0.05


class Run:
    """One finished child process: wall and CPU seconds, peak memory, output."""

    def __init__(self, command, env, log_dir, name):
        out_path = os.path.join(log_dir, name + ".out")
        err_path = os.path.join(log_dir, name + ".err")
        with open(out_path, "w") as out, open(err_path, "w") as err:
            start = time.perf_counter()
            process = subprocess.Popen(command, stdout=out, stderr=err, env=env)
            # wait4 gives this child's own usage; RUSAGE_CHILDREN would give the
            # maximum over every child so far.
            _, status, usage = os.wait4(process.pid, 0)
            self.wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        self.returncode = process.returncode
        self.cpu = usage.ru_utime + usage.ru_stime
        self.max_rss_mib = usage.ru_maxrss / 1024.0
        with open(out_path) as f:
            self.stdout = f.read()
        with open(err_path) as f:
            self.stderr = f.read()
        if self.returncode != 0:
            raise SystemExit(f"error: {' '.join(command)} exited with {self.returncode}:\n"
                             f"{self.stdout[-2000:]}{self.stderr[-2000:]}")

    def figures(self):
        """The "stage", "capture" and single-value lines of a timed pipeline."""
        stages, captures, values = {}, [], {}
        for line in self.stdout.splitlines():
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "stage":
                stages[fields[1]] = float(fields[2])
            elif fields[0] == "capture":
                captures.append((fields[1], int(fields[2])))
            elif len(fields) == 2 and fields[0] in ("total", "first_batch", "keypoints", "batches"):
                values[fields[0]] = float(fields[1])
        return stages, captures, values


def compare_results(reference, other, uuids):
    """(keypoint sets equal, max abs descriptor difference, rows compared, notes)."""
    same_sets = True
    max_diff = 0.0
    compared = 0
    notes = []
    for uuid in uuids:
        try:
            keypoints_a, rows_a = read_results(reference, uuid)
            keypoints_b, rows_b = read_results(other, uuid)
        except ResultError as error:
            notes.append(f"{uuid}: {error}")
            same_sets = False
            continue
        # Rows as bytes: keypoints compare exactly, as their printed lines do.
        lines_a = [row.tobytes() for row in keypoints_a]
        lines_b = [row.tobytes() for row in keypoints_b]
        if collections.Counter(lines_a) != collections.Counter(lines_b):
            only_a = len(set(lines_a) - set(lines_b))
            only_b = len(set(lines_b) - set(lines_a))
            notes.append(f"{uuid}: keypoints differ ({len(lines_a)} vs {len(lines_b)}, "
                         f"{only_a} and {only_b} lines of one missing from the other)")
            same_sets = False
            continue
        groups_a, groups_b = collections.defaultdict(list), collections.defaultdict(list)
        for index, line in enumerate(lines_a):
            groups_a[line].append(index)
        for index, line in enumerate(lines_b):
            groups_b[line].append(index)
        for line, indices_a in groups_a.items():
            remaining = list(groups_b[line])
            for index in indices_a:
                # Keypoints printing alike are paired with their closest row.
                diffs = [float(np.max(np.abs(rows_a[index] - rows_b[j]))) for j in remaining]
                best = int(np.argmin(diffs))
                max_diff = max(max_diff, diffs[best])
                remaining.pop(best)
                compared += 1
    return same_sets, max_diff, compared, notes


def shared_library(path, name):
    """Where the dynamic loader finds library `name` for the file at `path`."""
    try:
        listing = subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    for line in listing.splitlines():
        if line.strip().startswith(name) and "=>" in line:
            return os.path.realpath(line.split("=>")[1].split("(")[0].strip())
    return None


def describe_setup(args, env):
    probe = subprocess.run(
        [args.python, "-c", "import cv2, numpy, tensorflow as tf; "
         "print(cv2.__version__, cv2.__file__, numpy.__version__, tf.__version__)"],
        capture_output=True, text=True, env=env, check=True).stdout.split()
    cv_version, cv_module, numpy_version, tf_version = probe
    program_library = os.path.join(args.build_dir, "app", "libfeature_run.so")
    same_opencv = True
    for name in ("libopencv_core", "libopencv_imgproc", "libopencv_imgcodecs", "libopencv_features2d"):
        ours = shared_library(program_library, name)
        theirs = shared_library(cv_module, name)
        if ours is None or ours != theirs:
            same_opencv = False
        print(f"  {name}: program {ours}, Python {theirs}")
    print(f"  Python peer: OpenCV {cv_version} ({cv_module}), numpy {numpy_version}, "
          f"TensorFlow {tf_version}")
    print(f"  same OpenCV libraries: {'yes' if same_opencv else 'NO'}")
    return same_opencv


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load_text():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def best(runs):
    return min(runs, key=lambda run: run.wall)


def stage_table(ours, ours_wall, peer, peer_wall):
    print(f"  {'stage':<36}{'ours s':>9}{'share':>8}{'Python s':>10}{'Py/ours':>8}")
    for name in STAGES:
        a = ours.get(name, 0.0)
        b = peer.get(name)
        ratio = f"{b / a:7.2f}x" if b is not None and a > 0 else "      -"
        peer_text = f"{b:10.2f}" if b is not None else "         -"
        print(f"  {STAGE_TITLES[name]:<36}{a:9.2f}{a / ours_wall:7.1%}{peer_text}{ratio}")
    print(f"  {'whole process (wall)':<36}{ours_wall:9.2f}{1:7.0%}{peer_wall:10.2f}"
          f"{peer_wall / ours_wall:7.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--workspace", required=True)
    parser.add_argument("--python", default=sys.executable, help="interpreter for python_peer.py")
    parser.add_argument("--repeat", type=int, default=1, help="timed rounds (default 1)")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    args.workspace = os.path.abspath(args.workspace)
    args.model = os.path.abspath(args.model)

    program = os.path.join(args.build_dir, "app", "compute_features")
    pipeline = os.path.join(args.build_dir, "app", "pipeline_benchmark")
    peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_peer.py")
    for path in (program, pipeline):
        if not os.access(path, os.X_OK):
            print(f"error: {path} is missing (build with -DLF_BUILD_BENCHMARKS=ON)", file=sys.stderr)
            return 1
    bench_dir = os.path.dirname(args.workspace)
    matches = os.path.join(args.workspace, "caches", "matches")
    program_matches = os.path.join(bench_dir, "program-matches")
    pipeline_matches = os.path.join(bench_dir, "pipeline-matches")
    peer_matches = os.path.join(bench_dir, "python-matches")
    logs = os.path.join(bench_dir, "logs")
    os.makedirs(logs, exist_ok=True)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")

    records = read_capture_list(args.workspace)
    uuids = [record["uuid"] for record in records]

    print(f"Machine: {cpu_name()}, {os.cpu_count()} CPUs; {load_text()}")
    print(f"Workspace: {args.workspace} ({len(records)} captures), model: {args.model}")
    same_opencv = describe_setup(args, env)

    warm = Run([program, args.model, args.workspace], env, logs, "warm-up")
    print(f"Warm-up run of compute_features: {warm.wall:.1f} s (not counted)")
    Run([args.python, "-c", "import cv2, tensorflow"], env, logs, "warm-up-python")

    program_runs, pipeline_runs, peer_runs = [], [], []
    for round_number in range(1, args.repeat + 1):
        print(f"Round {round_number} of {args.repeat}: {load_text()}")
        program_runs.append(Run([program, args.model, args.workspace], env, logs, "program"))
        shutil.rmtree(program_matches, ignore_errors=True)
        shutil.copytree(matches, program_matches)
        pipeline_runs.append(Run([pipeline, args.model, args.workspace], env, logs, "pipeline"))
        shutil.rmtree(pipeline_matches, ignore_errors=True)
        shutil.copytree(matches, pipeline_matches)
        peer_runs.append(Run([args.python, peer, args.model, args.workspace, peer_matches],
                             env, logs, "python"))
        print(f"  compute_features {program_runs[-1].wall:.1f} s, pipeline_benchmark "
              f"{pipeline_runs[-1].wall:.1f} s, Python {peer_runs[-1].wall:.1f} s")

    program_run, pipeline_run, peer_run = best(program_runs), best(pipeline_runs), best(peer_runs)
    ours, captures, values = pipeline_run.figures()
    theirs, _, peer_values = peer_run.figures()
    # Loading the libraries and ending the process happen outside main's timers.
    outside_main = pipeline_run.wall - values["total"]
    ours["startup"] += outside_main
    theirs["startup"] += peer_run.wall - peer_values["total"]
    ours_wall = pipeline_run.wall
    keypoints = int(values["keypoints"])

    # Peak memory of the first capture alone, the first two, and the whole list:
    # the list's length must not raise it past the second capture.
    prefix_runs = {}
    for count in (1, 2):
        prefix = os.path.join(bench_dir, f"workspace-first-{count}")
        shutil.rmtree(prefix, ignore_errors=True)
        raw = os.path.join(args.workspace, "raw")
        write_workspace(
            prefix,
            [(r["uuid"], os.path.basename(r["raw1_image"]), os.path.basename(r["raw2_image"]))
             for r in records[:count]],
            lambda name: read_source(raw, name))
        prefix_runs[count] = Run([program, args.model, prefix], env, logs, f"program-first-{count}")
    prefix_runs[len(records)] = program_run

    same_pipeline = compare_results(program_matches, pipeline_matches, uuids)
    same_peer = compare_results(program_matches, peer_matches, uuids)
    print(f"After the runs: {load_text()}")
    print()

    print(f"== Stages, pipeline_benchmark (same calls as compute_features), best of {args.repeat}; "
          f"{len(records)} captures, {keypoints} keypoints, {int(values['batches'])} batches of {BATCH}")
    stage_table(ours, ours_wall, theirs, peer_run.wall)
    print(f"  (start-up includes {outside_main:.2f} s of library loading and process exit; "
          f"the first network run took {values['first_batch']:.2f} s)")
    own = ours_wall - ours["detect"] - ours["network"]
    share = own / ours_wall
    print(f"  Our own overhead (all but keypoint detection and network runs): {own:.2f} s = "
          f"{share:.1%} of the total; target <= {OVERHEAD_TARGET:.0%}: "
          f"{'met' if share <= OVERHEAD_TARGET else 'NOT met'}")
    print()

    print(f"== End to end, best of {args.repeat} (wall s / CPU s of user and system time)")
    print(f"  compute_features:   {program_run.wall:8.2f} / {program_run.cpu:8.2f}")
    print(f"  pipeline_benchmark: {pipeline_run.wall:8.2f} / {pipeline_run.cpu:8.2f}")
    print(f"  Python:             {peer_run.wall:8.2f} / {peer_run.cpu:8.2f}")
    e2e_ratio = peer_run.wall / program_run.wall
    ours_rest = ours_wall - ours["network"]
    peer_rest = peer_run.wall - theirs["network"]
    rest_ratio = peer_rest / ours_rest
    peer_own = peer_rest - theirs["detect"]
    own_ratio = peer_own / own
    print(f"  Python / compute_features, end to end: {e2e_ratio:.2f}x wall, "
          f"{peer_run.cpu / program_run.cpu:.2f}x CPU; target >= 1: {'met' if e2e_ratio >= 1 else 'NOT met'}")
    print(f"  Python / ours, all but network runs: {peer_rest:.2f} s / {ours_rest:.2f} s = "
          f"{rest_ratio:.2f}x; target >= 2: {'met' if rest_ratio >= 2 else 'NOT met'}")
    print(f"  Python / ours, all but network runs and keypoint detection (the same OpenCV call "
          f"in both): {peer_own:.2f} s / {own:.2f} s = {own_ratio:.2f}x")
    print()

    print("== Patch extraction throughput")
    ours_rate = keypoints / ours["extract"]
    peer_rate = peer_values["keypoints"] / theirs["extract"]
    print(f"  ours {ours_rate:,.0f} patches/s, Python {peer_rate:,.0f} patches/s")
    print()

    print("== Peak memory of compute_features (max RSS)")
    for count, run in prefix_runs.items():
        counted = sum(k for _, k in captures[:count])
        print(f"  first {count} capture{'s' if count > 1 else ' '} ({counted:6d} keypoints): "
              f"{run.max_rss_mib:6.0f} MiB")
    rss_2, rss_all = prefix_runs[2].max_rss_mib, program_run.max_rss_mib
    per_capture = (rss_all - rss_2) / (len(records) - 2)
    grows = rss_all > 1.05 * rss_2
    print(f"  from 2 to {len(records)} captures: {per_capture:+.1f} MiB per capture "
          f"({'GROWS' if grows else 'does not grow'} with the list); Python peak {peer_run.max_rss_mib:.0f} MiB")
    print()

    print("== Same results")
    for title, (sets, diff, rows, notes) in (("pipeline_benchmark", same_pipeline),
                                             ("Python", same_peer)):
        verdict = "identical keypoints" if sets else "DIFFERENT keypoints"
        within = diff <= DESCRIPTOR_TOLERANCE
        print(f"  {title} vs compute_features: {verdict} in all {len(uuids)} captures; "
              f"descriptors max abs diff {diff:.3g} over {rows} rows "
              f"({'within' if within else 'OVER'} {DESCRIPTOR_TOLERANCE:g})")
        for note in notes:
            print(f"    {note}")
    comparable = same_opencv and same_peer[0] and same_peer[1] <= DESCRIPTOR_TOLERANCE
    print(f"  comparison is like for like: {'yes' if comparable else 'NO'}")

    print()
    for name in STAGES:
        print(f"result stage_seconds {name} {ours[name]:.4f}")
    print(f"result overhead_share {share:.4f}")
    print(f"result program_seconds {program_run.wall:.3f}")
    print(f"result pipeline_benchmark_seconds {ours_wall:.3f}")
    print(f"result python_seconds {peer_run.wall:.3f}")
    print(f"result python_ratio_end_to_end {e2e_ratio:.3f}")
    print(f"result python_ratio_without_network {rest_ratio:.3f}")
    print(f"result python_ratio_without_network_and_detection {own_ratio:.3f}")
    print(f"result patches_per_second {ours_rate:.0f}")
    print(f"result python_patches_per_second {peer_rate:.0f}")
    for count, run in prefix_runs.items():
        print(f"result max_rss_mib_{count}_captures {run.max_rss_mib:.1f}")
    print(f"result keypoints_identical {int(same_peer[0])}")
    print(f"result descriptor_max_abs_diff {same_peer[1]:.3g}")
    return 0 if comparable and same_pipeline[0] else 1


if __name__ == "__main__":
    sys.exit(main())
