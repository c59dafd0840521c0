"""The loaded-latency table (kestrune --loaded-latency): read from the text or the JSON a run
wrote, its records, and its panel, latency against the loaders' bandwidth.

The table stands after every other table:

    loaded latency
    core clock:3600MHz                      (a per-cycle run only)
    block:1GB load:read MOVDQU loaders:1
    DELAY:<TAB>LATENCY<TAB>BANDWIDTH
    0:<TAB>140.2ns<TAB>21.5GB/s
    ...
    idle:<TAB>95.1ns<TAB>0B/s

A run cut short stops anywhere in it; whatever it left out goes into the report's gaps.
"""

import re
from dataclasses import dataclass, field
from typing import List, Optional

from .model import ReportError
from .units import (Throughput, UnitError, format_size, number_value, parse_latency, parse_size_label,
                    parse_throughput)

TITLE = "loaded latency"
DIRECTION = "loaded_latency"
HEADER = "DELAY:\tLATENCY\tBANDWIDTH"
IDLE = "idle"
_DESCRIPTION = re.compile(r"block:(\S+) load:(read|write|copy) (.+) loaders:(\d+)")
_CLOCK = re.compile(r"core clock:(\S+)MHz")


@dataclass
class LoadedRow:
    label: str                   # as printed, without its colon: "0", "2", ... or "idle"
    delay_cycles: Optional[int]  # None for the idle row
    latency: object              # a units.Latency
    bandwidth: object            # a units.Throughput: the loaders' bytes per second
    line: int


@dataclass
class LoadedTable:
    title: str = TITLE
    block_bytes: Optional[int] = None
    load: Optional[str] = None      # "read", "write" or "copy"
    kernel: Optional[str] = None    # the loaders' column label, e.g. "MOVDQU"
    loaders: Optional[int] = None
    core_clock_line: Optional[str] = None
    core_mhz: Optional[float] = None
    rows: List[LoadedRow] = field(default_factory=list)

    def series(self, measure):
        """(bandwidth bytes per second, latency in `measure`) per row, the idle row included."""
        return [(row.bandwidth.bytes_per_second, getattr(row.latency, measure)) for row in self.rows]


def split_text(text):
    """(the report before the table, the table's lines, the table's first line number), or
    (text, None, None) when the run printed no such table."""
    lines = text.split("\n")
    for number, line in enumerate(lines):
        if line.rstrip("\r") == TITLE:
            return "\n".join(lines[:number]) + ("\n" if number else ""), lines[number:], number + 1
    return text, None, None


def _delay(label, where):
    if label == IDLE:
        return None
    if not label.isdigit():
        raise ReportError(where, f"expected a row label of '{TITLE}' (a delay in cycles or "
                                 f"'{IDLE}:'), got {label!r}")
    return int(label)


def parse_text(lines, first_line, per_cycle, gaps):
    """The table from its lines (title first); a table cut short keeps its whole rows and notes
    what is missing in `gaps`."""
    table = LoadedTable()
    rest = [(first_line + k, line.rstrip("\r")) for k, line in enumerate(lines)][1:]
    while rest and rest[-1][1] == "":
        rest.pop()

    def cut(what):
        gaps.append(f"table '{TITLE}' stops {what}")
        return table

    if per_cycle:
        if not rest:
            return cut("after its title")
        number, line = rest.pop(0)
        match = _CLOCK.fullmatch(line)
        if match is None:
            raise ReportError(number, f"expected 'core clock:<number>MHz' under '{TITLE}', got {line!r}")
        table.core_clock_line, table.core_mhz = line, number_value(match.group(1))
    if not rest:
        return cut("after its title")
    number, line = rest.pop(0)
    match = _DESCRIPTION.fullmatch(line)
    if match is None:
        raise ReportError(number, f"expected 'block:SIZE load:read|write|copy KERNEL loaders:N' under "
                                  f"'{TITLE}', got {line!r}")
    table.block_bytes = parse_size_label(match.group(1) + ":")
    table.load, table.kernel, table.loaders = match.group(2), match.group(3), int(match.group(4))
    if not rest:
        return cut("before its header")
    number, line = rest.pop(0)
    if line != HEADER:
        raise ReportError(number, f"expected the header {HEADER!r} of '{TITLE}', got {line!r}")
    for index, (number, line) in enumerate(rest):
        fields = line.split("\t")
        last = index == len(rest) - 1
        try:
            if len(fields) != 3 or not fields[0].endswith(":"):
                raise UnitError(f"expected 'DELAY:<TAB>LATENCY<TAB>BANDWIDTH', got {line!r}")
            label = fields[0][:-1]
            latency = parse_latency(fields[1], table.core_mhz if per_cycle else None)
            bandwidth = parse_throughput(fields[2])
        except UnitError as problem:
            if last:  # the run was stopped while it printed this row
                return cut(f"in the row after {table.rows[-1].label + ':' if table.rows else 'its header'}")
            raise ReportError(number, f"{TITLE}: {problem}") from None
        table.rows.append(LoadedRow(label, _delay(label, number), latency, bandwidth, number))
    if not table.rows or table.rows[-1].label != IDLE:
        gaps.append(f"table '{TITLE}' has {len(table.rows)} rows; the '{IDLE}:' row is missing")
    return table


def is_cell(cell):
    return isinstance(cell, dict) and cell.get("direction") == DIRECTION


def from_cells(cells, per_cycle, where):
    """The table from the program's JSON records of it, in order."""
    table = LoadedTable()
    for number, cell in enumerate(cells):
        def get(name, kinds, required=True, number=number):
            value = cell.get(name)
            if value is None and not required:
                return None
            if not isinstance(value, kinds) or isinstance(value, bool):
                raise ReportError(where, f"loaded-latency cell {number + 1}: expected '{name}'")
            return value

        printed = f"{get('value', str)}{get('unit', str)}"
        try:
            latency = parse_latency(printed, get("core_mhz", (int, float)) if per_cycle else None)
        except UnitError as problem:
            raise ReportError(where, f"loaded-latency cell {number + 1}: {problem}") from None
        rate = float(get("bandwidth_bytes_per_second", (int, float)))
        delay = get("delay_cycles", int, required=False)
        table.block_bytes = get("block_bytes", int)
        table.load = get("load", str)
        table.loaders = get("threads", int) - 1
        if per_cycle:
            table.core_mhz = latency.core_mhz
        table.rows.append(LoadedRow(IDLE if delay is None else str(delay), delay, latency,
                                    _rate(rate), 0))
    return table


# The program's rate format: scaled to the largest unit the rate exceeds, six significant digits.
_SCALES = (("GB/s", 2 ** 30), ("MB/s", 2 ** 20), ("KB/s", 2 ** 10))


def _rate(bytes_per_second):
    """A rate as the program prints it, keeping the exact figure the JSON gave."""
    unit, scale = next(((unit, scale) for unit, scale in _SCALES if bytes_per_second > scale), ("B/s", 1))
    return Throughput(f"{bytes_per_second / scale:.6g}", unit, bytes_per_second)


def records(report, fields):
    """One record per row, with every field of `fields` (None where it has no value)."""
    table = report.loaded
    found = []
    for row in table.rows:
        record = {name: None for name in fields}
        record.update({"direction": DIRECTION, "block_bytes": table.block_bytes,
                       "block": format_size(table.block_bytes) if table.block_bytes else None,
                       "value": row.latency.value, "unit": row.latency.unit,
                       "threads": None if table.loaders is None else table.loaders + 1,
                       "ns_per_load": row.latency.ns_per_load, "delay_cycles": row.delay_cycles,
                       "load": table.load, "bandwidth_bytes_per_second": row.bandwidth.bytes_per_second})
        if report.per_cycle:
            record["core_mhz"] = row.latency.core_mhz
            record["cycles_per_load"] = row.latency.cycles_per_load
        found.append({name: record.get(name) for name in fields})
    return found


def summary_line(table, width):
    if not table.rows:
        return f"  {TITLE:<{width}}   0 rows"
    first, last = table.rows[0], table.rows[-1]
    return (f"  {TITLE:<{width}}  {len(table.rows):>2} rows  {first.label}: {first.latency.printed} at "
            f"{first.bandwidth.printed}; {last.label}: {last.latency.printed}")


def draw_panel(ax, report, baseline=None):
    """Latency against the loaders' bandwidth, one curve per run: the hockey stick."""
    runs = [(report, "#d62728", "o")]
    if baseline is not None and baseline.loaded is not None:
        runs.append((baseline, "#1f77b4", "s"))
    # Cycles only when every run drawn printed them; nanoseconds otherwise.
    per_cycle = all(run.per_cycle for run, _, _ in runs)
    measure = "cycles_per_load" if per_cycle else "ns_per_load"
    ax.set_title(f"{TITLE}: a chase while the other processors stream", fontsize=11)
    ax.set_xlabel("loaders' bandwidth (GiB/s)")
    ax.set_ylabel("core cycles per load" if per_cycle else "nanoseconds per load")
    for run, colour, marker in runs:
        table = run.loaded
        points = table.series(measure)
        if not points:
            continue
        label = f"{run.source} ({table.load} {table.kernel or ''}".rstrip() + ")"
        ax.plot([rate / 2 ** 30 for rate, _ in points], [value for _, value in points], color=colour,
                marker=marker, linewidth=1.4, markersize=4, label=label)
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.legend(loc="upper left", fontsize=9)
