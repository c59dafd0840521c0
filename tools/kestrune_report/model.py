"""A report once read: machine lines, tables, and what a cut-short run left out."""

import functools
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from .kernel_table import columns, read_tables
from .machine import Machine
from .units import Latency, Throughput, format_size

BLOCK_SIZES = tuple(2 ** power for power in range(7, 26))  # 128B .. 32MB: a run without options
ALL_BLOCK_SIZES = tuple(2 ** power for power in range(7, 33))  # 128B .. 4GB: what --max-size allows
TABLE_ORDER = (("read", 16), ("read", 8), ("read", 4), ("write", 16), ("write", 8), ("write", 4))
# --copy: six more tables right after those.
COPY_TABLE_ORDER = (("copy", 16), ("copy", 8), ("copy", 4), ("fill", 16), ("fill", 8), ("fill", 4))


def kernels():
    """Every kernel, in the table's order."""
    return read_tables().kernels


def simd_extensions():
    """Every extension's name, in the capability line's order."""
    return tuple(extension.name for extension in read_tables().extensions)


def classic_extensions():
    """The extensions a run without options measures."""
    return read_tables().classic_extensions


@functools.lru_cache(maxsize=None)
def classic_columns():
    """The columns a run without options can show."""
    return frozenset(kernel.column for kernel in kernels() if kernel.direction in ("READ", "WRITE")
                     and kernel.shown(frozenset(classic_extensions()), True))


@functools.lru_cache(maxsize=None)
def table_columns(direction, alignment):
    """The columns a table may show, left to right: the aligned-only ones only at 16 bytes."""
    return tuple(columns(list(kernels()), direction.upper(), frozenset(simd_extensions()), alignment == 16))


def direction_columns(direction):
    """Every column the direction can have, left to right."""
    return table_columns(direction, 16)


def table_title(direction, alignment):
    return f"{alignment * 8}bit({alignment}byte) aligned {direction}"


LATENCY_TITLE = "load latency"
# The chase orders, left to right: a random cycle through the block, random within each
# page with the pages in random order, and address order.
LATENCY_COLUMNS = ("RANDOM", "IN-PAGE", "SEQUENTIAL")


class ReportError(Exception):
    """The input is not a report the benchmark could have printed."""

    def __init__(self, line, message):
        super().__init__(f"line {line}: {message}")
        self.line = line
        self.message = message


@dataclass
class Row:
    block_bytes: int
    cells: Tuple[Throughput, ...]
    line: int

    @property
    def block(self):
        return format_size(self.block_bytes)


@dataclass
class Table:
    direction: str
    alignment: int
    columns: Tuple[str, ...] = ()
    rows: List[Row] = field(default_factory=list)
    # Per-cycle reports: the core clock printed under the title. None in a JSON input
    # whose rows were measured at different clocks; each cell keeps its own.
    core_clock_line: Optional[str] = None
    core_mhz: Optional[float] = None

    @property
    def title(self):
        return table_title(self.direction, self.alignment)

    @property
    def key(self):
        return (self.direction, self.alignment)

    def series(self, column, measure="bytes_per_second"):
        """(block sizes, values) of one instruction, in row order; measure names a Throughput field."""
        index = self.columns.index(column)
        return ([row.block_bytes for row in self.rows],
                [getattr(row.cells[index], measure) for row in self.rows])

    def cells(self):
        for row in self.rows:
            for column, cell in zip(self.columns, row.cells):
                yield row, column, cell


@dataclass
class LatencyRow:
    block_bytes: int
    cells: Tuple[Latency, ...]
    line: int

    @property
    def block(self):
        return format_size(self.block_bytes)


@dataclass
class LatencyTable:
    """The --latency table: nanoseconds (or core cycles) per load, one column per chase order."""
    columns: Tuple[str, ...] = LATENCY_COLUMNS
    rows: List[LatencyRow] = field(default_factory=list)
    core_clock_line: Optional[str] = None
    core_mhz: Optional[float] = None
    title = LATENCY_TITLE

    def series(self, column, measure="ns_per_load"):
        """(block sizes, values) of one chase order, in row order; measure names a Latency field."""
        index = self.columns.index(column)
        return ([row.block_bytes for row in self.rows],
                [getattr(row.cells[index], measure) for row in self.rows])


@dataclass
class Report:
    source: str
    input_format: str = "text"  # or "json": the benchmark's own --json file
    version_line: Optional[str] = None
    os_line: Optional[str] = None
    simd_line: Optional[str] = None
    simd: Tuple[str, ...] = ()
    sse_os_line: Optional[str] = None
    avx_os_line: Optional[str] = None
    wait_line: Optional[str] = None  # 'measuring CPU clock. please wait ...'
    clock_line: Optional[str] = None
    clock_mhz: Optional[float] = None
    # The program leaves these lines out for one thread and one run per cell.
    threads_line: Optional[str] = None
    threads: int = 1
    repeat_line: Optional[str] = None
    repeat: int = 1
    # --huge-pages: the line, and the share of the buffers on 2 MiB pages (0 for 4 KiB pages).
    pages_line: Optional[str] = None
    huge_page_share: Optional[float] = None
    per_cycle: bool = False
    # The rows every complete table of this run has.
    block_sizes: Tuple[int, ...] = BLOCK_SIZES
    tables: List[Table] = field(default_factory=list)
    # --latency: the table after the throughput tables, None without it.
    latency: Optional[LatencyTable] = None
    # --parallel-chains: the table after every other one (parallel_chains.ChainsTable), None without it.
    parallel_chains: Optional[object] = None
    # --core-to-core: the matrix (core_to_core.Matrix), None without it.
    core_to_core: Optional[object] = None
    # --loaded-latency: the table after every other (a loaded.LoadedTable), None without it.
    loaded: Optional[object] = None
    # Plain sentences saying what a cut-short run left out; empty for a complete report.
    gaps: List[str] = field(default_factory=list)
    # The JSON's "machine" and "run": the processor, host, date and caches. None for a text
    # report and for JSON written before the program recorded them.
    machine: Optional[Machine] = None

    @property
    def table_order(self):
        """The tables the run printed or meant to: the six, and the copy and fill tables of --copy."""
        copy = any(table.key in COPY_TABLE_ORDER for table in self.tables)
        return TABLE_ORDER + (COPY_TABLE_ORDER if copy else ())

    def table(self, direction, alignment):
        for table in self.tables:
            if table.key == (direction, alignment):
                return table
        return None

    @property
    def machine_lines(self):
        lines = (self.version_line, self.os_line, self.clock_line, self.simd_line, self.sse_os_line,
                 self.avx_os_line, self.threads_line, self.repeat_line, self.pages_line)
        return [line for line in lines if line]

    @property
    def printed_lines(self):
        """The lines before the tables as the run printed them, in its order: what the
        program's JSON lists, and what a JSON written here must list to read back."""
        lines = (self.version_line, self.os_line, self.simd_line, self.sse_os_line, self.avx_os_line,
                 self.wait_line, self.clock_line, self.threads_line, self.repeat_line,
                 self.pages_line)
        return [line for line in lines if line]

    @property
    def latency_measure(self):
        """The Latency field the run printed: core cycles or nanoseconds per load."""
        return "cycles_per_load" if self.per_cycle else "ns_per_load"

    @property
    def measure(self):
        """The Throughput field the run printed: bytes per cycle or per second."""
        return "bytes_per_cycle" if self.per_cycle else "bytes_per_second"

    @property
    def extended(self):
        """Whether the run took options: something a run without them never prints."""
        return (self.input_format != "text" or self.per_cycle
                or any((self.avx_os_line, self.threads_line, self.repeat_line, self.pages_line))
                or self.latency is not None
                or self.parallel_chains is not None
                or self.core_to_core is not None
                or self.loaded is not None
                or len(self.table_order) > len(TABLE_ORDER)
                or any(name not in classic_extensions() for name in self.simd)
                or self.block_sizes != BLOCK_SIZES
                or any(column not in classic_columns() for table in self.tables for column in table.columns))

    def cell_count(self):
        return sum(len(table.columns) * len(table.rows) for table in self.tables)
