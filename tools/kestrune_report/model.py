"""A report once read: machine lines, tables, and what a cut-short run left out."""

from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from .kernel_table import EXTENSION_NAMES, columns, read_table
from .units import Throughput, format_size

BLOCK_SIZES = tuple(2 ** power for power in range(7, 26))  # 128B .. 32MB: a run without options
TABLE_ORDER = (("read", 16), ("read", 8), ("read", 4), ("write", 16), ("write", 8), ("write", 4))

KERNELS = read_table()
SIMD_EXTENSIONS = tuple(EXTENSION_NAMES.values())
# Every column each direction can have, left to right.
COLUMNS_BY_DIRECTION = {direction: tuple(columns(KERNELS, direction.upper(), frozenset(SIMD_EXTENSIONS), True))
                        for direction in ("read", "write")}


def table_columns(direction, alignment):
    """The columns a table may show, left to right: the aligned-only ones only at 16 bytes."""
    return tuple(columns(KERNELS, direction.upper(), frozenset(SIMD_EXTENSIONS), alignment == 16))


def table_title(direction, alignment):
    return f"{alignment * 8}bit({alignment}byte) aligned {direction}"


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

    @property
    def title(self):
        return table_title(self.direction, self.alignment)

    @property
    def key(self):
        return (self.direction, self.alignment)

    def series(self, column):
        """(block sizes, bytes per second) of one instruction, in row order."""
        index = self.columns.index(column)
        return ([row.block_bytes for row in self.rows],
                [row.cells[index].bytes_per_second for row in self.rows])

    def cells(self):
        for row in self.rows:
            for column, cell in zip(self.columns, row.cells):
                yield row, column, cell


@dataclass
class Report:
    source: str
    version_line: Optional[str] = None
    os_line: Optional[str] = None
    simd_line: Optional[str] = None
    simd: Tuple[str, ...] = ()
    sse_os_line: Optional[str] = None
    clock_line: Optional[str] = None
    clock_mhz: Optional[float] = None
    tables: List[Table] = field(default_factory=list)
    # Plain sentences saying what a cut-short run left out; empty for a complete report.
    gaps: List[str] = field(default_factory=list)

    def table(self, direction, alignment):
        for table in self.tables:
            if table.key == (direction, alignment):
                return table
        return None

    @property
    def machine_lines(self):
        lines = (self.version_line, self.os_line, self.clock_line, self.simd_line, self.sse_os_line)
        return [line for line in lines if line]

    def cell_count(self):
        return sum(len(table.columns) * len(table.rows) for table in self.tables)
