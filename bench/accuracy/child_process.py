"""Runs a measuring program and reports how often it was pushed off its
processor: Kestrune pins itself to the lowest processor, and so does every
other copy of it (and likwid-bench) on this shared machine."""

import os
import signal
import subprocess
import time
from dataclasses import dataclass
from typing import Optional

from . import host_load

QUIET_BUSY_SHARE = 0.10
QUIET_MAX_WAIT_SECONDS = 20.0


@dataclass
class ChildResult:
    stdout: str
    returncode: int
    wall_seconds: float
    involuntary_switches: int


def _start(command):
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def _reap(process, start):
    """Reads a child's output to its end and waits for it; its time counts from `start`."""
    try:
        output = process.stdout.read()
    finally:
        process.stdout.close()
    # wait4 rather than wait: it also hands back the child's resource usage.
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return ChildResult(output, process.returncode, time.monotonic() - start, usage.ru_nivcsw)


def run_counting_switches(command):
    start = time.monotonic()
    return _reap(_start(command), start)


# likwid-bench spends its first second calibrating its clock, in two sleeps of
# half a second, and only then allocates its streams and makes its one timed run.
# A run stopped in its second sleep and continued when its pair comes starts
# within milliseconds, so that the pair's two sides run back to back in either
# order, and the runs of a comparison calibrate side by side, once, rather than
# a second per pair. Its Cycles (time-stamp ticks of the timed run) do not
# depend on the calibration; the clock it derives from it, and its MByte/s,
# which the bench does not read, do.
CLOCK_NANOSLEEP = "230"   # x86-64's number, as /proc/PID/syscall gives it
CALIBRATION_SLEEP_SECONDS = 0.5
SLEEP_WAIT_SECONDS = 10.0
POLL_SECONDS = 0.001


def _syscall(pid):
    """The system call a process is blocked in ("230"), "running", or None once it is gone or unreadable."""
    try:
        with open(f"/proc/{pid}/syscall") as status:
            return status.read().split()[0]
    except (OSError, IndexError):
        return None


def can_hold():
    """Whether this system shows a child's blocking system call (a kernel without it, or a ptrace policy
    that hides it, leaves the runs unheld)."""
    return _syscall(os.getpid()) is not None


@dataclass
class HeldChild:
    """A run of a program that calibrates in two sleeps, stopped in the second until `finish`."""
    process: subprocess.Popen
    started: float
    sleep_seconds: float = CALIBRATION_SLEEP_SECONDS  # each of its two sleeps
    asleep_since: Optional[float] = None
    held: bool = False
    # It ran before it could be held (a late poll, or it never slept): its run
    # shared no moment with a pair, and is left out.
    escaped: bool = False

    @property
    def waiting(self):
        return not self.held and not self.escaped

    @property
    def due(self):
        """Half way into the second sleep: half a sleep's margin either way for a late look."""
        return self.asleep_since + 1.5 * self.sleep_seconds

    def hold_if_due(self, now):
        if not self.waiting or self.asleep_since is None or now < self.due:
            return
        # Still asleep a sleep and a half after it was first seen asleep: the second sleep, the first has ended.
        if now < self.asleep_since + 2 * self.sleep_seconds and _syscall(self.process.pid) == CLOCK_NANOSLEEP:
            os.kill(self.process.pid, signal.SIGSTOP)
            self.held = True
        else:
            self.escaped = True

    def finish(self) -> ChildResult:
        """Continues a held run and waits for its end."""
        start = time.monotonic()
        if self.held:
            os.kill(self.process.pid, signal.SIGCONT)
        return _reap(self.process, start)

    def discard(self):
        if self.process.returncode is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.finish()


def _launch_until_asleep(command, sleep_seconds, earlier):
    """Starts a command and waits until it sleeps, holding the earlier ones as they come due meanwhile, so that a
    slow start does not let one of them run."""
    child = HeldChild(_start(command), time.monotonic(), sleep_seconds)
    while time.monotonic() < child.started + SLEEP_WAIT_SECONDS:
        for other in earlier:
            other.hold_if_due(time.monotonic())
        state = _syscall(child.process.pid)
        if state == CLOCK_NANOSLEEP:
            child.asleep_since = time.monotonic()
            return child
        # WNOWAIT: it stays to be reaped by finish, which reads its resource usage.
        if state is None or os.waitid(os.P_PID, child.process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT):
            break
        time.sleep(POLL_SECONDS)
    child.escaped = True  # it ended, or never slept: whatever it did is not held
    return child


def hold_runs(commands, sleep_seconds=CALIBRATION_SLEEP_SECONDS):
    """Starts each command and holds it in the second of the two sleeps (of sleep_seconds each) it starts with:
    [HeldChild], in order. Each is started once the one before sleeps, so that no start runs beside another's
    timed run."""
    children = []
    try:
        for command in commands:
            children.append(_launch_until_asleep(command, sleep_seconds, list(children)))
        while any(child.waiting for child in children):
            due = min(child.due for child in children if child.waiting)
            time.sleep(max(0.0, due - time.monotonic()))
            for child in children:
                child.hold_if_due(time.monotonic())
    except BaseException:
        for child in children:
            child.discard()
        raise
    return children


def wait_for_quiet(most=QUIET_MAX_WAIT_SECONDS):
    """Waits until every processor was under 10% busy for a second, or `most`
    seconds (20 at most) have passed; returns the seconds waited."""
    waited = 0.0
    while waited < min(most, QUIET_MAX_WAIT_SECONDS):
        before = host_load.read_cpu_times()
        time.sleep(1.0)
        waited += 1.0
        after = host_load.read_cpu_times()
        if all(host_load.busy_share(before, after, cpu) < QUIET_BUSY_SHARE for cpu in before):
            return waited
    return waited
