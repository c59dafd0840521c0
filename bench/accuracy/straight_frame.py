"""The straight loop of the columns beyond the classic report, held to what it
promises: the 512-bit loads at the core's limit in every process (the classic
loop's second taken branch per line made their speed a matter of the branch
predictor's state, which held for a process's whole life), at least as fast as
likwid-bench's loads, the 512- and 256-bit stores beside likwid-bench's where
the block spills into the second-level cache, and two threads of 512-bit loads
twice as fast as one."""

import subprocess
from dataclasses import dataclass
from statistics import median
from typing import Optional

from kestrune_report.units import format_size as block_label

from . import helper_programs, host_state, issue_limits, paired_sections
from .paired_reference import read_kernel_turns
from .pairs import AtLeast, Pair, judge, judge_target, show_judgements
from .runs import GIB, TableKey, read_cell_runs

READ_BLOCKS = (4 << 10, 8 << 10, 16 << 10, 32 << 10)
WRITE_BLOCKS = (64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20)
# Each cell the median of three runs, so that a moment's preemption of one run
# does not stand for the process: a slow mode of the loop would hold in all three.
FRAME_REPEAT = 3
FRAME_OPTIONS = ["--isa", "all", "--per-cycle", "--repeat", str(FRAME_REPEAT), "--max-size",
                 block_label(max(READ_BLOCKS))]
WIDE_READS = ("VMOVDQU64(512)", "VMOVDQA64(512)")
# likwid-bench's kernel of the same width and direction, per column.
REFERENCE_KERNELS = {
    ("read", "VMOVDQU64(512)"): "load_avx512", ("read", "VMOVDQA64(512)"): "load_avx512",
    ("write", "VMOVDQU64(512)"): "store_avx512", ("write", "VMOVDQA64(512)"): "store_avx512",
    ("write", "VMOVDQU(256)"): "store_avx", ("write", "VMOVDQA(256)"): "store_avx",
}
LIMIT_SHARE_TARGET = 0.90
READ_REFERENCE_TARGET = 1.0
WRITE_REFERENCE_TARGET = 0.95
THREAD_SCALING_TARGET = 1.9
THREAD_BLOCK = 4 << 10
# What the core sustained for 512-bit loads just before and just after each invocation.
PROBE_KIND = "zmm_load"


def _blocks(direction):
    return READ_BLOCKS if direction == "read" else WRITE_BLOCKS


def collect(m, runner, helpers, progress, plan):
    for index in range(plan.frame_invocations):
        progress(f"straight frame {index + 1}/{plan.frame_invocations}: kestrune {' '.join(FRAME_OPTIONS)}")
        name = f"frame-{index + 1}"
        before = helper_programs.read_named_numbers(helpers["issue_rate_probe"], m.cpu)
        m.frame_runs.append(runner.plain(FRAME_OPTIONS, name, retries=0))
        after = helper_programs.read_named_numbers(helpers["issue_rate_probe"], m.cpu)
        m.frame_probes.append((before.get(PROBE_KIND), after.get(PROBE_KIND)))
        m.frame_fastest.append(fastest_wide_read_runs(runner.runs_dir / f"{name}.json"))


def thread_scaling_pairs(kernel_turns, cpu, columns, count, run_bytes):
    """column -> [Pair(two threads' bytes per tick, one thread's)] at THREAD_BLOCK. Each pair is one run on both
    processors and one on each of them alone, the two-thread run first in every other pair; one thread's figure
    is that of the slower processor, since the two-thread run waits for its slower thread. A neighbour on the
    host that takes part of one of our processors for a while takes it from both sides of the pair alike."""
    found = {column: [] for column in columns}

    def measure(threads, first=cpu):
        command = [str(kernel_turns), str(first), str(threads), "1", str(THREAD_BLOCK), str(run_bytes)] + \
            [f"read:{column}" for column in columns]
        turns = read_kernel_turns(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        return {column: threads * turns[("read", column)][0] / turns[("read", column)][1][0] for column in columns}

    def alone():
        on_each = [measure(1, cpu), measure(1, cpu + 1)]
        return {column: min(rates[column] for rates in on_each) for column in columns}

    for index in range(count):
        if index % 2 == 0:
            two = measure(2)
            one = alone()
        else:
            one = alone()
            two = measure(2)
        for column in columns:
            found[column].append(Pair(two[column], one[column]))
    return found


def lowest_wide_read(run):
    """The slowest 512-bit read cell of the judged rows, in bytes per core cycle, and where it is."""
    table = TableKey("read", 16)
    cells = [(run.per_cycle[(table, block, column)], column, block)
             for column in WIDE_READS for block in READ_BLOCKS if (table, block, column) in run.per_cycle]
    return min(cells) if cells else None


def fastest_wide_read_runs(json_path):
    """(table, block, column) -> bytes per core cycle of the fastest of a judged 512-bit read cell's runs, from
    the program's JSON file, whose cells keep every run's rate."""
    judged = TableKey("read", 16)
    return {(table, block, column): max(cell.runs) / (cell.core_mhz * 1e6)
            for (table, block, column), cell in read_cell_runs(json_path).items()
            if table == judged and column in WIDE_READS and block in READ_BLOCKS}


def row_host_share(run, kernels, block, limits):
    """What the host left the core in the row of a cell: the median share of the issue limit that the row's
    16-byte loads reached. Their loop needs four cycles a line, so a neighbour, not the loop, holds them back."""
    table = TableKey("read", 16)
    shares = [run.per_cycle[(table, block, column)]
              / (limits.per_cycle("xmm_load") * kernels[("read", column)].access_bytes)
              for column in run.columns.get(table, []) if kernels[("read", column)].registers == "XMM"
              and (table, block, column) in run.per_cycle]
    return median(shares) if shares else None


@dataclass(frozen=True)
class InvocationShares:
    """One invocation's 512-bit reads as shares of the issue limit: per column, the median over the judged
    blocks, of the printed cells and of each cell's fastest run; and what held the core back around it."""
    printed: dict          # column -> median share over the blocks
    fastest: dict          # column -> median share over the blocks of each cell's fastest run
    probe: Optional[float]  # the probe's 512-bit loads around the invocation, as a share of the limit
    row: Optional[float]    # the median over the blocks of the rows' 16-byte loads' share

    @property
    def slower(self):
        return min(self.printed, key=self.printed.get)

    def verdict(self):
        """A slow mode of the loop holds for every block and every run of a process; a moment of the host
        takes a block or two, and a neighbour that holds the whole core back shows in the probe or the row."""
        share = self.printed[self.slower]
        if share >= LIMIT_SHARE_TARGET:
            return "ok"
        if min(self.fastest.values()) >= LIMIT_SHARE_TARGET:
            return "ok in its fastest runs"
        # The probe reaches 94-100% of the limit on a quiet core: only a probe
        # below the target says that the core itself was held back.
        if self.probe and self.probe < LIMIT_SHARE_TARGET and share >= LIMIT_SHARE_TARGET * self.probe:
            return "ok of probe"
        if self.row and share >= LIMIT_SHARE_TARGET * self.row:
            return "ok of row"
        return "BELOW"


def invocation_shares(run, fastest, probes, kernels, limits):
    """InvocationShares of one invocation, or None where it has no 512-bit read cell."""
    table = TableKey("read", 16)
    bytes_limit = limits.per_cycle("zmm_load") * 64
    printed, quickest = {}, {}
    for column in WIDE_READS:
        cells = [(table, block, column) for block in READ_BLOCKS if (table, block, column) in run.per_cycle]
        if cells:
            printed[column] = median(run.per_cycle[cell] for cell in cells) / bytes_limit
            quickest[column] = median(fastest.get(cell, 0.0) for cell in cells) / bytes_limit
    if not printed:
        return None
    readings = [reading for reading in probes if reading]
    probe = sum(readings) / len(readings) / limits.per_cycle("zmm_load") if readings else None
    rows = [share for share in (row_host_share(run, kernels, block, limits) for block in READ_BLOCKS) if share]
    return InvocationShares(printed, quickest, probe, median(rows) if rows else None)


def _limit_section(b, m, kernels):
    family, model = issue_limits.read_family_model()
    limits = issue_limits.limits_for(family, model)
    target = f"512-bit reads at {LIMIT_SHARE_TARGET:.0%} of the issue limit"
    if not any(lowest_wide_read(plain.run) for plain in m.frame_runs):
        b.say("no 512-bit read columns: this processor or its system has no AVX-512")
        b.judge(target, None, "no AVX-512 here")
        return
    if not limits:
        b.say("UNKNOWN LIMIT: no issue limits for this processor")
        b.judge(target, None, "unknown limit")
        return
    rows, failures, excused = [], [], []
    for index, (plain, fastest, probes) in enumerate(zip(m.frame_runs, m.frame_fastest, m.frame_probes), 1):
        shares = invocation_shares(plain.run, fastest, probes, kernels, limits)
        if shares is None:
            continue
        value, column, block = lowest_wide_read(plain.run)
        slower = shares.slower
        for name, share in shares.printed.items():
            b.record("straight_frame", f"invocation {index}", "4KB-32KB", name, "median_share_of_limit", share,
                     "share")
        verdict = shares.verdict()
        summary = f"#{index} {slower} {shares.printed[slower]:.3f}"
        if verdict == "BELOW":
            failures.append(summary)
        elif verdict != "ok":
            excused.append(f"{summary} ({verdict})")
        rows.append([str(index)] + [f"{shares.printed[name]:.3f}" for name in WIDE_READS if name in shares.printed]
                    + [f"{min(shares.fastest.values()):.3f}", f"{shares.probe:.3f}" if shares.probe else "",
                       f"{shares.row:.3f}" if shares.row else "", f"{value:.1f} ({column} {block_label(block)})",
                       verdict])
    b.say(f"per invocation of kestrune {' '.join(FRAME_OPTIONS)}: each 512-bit read column's median share of the "
          f"issue limit ({limits.per_cycle('zmm_load') * 64:.0f} B/c, {limits.name}) over its cells at "
          f"{', '.join(block_label(x) for x in READ_BLOCKS)} in the 16-byte table. A slow mode of the loop holds for "
          "every block and every run of a process; a moment of the host takes a cell or two (a 16 KiB 512-bit read "
          "run of 150 us, run back to back, comes out about 12% slow in clusters of 1-2 ms every 4-6 ms)")
    b.say("fastest runs: the same median of each cell's fastest run; probe: what the core sustained for 512-bit "
          "loads just before and just after the invocation; row: the median share of the limit that the same rows' "
          f"16-byte loads reached (\"ok of probe\": the probe itself under {LIMIT_SHARE_TARGET:.0%} of the limit, "
          f"and the column within {LIMIT_SHARE_TARGET:.0%} of it; \"ok of row\": within {LIMIT_SHARE_TARGET:.0%} of "
          "the row, the core held back whatever it ran); the slowest cell is shown beside")
    b.table(["invocation"] + [f"{name} median" for name in WIDE_READS]
            + ["fastest runs", "probe", "row", "slowest cell B/c", "verdict"], rows)
    detail = "every invocation's 512-bit reads at the limit" if not failures and not excused else \
        "; ".join(failures + ([f"excused: {'; '.join(excused)}"] if excused else []))
    b.judge(f"{target} in every one of {len(rows)} invocations (no process in a slow mode)", not failures, detail)


def _thread_section(b, m):
    found = [judge(f"read {column} {block_label(THREAD_BLOCK)}: two threads / one", pairs,
                   AtLeast(THREAD_SCALING_TARGET), subject=("read", column))
             for column, pairs in m.thread_scaling.items()]
    if not found:
        return found
    b.say()
    show_judgements(b, "straight_frame", found,
                    "one run of the program's kernel on both processors (a block each, started together, the slower "
                    "thread's ticks) and one on each processor alone, the slower of those standing for one thread, "
                    "by the kernel_turns helper, the two-thread run first in every other pair; the same block and "
                    "bytes per thread")
    judge_target(b, f"two threads of 512-bit reads at {THREAD_SCALING_TARGET}x one thread or more", found)
    return found


def straight_frame(b, m, kernels):
    b.heading("11. The straight loop of the columns beyond the classic report")
    host_state.report(b, "straight_frame", m.host_states.get("straight frame"))
    _limit_section(b, m, kernels)
    return paired_sections.frame_reference(b, m) + _thread_section(b, m)
