"""One run of the program as the bench uses it: the clock line, every cell in
GiB/s and, from a --per-cycle run, in bytes per core cycle with the core clock
of its row; read by kestrune-report's parser, from the printed text or from the
program's --json file (whose rates are exact)."""

import json
from dataclasses import dataclass, field

from kestrune_report.loader import parse_report
from kestrune_report.parser import ReportError

GIB = 1 << 30


@dataclass(frozen=True)
class TableKey:
    direction: str  # "read" or "write"
    alignment: int  # 16, 8 or 4

    def label(self):
        return f"{self.direction} {self.alignment}B-aligned"


@dataclass
class Run:
    clock_mhz: float
    threads: int = 1
    repeat: int = 1
    # (TableKey, block bytes, column) -> GiB/s
    cells: dict = field(default_factory=dict)
    # --per-cycle runs only: (TableKey, block bytes, column) -> bytes per core cycle
    per_cycle: dict = field(default_factory=dict)
    # --per-cycle runs only: (TableKey, block bytes) -> the core clock (MHz) the row was measured at
    core_mhz: dict = field(default_factory=dict)
    # TableKey -> column labels in printed order
    columns: dict = field(default_factory=dict)
    # TableKey -> block sizes in printed order
    blocks: dict = field(default_factory=dict)


@dataclass(frozen=True)
class CellRuns:
    """A cell of the program's --json file with every run it made (--repeat), in bytes per second."""
    printed: float           # the median of the runs, the figure the table shows
    runs: tuple
    core_mhz: float = None   # --per-cycle: the core clock of its row


def read_cell_runs(json_path):
    """(TableKey, block bytes, column) -> CellRuns, from the program's --json file; the kestrune-report reader
    keeps what a table shows, and this what lies behind it."""
    found = {}
    for cell in json.loads(json_path.read_text())["cells"]:
        if "samples_bytes_per_second" not in cell:
            continue  # latency cells
        found[(TableKey(cell["direction"], cell["alignment_bytes"]), cell["block_bytes"], cell["instruction"])] = \
            CellRuns(cell["bytes_per_second"], tuple(cell["samples_bytes_per_second"]), cell.get("core_mhz"))
    return found


def cell_samples(runs, table, block, column):
    """One cell's GiB/s in each of the runs."""
    return [run.cells[(table, block, column)] for run in runs]


class OutputError(Exception):
    """A run whose report the bench cannot use: out of form, or cut short."""


def read_run(text):
    try:
        report = parse_report(text, "kestrune")
    except ReportError as error:
        raise OutputError(f"the run's report is out of form: {error}") from None
    if report.gaps:
        raise OutputError("the run's report is cut short: " + "; ".join(report.gaps))
    run = Run(clock_mhz=report.clock_mhz, threads=report.threads, repeat=report.repeat)
    for table in report.tables:
        key = TableKey(table.direction, table.alignment)
        run.columns[key] = list(table.columns)
        run.blocks[key] = [row.block_bytes for row in table.rows]
        for row, column, cell in table.cells():
            run.cells[(key, row.block_bytes, column)] = cell.bytes_per_second / GIB
            if report.per_cycle:
                run.per_cycle[(key, row.block_bytes, column)] = cell.bytes_per_cycle
                run.core_mhz[(key, row.block_bytes)] = cell.core_mhz
    return run
