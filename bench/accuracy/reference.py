"""The independent reference: likwid-bench's load and store kernels, or, where
it cannot run, the bench's own plain loop (helpers/reference_loop.cpp)."""

import re
import shutil
import subprocess
from dataclasses import dataclass

from . import child_process
from .runs import GIB

BYTES_PER_MEASUREMENT = 1 << 26  # what each of the program's cells moves below 64 MiB
# The block of the trial run that decides whether likwid-bench can run here.
TRIAL_SIZE = 4 << 10


@dataclass(frozen=True)
class Pairing:
    kernel: str        # likwid-bench's test name
    instruction: str   # what that kernel executes (read from its disassembly)
    width: str
    ours: tuple        # (direction, column) in the 16-byte-aligned tables


# likwid-bench's scalar kernels move doubles through XMM registers (MOVSD, 8
# bytes), which our MOVQ columns match in width; its non-temporal store
# kernels, the "scalar" one included, execute MOVNTPD at 16 bytes and VMOVNTPD
# at 32 and 64. Its wider kernels use aligned moves, so they face our aligned
# columns.
PAIRINGS = [
    Pairing("load", "movsd", "8-byte load", ("read", "MOVQ")),
    Pairing("load_sse", "movaps", "16-byte load", ("read", "MOVAPS")),
    Pairing("load_avx", "vmovaps ymm", "32-byte load", ("read", "VMOVDQA(256)")),
    Pairing("load_avx512", "vmovap* zmm", "64-byte load", ("read", "VMOVDQA64(512)")),
    Pairing("store", "movsd", "8-byte store", ("write", "MOVQ")),
    Pairing("store_sse", "movaps", "16-byte store", ("write", "MOVAPS")),
    Pairing("store_avx", "vmovaps ymm", "32-byte store", ("write", "VMOVDQA(256)")),
    Pairing("store_avx512", "vmovap* zmm", "64-byte store", ("write", "VMOVDQA64(512)")),
    Pairing("store_mem", "movntpd", "16-byte NT store", ("write", "MOVNTDQ")),
    Pairing("store_mem_sse", "movntpd", "16-byte NT store", ("write", "MOVNTPS")),
    Pairing("store_mem_avx", "vmovntpd ymm", "32-byte NT store", ("write", "VMOVNTDQ(256)")),
    Pairing("store_mem_avx512", "vmovntpd zmm", "64-byte NT store", ("write", "VMOVNTDQ(512)")),
]


def pairings_for(columns):
    """The pairings whose column the run shows: the wider ones only where the processor runs them.
    columns: {(direction, column)} of the 16-byte tables."""
    return [pairing for pairing in PAIRINGS if pairing.ours in columns]


def iterations(size):
    """Sweeps of a block that move what the program's cell moves: 64 MiB or the whole block."""
    return max(1, BYTES_PER_MEASUREMENT // size)


_MBYTES = re.compile(r"^MByte/s:\s+([0-9.]+)", re.M)
_PLACED = re.compile(r"running on hwthread (\d+)")


class ReferenceError(Exception):
    pass


def likwid_rate(output):
    """GiB/s from likwid-bench's output (its MByte/s are powers of ten); None if it has none."""
    match = _MBYTES.search(output)
    return float(match.group(1)) * 1e6 / GIB if match else None


class LikwidReference:
    name = "likwid-bench"

    def __init__(self, cpu):
        self.cpu = cpu
        self.placements = set()
        # likwid-bench's run is mostly its one-second timer calibration; its
        # forced switches are counted for the report, not acted on.
        self.forced_switches = []

    def command(self, kernel, size, threads=1):
        # B suffix: kB/MB would be powers of ten. The N domain's first hardware
        # thread is the lowest processor, the one Kestrune pins itself to; with
        # two threads the S0 domain's first two, as --threads 2 takes them. The
        # size is the whole working set, which likwid-bench splits among the
        # threads: each thread gets a block of `size`, as each of ours does.
        domain = f"N:{size}B:1" if threads == 1 else f"S0:{size * threads}B:{threads}"
        return ["likwid-bench", "-t", kernel, "-w", domain, "-i", str(iterations(size))]

    def measure(self, kernel, size, threads=1):
        command = self.command(kernel, size, threads)
        result = child_process.run_counting_switches(command)
        rate = likwid_rate(result.stdout)
        if result.returncode != 0 or rate is None:
            raise ReferenceError(f"{' '.join(command)} failed: {result.stdout.strip()[-300:]}")
        self.note(result)
        return rate

    def note(self, result):
        """Keeps where a run of likwid-bench ran and how often it was pushed off, for the report."""
        self.forced_switches.append(result.involuntary_switches)
        self.placements.update(int(cpu) for cpu in _PLACED.findall(result.stdout))

    def describe(self):
        where = ", ".join(f"hwthread {cpu}" for cpu in sorted(self.placements)) or "unknown"
        switches = sorted(self.forced_switches) or [0]
        return (f"likwid-bench (ran on {where}; Kestrune pins to processor {self.cpu}); forced switches per "
                f"invocation: median {switches[len(switches) // 2]}, most {switches[-1]}")


class OwnLoopReference:
    name = "own plain loop (fallback)"

    def __init__(self, helper, cpu, why):
        self.helper = helper
        self.cpu = cpu
        self.why = why

    def measure(self, kernel, size, threads=1, run_bytes=None):
        # Several threads: one copy per processor, started together, their rates added.
        total = run_bytes if run_bytes else iterations(size) * size
        copies = [subprocess.Popen([str(self.helper), str(self.cpu + index), kernel, str(size),
                                    str(max(total, size))], stdout=subprocess.PIPE, text=True)
                  for index in range(threads)]
        rates = []
        for copy in copies:
            output, _ = copy.communicate()
            if copy.returncode != 0:
                raise ReferenceError(f"reference_loop {kernel} {size} exited with {copy.returncode}")
            rates.append(float(output))
        return sum(rates)

    def describe(self):
        return (f"FALLBACK: likwid-bench could not run ({self.why}); the reference is the bench's own plain loop "
                f"with the same instruction as each column, timed with clock_gettime (one copy per processor "
                f"for several threads, their rates added)")


def choose_reference(own_loop_helper, cpu):
    """likwid-bench if one trial measurement works here, else the own loop."""
    if shutil.which("likwid-bench") is None:
        return OwnLoopReference(own_loop_helper, cpu, "not installed")
    likwid = LikwidReference(cpu)
    try:
        likwid.measure("load", TRIAL_SIZE)
    except (ReferenceError, OSError) as error:
        return OwnLoopReference(own_loop_helper, cpu, str(error))
    likwid.forced_switches.clear()
    return likwid
