"""The sections that hold cells against the independent reference (one thread,
two threads, main memory) and the runs with --repeat against single runs."""

from statistics import median

from kestrune_report.units import format_size as block_label

from . import reference
from .judging import Comparison, SpreadComparison, spread
from .runs import TableKey
from .runs import cell_samples

DRAM_BLOCKS = [256 << 20, 512 << 20]


def _pairing_table(pairing):
    return TableKey(pairing.ours[0], 16)


def _judge_comparisons(b, target, failures, count):
    b.judge(target, not failures,
            f"all {count} at or above 0.97 in the best run" if not failures else "below: " + ", ".join(failures))


def _comparison_row(b, section, pairing, size, comparison, label=None):
    """One row of a comparison table, with its CSV rows; the name of a failure, or None."""
    table = _pairing_table(pairing)
    label = label or block_label(size)
    b.record(section, f"{table.label()}", label, pairing.ours[1], f"best_ours_over_{pairing.kernel}",
             comparison.best_ratio, "ratio")
    b.record(section, f"{table.label()}", label, pairing.ours[1], f"median_ours_over_{pairing.kernel}",
             comparison.median_ratio, "ratio")
    b.record(section, "reference", label, pairing.kernel, "best", max(comparison.reference), "GiB/s")
    row = [pairing.width, f"{pairing.ours[0]} {pairing.ours[1]}", f"{pairing.kernel} ({pairing.instruction})", label,
           f"{max(comparison.ours):.2f}", f"{median(comparison.ours):.2f} x{spread(comparison.ours):.2f}",
           f"{max(comparison.reference):.2f}",
           f"{median(comparison.reference):.2f} x{spread(comparison.reference):.2f}",
           f"{comparison.best_ratio:.2f}", f"{comparison.median_ratio:.2f}",
           "ok" if comparison.holds else "BELOW 0.97"]
    return row, None if comparison.holds else f"{pairing.width} {label} {comparison.best_ratio:.2f}"


COMPARISON_HEADER = ["width", "ours", "reference", "size", "ours best", "median x spread", "ref best",
                     "median x spread", "best/best", "med/med", "verdict"]


def _compare(b, section, pairings, sizes, ours_runs, reference_rates):
    body, failures = [], []
    for pairing in pairings:
        for size in sizes:
            comparison = Comparison(cell_samples(ours_runs, _pairing_table(pairing), size, pairing.ours[1]),
                                    reference_rates[(pairing.kernel, size)])
            row, failure = _comparison_row(b, section, pairing, size, comparison)
            body.append(row)
            if failure:
                failures.append(failure)
    b.table(COMPARISON_HEADER, body)
    return failures, len(body)


def _missing_pairings(b, m):
    missing = [p.kernel for p in reference.PAIRINGS if p not in m.pairings]
    if missing:
        b.say(f"not measured (this processor or its OS lacks the column): {', '.join(missing)}")


def independent_reference(b, m):
    b.heading("4. Independent reference, one thread: ours / reference in GiB/s, per size and width")
    b.say(m.reference_source.describe())
    runs = [r.run for r in m.rounds]
    passes = len(next(iter(m.reference.values())))
    b.say(f"ours: the 16-byte-aligned tables of the {len(runs)} runs with --isa all; reference: {passes} passes "
          f"interleaved with them; both move 64 MiB per measurement. Judged best run against best run")
    _missing_pairings(b, m)
    failures, count = _compare(b, "reference", m.pairings, reference.SIZES, runs, m.reference)
    _judge_comparisons(b, "ours/reference >= 0.97 in every size and width (one thread)", failures, count)


def _options_columns(b, runs, blocks, baseline_runs=None):
    """Every column of runs with options at the given blocks: the best run and, against a baseline,
    how many times the baseline's best."""
    first = runs[0].run
    for table, columns in first.columns.items():
        body = []
        for block in blocks:
            row = [block_label(block)]
            for column in columns:
                best = max(cell_samples([r.run for r in runs], table, block, column))
                cell = f"{best:.1f}"
                if baseline_runs:
                    cell += f" x{best / max(cell_samples(baseline_runs, table, block, column)):.2f}"
                row.append(cell)
            body.append(row)
        b.say(table.label())
        b.table(["SIZE"] + columns, body)


def two_threads(b, m):
    b.heading("5. Two threads: --threads 2 against likwid-bench -w S0:SIZE:2, aggregate GiB/s")
    b.say(f"ours: {len(m.thread_runs)} runs of kestrune --isa all --threads 2; reference: likwid-bench with both")
    b.say("threads in the S0 domain and a working set of twice the block, so each thread has a block of its own")
    b.say("as each of ours does; both move 64 MiB per thread. Judged best run against best run")
    b.say("forced switches per run: " + ", ".join(str(r.involuntary_switches) for r in m.thread_runs)
          + " (both processors are in use, so any other process on the machine shares one)")
    _missing_pairings(b, m)
    failures, count = _compare(b, "threads", m.pairings, reference.THREAD_SIZES, [r.run for r in m.thread_runs],
                               m.thread_reference)
    _judge_comparisons(b, "two threads: ours/reference >= 0.97 in every size and width", failures, count)
    b.say()
    b.say("every column of --threads 2 at the compared sizes: best run GiB/s x (over one thread's best)")
    _options_columns(b, m.thread_runs, reference.THREAD_SIZES, [r.run for r in m.rounds])


def main_memory(b, m):
    b.heading("6. Main memory: the 256 MiB and 512 MiB rows of --max-size 512MB against likwid-bench at 256 MiB")
    b.say(f"ours: {len(m.dram_runs)} runs of kestrune --isa all --max-size 512MB (a row past 64 MiB moves its whole")
    b.say(f"block once); reference: likwid-bench at 256 MiB, one sweep, {len(m.dram_runs)} passes "
          "alternating with ours.")
    b.say("Judged best run against best run")
    _missing_pairings(b, m)
    runs = [r.run for r in m.dram_runs]
    body, failures = [], []
    for pairing in m.pairings:
        ref = m.dram_reference[(pairing.kernel, reference.DRAM_SIZE)]
        for block in DRAM_BLOCKS:
            comparison = Comparison(cell_samples(runs, _pairing_table(pairing), block, pairing.ours[1]), ref)
            row, failure = _comparison_row(b, "main_memory", pairing, block, comparison,
                                           f"{block_label(block)} vs 256MB")
            body.append(row)
            if failure:
                failures.append(failure)
    b.table(COMPARISON_HEADER, body)
    _judge_comparisons(b, "main memory: 256 MiB and 512 MiB rows / reference at 256 MiB >= 0.97", failures,
                       len(body))
    b.say()
    b.say("every column of --max-size 512MB from 32 MiB up: best run GiB/s")
    first = runs[0]
    big = [block for block in first.blocks[TableKey("read", 16)] if block >= 32 << 20]
    _options_columns(b, m.dram_runs, big)


def repeat_spread(b, m):
    repeats = [r.run for r in m.repeat_runs]
    singles = [r.run for r in m.rounds]
    b.heading(f"7. --repeat {repeats[0].repeat}: the spread of {len(repeats)} invocations with --repeat against "
              f"{len(singles)} single runs")
    b.say("both with --isa all --per-cycle; every cell from 128 B to 64 KiB; spread = max/min of a cell over the")
    b.say("invocations; narrower: the share of cells whose spread --repeat made smaller; level: per cell the median")
    b.say("over the invocations with --repeat over that of the single runs, median of the cells (1.00: the same rate)")
    body, all_single, all_repeated, all_levels = [], [], [], []
    for table, columns in repeats[0].columns.items():
        single, repeated, levels = [], [], []
        for block in repeats[0].blocks[table]:
            for column in columns:
                single_samples = cell_samples(singles, table, block, column)
                repeated_samples = cell_samples(repeats, table, block, column)
                single.append(spread(single_samples))
                repeated.append(spread(repeated_samples))
                levels.append(median(repeated_samples) / median(single_samples))
        comparison = SpreadComparison(single, repeated)
        all_single += single
        all_repeated += repeated
        all_levels += levels
        body.append([table.label(), str(len(single)), f"x{comparison.single_median:.3f}",
                     f"x{comparison.repeated_median:.3f}", f"x{max(single):.2f}", f"x{max(repeated):.2f}",
                     f"{comparison.narrower_share:.0%}", f"{median(levels):.2f} ({min(levels):.2f}-{max(levels):.2f})"])
        b.record("repeat", table.label(), "128B-64KB", "", "median_spread_single", comparison.single_median, "max/min")
        b.record("repeat", table.label(), "128B-64KB", "", "median_spread_repeat", comparison.repeated_median,
                 "max/min")
        b.record("repeat", table.label(), "128B-64KB", "", "median_level_repeat_over_single", median(levels),
                 "ratio")
    overall = SpreadComparison(all_single, all_repeated)
    body.append(["all", str(len(all_single)), f"x{overall.single_median:.3f}", f"x{overall.repeated_median:.3f}",
                 f"x{max(all_single):.2f}", f"x{max(all_repeated):.2f}", f"{overall.narrower_share:.0%}",
                 f"{median(all_levels):.2f} ({min(all_levels):.2f}-{max(all_levels):.2f})"])
    b.table(["table", "cells", "median spread single", "with --repeat", "widest single", "widest --repeat",
             "narrower", "level (lowest-highest)"], body)
    b.judge(f"--repeat {repeats[0].repeat} narrows the spread across invocations", overall.narrows,
            f"median cell spread x{overall.repeated_median:.3f} with --repeat against x{overall.single_median:.3f} "
            f"single; narrower in {overall.narrower_share:.0%} of {len(all_single)} cells; level with --repeat "
            f"{median(all_levels):.2f} of single")
