"""The parallel-chains table (kestrune --parallel-chains): per block size, chains of dependent
loads advanced together, one column per chain count, in nanoseconds (or core cycles) per load
over all chains. Read from the text and from the program's JSON, written as records, summed up
in a line and drawn as a panel: nanoseconds per load against chains, one line per block.

Every load brings one 64-byte line, so a cell is also a rate: 64 bytes over its time per load.
"""

import math
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from .model import ALL_BLOCK_SIZES
from .units import Latency, could_be_cut_latency, format_size, parse_latency, parse_size_label

PARALLEL_CHAINS_TITLE = "parallel chains"
DIRECTION = "parallel_chains"
# What one load of a chain brings: a cache line.
BYTES_PER_LOAD = 64
# A cell the run could not measure: its block has fewer lines than the column has chains.
NOT_MEASURED = "-"
# The table is measured on the first processor alone, whatever --threads says.
CHAINS_THREADS = 1


def bytes_per_second(cell):
    """The rate of a cell's loads: a line per load over its time per load; None when it has none."""
    if cell is None or not math.isfinite(cell.ns_per_load) or cell.ns_per_load <= 0:
        return None
    return BYTES_PER_LOAD * 1e9 / cell.ns_per_load


def measurable(block_bytes, chains):
    """Whether a block holds a line for each chain, so that the chains can be disjoint."""
    return chains <= block_bytes // BYTES_PER_LOAD


@dataclass
class ChainsRow:
    block_bytes: int
    cells: Tuple[Optional[Latency], ...]  # None where the run printed '-'
    line: int

    @property
    def block(self):
        return format_size(self.block_bytes)


@dataclass
class ChainsTable:
    columns: Tuple[int, ...] = ()  # the chain counts, left to right
    rows: List[ChainsRow] = field(default_factory=list)
    core_clock_line: Optional[str] = None
    core_mhz: Optional[float] = None
    title = PARALLEL_CHAINS_TITLE

    def series(self, row, measure="ns_per_load"):
        """(chain counts, values) of one row, the cells the run measured."""
        pairs = [(chains, getattr(cell, measure)) for chains, cell in zip(self.columns, row.cells) if cell]
        return [chains for chains, _ in pairs], [value for _, value in pairs]

    def cells(self):
        for row in self.rows:
            for chains, cell in zip(self.columns, row.cells):
                if cell is not None:
                    yield row, chains, cell


def _columns_problem(columns):
    if not columns or columns[0] != 1 or any(b <= a for a, b in zip(columns, columns[1:])):
        return "expected chain counts from 1 up, each above the one before"
    return None


# The text ----------------------------------------------------------------------------------

def read_text(lines, report, blocks):
    """The table from its title on: the core clock in a per-cycle run, the header of chain
    counts, then a row per block size of the run. The reader's own rules come from the parser."""
    from .parser import _Mismatch, _clock, _literal, _show, missing_rows_note, ReportError
    table = report.parallel_chains = ChainsTable()
    lines.take(*_literal(PARALLEL_CHAINS_TITLE, f"the table title '{PARALLEL_CHAINS_TITLE}'"))
    stopped = f"table '{PARALLEL_CHAINS_TITLE}' stops after its title: no header, no rows"
    if report.per_cycle:
        taken = lines.take(*_clock("core clock:", "the line 'core clock:<number>MHz' under the "
                                                  "parallel-chains table's title in a per-cycle report"))
        if taken is None:
            report.gaps.append(stopped)
            return
        table.core_clock_line, table.core_mhz = taken

    def header(text):
        fields = text.split("\t")
        columns = tuple(int(field) for field in fields[1:] if field.isdigit() and field == str(int(field)))
        if fields[0] != "SIZE:" or len(columns) != len(fields) - 1 or _columns_problem(columns):
            raise _Mismatch(f"expected the header 'SIZE:' then, tab-separated, the chain counts from 1 "
                            f"up; got {_show(text)}")
        return columns

    columns = lines.take(header, lambda text: "SIZE:".startswith(text) or text.startswith("SIZE:"))
    if columns is None:
        report.gaps.append(stopped)
        return
    table.columns = columns
    per_cycle_mhz = table.core_mhz if report.per_cycle else None
    for block in blocks:
        cells = lines.take(*_row_rules(block, columns, per_cycle_mhz, _Mismatch, _show))
        if cells is None:
            report.gaps.append(missing_rows_note(table, blocks))
            return
        table.rows.append(ChainsRow(block, cells, lines.last_read))
    extra = lines.peek()
    if extra is not None:
        number = lines.items[lines.position][0]
        raise ReportError(number, f"expected the end of the report after the last row of "
                                  f"'{PARALLEL_CHAINS_TITLE}', got {_show(extra)}")


def _row_rules(block, columns, core_mhz, mismatch, show):
    label = format_size(block) + ":"
    where = f"of table '{PARALLEL_CHAINS_TITLE}'"

    def cell(chains, text):
        if not measurable(block, chains):
            if text != NOT_MEASURED:
                raise ValueError(f"expected '{NOT_MEASURED}': {format_size(block)} holds fewer lines than "
                                 f"{chains} chains, got {text!r}")
            return None
        return parse_latency(text, core_mhz)

    def cells(fields):
        found = []
        for chains, text in zip(columns, fields):
            try:
                found.append(cell(chains, text))
            except ValueError as error:  # UnitError is one
                raise mismatch(f"row '{label}' {where}, {chains} chains: {error}") from None
        return tuple(found)

    def accept(text):
        fields = text.split("\t")
        if parse_size_label(fields[0]) != block:
            raise mismatch(f"expected the row '{label}' {where}, got {show(text)}")
        if len(fields) != len(columns) + 1:
            raise mismatch(f"row '{label}' {where} has {len(fields) - 1} values, expected {len(columns)}: "
                           f"one per chain count in the header")
        return cells(fields[1:])

    def could_be_cut(text):
        fields = text.split("\t")
        if len(fields) == 1:
            return label.startswith(fields[0])
        if parse_size_label(fields[0]) != block or len(fields) > len(columns) + 1:
            return False
        try:
            cells(fields[1:-1])
        except mismatch:
            return False
        last = fields[-1]
        return last in ("", NOT_MEASURED) or could_be_cut_latency(last) or \
            (core_mhz is not None and last.endswith("c") and could_be_cut_latency(last[:-1]))

    return accept, could_be_cut


# The program's JSON ------------------------------------------------------------------------

def is_chains_cell(cell):
    return isinstance(cell, dict) and cell.get("direction") == DIRECTION


def read_json_cells(source, cells, starts, first, report):
    """The table from the cells from `first` on, which must all be its own, in report order."""
    from .json_report import _getter, _is_count, _printed
    from .parser import missing_rows_note
    table = report.parallel_chains = ChainsTable()
    blocks = report.block_sizes
    measured = []  # (block, chains, Latency, where) in order
    for number in range(first, len(cells)):
        where = starts[number]

        def fail(message, where=where, number=number):
            source.fail(where, f"cells[{number}]: {message}")

        if not is_chains_cell(cells[number]):
            fail(f"a cell of another table after the '{PARALLEL_CHAINS_TITLE}' cells; those come last")
        get = _getter(cells[number], fail)
        block = get("block_bytes", lambda value: _is_count(value) and value in ALL_BLOCK_SIZES,
                    "a power of two from 128 to 4294967296")
        get("block", lambda value: value == format_size(block), f'"{format_size(block)}"')
        chains = get("chains", lambda value: _is_count(value) and value >= 1, "a chain count")
        printed = _printed(get, fail, report, parse_latency, parse_latency, "ns_per_load", "cycles_per_load", "row")
        measured.append((block, chains, printed, where, fail))
    # The columns are the chain counts the largest block's row shows; rows come in order.
    columns = tuple(sorted({chains for _, chains, _, _, _ in measured}))
    if columns and _columns_problem(columns):
        measured[0][4](_columns_problem(columns))
    table.columns = columns
    expected = [(block, chains) for block in blocks for chains in columns if measurable(block, chains)]
    for index, (block, chains, printed, where, fail) in enumerate(measured):
        if index >= len(expected) or expected[index] != (block, chains):
            wanted = ("no more cells" if index >= len(expected) else
                      f"{expected[index][1]} chains of the row '{format_size(expected[index][0])}:'")
            fail(f"the {chains} chains cell of the row '{format_size(block)}:' of '{PARALLEL_CHAINS_TITLE}'; "
                 f"cells come in report order, expected {wanted}")
    by_cell = {(block, chains): (printed, where) for block, chains, printed, where, _ in measured}
    for block in blocks:
        wanted = [chains for chains in columns if measurable(block, chains)]
        if not all((block, chains) in by_cell for chains in wanted):
            break
        first_where = by_cell[(block, wanted[0])][1]
        table.rows.append(ChainsRow(block, tuple(by_cell[(block, chains)][0] if measurable(block, chains) else None
                                                 for chains in columns),
                                    source.text.count("\n", 0, first_where) + 1))
    if len(table.rows) < len(blocks):
        report.gaps.append(missing_rows_note(table, blocks))
    clocks = {cell.core_mhz for _, _, cell in table.cells()}
    table.core_mhz = clocks.pop() if len(clocks) == 1 else None


# Records, summary and panel ---------------------------------------------------------------

def records(report, fields):
    """One record per measured cell, every field of `fields` present (None where it has none).
    The tool adds the rate of the loads, a line each, as bytes_per_second."""
    table = report.parallel_chains
    found = []
    for row, chains, cell in ([] if table is None else table.cells()):
        record = {name: None for name in fields}
        record.update({"direction": DIRECTION, "block_bytes": row.block_bytes, "block": row.block,
                       "bytes_per_second": bytes_per_second(cell), "value": cell.value, "unit": cell.unit,
                       "threads": CHAINS_THREADS, "ns_per_load": cell.ns_per_load, "chains": chains})
        if report.per_cycle:
            record["core_mhz"] = cell.core_mhz
            record["cycles_per_load"] = cell.cycles_per_load
        found.append({name: record[name] for name in fields})
    return found


def _rate(cell):
    rate = bytes_per_second(cell)
    return "no rate" if rate is None else f"{rate / 1024 ** 3:.3g} GiB/s"


def summary_line(report, width):
    """The largest block's row: each chain count's time per load and the rate of its loads."""
    table = report.parallel_chains
    if table is None or not table.rows:
        return None
    last = table.rows[-1]
    cells = ", ".join(f"{chains} {cell.printed} ({_rate(cell)})"
                      for chains, cell in zip(table.columns, last.cells) if cell is not None)
    return f"  {table.title:<{width}}  {len(table.rows):>2} rows  at {last.block}: {cells}"


def draw_panel(ax, report):
    """Time per load against the chain count, one line per block, both axes on log scales: a
    core that overlaps k misses draws a line falling as 1/k until its limit."""
    table = report.parallel_chains
    ax.set_title(f"{table.title}: chains of dependent loads advanced together, per load over all chains",
                 fontsize=11)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(list(table.columns) or [1])
    ax.set_xticklabels([str(chains) for chains in table.columns] or ["1"])
    ax.set_xlabel("chains")
    ax.set_ylabel("core cycles per load" if report.per_cycle else "nanoseconds per load")
    if not table.rows:
        ax.text(0.5, 0.5, "run stopped before the first row", transform=ax.transAxes, ha="center",
                va="center", color="0.4")
        return
    import matplotlib
    colours = matplotlib.colormaps["viridis"]
    measure = "cycles_per_load" if report.per_cycle else "ns_per_load"
    for index, row in enumerate(table.rows):
        chains, values = table.series(row, measure)
        ax.plot(chains, [value if value is not None and math.isfinite(value) else math.nan for value in values],
                label=row.block, color=colours(index / max(len(table.rows) - 1, 1)), marker="o",
                linewidth=1.2, markersize=3)
    ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0, fontsize=8, ncol=2,
              title="block", title_fontsize=8)
