"""What a run of the bench measures: the default run, which judges every target
in ten minutes on a machine of two processors, build included, and --full,
which adds rounds, pairs, sizes and the 1 GiB latency rows.

The time each step takes is planned from its run lengths, so that the plan can
be checked before anyone waits for it (bench/tests). The figures per step are
what the steps cost on the two-processor guest the bench was written on:
likwid-bench spends a second calibrating its clock in every invocation (the
runs of a comparison calibrate side by side, held until their pairs come), the
program's --isa all run moves 64 MiB in each of its some 900 cells after a 3 s
wait, and so on; each is named where it is used."""

from dataclasses import dataclass
from typing import Tuple

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
# Blocks from here up are past the caches: a pair's runs allocate and touch them.
IN_MEMORY = 64 * MIB


@dataclass(frozen=True)
class Plan:
    name: str
    rounds: int                  # kestrune --isa all --per-cycle, with the probe and the clock around each
    default_every: int           # a run without options after every this many rounds, the first included
    thread_runs: int             # kestrune --isa all --threads 2, shown beside the paired judging
    dram_runs: int               # kestrune --isa all --max-size 512MB, shown beside
    repeat_runs: int             # kestrune ... --repeat 5 --max-size 64KB (and as many single rounds)
    frame_invocations: int       # kestrune --isa all --per-cycle --repeat 3 --max-size 32KB
    pairs: int                   # pairs per comparison against likwid-bench in the caches
    memory_pairs: int            # in main memory, where a pair takes a second: the blocks are allocated anew
    more_pairs: int              # more for a comparison in the caches that its first pairs cannot judge
    more_memory_pairs: int       # and in main memory
    more_pairs_seconds: float    # the run's time for more pairs, in all
    one_thread_sizes: Tuple[int, ...]
    two_thread_sizes: Tuple[int, ...]
    two_thread_all_widths: bool  # else the widest load, store and streaming store
    main_memory_sizes: Tuple[int, ...]
    main_memory_all_widths: bool
    frame_read_blocks: Tuple[int, ...]
    frame_write_blocks: Tuple[int, ...]
    copy_blocks: Tuple[int, ...]
    copy_beside: bool            # likwid-bench's streaming copy on its own placement, its 8-byte copy
    latency_max_block: int
    chase_loads: int             # loads per turn of each chase in main memory
    quiet_budget_seconds: float  # waiting for a quiet host, in all

    def pairs_for(self, block):
        return self.memory_pairs if block >= IN_MEMORY else self.pairs

    def more_pairs_for(self, block):
        return self.more_memory_pairs if block >= IN_MEMORY else self.more_pairs


DEFAULT = Plan(
    name="default", rounds=3, default_every=2, thread_runs=1, dram_runs=0, repeat_runs=3, frame_invocations=5,
    pairs=17, memory_pairs=11, more_pairs=24, more_memory_pairs=10, more_pairs_seconds=35.0,
    one_thread_sizes=(4 * KIB, 256 * KIB), two_thread_sizes=(4 * KIB,), two_thread_all_widths=False,
    main_memory_sizes=(256 * MIB,), main_memory_all_widths=False,
    frame_read_blocks=(4 * KIB, 16 * KIB), frame_write_blocks=(256 * KIB, 1 * MIB),
    copy_blocks=(4 * KIB, 256 * KIB), copy_beside=False,
    latency_max_block=512 * MIB, chase_loads=1_000_000, quiet_budget_seconds=15.0)

FULL = Plan(
    name="full", rounds=5, default_every=2, thread_runs=2, dram_runs=2, repeat_runs=5, frame_invocations=10,
    pairs=25, memory_pairs=13, more_pairs=24, more_memory_pairs=12, more_pairs_seconds=240.0,
    one_thread_sizes=(4 * KIB, 256 * KIB, 8 * MIB, 32 * MIB), two_thread_sizes=(4 * KIB, 32 * MIB),
    two_thread_all_widths=True,
    main_memory_sizes=(256 * MIB, 512 * MIB), main_memory_all_widths=True,
    frame_read_blocks=(4 * KIB, 8 * KIB, 16 * KIB, 32 * KIB),
    frame_write_blocks=(64 * KIB, 128 * KIB, 256 * KIB, 512 * KIB, 1 * MIB),
    copy_blocks=(4 * KIB, 256 * KIB, 8 * MIB, 256 * MIB), copy_beside=True,
    latency_max_block=1 * GIB, chase_loads=2_000_000, quiet_budget_seconds=30.0)

# What the steps cost, in seconds, on the two-processor guest: the program's
# runs (the 3 s clock wait included; --repeat 5 runs every cell five times), a
# likwid-bench invocation held in its calibration (its start, then a run of a
# GiB: milliseconds in the caches, about 0.05 s in main memory, plus allocating
# the block) and the second of calibration each comparison's runs spend side by
# side, the helper's side of a pair,
# one main-memory load of the chases (a random one; a chase inside pages is
# five times as fast), the host's state around a section (the probe twice, a
# burst of 64 MiB and a second of stores), and the build of the program and the
# helpers with the tests left out.
COST = {
    "isa all run": 8.0, "run without options": 6.0, "threads run": 9.0, "512MB run": 20.0, "repeat run": 13.0,
    "frame run": 9.5, "probe and clock": 1.0, "likwid-bench": 0.10, "likwid-bench in main memory": 1.05,
    "held calibration": 0.8,
    "helper side": 0.05, "helper side in main memory": 0.3, "random load ns": 260.0,
    "latency run to 512MB": 30.0, "latency run to 1GB": 75.0, "latency run to 256KB": 5.5, "copy run": 5.0,
    "host state": 1.5,
    "same width": 3.0, "thread scaling": 3.0, "build": 60.0,
}
# Short runs to 256 KiB beside the two long ones: the host preempts the guest
# about every millisecond, which alone adds some 1.5% to a chase, and more while
# it is busy; the cache targets are judged on the fastest of all the runs, the
# one the host disturbed least, so that one busy minute cannot fail them.
CACHE_RUNS = 3
# Eleven short turns rather than five long ones: the interval of eleven pairs
# lies between the third lowest and the third highest ratio, so that one turn
# the host slowed no longer decides the verdict alone.
CHASE_TURNS = 11
# A random chase's loads land on lines all over its block in any stretch of
# its cycle; a chase inside pages covers whole pages, one after the other, so
# that a turn of part of its cycle covers a part of the block of its own, and
# two chases would each walk pages the other does not. Each turn of an in-page
# chase is therefore its whole cycle: both walk every page of the block once.
LINE_BYTES = 64
# The measured spans that report the host's state around them.
HOST_STATE_SECTIONS = 8
# Likwid-bench kernels per target: every pairing of the one-thread table (twelve
# where the processor has AVX-512); the two-thread and main-memory tables'
# widest load, store and streaming store in the default run; the straight
# frame's 512-bit load and the 512- and 256-bit stores; the copy's four widths.
PAIRINGS = 12
WIDEST = 3


def planned_pairs(plan):
    """(reference runs in the caches, reference runs in main memory) that the plan's pairs make."""
    two_thread = PAIRINGS if plan.two_thread_all_widths else WIDEST
    memory = PAIRINGS if plan.main_memory_all_widths else WIDEST
    # The straight frame's blocks beyond those the one-thread table pairs already.
    frame = len(set(plan.frame_read_blocks) - set(plan.one_thread_sizes)) + \
        2 * len(set(plan.frame_write_blocks) - set(plan.one_thread_sizes))
    cached_copy = [b for b in plan.copy_blocks if b < IN_MEMORY]
    copy = 4 * len(cached_copy) + (2 * len(cached_copy) if plan.copy_beside else 0)
    memory_copy = 4 * (len(plan.copy_blocks) - len(cached_copy))
    cached = PAIRINGS * len([s for s in plan.one_thread_sizes if s < IN_MEMORY]) + \
        two_thread * len(plan.two_thread_sizes) + frame + copy
    in_memory = memory * len(plan.main_memory_sizes) + memory_copy + \
        PAIRINGS * len([s for s in plan.one_thread_sizes if s >= IN_MEMORY])
    return cached * plan.pairs, in_memory * plan.memory_pairs


def planned_seconds(plan):
    """Seconds per step of the plan, from the costs above."""
    c = COST
    cached, in_memory = planned_pairs(plan)
    defaults = (plan.rounds + plan.default_every - 1) // plan.default_every
    latency_run = c["latency run to 1GB"] if plan.latency_max_block >= GIB else c["latency run to 512MB"]
    memory_blocks = [block for block in (512 * MIB, GIB) if block <= plan.latency_max_block]
    # Both page kinds, RANDOM and IN-PAGE (five times as fast), each turn both chases.
    chases = sum(2 * CHASE_TURNS * 2 * (plan.chase_loads + block // LINE_BYTES / 5) * c["random load ns"] * 1e-9
                 for block in memory_blocks)
    return {
        "build": c["build"],
        "rounds (sections 1-3, 7-9)": plan.rounds * (c["isa all run"] + 2 * c["probe and clock"])
        + defaults * c["run without options"] + plan.repeat_runs * c["repeat run"],
        "programs shown beside (5, 6)": plan.thread_runs * c["threads run"] + plan.dram_runs * c["512MB run"],
        "pairs against likwid-bench (4-6, 11, 13)": cached * (c["likwid-bench"] + c["helper side"])
        + in_memory * (c["likwid-bench in main memory"] + c["helper side in main memory"])
        + (cached // plan.pairs + in_memory // plan.memory_pairs) * c["held calibration"],
        "more pairs where the first cannot judge, at most": plan.more_pairs_seconds,
        "straight frame runs (11)": plan.frame_invocations * c["frame run"] + c["thread scaling"],
        "latency (12)": 2 * latency_run + CACHE_RUNS * c["latency run to 256KB"] + chases,
        "copy run (13)": c["copy run"],
        "same width (10)": c["same width"],
        "host state": HOST_STATE_SECTIONS * c["host state"],
        "waiting for a quiet host, at most": plan.quiet_budget_seconds,
    }
