"""The parallel-chains table: how many misses one core keeps in flight. In main memory the time
per load over all chains falls with the chain count until the core's limit of outstanding misses,
and the section gives the count where it stops; in the first-level cache (4 KiB) k chains finish
k loads per load-to-use latency, until the core's loads per cycle cap them."""

from dataclasses import dataclass
from typing import Dict, List, Tuple

from kestrune_report.loader import parse_report
from kestrune_report.units import format_size as block_label

from . import issue_limits

CHAINS_MAX_BLOCK = 1 << 30
CHAINS_OPTIONS = ["--parallel-chains", "--per-cycle", "--max-size", block_label(CHAINS_MAX_BLOCK)]
# Main memory is shared with the host's other guests: each cell is judged on its best run.
CHAINS_RUNS = 2
L1_BLOCK = 4 << 10
MEMORY_BLOCKS = (256 << 20, 1 << 30)
L1_TOLERANCE = 0.10
# A column still counts as a fall when it is this much faster than the one before; a smaller
# gain is the host's noise, and from there on the time has stopped falling.
FALL = 0.05


@dataclass
class ChainsRun:
    """One --parallel-chains --per-cycle run: (block, chains) -> (ns per load, cycles per load)."""
    columns: Tuple[int, ...]
    cells: Dict[Tuple[int, int], Tuple[float, float]]


def read_chains_run(text):
    report = parse_report(text, "kestrune")
    table = report.parallel_chains
    if table is None:
        raise RuntimeError("kestrune printed no parallel-chains table")
    return ChainsRun(table.columns, {(row.block_bytes, chains): (cell.ns_per_load, cell.cycles_per_load)
                                     for row, chains, cell in table.cells()})


def collect(runner, progress):
    """The section's runs, one after the other (each reads the JSON of its own run)."""
    runs = []
    for index in range(CHAINS_RUNS):
        progress(f"parallel chains {index + 1}/{CHAINS_RUNS}: kestrune {' '.join(CHAINS_OPTIONS)}")
        runs.append(runner.plain(CHAINS_OPTIONS, f"chains-{index + 1}", retries=0, reader=read_chains_run).run)
    return runs


def best(runs, block, chains, index):
    """The fastest run's figure (index 0: ns, 1: cycles per load): anything else only adds time."""
    found = [run.cells[(block, chains)][index] for run in runs if (block, chains) in run.cells]
    return min(found) if found else None


def where_it_stops(columns, times):
    """The chain count from which no later column is more than FALL faster: the core's limit of
    misses in flight as the table can see it, or its last column when the time still falls there."""
    for index, chains in enumerate(columns):
        if all(later >= times[index] * (1 - FALL) for later in times[index + 1:]):
            return chains
    return columns[-1]


def _memory(b, runs, columns):
    verdicts = []
    for block in MEMORY_BLOCKS:
        times = [best(runs, block, chains, 0) for chains in columns]
        if None in times:
            b.say(f"{block_label(block)}: not measured")
            continue
        stop = where_it_stops(columns, times)
        stopped_at = columns.index(stop)
        b.table(["chains"] + [str(chains) for chains in columns],
                [["ns per load"] + [f"{t:.1f}" for t in times],
                 ["in flight (1 chain's time over k's)"] + [f"{times[0] / t:.2f}" for t in times],
                 ["GiB/s of lines"] + [f"{64 / t * 1e9 / 2 ** 30:.2f}" for t in times]])
        for chains, t in zip(columns, times):
            b.record("parallel chains", "main memory", block_label(block), str(chains), "ns_per_load", t, "ns")
        b.record("parallel chains", "main memory", block_label(block), quantity="chains_where_it_stops",
                 value=stop, unit="chains")
        still = stop == columns[-1] and stopped_at > 0 and times[-1] < times[-2] * (1 - FALL)
        b.say(f"{block_label(block)}: the time per load stops falling at {stop} chains "
              f"({times[0] / times[stopped_at]:.1f} misses in flight)"
              + (f"; it still falls at {columns[-1]}, the most chains this target's registers hold: the core's "
                 f"limit lies beyond them" if still else ""))
        if any(times[0] / t > chains * (1 + FALL) for chains, t in zip(columns, times)):
            b.say(f"{block_label(block)}: k chains overlapped more than k misses, which no core does: the one-chain "
                  f"runs were held back (the host's other tenants); judge the columns against each other")
        falls = all(after < before * (1 - FALL) for before, after in zip(times[:stopped_at], times[1:stopped_at + 1]))
        verdicts.append((falls, f"{block_label(block)}: stops at {stop} chains, {times[0] / times[stopped_at]:.1f} "
                                f"times the one-chain rate"))
    if verdicts:
        b.judge("main memory: ns per load falls with every added chain until it stops (the count is the core's "
                "misses in flight)", all(falls for falls, _ in verdicts), "; ".join(detail for _, detail in verdicts))


def _first_level(b, runs, columns):
    family, model = issue_limits.read_family_model()
    limits = issue_limits.limits_for(family, model)
    cycles = [best(runs, L1_BLOCK, chains, 1) for chains in columns]
    if limits is None or limits.load_to_use is None:
        b.table(["chains"] + [str(chains) for chains in columns],
                [["cycles per load"] + ["-" if c is None else f"{c:.3f}" for c in cycles]])
        b.judge(f"4 KiB: k chains finish k loads per load-to-use latency up to the loads per cycle", None,
                "no guide figure for this processor")
        return
    latency, per_cycle = limits.load_to_use.per_cycle, limits.per_cycle("scalar_load")
    expected = [max(latency / chains, 1 / per_cycle) for chains in columns]
    b.table(["chains"] + [str(chains) for chains in columns],
            [["cycles per load"] + ["-" if c is None else f"{c:.3f}" for c in cycles],
             ["expected"] + [f"{e:.3f}" for e in expected],
             ["ratio"] + ["-" if c is None else f"{c / e:.3f}" for c, e in zip(cycles, expected)]])
    b.say(f"expected: the larger of {latency:g} cycles over k ({limits.load_to_use.source}) and one over "
          f"{per_cycle:g} loads a cycle ({limits.figures['scalar_load'].source})")
    for chains, c in zip(columns, cycles):
        if c is not None:
            b.record("parallel chains", "first-level cache", block_label(L1_BLOCK), str(chains), "cycles_per_load",
                     c, "cycles")
    misses = [(abs(c / e - 1), chains) for c, e, chains in zip(cycles, expected, columns) if c is not None]
    worst = max(misses) if misses else (None, None)
    b.judge(f"4 KiB: k chains finish k loads per {latency:g}-cycle latency up to {per_cycle:g} loads a cycle, within "
            f"{L1_TOLERANCE:.0%}", bool(misses) and all(miss <= L1_TOLERANCE for miss, _ in misses),
            "no cell" if not misses else f"farthest {worst[0]:.1%} off at {worst[1]} chains")


def parallel_chains(b, runs):
    b.heading("Parallel chains: misses in flight in main memory, loads per cycle at 4 KiB "
              f"(kestrune {' '.join(CHAINS_OPTIONS)}, best of {len(runs)} runs per cell)")
    if not runs:
        b.say("not measured")
        return
    columns = runs[0].columns
    b.say("main memory: one chain's time per load over k chains' is the number of misses the core overlapped")
    _memory(b, runs, columns)
    b.say()
    b.say(f"first-level cache ({block_label(L1_BLOCK)}): core cycles per load over all chains")
    _first_level(b, runs, columns)
