"""A one-node Slurm cluster on this machine for the job script's tests.

munged, slurmctld and slurmd run in the foreground as this process's children
with a configuration, a munge key, state, spool, logs, pid files and sockets
all inside one temporary directory, the daemons on loopback ports, and no
cgroup plugin (tasks are bound to their processors by affinity). The test
process becomes a child subreaper, so the step daemons slurmd forks and the
jobs' processes come back to it as children when their parents go: stopping
the cluster ends exactly what it started.
"""

import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

DAEMONS = ("munged", "slurmctld", "slurmd")
CLIENTS = ("sbatch", "squeue", "scontrol", "scancel", "sinfo", "srun")
SEARCH_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
START_SECONDS = 60
STOP_SECONDS = 30
PR_SET_CHILD_SUBREAPER = 36


class CannotStart(Exception):
    """The cluster cannot run here; the message says why in one line."""


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _last_line(path):
    try:
        with open(path, errors="replace") as file:
            lines = [line.strip() for line in file if line.strip()]
    except OSError:
        return ""
    return lines[-1] if lines else ""


def _node_line():
    """This machine as slurmd sees it ("NodeName=host CPUs=... RealMemory=...")."""
    done = subprocess.run([shutil.which("slurmd", path=SEARCH_PATH), "-C"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=60)
    lines = [line for line in done.stdout.splitlines() if line.startswith("NodeName=")]
    if done.returncode != 0 or not lines:
        raise CannotStart(f"slurmd -C could not describe this machine: {done.stdout.strip()[-200:]}")
    return lines[0]


def _configuration(root, node_line):
    node = node_line.split()[0].split("=", 1)[1]
    path = lambda name: os.path.join(root, name)  # noqa: E731
    return node, "\n".join([
        "ClusterName=kestrunetest",
        f"SlurmctldHost={node}(127.0.0.1)",
        f"SlurmctldPort={_free_port()}",
        f"SlurmdPort={_free_port()}",
        "SlurmUser=root",
        "SlurmdUser=root",
        "AuthType=auth/munge",
        "CredType=cred/munge",
        f"AuthInfo=socket={path('munge/munge.socket')}",
        f"StateSaveLocation={path('slurmctld')}",
        f"SlurmdSpoolDir={path('slurmd')}",
        f"SlurmctldPidFile={path('slurmctld.pid')}",
        f"SlurmdPidFile={path('slurmd.pid')}",
        f"SlurmctldLogFile={path('slurmctld.log')}",
        f"SlurmdLogFile={path('slurmd.log')}",
        # Nothing that needs cgroups, accounting or mail. Tasks are bound to the processors
        # their step was given, as on a production cluster, by affinity alone.
        "ProctrackType=proctrack/linuxproc",
        "TaskPlugin=task/affinity",
        "JobAcctGatherType=jobacct_gather/none",
        "AccountingStorageType=accounting_storage/none",
        "JobCompType=jobcomp/none",
        "MpiDefault=none",
        "SwitchType=switch/none",
        "MailProg=/bin/true",
        "SelectType=select/cons_tres",
        "SelectTypeParameters=CR_Core",
        "ReturnToService=2",
        "KillWait=5",
        f"{node_line} NodeAddr=127.0.0.1 State=UNKNOWN",
        f"PartitionName=test Nodes={node} Default=YES MaxTime=INFINITE State=UP",
        ""])


class Cluster:
    """The running cluster: its directory, node name and the environment its clients need."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kestrune-slurm-")
        self.processes = {}
        self.node = None
        self.processors = None
        self.env = None

    def log(self, name):
        return os.path.join(self.root, name + ".log")

    def pid_file(self, name):
        return os.path.join(self.root, name + ".pid")

    def start(self):
        missing = [name for name in DAEMONS + CLIENTS + ("munge",) if not shutil.which(name, path=SEARCH_PATH)]
        if missing:
            raise CannotStart("not installed: " + ", ".join(missing) + " (Debian's slurm-wlm and munge)")
        if os.geteuid() != 0:
            raise CannotStart("slurmd must run as root to start job steps")
        if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise CannotStart("this process cannot become a child subreaper to keep the job's processes")
        # munged wants every directory on the way to its socket searchable by all.
        os.chmod(self.root, 0o755)
        for directory in ("munge", "slurmctld", "slurmd"):
            os.mkdir(os.path.join(self.root, directory), 0o755)
        key = os.path.join(self.root, "munge", "munge.key")
        with open(os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as file:
            file.write(os.urandom(1024))
        node_line = _node_line()
        self.node, configuration = _configuration(self.root, node_line)
        self.processors = int(re.search(r"\bCPUs=(\d+)", node_line).group(1))
        conf = os.path.join(self.root, "slurm.conf")
        with open(conf, "w") as file:
            file.write(configuration)
        self.env = dict(os.environ, SLURM_CONF=conf, PATH=SEARCH_PATH)

        socket_path = os.path.join(self.root, "munge", "munge.socket")
        self._spawn("munged", ["munged", "--foreground", f"--socket={socket_path}", f"--key-file={key}",
                               f"--log-file={self.log('munged')}", f"--pid-file={self.pid_file('munged')}",
                               f"--seed-file={os.path.join(self.root, 'munge', 'munged.seed')}"])
        self._wait_for("munged", lambda: os.path.exists(socket_path))
        self._spawn("slurmctld", ["slurmctld", "-D", "-f", conf])
        self._spawn("slurmd", ["slurmd", "-D", "-f", conf, "-N", self.node])
        self._wait_for("slurmd", self._node_idle)

    def _spawn(self, name, command):
        with open(os.path.join(self.root, name + ".out"), "w") as output:
            self.processes[name] = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                env=self.env or os.environ, cwd=self.root, start_new_session=True)

    def _why(self, name):
        for path in (self.log(name), os.path.join(self.root, name + ".out")):
            line = _last_line(path)
            if line:
                return line
        return "no log"

    def _wait_for(self, name, ready):
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            for daemon, process in self.processes.items():
                if process.poll() is not None:
                    raise CannotStart(f"{daemon} exited with status {process.returncode}: {self._why(daemon)}")
            if ready():
                return
            time.sleep(0.5)
        raise CannotStart(f"{name} not ready after {START_SECONDS} s: {self._why(name)}")

    def _node_idle(self):
        done = self.run(["sinfo", "--noheader", "--nodes", self.node, "--format=%T"], check=False)
        return done.returncode == 0 and done.stdout.strip() == "idle"

    def run(self, command, check=True, timeout=60):
        # From inside the cluster's directory: sbatch's jobs start where it ran unless told otherwise.
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=self.env, cwd=self.root, timeout=timeout)
        if check and done.returncode != 0:
            raise AssertionError(f"{' '.join(command)} exited {done.returncode}: {done.stderr.strip()}")
        return done

    def submit(self, arguments):
        """sbatch's job id for the given arguments."""
        return self.run(["sbatch", "--parsable"] + arguments).stdout.strip().split(";")[0]

    def wait_for_jobs(self, seconds):
        """Waits until the queue is empty; False if it was not within the time."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            queue = self.run(["squeue", "--noheader", "--format=%i"], check=False)
            if queue.returncode == 0 and not queue.stdout.strip():
                return True
            _reap()  # the step daemons that ended, left to this process as a subreaper
            time.sleep(1)
        return False

    def stop(self):
        """Ends every job, daemon and step daemon the cluster started and waits for them.

        Returns what was still running afterwards (empty when all ended)."""
        if self.processes.get("slurmctld") and self.processes["slurmctld"].poll() is None:
            self.run(["scancel", "--full", "--user", "root"], check=False)
            self.wait_for_jobs(STOP_SECONDS)
        # The slurm daemons first, munged (which they talk to) last.
        for name in ("slurmd", "slurmctld"):
            _end(self.processes.get(name))
        munged = self.processes.get("munged")
        _end_orphans(keep={munged.pid} if munged else set())
        _end(munged)
        left = [f"{name} (pid {process.pid})" for name, process in self.processes.items()
                if process.poll() is None]
        for name in DAEMONS:
            pid = _read_pid(self.pid_file(name))
            if pid and _alive(pid) and all(pid != process.pid for process in self.processes.values()):
                left.append(f"{name} (pid {pid} from its pid file)")
        left += [f"pid {pid}" for pid in _children()]
        return left

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def logs(self):
        """The tail of every log, for a failure's message."""
        text = []
        for name in sorted(os.listdir(self.root)):
            if name.endswith((".log", ".out")):
                with open(os.path.join(self.root, name), errors="replace") as file:
                    text.append(f"--- {name}\n" + "".join(file.readlines()[-15:]))
        return "\n".join(text)


def _end(process):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(STOP_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(STOP_SECONDS)


def _children():
    """This process's children (as a subreaper, the orphans of what it started too)."""
    me = str(os.getpid())
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == me and fields[0] != "Z":
            pids.append(int(entry))
    return pids


def _end_orphans(keep):
    """Ends the step daemons and job processes that outlived slurmd, by their ids."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = [pid for pid in _children() if pid not in keep]
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + STOP_SECONDS
        while pids and time.monotonic() < deadline:
            _reap()
            pids = [pid for pid in pids if _alive(pid)]
            time.sleep(0.2)
    _reap()


def _reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _read_pid(path):
    try:
        with open(path) as file:
            return int(file.read().strip() or 0)
    except (OSError, ValueError):
        return 0
