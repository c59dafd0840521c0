"""Runs a measuring program and reports how often it was pushed off its
processor: Kestrune pins itself to the lowest processor, and so does every
other copy of it (and likwid-bench) on this shared machine."""

import os
import subprocess
import time
from dataclasses import dataclass

from . import host_load

QUIET_BUSY_SHARE = 0.10
QUIET_MAX_WAIT_SECONDS = 20.0


@dataclass
class ChildResult:
    stdout: str
    returncode: int
    wall_seconds: float
    involuntary_switches: int


def run_counting_switches(command):
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        output = process.stdout.read()
    finally:
        process.stdout.close()
    # wait4 rather than wait: it also hands back the child's resource usage.
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return ChildResult(output, process.returncode, time.monotonic() - start, usage.ru_nivcsw)


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
