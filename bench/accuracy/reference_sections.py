"""The program's own runs beside the paired sections that judge its kernels
against the reference with two threads and in main memory (paired_sections),
and the runs with --repeat against single runs."""

from statistics import median

from kestrune_report.units import format_size as block_label

from . import paired_sections
from .judging import RepeatedCell, invocation_levels, repeat_narrowing_ratios, spread
from .pairs import Target, judge_ratios, judge_target, show_judgements
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


# --repeat N narrows the spread when what it prints varies less from invocation to
# invocation than one run would: at least 1% less, so that a --repeat that
# printed its first run (the same spread) cannot pass.
REPEAT_NARROWING = Target(high=0.99)


def repeat_spread(b, m):
    repeats = [r.run for r in m.repeat_runs]
    singles = [r.run for r in m.rounds]
    count = repeats[0].repeat
    b.heading(f"7. --repeat {count}: the spread of {len(repeats)} invocations with --repeat against one run's")
    b.say("both with --isa all --per-cycle; every cell from 128 B to 64 KiB; spread = max/min of a cell over the "
          "invocations. Judged: in the same invocations, the spread of what they printed (the median of each cell's "
          f"{count} runs) against that of each cell's first run, which is what a run without --repeat prints: the two "
          "sides share every moment of the host, so that what still differs is what the median takes away. Each "
          "invocation's overall level is taken out first, each side by its own (levels: the printed side's, 1.000 as "
          "the others): a host that slowed a whole invocation slowed its every run alike. Shown "
          f"beside: the spread of {len(singles)} single runs of the rounds, minutes away, and per cell the level of "
          "the printed median over the single runs' (1.00: the same rate)")
    body, all_ratios, all_levels = [], [], []
    for table, columns in repeats[0].columns.items():
        cells = [(table, block, column) for block in repeats[0].blocks[table] for column in columns]
        invocations = [{cell: RepeatedCell(found[cell].printed, found[cell].runs[0]) for cell in cells}
                       for found in m.repeat_cells]
        printed = [spread([i[cell].printed for i in invocations]) for cell in cells]
        first = [spread([i[cell].first for i in invocations]) for cell in cells]
        single = [spread(cell_samples(singles, *cell)) for cell in cells]
        levels = [median(cell_samples(repeats, *cell)) / median(cell_samples(singles, *cell)) for cell in cells]
        ratios = repeat_narrowing_ratios(invocations)
        levels_taken_out = " ".join(f"{level:.3f}" for level in invocation_levels(invocations, "printed"))
        all_ratios += ratios
        all_levels += levels
        body.append([table.label(), str(len(cells)), f"x{median(first):.3f}", f"x{median(printed):.3f}",
                     f"{median(ratios):.2f}", levels_taken_out, f"x{median(single):.3f}",
                     f"{median(levels):.2f} ({min(levels):.2f}-{max(levels):.2f})"])
        b.record("repeat", table.label(), "128B-64KB", "", "median_spread_first_run", median(first), "max/min")
        b.record("repeat", table.label(), "128B-64KB", "", "median_spread_repeat", median(printed), "max/min")
        b.record("repeat", table.label(), "128B-64KB", "", "median_spread_single", median(single), "max/min")
        b.record("repeat", table.label(), "128B-64KB", "", "median_level_repeat_over_single", median(levels),
                 "ratio")
    b.table(["table", "cells", "spread of first runs", "printed with --repeat", "printed / first", "invocation levels",
             "single runs (beside)", "level (lowest-highest)"], body)
    judgement = judge_ratios(f"--repeat {count}: spread printed / spread of first runs, per cell", all_ratios,
                             REPEAT_NARROWING, subject=("repeat", count))
    show_judgements(b, "repeat", [judgement],
                    "each cell is a pair: the logarithm of its spread as printed over that of its first runs, in the "
                    f"same {len(repeats)} invocations (cells whose first runs all agreed left out)")
    judge_target(b, f"--repeat {count} narrows the spread across invocations", [judgement])
