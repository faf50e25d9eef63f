#!/usr/bin/env python3
"""How the program's throughput grows with its workers, and what it costs beyond
keypoint detection.

On one workspace of real photographs, with a near-free network (the test
fixture whose rows are the first values of each patch) and with the default
network, it times compute_features --workers W for each W asked, best of
REPEAT rounds, all in one run on one machine, and prints:

  * start-up alone: the program on an empty capture list (libraries, model,
    its check batch, exit);
  * SIFT alone: OpenCV's SIFT (the program's own OpenCV build, settings and
    allocator settings) on the prepared images, one after another, detection
    calls only;
  * per W: captures per second, the cores kept busy (CPU seconds / wall
    seconds), peak memory (max RSS);
  * with the near-free network: own cost per keypoint beyond SIFT and start-up,
    (wall - SIFT - start-up) / keypoints, and the whole run against SIFT plus
    start-up (goals: at most 5 us and 1.15x);
  * with the default network: the whole run against start-up plus the network
    alone on as many batches (pipeline_benchmark --network; goal: 1.05x).

Lines starting with "result " are for scripts.

Usage: throughput.py --build-dir DIR --workspace DIR --free-model DIR
                     --default-model DIR [--workers 1 2] [--repeat N]
"""

import argparse
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from lf_tools.benchmark.benchmark import cpu_name  # noqa: E402
from lf_tools.common.capture_list import read_capture_list  # noqa: E402
from lf_tools.common.model_contract import BATCH  # noqa: E402
from lf_tools.common.program import detect, make_sift, prepare  # noqa: E402
from lf_tools.common.results import read_results  # noqa: E402


def timed(command, env):
    """(wall s, CPU s, max RSS MiB, stdout) of one child process; exits on failure."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit(f"error: {' '.join(command)} failed:\n{err.read().decode()[-2000:]}")
        return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, out.read().decode()


def empty_workspace(folder):
    os.makedirs(os.path.join(folder, "caches", "images"), exist_ok=True)
    with open(os.path.join(folder, "caches", "images.json"), "w") as f:
        json.dump({"images": []}, f)
    return folder


def keep_freed_memory():
    """The program's allocator settings (platform's reuse_freed_memory), so that
    SIFT alone pays no page faults the program does not pay either."""
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return
    m_trim_threshold, m_mmap_max = -1, -4
    libc.mallopt(m_mmap_max, 0)
    libc.mallopt(m_trim_threshold, 2**31 - 1)


def sift_alone(workspace, records):
    """Seconds of SIFT detection calls on the prepared images, and their keypoints."""
    keep_freed_memory()
    sift = make_sift()
    images = [prepare(workspace, record) for record in records]
    start = time.perf_counter()
    keypoints = sum(len(detect(sift, image)) for image in images)
    return time.perf_counter() - start, keypoints


def best_run(program, model, workspace, workers, repeat, env):
    matches = os.path.join(workspace, "caches", "matches")
    runs = []
    for _ in range(repeat):
        shutil.rmtree(matches, ignore_errors=True)
        runs.append(timed([program, model, workspace, "--workers", str(workers)], env))
    return min(runs, key=lambda run: run[0])


def keypoint_total(workspace, records):
    matches = os.path.join(workspace, "caches", "matches")
    return sum(len(read_results(matches, record["uuid"])[0]) for record in records)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--workspace", required=True)
    parser.add_argument("--free-model", required=True, help="a near-free network (the fixture 'valid')")
    parser.add_argument("--default-model", required=True)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    program = os.path.join(args.build_dir, "app", "compute_features")
    pipeline = os.path.join(args.build_dir, "app", "pipeline_benchmark")
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    records = read_capture_list(args.workspace)
    cores = len(os.sched_getaffinity(0))
    print(f"Machine: {cpu_name()}, {cores} cores; load average {os.getloadavg()[0]:.2f}")
    print(f"Workspace: {args.workspace} ({len(records)} captures); best of {args.repeat} rounds")

    timed([program, args.free_model, args.workspace], env)  # file cache and libraries warm
    with tempfile.TemporaryDirectory() as empty:
        empty_workspace(empty)
        startup = {name: min(timed([program, model, empty], env)[0] for _ in range(args.repeat))
                   for name, model in (("free", args.free_model), ("default", args.default_model))}
    sift = min(sift_alone(args.workspace, records)[0] for _ in range(args.repeat))
    _, _, _, _ = best_run(program, args.free_model, args.workspace, 1, 1, env)
    keypoints = keypoint_total(args.workspace, records)
    batches = -(-keypoints // BATCH)
    network_alone = min(float(timed([pipeline, "--network", args.default_model, str(batches)], env)[3].split()[1])
                        for _ in range(args.repeat))
    print(f"Keypoints {keypoints} ({batches} batches); start-up alone {startup['free']:.2f} s near-free, "
          f"{startup['default']:.2f} s default; SIFT alone {sift:.2f} s; "
          f"default network alone on {batches} batches {network_alone:.2f} s")
    print()
    print(f"  {'network':<10}{'W':>3}{'wall s':>9}{'captures/s':>12}{'cores busy':>12}{'peak MiB':>10}"
          f"{'us/keypoint':>13}{'ratio':>8}")
    results = {}
    for name, model in (("near-free", args.free_model), ("default", args.default_model)):
        base = startup["free" if name == "near-free" else "default"]
        for workers in args.workers:
            wall, cpu, rss, _ = best_run(program, model, args.workspace, workers, args.repeat, env)
            results[(name, workers)] = wall
            if name == "near-free":
                own = (wall - sift - base) / keypoints * 1e6
                ratio = wall / (sift + base)
                own_text, ratio_text = f"{own:13.2f}", f"{ratio:7.2f}x"
                print(f"result free_own_us_per_keypoint_w{workers} {own:.3f}")
                print(f"result free_ratio_to_sift_w{workers} {ratio:.3f}")
            else:
                ratio = wall / (base + network_alone)
                own_text, ratio_text = f"{'-':>13}", f"{ratio:7.2f}x"
                print(f"result default_ratio_to_network_w{workers} {ratio:.3f}")
            print(f"  {name:<10}{workers:>3}{wall:9.2f}{len(records) / wall:12.2f}{cpu / wall:12.2f}"
                  f"{rss:10.0f}{own_text}{ratio_text}")
            print(f"result {name}_w{workers}_seconds {wall:.3f}")
            print(f"result {name}_w{workers}_cores_busy {cpu / wall:.3f}")
            print(f"result {name}_w{workers}_max_rss_mib {rss:.1f}")
    print()
    for name in ("near-free", "default"):
        if (name, 1) in results:
            for workers in args.workers:
                if workers != 1:
                    speedup = results[(name, 1)] / results[(name, workers)]
                    print(f"  {name}: W={workers} runs {speedup:.2f}x as fast as W=1")
                    print(f"result {name}_speedup_w{workers} {speedup:.3f}")
    print("  (ratio: near-free, whole run / (SIFT alone + start-up); default, whole run / "
          "(start-up + network alone))")
    return 0


if __name__ == "__main__":
    sys.exit(main())
