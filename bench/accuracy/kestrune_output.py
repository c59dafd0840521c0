"""Reads one run's printed report into numbers: the clock line and every cell."""

import re
from dataclasses import dataclass, field

GIB = 1 << 30
_UNIT_SCALE = {"GB/s": 1.0, "MB/s": 2.0 ** -10, "KB/s": 2.0 ** -20, "B/s": 2.0 ** -30}
_CELL = re.compile(r"^([0-9.eE+-]+|inf|nan)(GB/s|MB/s|KB/s|B/s)$")
_CLOCK = re.compile(r"^CPU clock:([0-9.eE+-]+)MHz$")
_TITLE = re.compile(r"^(\d+)bit\((\d+)byte\) aligned (read|write)$")
_SIZE = re.compile(r"^(\d+)(B|KB|MB):$")


@dataclass(frozen=True)
class TableKey:
    direction: str  # "read" or "write"
    alignment: int  # 16, 8 or 4

    def label(self):
        return f"{self.direction} {self.alignment}B-aligned"


@dataclass
class Run:
    clock_mhz: float
    # (TableKey, block bytes, column) -> GiB/s
    cells: dict = field(default_factory=dict)
    # TableKey -> column labels in printed order
    columns: dict = field(default_factory=dict)
    # TableKey -> block sizes in printed order
    blocks: dict = field(default_factory=dict)


class OutputError(Exception):
    pass


def block_bytes(label):
    match = _SIZE.match(label)
    if not match:
        raise OutputError(f"not a block size: {label!r}")
    number, unit = int(match.group(1)), match.group(2)
    return number << {"B": 0, "KB": 10, "MB": 20}[unit]


def block_label(size):
    if size >= 1 << 20:
        return f"{size >> 20}MB"
    if size >= 1 << 10:
        return f"{size >> 10}KB"
    return f"{size}B"


def gib_per_second(cell):
    match = _CELL.match(cell)
    if not match:
        raise OutputError(f"not a rate: {cell!r}")
    return float(match.group(1)) * _UNIT_SCALE[match.group(2)]


def parse_run(text):
    clock = None
    run = None
    table = None
    for line in text.splitlines():
        line = line.rstrip("\r")
        if (match := _CLOCK.match(line)):
            clock = float(match.group(1))
            run = Run(clock_mhz=clock)
        elif (match := _TITLE.match(line)):
            table = TableKey(match.group(3), int(match.group(2)))
        elif line.startswith("SIZE:") and table is not None:
            run.columns[table] = line.split("\t")[1:]
            run.blocks[table] = []
        elif table is not None and _SIZE.match(line.split("\t")[0]):
            fields = line.split("\t")
            size = block_bytes(fields[0])
            run.blocks[table].append(size)
            for column, cell in zip(run.columns[table], fields[1:]):
                run.cells[(table, size, column)] = gib_per_second(cell)
    if run is None:
        raise OutputError("no 'CPU clock:' line: the run did not get as far as measuring")
    if len(run.columns) != 6:
        raise OutputError(f"expected six tables, found {len(run.columns)}")
    return run
