"""The load-latency table against what the processor's guides give and against
the bench's own chase: the load-to-use latency from the first-level cache at
4 KiB, the second-level cache at 256 KiB, and main memory at 512 MiB and 1 GiB
with and without 2 MiB pages, where the program's RANDOM and IN-PAGE chases
face a plain C++ chase over the same kind of cycle, written apart from the
program's, turn about in one process (helpers/interleaved_chase.cpp)."""

import subprocess
from dataclasses import dataclass
from statistics import median
from typing import Dict, List, Optional, Tuple

from kestrune_report.loader import parse_report
from kestrune_report.units import format_size as block_label

from . import host_state, issue_limits
from .pairs import Pair, Within, judge, judge_target, show_judgements
from .plan import CACHE_RUNS, CHASE_TURNS, LINE_BYTES

L1_BLOCK = 4 << 10
L2_BLOCK = 256 << 10
# Main memory: the rows from 512 MiB up to the plan's largest block (1 GiB with --full).
MEMORY_BLOCKS = (512 << 20, 1 << 30)
L1_TOLERANCE_CYCLES = 0.1
L2_TOLERANCE = 0.10
MEMORY_TOLERANCE = 0.05


def latency_options(max_block, huge):
    return ["--latency", "--per-cycle", "--max-size", block_label(max_block)] + (["--huge-pages"] if huge else [])
KINDS = {"RANDOM": "random", "IN-PAGE": "in-page"}


@dataclass
class LatencyRun:
    """One --latency --per-cycle run: (block, column) -> (ns per load, cycles per load)."""
    cells: Dict[Tuple[int, str], Tuple[float, float]]
    huge_share: Optional[float]  # share of the buffers on 2 MiB pages; None without --huge-pages


def read_latency_run(text):
    report = parse_report(text, "kestrune")
    cells = {}
    if report.latency is not None:
        for row in report.latency.rows:
            for column, cell in zip(report.latency.columns, row.cells):
                cells[(row.block_bytes, column)] = (cell.ns_per_load, cell.cycles_per_load)
    return LatencyRun(cells, report.huge_page_share)


@dataclass
class ChasePair:
    """The bench's chase and the program's, run turn about, each turn a pair: ns per load of each, and the share
    of each one's block on huge pages."""
    plain_ns: List[float]
    program_ns: List[float]
    plain_huge_share: float
    program_huge_share: float

    def pairs(self):
        """Ours over the plain chase, per turn: a pair of times, so above 1 is slower."""
        return [Pair(program, plain) for plain, program in zip(self.plain_ns, self.program_ns)]


def read_chase_pairs(output):
    lines = output.split("\n")
    plain_share, program_share = (float(field) for field in lines[0].split())
    turns = [[float(field) for field in line.split()] for line in lines[1:] if line.strip()]
    return ChasePair([plain for plain, _ in turns], [program for _, program in turns], plain_share, program_share)


def interleaved_chase(helper, cpu, kind, block, huge, loads):
    out = subprocess.run([str(helper), str(cpu), kind, str(block), str(loads), str(CHASE_TURNS),
                          "1" if huge else "0"], check=True, capture_output=True, text=True).stdout
    return read_chase_pairs(out)


def collect(m, runner, helpers, progress, plan):
    # Main memory is shared with the host's other guests, whose traffic comes and
    # goes: a random chase's time drifts by a fifth within a minute. The table's
    # own cells are shown; the judging pairs the program's chase with the
    # bench's, turn about in one process.
    for huge in (False, True):
        options = latency_options(plan.latency_max_block, huge)
        progress(f"latency: kestrune {' '.join(options)}, then its chase and the bench's in turn")
        plain = runner.plain(options, f"latency{'-huge' if huge else ''}", retries=0, reader=read_latency_run)
        m.latency_runs[huge] = plain.run
        if not huge:
            for index in range(CACHE_RUNS):
                m.latency_cache_runs.append(runner.plain(latency_options(L2_BLOCK, False), f"latency-cache-{index + 1}",
                                                         retries=0, reader=read_latency_run).run)
        for block in MEMORY_BLOCKS:
            if block > plan.latency_max_block:
                continue
            for column, kind in KINDS.items():
                loads = block // LINE_BYTES if column == "IN-PAGE" else plan.chase_loads
                m.chase_pairs[(huge, block, column)] = interleaved_chase(helpers["interleaved_chase"], m.cpu, kind,
                                                                         block, huge, loads)


def _cache_rows(b, m, limits):
    rows, l1, l2 = [], [], []
    runs = [("2 MiB pages" if huge else "4 KiB pages", run) for huge, run in m.latency_runs.items()]
    runs += [(f"4 KiB pages, to 256 KiB, #{index}", run)
             for index, run in enumerate(m.latency_cache_runs, 1)]
    for label, run in runs:
        random_l1 = run.cells.get((L1_BLOCK, "RANDOM"))
        if random_l1:
            l1.append((random_l1[1], label))
        # IN-PAGE, beside it, gets what the memory system makes of locality
        # inside a page, so the guide's figure holds for RANDOM alone.
        random_l2 = run.cells.get((L2_BLOCK, "RANDOM"))
        if random_l2:
            l2.append((random_l2[1], label))
        rows.append([label] + [f"{run.cells[(block, column)][1]:.2f}c" if (block, column) in run.cells else "-"
                               for block in (L1_BLOCK, L2_BLOCK) for column in ("RANDOM", "IN-PAGE")])
        for (block, column), (ns, cycles) in run.cells.items():
            b.record("latency", label, block_label(block), column, "cycles_per_load", cycles, "cycles")
            b.record("latency", label, block_label(block), column, "ns_per_load", ns, "ns")
    b.say("core cycles per load, the program's per-cycle cells (fastest of three runs each); each target is judged "
          "on the fastest of the runs, the one the host disturbed least")
    b.table(["run", "4KB RANDOM", "4KB IN-PAGE", "256KB RANDOM", "256KB IN-PAGE"], rows)
    if limits is None or limits.load_to_use is None:
        b.judge("RANDOM at 4 KiB is the load-to-use latency", None, "no guide figure for this processor")
        return
    guide = limits.load_to_use.per_cycle
    b.judge(f"RANDOM at 4 KiB within {L1_TOLERANCE_CYCLES} cycle of {guide:g} ({limits.load_to_use.source}) in "
            f"the fastest of {len(l1)} runs", _fastest_within(l1, lambda c: abs(c - guide) <= L1_TOLERANCE_CYCLES),
            _each_run(l1))
    guide = limits.l2_load_to_use.per_cycle
    b.judge(f"RANDOM at 256 KiB within {L2_TOLERANCE:.0%} of {guide:g} cycles (IN-PAGE beside it) in the fastest of "
            f"{len(l2)} runs", _fastest_within(l2, lambda c: abs(c / guide - 1) <= L2_TOLERANCE), _each_run(l2))


def _fastest_within(found, within):
    """Whether the fastest run lies within the bound (None: no run). A neighbour on the core's other thread, or
    the host's preemption, only ever adds to a chase's time."""
    if not found:
        return None
    return within(min(cycles for cycles, _ in found))


def _each_run(found):
    return ", ".join(f"{cycles:.2f} cycles ({label})" for cycles, label in found)


def _memory_rows(b, m):
    rows, found = [], []
    for (huge, block, column), pair in sorted(m.chase_pairs.items()):
        run = m.latency_runs.get(huge)
        printed = run.cells.get((block, column)) if run else None
        pages = "2 MiB" if huge else "4 KiB"
        judgement = judge(f"{column} {block_label(block)} {pages} pages: ours / plain chase", pair.pairs(),
                          Within(MEMORY_TOLERANCE), subject=("latency", column))
        found.append(judgement)
        shares = f"{pair.program_huge_share:.0%}" if huge else "-"
        rows.append([block_label(block), column, "yes" if huge else "no",
                     f"{run.huge_share:.0%}" if huge and run and run.huge_share is not None else "-", shares,
                     f"{printed[0]:.1f}" if printed else "-", f"{median(pair.program_ns):.1f}",
                     f"{median(pair.plain_ns):.1f}"])
    b.say("main memory, ns per load: the table's cell, then the medians of the program's chase and the bench's plain "
          "chase over the same kind of cycle, turn about in one process, both chains in the same block (the program's "
          "at the start of each line, the plain one's in its second half); huge-page shares: the table's buffer, "
          "then that block")
    b.table(["block", "column", "--huge-pages", "table on 2MB", "chases' block on 2MB", "table ns", "ours ns",
             "plain ns"], rows)
    if found:
        show_judgements(b, "latency", found, f"one turn of the program's chase and one of the bench's, in one process, "
                                             f"the one that goes first alternating, {CHASE_TURNS} turns")
        judge_target(b, f"RANDOM and IN-PAGE in main memory within {MEMORY_TOLERANCE:.0%} of the bench's plain chase",
                     found)
    return found


def latency(b, m):
    b.heading("12. Load latency: the --latency table against the guides and the bench's own chase")
    host_state.report(b, "latency", m.host_states.get("latency"))
    family, model = issue_limits.read_family_model()
    _cache_rows(b, m, issue_limits.limits_for(family, model))
    return _memory_rows(b, m)
