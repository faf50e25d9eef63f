#!/usr/bin/env python3
"""Measure what sharding and resuming cost, on a one-node Slurm cluster started here.

On copies of WORKSPACE (its results left out):
  1. a plain run: wall and CPU time (user + system);
  2. the same run as a Slurm array of N shards through submit_array.py: the CPU time
     of all tasks together (each task's program runs under a timing wrapper) and
     the ratio to the plain run's, then the wall time from submission to verification;
  3. a plain run killed once half of the captures have results, then resumed with
     --skip-done: the resumed run's wall and CPU time and its records line.
Each run's result files are checked against the plain run's, byte for byte.
Lines starting with "result " are for scripts. Not a test: figures depend on the load.

Usage: measure_shards.py --program PATH --model DIR --workspace DIR --workdir DIR [--shards N]
                         [--array-option OPT]... [--no-resume]
"""

import argparse
import os
import pathlib
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
from lf_tools.cluster.local_cluster import Cluster, Deadline  # noqa: E402


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_run(command):
    """Runs command to its end; returns (exit code, standard output, wall s, CPU s)."""
    cpu_before, wall_before = children_cpu_seconds(), time.monotonic()
    completed = subprocess.run(command, capture_output=True, text=True)
    return (completed.returncode, completed.stdout, time.monotonic() - wall_before,
            children_cpu_seconds() - cpu_before)


def fresh_copy(workspace, destination):
    shutil.rmtree(destination, ignore_errors=True)
    shutil.copytree(workspace, destination, ignore=shutil.ignore_patterns("matches"))
    return destination


def matches(workspace):
    return workspace / "caches" / "matches"


def same_results(expected_workspace, workspace):
    def contents(folder):
        return {path.name: path.read_bytes() for path in folder.iterdir()}

    return contents(matches(expected_workspace)) == contents(matches(workspace))


def measure_plain(args, workdir):
    workspace = fresh_copy(args.workspace, workdir / "plain")
    code, _, wall, cpu = timed_run([args.program, args.model, workspace])
    if code != 0:
        raise SystemExit(f"the plain run failed with exit code {code}")
    print(f"result plain wall_s={wall:.1f} cpu_s={cpu:.1f}")
    return workspace, cpu


def write_timing_wrapper(args, workdir):
    """A program for the array tasks that runs the real one and records its CPU time."""
    wrapper = workdir / "timed_compute_features"
    cpu_dir = workdir / "task_cpu"
    shutil.rmtree(cpu_dir, ignore_errors=True)
    cpu_dir.mkdir()
    wrapper.write_text("#!/bin/sh\n" + shlex.join([sys.executable, str(HERE / "measure_shards.py"),
                                                  "--timed-run", str(cpu_dir)]) + " " +
                       shlex.quote(str(args.program)) + ' "$@"\n')
    wrapper.chmod(0o755)
    return wrapper, cpu_dir


def measure_array(args, workdir, plain_workspace, plain_cpu):
    workspace = fresh_copy(args.workspace, workdir / "array")
    wrapper, cpu_dir = write_timing_wrapper(args, workdir)
    deadline = Deadline(args.time_limit)
    cluster = Cluster(tempfile.mkdtemp(prefix="lf-slurm-"), deadline)
    try:
        cluster.start()
        start = time.monotonic()
        submitted = subprocess.run(
            [sys.executable, HERE / "submit_array.py", args.model, workspace, f"--shards={args.shards}",
             f"--program={wrapper}", f"--log-dir={workdir / 'logs'}",
             *(f"--array-option={option}" for option in args.array_option)],
            env=cluster.env, check=True, capture_output=True, text=True).stdout
        verify_id = re.search(r"^verification job (\d+)", submitted, re.MULTILINE).group(1)
        states = cluster.wait_for_job(verify_id, deadline.left() - 60)
        wall = time.monotonic() - start
    finally:
        cluster.stop()
        shutil.rmtree(cluster.root, ignore_errors=True)
    if states != ["COMPLETED"]:
        raise SystemExit(f"the verification job ended as {states}; see {workdir / 'logs'}")
    task_cpu = [float(path.read_text()) for path in sorted(cpu_dir.iterdir())]
    cpu = sum(task_cpu)
    print(f"result array shards={args.shards} tasks={len(task_cpu)} "
          f"task_cpu_s={','.join(f'{t:.1f}' for t in task_cpu)} cpu_s={cpu:.1f} "
          f"cpu_ratio={cpu / plain_cpu:.3f} wall_to_verified_s={wall:.1f} "
          f"same_as_plain={same_results(plain_workspace, workspace)}")


def kill_half_way(args, workspace, capture_count):
    """Starts a plain run and kills it once half of the captures have their results."""
    process = subprocess.Popen([args.program, args.model, workspace], stdout=subprocess.DEVNULL)
    half = capture_count // 2
    while process.poll() is None:
        if len(list(matches(workspace).glob("*.desc"))) >= half:
            process.send_signal(signal.SIGKILL)
            break
        time.sleep(0.05)
    process.wait()
    return len([path for path in matches(workspace).glob("*.desc")])


def measure_resume(args, workdir, plain_workspace, plain_cpu):
    workspace = fresh_copy(args.workspace, workdir / "resume")
    capture_count = len(list(matches(plain_workspace).glob("*.desc")))
    finished = kill_half_way(args, workspace, capture_count)
    code, output, wall, cpu = timed_run([args.program, args.model, workspace, "--skip-done"])
    records = re.search(r"^records: .*$", output, re.MULTILINE)
    print(f"result resume captures={capture_count} finished_before_kill={finished} exit={code} "
          f"wall_s={wall:.1f} cpu_s={cpu:.1f} cpu_ratio_to_plain={cpu / plain_cpu:.3f} "
          f"same_as_plain={same_results(plain_workspace, workspace)} "
          f"[{records.group(0) if records else 'no records line'}]")


def timed_child(cpu_dir, command):
    """--timed-run: runs command, writes its CPU seconds to cpu_dir/<array task>, exits as it did."""
    cpu_before = children_cpu_seconds()
    code = subprocess.call(command)
    cpu = children_cpu_seconds() - cpu_before
    task = os.environ.get("SLURM_ARRAY_TASK_ID", str(os.getpid()))
    pathlib.Path(cpu_dir, f"task-{int(task):04d}").write_text(f"{cpu:.3f}\n")
    return code


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--timed-run":
        return timed_child(sys.argv[2], sys.argv[3:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, type=os.path.abspath)
    parser.add_argument("--model", required=True, type=os.path.abspath)
    parser.add_argument("--workspace", required=True, type=pathlib.Path)
    parser.add_argument("--workdir", required=True, type=pathlib.Path)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--time-limit", type=float, default=1800)
    parser.add_argument("--array-option", action="append", default=[], metavar="OPT",
                        help="passed on to submit_array.py, e.g. --array-option=--cpus-per-task=2")
    parser.add_argument("--no-resume", action="store_true", help="skip the kill-and-resume measurement")
    args = parser.parse_args()
    workdir = args.workdir.resolve()
    workdir.mkdir(parents=True, exist_ok=True)

    plain_workspace, plain_cpu = measure_plain(args, workdir)
    measure_array(args, workdir, plain_workspace, plain_cpu)
    if not args.no_resume:
        measure_resume(args, workdir, plain_workspace, plain_cpu)
    return 0


if __name__ == "__main__":
    sys.exit(main())
