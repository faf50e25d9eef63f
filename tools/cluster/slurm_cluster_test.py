#!/usr/bin/env python3
"""End-to-end test of the Slurm scripts on a one-machine cluster started here.

Starts munged with a generated key, slurmctld and slurmd from a generated
slurm.conf (everything in a temporary folder, free ports, process tracking by
process group, no cgroups), submits the demo workspace as an array of 4 shards
with submit_array.py, waits for the verification job, and checks that

  * each task computed exactly the captures of its shard (by the uuid hash),
  * the verification job found every pair consistent,
  * the matches folder equals that of a plain run byte for byte.

Exit code 0: passed; 1: failed; 77: skipped (Slurm or munge missing, or the
daemons cannot start here), with the reason. Every daemon started is stopped
on every path; the whole test gives up after --time-limit seconds.

Usage: slurm_cluster_test.py --program PATH --workdir DIR [--python PATH] [--time-limit S]
"""

import argparse
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
TOOLS = HERE.parent
from lf_tools.cluster.local_cluster import REQUIRED_COMMANDS, Cluster, Deadline, Failed, Skipped, tail  # noqa: E402
from lf_tools.cluster.sharding import shard_of  # noqa: E402
from lf_tools.common.capture_list import read_capture_list  # noqa: E402

SKIP_CODE = 77
SHARDS = 4
SUCCESS_LINE = "------------Feature Predicion Success------------"


def run_checked(command, deadline, **kwargs):
    completed = subprocess.run(command, capture_output=True, text=True,
                               timeout=deadline.left(), **kwargs)
    if completed.returncode != 0:
        raise Failed(f"{' '.join(map(str, command))} exited with {completed.returncode}:\n"
                     f"{completed.stdout[-3000:]}\n{completed.stderr[-3000:]}")
    return completed.stdout


def prepare_inputs(workdir, python, deadline):
    """Exports the default model and builds two copies of the demo workspace (plain and array)."""
    model = workdir / "model"
    run_checked([python, TOOLS / "demo" / "export_default_model.py", model], deadline)
    source = workdir / "demo_workspace"
    run_checked([python, TOOLS / "demo" / "make_demo_workspace.py", source], deadline)
    copies = []
    for name in ("plain", "array"):
        copy = workdir / name
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("matches"))
        copies.append(copy)
    return model, copies[0], copies[1]


def list_uuids(workspace):
    return [record["uuid"] for record in read_capture_list(str(workspace))]


def folder_bytes(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


def check_same_results(plain, array):
    expected = folder_bytes(plain / "caches" / "matches")
    found = folder_bytes(array / "caches" / "matches")
    if sorted(found) != sorted(expected):
        raise Failed(f"the array wrote {sorted(found)}, a plain run {sorted(expected)}")
    differing = [name for name in expected if found[name] != expected[name]]
    if differing:
        raise Failed(f"files differ from the plain run's: {differing}")
    print(f"the array's {len(found)} result files equal the plain run's byte for byte")


def check_shard_outputs(log_dir, array_id, uuids):
    for shard in range(SHARDS):
        output = (log_dir / f"shard-{array_id}_{shard}.out").read_text(errors="replace")
        expected = sorted(uuid for uuid in set(uuids) if shard_of(uuid, SHARDS) == shard)
        computed = sorted(re.findall(r"^uuid : (.*?)\r?$", output, re.MULTILINE))
        if computed != expected:
            raise Failed(f"shard {shard} computed {computed}, its captures are {expected}:\n{output}")
        records = f"records: {len(expected)} processed, 0 skipped, 0 failed"
        if records not in output or SUCCESS_LINE not in output:
            raise Failed(f"shard {shard} did not end with '{records}' and the success line:\n{output}")
    print(f"each of the {SHARDS} tasks computed exactly the captures of its shard")


def wait_for_jobs(cluster, array_id, verify_id, log_dir, deadline):
    # Leave time to stop the cluster and report.
    states = cluster.wait_for_job(verify_id, deadline.left() - 60)
    array_states = cluster.job_states(array_id)
    if states != ["COMPLETED"]:
        logs = "\n".join(f"--- {path.name}:\n{tail(path)}" for path in sorted(log_dir.glob("*.out")))
        raise Failed(f"verification job state {states or 'unknown'}, array task states {array_states}\n{logs}")
    print(f"array job {array_id}: {len(array_states)} tasks {sorted(set(array_states))}; "
          f"verification job {verify_id}: {states[0]}")


def run_test(args, deadline, cluster_root):
    workdir = pathlib.Path(args.workdir).resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    cluster = Cluster(cluster_root, deadline)
    try:
        cluster.start()
        print(f"one-node Slurm cluster up ({cluster.conf})")
        model, plain, array = prepare_inputs(workdir, args.python, deadline)
        run_checked([args.program, model, plain], deadline)

        log_dir = workdir / "logs"
        shutil.rmtree(log_dir, ignore_errors=True)
        submitted = run_checked([args.python, HERE / "submit_array.py", model, array, f"--shards={SHARDS}",
                                 f"--program={args.program}", f"--log-dir={log_dir}"],
                                deadline, env=cluster.env)
        array_id = re.search(r"^array job (\d+)", submitted, re.MULTILINE).group(1)
        verify_id = re.search(r"^verification job (\d+)", submitted, re.MULTILINE).group(1)
        wait_for_jobs(cluster, array_id, verify_id, log_dir, deadline)
    finally:
        cluster.stop()

    check_shard_outputs(log_dir, array_id, list_uuids(array))
    summary = (log_dir / f"verify-{verify_id}.out").read_text()
    uuid_count = len(set(list_uuids(array)))
    if f"captures: {uuid_count} in the list, {uuid_count} with consistent results" not in summary:
        raise Failed(f"unexpected verification summary:\n{summary}")
    check_same_results(plain, array)


def raise_on_termination(signum, _frame):
    raise Failed(f"stopped by signal {signum}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="compute_features executable")
    parser.add_argument("--workdir", required=True, help="folder for the model, workspaces and job output")
    parser.add_argument("--python", default=sys.executable, help="Python with TensorFlow and numpy")
    parser.add_argument("--time-limit", type=float, default=900, help="seconds before giving up (default 900)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, raise_on_termination)

    missing = [command for command in REQUIRED_COMMANDS if shutil.which(command) is None]
    if missing:
        print(f"SKIPPED: not installed: {', '.join(missing)} (scripts/setup.sh installs slurm-wlm and munge)")
        return SKIP_CODE
    deadline = Deadline(args.time_limit)
    # The munge socket path must stay short (sockaddr_un), so not under the build folder.
    cluster_root = tempfile.mkdtemp(prefix="lf-slurm-")
    try:
        run_test(args, deadline, cluster_root)
    except Skipped as reason:
        print(f"SKIPPED: the cluster cannot start here: {reason}")
        return SKIP_CODE
    except (Failed, subprocess.TimeoutExpired) as error:
        print(f"FAILED: {error}")
        return 1
    finally:
        shutil.rmtree(cluster_root, ignore_errors=True)
    print("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
