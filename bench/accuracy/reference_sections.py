"""The program's own runs beside the paired sections that judge its kernels
against the reference with two threads and in main memory (paired_sections),
and the runs with --repeat against single runs."""

from statistics import median

from kestrune_report.units import format_size as block_label

from . import paired_sections
from .judging import SpreadComparison, spread
from .runs import TableKey, cell_samples

THREAD_BLOCKS = [4 << 10, 32 << 20]


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
    found = paired_sections.reference_section(b, m, paired_sections.TWO_THREADS)
    if m.thread_runs:
        b.say()
        b.say(f"every column of kestrune --isa all --threads 2 ({len(m.thread_runs)} runs) at 4 KiB and 32 MiB per "
              "thread: best run GiB/s x (over one thread's best); forced switches per run: "
              + ", ".join(str(r.involuntary_switches) for r in m.thread_runs))
        _options_columns(b, m.thread_runs, THREAD_BLOCKS, [r.run for r in m.rounds])
    return found


def main_memory(b, m):
    found = paired_sections.reference_section(b, m, paired_sections.MAIN_MEMORY)
    if m.dram_runs:
        b.say()
        b.say(f"every column of kestrune --isa all --max-size 512MB ({len(m.dram_runs)} runs) from 32 MiB up: best "
              "run GiB/s")
        first = m.dram_runs[0].run
        big = [block for block in first.blocks[TableKey("read", 16)] if block >= 32 << 20]
        _options_columns(b, m.dram_runs, big)
    else:
        b.say("(--full also shows the program's own rows from 32 MiB to 512 MiB)")
    return found


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
