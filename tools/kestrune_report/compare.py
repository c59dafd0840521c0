"""Many reports, one table: each report's headline figures per cache level and main memory,
each checked against the median of the reports of the same processor model.

The levels come from each report's own "machine"."caches". A block is inside a level when
it is larger than the level below holds and at most half of the level: the cache then holds
the whole block with room to spare while the level below cannot, so the cell is not a
boundary cell where two levels share the work. With --threads each thread has a buffer of
the block's size, so a cache instance shared by k logical processors holds a share of
1/min(k, threads) per thread (1/threads when the report does not say how many share it);
the latency table is measured on one processor, so its levels are the one-thread ones.
Main memory is the run's largest block, the one farthest from every cache, when it is at
least MEMORY_FACTOR times the largest cache's share: at most a quarter of it can then sit in
any cache, whatever the caches' replacement policy.
"""

import csv
import io
import json
import math
import statistics
import textwrap
from dataclasses import dataclass, field
from typing import Dict, List, Optional

from .units import format_size

GIB = 1024 ** 3
MEMORY = "memory"
MEMORY_FACTOR = 4
RATE_KINDS = ("read", "write", "copy")
LATENCY = "latency"  # the RANDOM column of the load latency table
LATENCY_COLUMN = "RANDOM"
DEFAULT_TOLERANCE = 10.0
# The spread rows under each processor model's reports, by the statistic they show.
SPREAD_ROWS = (("min", min), ("median", statistics.median), ("max", max))
REPORT_ROW = "report"
LEGEND_WIDTH = 110


@dataclass
class Figure:
    """One headline figure: the best rate (or the latency) found inside a level."""
    value: float  # bytes per second, or nanoseconds per load
    block_bytes: int
    instruction: Optional[str] = None  # the column: an instruction, or RANDOM
    alignment: Optional[int] = None
    median: Optional[float] = None  # of the reports of the same processor model
    flagged: bool = False

    @property
    def deviation(self):
        """How far from the median, as a fraction (+0.1 is 10% above)."""
        return None if not self.median else self.value / self.median - 1


@dataclass
class Compared:
    """One report's row."""
    path: str
    report: object
    figures: Dict[str, Dict[str, Figure]] = field(default_factory=dict)  # level -> kind -> figure
    notes: List[str] = field(default_factory=list)

    @property
    def machine(self):
        return self.report.machine

    @property
    def host(self):
        return self.machine.host if self.machine else None

    @property
    def processor(self):
        return self.machine.processor if self.machine else None

    @property
    def date(self):
        return self.machine.date if self.machine else None

    @property
    def threads(self):
        return self.report.threads

    @property
    def group(self):
        """Reports are held against the reports of the same processor model run with as many
        threads; one that names no processor is held against none."""
        model = self.machine.processor_model if self.machine else None
        return None if model is None else (model, self.threads)

    def flags(self):
        return [(level, kind, figure) for level, kinds in self.figures.items()
                for kind, figure in kinds.items() if figure.flagged]


def _share(cache, threads):
    """The bytes of one cache instance each thread's buffer can have."""
    sharing = threads if cache.num_sharing is None else min(cache.num_sharing, threads)
    return cache.size // max(1, sharing)


def level_blocks(caches, threads, blocks):
    """{level name: the blocks inside it}, L1 first and memory last, and notes on what is
    missing. `caches` are the usable ones, one per level, smallest level first."""
    levels, notes = {}, []
    below = 0
    for cache in caches:
        share = _share(cache, threads)
        levels[cache.name] = [block for block in blocks if below < block <= share // 2]
        below = max(below, share)
    if not blocks:
        return levels, notes
    largest = blocks[-1]
    if largest >= MEMORY_FACTOR * below:  # without caches, `below` is 0: the largest block, unchecked
        levels[MEMORY] = [largest]
    else:
        levels[MEMORY] = []
        notes.append(f"no memory figure: the largest block, {format_size(largest)}, is less than "
                     f"{MEMORY_FACTOR} times the largest cache's {format_size(below)}")
    return levels, notes


def _best_rate(report, kind, blocks):
    best = None
    for table in report.tables:
        if table.direction != kind:
            continue
        for row, column, cell in table.cells():
            if row.block_bytes in blocks and cell.finite and cell.bytes_per_second > 0 \
                    and (best is None or cell.bytes_per_second > best.value):
                best = Figure(cell.bytes_per_second, row.block_bytes, column, table.alignment)
    return best


def _latency(report, blocks):
    """The RANDOM latency at the largest block of the level the table has."""
    if report.latency is None:
        return None
    index = report.latency.columns.index(LATENCY_COLUMN)
    rows = [row for row in report.latency.rows if row.block_bytes in blocks]
    if not rows or not rows[-1].cells[index].finite:
        return None
    return Figure(rows[-1].cells[index].ns_per_load, rows[-1].block_bytes, LATENCY_COLUMN)


def headline(path, report):
    """A report's row: its figures per level, and notes on how the levels were found."""
    row = Compared(path, report)
    machine = report.machine
    if machine is None or machine.caches is None:
        caches = []
        row.notes.append("the report names no caches: only a memory figure, at its largest block, which may "
                         "still be in a cache")
    else:
        caches = [cache for cache in machine.level_caches() if not cache.doubtful]
        for cache in machine.level_caches():
            if cache.doubtful:
                row.notes.append(f"{cache.described} is left out of the levels")
        if not caches:
            row.notes.append("the report has no usable cache sizes: only a memory figure, at its largest block, "
                             "which may still be in a cache")
    if machine is None or machine.processor_model is None:
        row.notes.append("the report names no processor: held against no other report")
    for gap in report.gaps:
        row.notes.append(f"incomplete: {gap}")
    blocks = list(report.block_sizes)
    rate_levels, notes = level_blocks(caches, report.threads, blocks)
    row.notes.extend(notes)
    latency_levels, _ = level_blocks(caches, 1, blocks)
    for level, inside in rate_levels.items():
        figures = {kind: _best_rate(report, kind, inside) for kind in RATE_KINDS}
        figures[LATENCY] = _latency(report, latency_levels.get(level, []))
        row.figures[level] = {kind: figure for kind, figure in figures.items() if figure is not None}
    return row


def _worse(kind, value, median, tolerance):
    """More than `tolerance` percent worse: a rate below the median, a latency above it."""
    if kind == LATENCY:
        return value > median * (1 + tolerance / 100)
    return value < median * (1 - tolerance / 100)


def groups(rows):
    """[(group key, [rows])] in the order the groups first appear; a row without a group
    forms its own."""
    found = {}
    for number, row in enumerate(rows):
        key = row.group if row.group is not None else ("alone", number)
        found.setdefault(key, []).append(row)
    return list(found.items())


def flag(rows, tolerance):
    """Sets each figure's median over its group and whether it is flagged."""
    for key, members in groups(rows):
        if members[0].group is None:
            continue
        for level, kind in columns(members):
            figures = [row.figures[level][kind] for row in members if kind in row.figures.get(level, {})]
            median = statistics.median(figure.value for figure in figures)
            for figure in figures:
                figure.median = median
                figure.flagged = len(figures) > 1 and _worse(kind, figure.value, median, tolerance)


def columns(rows):
    """(level, kind) of every figure any report has: levels L1, L2 ... then memory; each with
    read, write, copy, latency."""
    present = {(level, kind) for row in rows for level, kinds in row.figures.items() for kind in kinds}
    levels = sorted({level for level, _ in present},
                    key=lambda level: (level == MEMORY, int(level[1:]) if level != MEMORY else 0))
    return [(level, kind) for level in levels for kind in RATE_KINDS + (LATENCY,) if (level, kind) in present]


def compare(loaded, tolerance=DEFAULT_TOLERANCE):
    """[(path, Report)] -> one row per report, its figures flagged against its group's medians."""
    rows = [headline(path, report) for path, report in loaded]
    flag(rows, tolerance)
    return rows


def spread(members, level, kind):
    values = [row.figures[level][kind].value for row in members if kind in row.figures.get(level, {})]
    return {name: statistic(values) for name, statistic in SPREAD_ROWS} if values else None


# ---- output -------------------------------------------------------------------------------

def _figure_text(value):
    """Four significant digits, never an exponent: 163.1, 19.23, 0.8512."""
    if not math.isfinite(value) or value <= 0:
        return f"{value:g}"
    decimals = max(0, 3 - math.floor(math.log10(value)))
    return f"{value:.{decimals}f}"


def _scaled(kind, value):
    return value if kind == LATENCY else value / GIB


def _unit(kind):
    return "ns" if kind == LATENCY else "GB/s"


def _heading(level, kind):
    return f"{level} {'random' if kind == LATENCY else kind}"


def _group_label(members):
    row = members[0]
    return row.processor or "processor not named"


def flagged_lines(rows, tolerance):
    lines = []
    for row in rows:
        found = row.flags()
        if not found:
            continue
        parts = []
        for level, kind, figure in found:
            worse = "above" if kind == LATENCY else "below"
            parts.append(f"{_heading(level, kind)} {_figure_text(_scaled(kind, figure.value))} {_unit(kind)} "
                         f"({format_size(figure.block_bytes)}), {abs(figure.deviation) * 100:.1f}% {worse} the "
                         f"median {_figure_text(_scaled(kind, figure.median))}")
        lines.append(f"flagged {row.host or '?'} ({row.path}): " + "; ".join(parts))
    return lines


def text_table(rows, tolerance):
    shown = columns(rows)
    header = ["report", "host", "processor", "date", "threads"] + [_heading(*column) for column in shown]
    table = [header]
    for key, members in groups(rows):
        for row in members:
            cells = [row.path, row.host or "?", row.processor or "?", row.date or "?", str(row.threads)]
            for level, kind in shown:
                figure = row.figures.get(level, {}).get(kind)
                cells.append("-" if figure is None else
                             _figure_text(_scaled(kind, figure.value)) + ("!" if figure.flagged else ""))
            table.append(cells)
        if len(members) > 1 and members[0].group is not None:
            statistics_rows = {name: [f"  {name}", "", _group_label(members), "", str(members[0].threads)]
                               for name, _ in SPREAD_ROWS}
            spread_row = ["  spread", "", "(max-min)/median", "", ""]
            for level, kind in shown:
                found = spread(members, level, kind)
                for name, _ in SPREAD_ROWS:
                    statistics_rows[name].append("-" if found is None else _figure_text(_scaled(kind, found[name])))
                spread_row.append("-" if found is None else
                                  f"{(found['max'] - found['min']) / found['median'] * 100:.1f}%")
            table.extend(statistics_rows.values())
            table.append(spread_row)
    widths = [max(len(cells[index]) for cells in table) for index in range(len(header))]
    lines = ["  ".join(cell.ljust(width) if index < 4 else cell.rjust(width)
                       for index, (cell, width) in enumerate(zip(cells, widths))).rstrip()
             for cells in table]
    lines.append("")
    lines.extend(textwrap.wrap(
        f"rates in GB/s (2^30 bytes per second), the best instruction and alignment at a block inside the level; "
        f"random: the RANDOM load latency in ns at the level's largest block inside it; '!': more than "
        f"{tolerance:g}% worse than the median of the reports of the same processor model and threads", LEGEND_WIDTH))
    lines.extend(flagged_lines(rows, tolerance))
    lines.extend(note_lines(rows))
    return "\n".join(lines) + "\n"


def note_lines(rows):
    """Each note once, naming the reports it applies to: ten runs of one machine share theirs."""
    paths = {}
    for row in rows:
        for note in row.notes:
            paths.setdefault(note, []).append(row.path)
    return [f"note ({'every report' if len(found) == len(rows) > 1 else ', '.join(found)}): {note}"
            for note, found in paths.items()]


def _field_name(level, kind):
    return f"{level}_random_ns_per_load" if kind == LATENCY else f"{level}_{kind}_bytes_per_second"


def _flag_names(row):
    return [_heading(level, kind) for level, kind, _ in row.flags()]


def csv_table(rows):
    shown = columns(rows)
    fields = (["row", "report", "host", "processor", "vendor", "family", "model", "date", "threads"]
              + [_field_name(*column) for column in shown] + ["flagged", "notes"])
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(fields)
    for key, members in groups(rows):
        for row in members:
            machine = row.machine
            writer.writerow([REPORT_ROW, row.path, row.host or "", row.processor or "",
                             *(("" if getattr(machine, name, None) is None else getattr(machine, name))
                               for name in ("vendor", "family", "model")),
                             row.date or "", row.threads]
                            + [_csv_number(row.figures.get(level, {}).get(kind)) for level, kind in shown]
                            + [";".join(_flag_names(row)), "; ".join(row.notes)])
        if len(members) > 1 and members[0].group is not None:
            machine = members[0].machine
            for name, _ in SPREAD_ROWS:
                found = [spread(members, level, kind) for level, kind in shown]
                writer.writerow([name, "", "", members[0].processor or "",
                                 *(("" if getattr(machine, part) is None else getattr(machine, part))
                                   for part in ("vendor", "family", "model")),
                                 "", members[0].threads]
                                + ["" if value is None else repr(float(value[name])) for value in found] + ["", ""])
    return out.getvalue()


def _csv_number(figure):
    return "" if figure is None else repr(float(figure.value))


def _figure_json(kind, figure):
    quantity = "ns_per_load" if kind == LATENCY else "bytes_per_second"
    found = {quantity: figure.value, "block_bytes": figure.block_bytes, "block": format_size(figure.block_bytes)}
    if kind == LATENCY:
        found["column"] = figure.instruction
    else:
        found.update({"instruction": figure.instruction, "alignment_bytes": figure.alignment})
    found.update({"median": figure.median, "flagged": figure.flagged})
    return found


def json_table(rows, tolerance):
    shown = columns(rows)
    reports, spreads = [], []
    for key, members in groups(rows):
        for row in members:
            machine = row.machine
            reports.append({
                "report": row.path, "host": row.host, "processor": row.processor,
                "vendor": machine.vendor if machine else None, "family": machine.family if machine else None,
                "model": machine.model if machine else None, "date": row.date, "threads": row.threads,
                "figures": {level: {kind: _figure_json(kind, figure) for kind, figure in kinds.items()}
                            for level, kinds in row.figures.items()},
                "flagged": _flag_names(row), "notes": row.notes})
        if len(members) > 1 and members[0].group is not None:
            machine = members[0].machine
            figures = {}
            for level, kind in shown:
                found = spread(members, level, kind)
                if found is not None:
                    figures.setdefault(level, {})[kind] = found
            spreads.append({"processor": members[0].processor, "vendor": machine.vendor, "family": machine.family,
                            "model": machine.model, "threads": members[0].threads, "reports": len(members),
                            "figures": figures})
    document = {"tolerance_percent": tolerance,
                "columns": [{"level": level, "kind": kind, "field": _field_name(level, kind)}
                            for level, kind in shown],
                "reports": reports, "spread": spreads}
    return json.dumps(document, indent=1, allow_nan=False) + "\n"
