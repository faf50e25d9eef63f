#!/usr/bin/env python3
"""Submit a sharded feature run of one workspace as a Slurm job array.

Submits shard_task.sbatch as an array of N tasks (task K computes shard K of N,
skipping captures whose results already exist), then a verification job that
starts once every task has succeeded (--dependency=afterok) and checks that each
capture of the list has a consistent result pair (verify_results.py). When a
task fails, Slurm cancels the verification job; resubmitting the same command
then only computes what is missing.

The program, the model and the workspace must be at the same paths on every
node (a shared file system). The verification job runs verify_results.py with
this script's Python interpreter unless --python names another one; it needs
numpy, so run this script with the project's virtual environment.

Prints the two job ids. Usage:
  submit_array.py MODEL DATA [--shards N] [--program PATH] [--log-dir DIR]
                  [--partition NAME] [--array-option OPT]...
"""

import argparse
import os
import pathlib
import shlex
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_PROGRAM = HERE.parents[1] / "build" / "app" / "compute_features"


def sbatch(arguments, sbatch_command="sbatch"):
    """Runs sbatch --parsable; returns the job id."""
    completed = subprocess.run([sbatch_command, "--parsable", *arguments],
                               check=True, capture_output=True, text=True)
    # --parsable prints "id" or "id;cluster".
    return completed.stdout.strip().split(";")[0]


def submit(model, data, shards, program, python, log_dir, partition=None, array_options=(),
           sbatch_command="sbatch"):
    """Submits the array and its verification job; returns (array job id, verification job id)."""
    common = [f"--partition={partition}"] if partition else []
    array_id = sbatch([*common, f"--array=0-{shards - 1}",
                       f"--output={log_dir}/shard-%A_%a.out", *array_options,
                       str(HERE / "shard_task.sbatch"), program, model, data], sbatch_command)
    verify_command = shlex.join([python, str(HERE / "verify_results.py"), data, f"--shards={shards}"])
    verify_id = sbatch([*common, "--job-name=verify_features", f"--dependency=afterok:{array_id}",
                        "--kill-on-invalid-dep=yes", f"--output={log_dir}/verify-%j.out",
                        f"--wrap=exec {verify_command}"], sbatch_command)
    return array_id, verify_id


def existing_path(kind, path):
    if not os.path.exists(path):
        raise SystemExit(f"error: {kind} {path} does not exist")
    return os.path.abspath(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", help="SavedModel folder")
    parser.add_argument("data", help="workspace folder")
    parser.add_argument("--shards", type=int, default=4, help="number of array tasks (default 4)")
    parser.add_argument("--program", default=str(DEFAULT_PROGRAM),
                        help=f"compute_features executable (default {DEFAULT_PROGRAM})")
    parser.add_argument("--python", default=sys.executable,
                        help="Python with numpy for the verification job (default: this one)")
    parser.add_argument("--log-dir", default=".", help="folder for the jobs' output files (default .)")
    parser.add_argument("--partition", help="Slurm partition of both jobs")
    parser.add_argument("--array-option", action="append", default=[], metavar="OPT",
                        help="extra sbatch option for the array only, e.g. --array-option=--time=2:00:00")
    args = parser.parse_args()
    if args.shards < 1:
        parser.error("--shards must be at least 1")

    log_dir = os.path.abspath(args.log_dir)
    os.makedirs(log_dir, exist_ok=True)
    try:
        array_id, verify_id = submit(existing_path("model", args.model), existing_path("workspace", args.data),
                                     args.shards, existing_path("program", args.program), args.python,
                                     log_dir, args.partition, args.array_option)
    except subprocess.CalledProcessError as error:
        print(f"error: sbatch failed: {error.stderr.strip()}", file=sys.stderr)
        return 1
    except FileNotFoundError:
        print("error: sbatch not found: is this a Slurm submission host?", file=sys.stderr)
        return 1
    print(f"array job {array_id}: {args.shards} shards, output in {log_dir}/shard-{array_id}_<shard>.out")
    print(f"verification job {verify_id}: runs when every shard has succeeded, "
          f"output in {log_dir}/verify-{verify_id}.out")
    return 0


if __name__ == "__main__":
    sys.exit(main())
