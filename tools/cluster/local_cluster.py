"""A one-node Slurm cluster started by an unprivileged script, for tests and measurements.

munged runs with a generated key on its own socket; slurmctld and slurmd run in the
foreground from a generated slurm.conf, all state in one folder, on free ports, with
process tracking by process group and no cgroups. Clients reach it through
Cluster.env (SLURM_CONF). stop() cancels every job and stops every daemon started.
"""

import getpass
import os
import pathlib
import re
import socket
import subprocess
import time

NODE = "lfnode"
PARTITION = "lf"
TERMINAL_STATES = {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL", "OUT_OF_MEMORY",
                   "PREEMPTED", "BOOT_FAIL", "DEADLINE"}
REQUIRED_COMMANDS = ["munged", "mungekey", "munge", "unmunge", "slurmctld", "slurmd", "sbatch",
                     "scontrol", "squeue", "scancel", "sinfo"]


class Skipped(Exception):
    """The cluster cannot run on this machine; not a fault of the scripts under test."""


class Failed(Exception):
    pass


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        left = self.end - time.monotonic()
        if left <= 0:
            raise Failed("time limit reached")
        return left


def wait_until(condition, seconds, deadline, interval=0.5):
    """Polls condition() until it returns a true value or the time is up; returns the last value."""
    end = time.monotonic() + min(seconds, deadline.left())
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def tail(path, lines=15):
    try:
        return "\n".join(pathlib.Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return f"({path} not written)"


SLURM_CONF = """\
ClusterName=lftest
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={controller_port}
SlurmdPort={node_port}
SlurmUser={user}
SlurmdUser={user}
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={munge_socket}
StateSaveLocation={root}/state
SlurmdSpoolDir={root}/spool
SlurmctldPidFile={root}/slurmctld.pid
SlurmdPidFile={root}/slurmd.pid
SlurmctldLogFile={root}/slurmctld.log
SlurmdLogFile={root}/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/pgid
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MinJobAge=3600
NodeName={node} NodeHostname={host} NodeAddr=127.0.0.1 CPUs={cpus} State=UNKNOWN
PartitionName={partition} Nodes={node} Default=YES MaxTime=INFINITE State=UP
"""


class Cluster:
    """munged, slurmctld and slurmd of a one-node cluster, all state under root."""

    def __init__(self, root, deadline):
        self.root = pathlib.Path(root)
        self.deadline = deadline
        self.daemons = []  # (name, Popen)
        self.munge_socket = self.root / "munge" / "socket"
        self.conf = self.root / "slurm.conf"
        # Variables of an enclosing Slurm job or sbatch defaults would reach this cluster's clients.
        self.env = {name: value for name, value in os.environ.items()
                    if not name.startswith(("SLURM_", "SBATCH_", "SALLOC_", "SRUN_", "SQUEUE_", "SINFO_"))}
        self.env["SLURM_CONF"] = str(self.conf)

    def start(self):
        self._start_munge()
        self._write_conf()
        self._spawn("slurmctld", ["slurmctld", "-D", "-f", str(self.conf)])
        self._spawn("slurmd", ["slurmd", "-D", "-N", NODE, "-f", str(self.conf)])
        if not wait_until(self._node_ready, 60, self.deadline):
            raise Skipped("the Slurm node did not become ready within 60 s:\n"
                          + self._daemon_report(["slurmctld.log", "slurmd.log"]))

    def _start_munge(self):
        folder = self.munge_socket.parent
        folder.mkdir(mode=0o755)
        key = folder / "munge.key"
        self._run_or_skip(["mungekey", "--create", f"--keyfile={key}"], "mungekey cannot create a key")
        self._spawn("munged", ["munged", "--foreground", "--force", f"--key-file={key}",
                               f"--socket={self.munge_socket}", f"--pid-file={folder}/munged.pid",
                               f"--log-file={folder}/munged.log", f"--seed-file={folder}/munged.seed"])
        munged = self.daemons[-1][1]
        if not wait_until(lambda: self.munge_socket.exists() or munged.poll() is not None, 20, self.deadline) \
                or not self.munge_socket.exists():
            raise Skipped("munged did not create its socket:\n" + self._daemon_report(["munge/munged.log"]))
        credential = self._run_or_skip(["munge", "--no-input", f"--socket={self.munge_socket}"],
                                       "munge cannot encode a credential")
        self._run_or_skip(["unmunge", f"--socket={self.munge_socket}"], "munge cannot decode a credential",
                          input_text=credential)

    def _write_conf(self):
        (self.root / "state").mkdir()
        (self.root / "spool").mkdir()
        self.conf.write_text(SLURM_CONF.format(
            host=socket.gethostname().split(".")[0], controller_port=free_port(), node_port=free_port(),
            user=getpass.getuser(), munge_socket=self.munge_socket, root=self.root, node=NODE,
            cpus=os.cpu_count(), partition=PARTITION))

    def _run_or_skip(self, command, reason, input_text=None):
        completed = subprocess.run(command, input=input_text, capture_output=True, text=True,
                                   timeout=min(30, self.deadline.left()))
        if completed.returncode != 0:
            raise Skipped(f"{reason}: {completed.stderr.strip()}")
        return completed.stdout

    def _spawn(self, name, command):
        output = open(self.root / f"{name}.out", "w")
        # Their own session: a Ctrl-C reaches this script, which then stops them in order.
        process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, env=self.env,
                                   start_new_session=True)
        output.close()
        self.daemons.append((name, process))

    def _daemon_report(self, logs):
        lines = []
        for name, process in self.daemons:
            state = "running" if process.poll() is None else f"exited with {process.returncode}"
            lines.append(f"{name}: {state}; its output:\n{tail(self.root / f'{name}.out')}")
        lines += [f"{log}:\n{tail(self.root / log)}" for log in logs]
        return "\n".join(lines)

    def _node_ready(self):
        if any(process.poll() is not None for _, process in self.daemons):
            raise Skipped("a daemon exited during start-up:\n"
                          + self._daemon_report(["slurmctld.log", "slurmd.log"]))
        state = self.command(["sinfo", "--noheader", "--format=%T", f"--nodes={NODE}"], check=False)
        return state.strip() == "idle"

    def command(self, arguments, check=True):
        completed = subprocess.run(arguments, capture_output=True, text=True, env=self.env,
                                   timeout=min(60, self.deadline.left()))
        if check and completed.returncode != 0:
            raise Failed(f"{' '.join(arguments)} failed: {completed.stderr.strip()}")
        return completed.stdout

    def job_states(self, job_id):
        """States of a job's tasks (one per array task)."""
        output = self.command(["scontrol", "--oneliner", "show", "job", job_id], check=False)
        return re.findall(r"\bJobState=(\S+)", output)

    def wait_for_job(self, job_id, seconds):
        """Waits until every task of the job has ended; returns their states (None on time-out)."""
        def ended():
            states = self.job_states(job_id)
            return states if states and all(state in TERMINAL_STATES for state in states) else None

        return wait_until(ended, seconds, self.deadline, interval=1)

    def stop(self):
        """Cancels every job, then stops the daemons newest first. Never raises."""
        if any(name == "slurmctld" and process.poll() is None for name, process in self.daemons):
            try:
                subprocess.run(["scancel", f"--partition={PARTITION}"], env=self.env,
                               capture_output=True, timeout=30)
                end = time.monotonic() + 60
                while time.monotonic() < end and subprocess.run(
                        ["squeue", "--noheader"], env=self.env, capture_output=True, text=True,
                        timeout=30).stdout.strip():
                    time.sleep(0.5)
            except (OSError, subprocess.SubprocessError):
                pass
        for _, process in reversed(self.daemons):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
