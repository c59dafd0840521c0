"""Ours against likwid-bench, in pairs: each pair is one likwid-bench run and one
run of the program's own kernel (the kernel_turns helper) right before or right
after it, the order alternating from pair to pair, at the same block, with the
same threads, over the same bytes in one timed window each.

likwid-bench cannot be repeated quickly (each invocation spends a second
calibrating its clock before its one timed run), so the invocations of a
comparison are started together and each is held, stopped, in its calibration's
last half second (child_process.hold_runs); a pair is one of them continued and
one run of the helper, right after the other, so that the two timed windows lie
milliseconds apart whichever goes first. Where the system does not show what a
child waits in, each invocation is started when its pair comes, and the one that
follows the helper's run makes its run a second later. Both sides are compared
in bytes per time-stamp tick: likwid-bench counts its run in TSC ticks
("Cycles"), as the program's kernels do, so that no clock reading stands
between the two.

Where likwid-bench cannot run, the bench's own plain loop
(helpers/reference_loop.cpp, timed with the monotonic clock) stands in, its
rate turned into bytes per tick with the time-stamp counter's rate; the report
says so."""

import re
import subprocess
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

from kestrune_report.kernel_table import read_tables

from . import child_process, reference
from .pairs import Pair

# Each side of a pair moves this much in one timed window (or its whole block
# once, where the block is larger): sixteen of the program's cells. The host
# preempts the guest about every millisecond for some 15 us, and a window of a
# cell's 64 MiB at first-level-cache speed lasts 0.3 ms, so one in six such
# windows loses a tenth; a window of milliseconds averages the preemptions out.
# Stores kept up for seconds are throttled by a busy host, runs of a GiB are not.
PAIR_RUN_BYTES = 1 << 30

# Where likwid-bench's copy destination starts: half a page past a page as the
# program's does, or on a page as likwid-bench places it by itself. Its copy
# kernels move double-precision elements, and a stream's offset counts them.
AS_OURS, ITS_OWN = "as ours", "its own"
LIKWID_ELEMENT_BYTES = 8

_CYCLES = re.compile(r"^Cycles:\s+([0-9]+)", re.M)
_VOLUME = re.compile(r"^Data volume \(Byte\):\s+([0-9]+)", re.M)


@dataclass(frozen=True)
class Group:
    """Pairs of one reference run against the program's kernels of its width: one run of the
    reference per pair, and of each of `ours` right beside it."""
    kernel: str                      # likwid-bench's test
    block: int                       # bytes per thread
    threads: int
    ours: Tuple[Tuple[str, str], ...]  # (direction, column) of the program's kernels
    placement: Optional[str] = None  # copies: where likwid-bench's destination starts


def sweeps(block, run_bytes=PAIR_RUN_BYTES):
    """Sweeps of a block that make a run of `run_bytes`, at least one."""
    return max(1, run_bytes // block)


def likwid_command(group, run_bytes=PAIR_RUN_BYTES):
    """The reference run of a group. A copy is given both arrays as its working set, its
    destination placed as `placement` says; with threads, each thread gets a block of its own."""
    if group.placement is not None:
        domain = f"N:{2 * group.block}B:1"
        if group.placement == AS_OURS:
            skew = read_tables().copy_destination_skew_bytes // LIKWID_ELEMENT_BYTES
            domain += f"-0:N,1:N:{skew}"
    elif group.threads == 1:
        domain = f"N:{group.block}B:1"
    else:
        domain = f"S0:{group.block * group.threads}B:{group.threads}"
    return ["likwid-bench", "-t", group.kernel, "-w", domain, "-i", str(sweeps(group.block, run_bytes))]


def likwid_bytes_per_tick(output, bus_bytes=1):
    """Bytes per TSC tick from likwid-bench's output (its Cycles are time-stamp ticks, its data volume
    counts every stream: a copy's is twice the bytes copied); None if it has none."""
    cycles, volume = _CYCLES.search(output), _VOLUME.search(output)
    if not cycles or not volume or int(cycles.group(1)) == 0:
        return None
    return int(volume.group(1)) / bus_bytes / int(cycles.group(1))


def read_kernel_turns(output):
    """(direction, column) -> (bytes one thread moved per run, [ticks per turn]) from kernel_turns."""
    found = {}
    for line in output.splitlines():
        direction, column, _, moved, *ticks = line.split("\t")
        found[(direction, column)] = (int(moved), [float(t) for t in ticks])
    return found


@dataclass
class PairSides:
    """Runs both sides of a group's pairs on processor `cpu` (and the ones after it, with threads)."""
    cpu: int
    kernel_turns: object              # path of the helper
    reference_source: object          # reference.LikwidReference or reference.OwnLoopReference
    tsc_mhz: Optional[float]          # the fallback's rate in GiB/s needs it
    run_bytes: int = PAIR_RUN_BYTES
    hold: bool = False                # likwid-bench's runs held in their calibration (child_process.can_hold())
    failures: List[str] = field(default_factory=list)
    unheld: int = 0                   # held runs that ran before they could be held, left out
    pending: list = field(default_factory=list)  # held runs not yet continued

    def ours(self, group):
        command = [str(self.kernel_turns), str(self.cpu), str(group.threads), "1", str(group.block),
                   str(self.run_bytes)] + [f"{direction}:{column}" for direction, column in group.ours]
        found = read_kernel_turns(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        return {key: group.threads * moved / ticks[0] for key, (moved, ticks) in found.items()}

    def theirs(self, group):
        if isinstance(self.reference_source, reference.LikwidReference):
            command = likwid_command(group, self.run_bytes)
            return self._likwid_rate(group, command, child_process.run_counting_switches(command))
        if group.placement is not None or self.tsc_mhz is None:
            return None  # the own loop copies nothing, and its GiB/s need the counter's rate
        gib = self.reference_source.measure(group.kernel, group.block, group.threads, self.run_bytes)
        return gib * (1 << 30) / (self.tsc_mhz * 1e6)

    def held_theirs(self, group, count):
        """`count` reference runs of a group, each a call that gives its bytes per tick (None: no pair): likwid-bench
        held in its calibration (hold: the system shows where a child waits), else run when called."""
        if not (self.hold and isinstance(self.reference_source, reference.LikwidReference)):
            return [lambda: self.theirs(group)] * count
        command = likwid_command(group, self.run_bytes)
        self.pending = child_process.hold_runs([command] * count)
        return [lambda child=child: self._held_rate(group, command, child) for child in self.pending]

    def discard_pending(self):
        """Ends the held runs no pair used (the bench was interrupted, or our side failed)."""
        for child in self.pending:
            child.discard()
        self.pending = []

    def _held_rate(self, group, command, child):
        self.pending.remove(child)
        result = child.finish()
        if child.escaped:
            self.unheld += 1
            return None
        return self._likwid_rate(group, command, result)

    def _likwid_rate(self, group, command, result):
        self.reference_source.note(result)
        bus = read_tables().bus_bytes_per_byte("copy") if group.placement is not None else 1
        rate = likwid_bytes_per_tick(result.stdout, bus) if result.returncode == 0 else None
        if rate is None:
            self.failures.append(f"{' '.join(command)}: {result.stdout.strip()[-200:]}")
        return rate


def measure_group(sides, group, count):
    """`count` pairs of a group: [(ours {(direction, column): bytes per tick}, theirs bytes per tick)], the side
    that goes first alternating. A pair whose reference run failed, or could not be held, is left out."""
    found = []
    try:
        for index, their_run in enumerate(sides.held_theirs(group, count)):
            if index % 2 == 0:
                ours = sides.ours(group)
                theirs = their_run()
            else:
                theirs = their_run()
                ours = sides.ours(group)
            if theirs is not None:
                found.append((ours, theirs))
    finally:
        sides.discard_pending()
    return found


@dataclass
class Extension:
    """More pairs for a comparison its first pairs cannot judge: more_for(block) of them, once, while the run's
    seconds for them last. The interval of the extended comparison is taken over all its pairs."""
    more_for: Callable[[int], int]
    seconds_left: float
    extended: List[Group] = field(default_factory=list)


def measure_groups(sides, groups, pairs_for, progress=None, undecided=None, extension=None) -> Dict[Group, list]:
    """Every group's pairs (pairs_for(block) of them), group after group; a group asked for twice (two sections
    share it) is measured once. A group that undecided(group, pairs) says cannot be judged yet gets the extension's
    pairs on top."""
    measured = {}
    for group in dict.fromkeys(groups):
        count = pairs_for(group.block)
        if progress:
            progress(f"  pairs: {group.kernel} at {group.block} B x{group.threads}, {count} pairs")
        measured[group] = measure_group(sides, group, count)
        if extension and undecided and extension.seconds_left > 0 and undecided(group, measured[group]):
            more = extension.more_for(group.block)
            if progress:
                progress(f"  pairs: {group.kernel} at {group.block} B x{group.threads} cannot be judged yet: "
                         f"{more} more")
            started = time.monotonic()
            measured[group] += measure_group(sides, group, more)
            extension.seconds_left -= time.monotonic() - started
            extension.extended.append(group)
    return measured


def pairs_of(measured, group, column_key):
    """The pairs.Pair list of one of our columns in a group."""
    return [Pair(ours[column_key], theirs) for ours, theirs in measured.get(group, []) if column_key in ours]
