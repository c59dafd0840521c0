"""The independent reference: likwid-bench's load and store kernels, or, where
it cannot run, the bench's own plain loop (helpers/reference_loop.cpp)."""

import re
import shutil
import subprocess
from dataclasses import dataclass

from . import child_process

BYTES_PER_MEASUREMENT = 1 << 26  # what each of the program's cells moves
SIZES = [4 << 10, 16 << 10, 256 << 10, 8 << 20, 32 << 20]


@dataclass(frozen=True)
class Pairing:
    kernel: str        # likwid-bench's test name
    instruction: str   # what that kernel executes (read from its disassembly)
    width: str
    ours: tuple        # (direction, column) in the 16-byte-aligned tables


# likwid-bench's scalar kernels move doubles through XMM registers (MOVSD, 8
# bytes), which our MOVQ columns match in width; both of its non-temporal store
# kernels, the "scalar" one included, execute the 16-byte MOVNTPD.
PAIRINGS = [
    Pairing("load", "movsd", "8-byte load", ("read", "MOVQ")),
    Pairing("load_sse", "movaps", "16-byte load", ("read", "MOVAPS")),
    Pairing("store", "movsd", "8-byte store", ("write", "MOVQ")),
    Pairing("store_sse", "movaps", "16-byte store", ("write", "MOVAPS")),
    Pairing("store_mem", "movntpd", "16-byte NT store", ("write", "MOVNTDQ")),
    Pairing("store_mem_sse", "movntpd", "16-byte NT store", ("write", "MOVNTPS")),
]

_MBYTES = re.compile(r"^MByte/s:\s+([0-9.]+)", re.M)
_PLACED = re.compile(r"running on hwthread (\d+)")


class ReferenceError(Exception):
    pass


class LikwidReference:
    name = "likwid-bench"

    def __init__(self, cpu):
        self.cpu = cpu
        self.placements = set()
        # likwid-bench's run is mostly its one-second timer calibration; its
        # forced switches are counted for the report, not acted on.
        self.forced_switches = []

    def measure(self, kernel, size):
        # B suffix: kB/MB would be powers of ten. The N domain's first hardware
        # thread is the lowest processor, the one Kestrune pins itself to.
        command = ["likwid-bench", "-t", kernel, "-w", f"N:{size}B:1", "-i", str(BYTES_PER_MEASUREMENT // size)]
        result = child_process.run_counting_switches(command)
        match = _MBYTES.search(result.stdout)
        if result.returncode != 0 or not match:
            raise ReferenceError(f"{' '.join(command)} failed: {result.stdout.strip()[-300:]}")
        self.forced_switches.append(result.involuntary_switches)
        self.placements.update(int(cpu) for cpu in _PLACED.findall(result.stdout))
        return float(match.group(1)) * 1e6 / (1 << 30)

    def describe(self):
        where = ", ".join(f"hwthread {cpu}" for cpu in sorted(self.placements)) or "unknown"
        switches = sorted(self.forced_switches)
        return (f"likwid-bench (ran on {where}; Kestrune pins to processor {self.cpu}); forced switches per "
                f"invocation: median {switches[len(switches) // 2]}, most {switches[-1]}")


class OwnLoopReference:
    name = "own plain loop (fallback)"

    def __init__(self, helper, cpu, why):
        self.helper = helper
        self.cpu = cpu
        self.why = why

    def measure(self, kernel, size):
        command = [str(self.helper), str(self.cpu), kernel, str(size), str(BYTES_PER_MEASUREMENT)]
        return float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)

    def describe(self):
        return (f"FALLBACK: likwid-bench could not run ({self.why}); the reference is the bench's own plain loop "
                f"with the same instruction as each column, timed with clock_gettime")


def choose_reference(own_loop_helper, cpu):
    """likwid-bench if one trial measurement works here, else the own loop."""
    if shutil.which("likwid-bench") is None:
        return OwnLoopReference(own_loop_helper, cpu, "not installed")
    likwid = LikwidReference(cpu)
    try:
        likwid.measure("load", SIZES[0])
    except (ReferenceError, OSError) as error:
        return OwnLoopReference(own_loop_helper, cpu, str(error))
    return likwid
