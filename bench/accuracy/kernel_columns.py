"""What each column of the report moves, read from the program's own kernel
list (kernels/kernel_list.def), so that the bench cannot disagree with it."""

import re
from dataclasses import dataclass
from pathlib import Path

_ROW = re.compile(
    r'^KERNEL_ROW\(\s*(\w+),\s*"([^"]+)",\s*(READ|WRITE),\s*(\w+),\s*(true|false),\s*"([^"]+)",\s*(\w+)\)')

# Bytes one access moves, and the issue class it competes in.
_REGISTERS = {"XMM": (16, "vector"), "MMX": (8, "mmx"), "GP32": (4, "scalar"), "GP16": (2, "scalar")}


@dataclass(frozen=True)
class Column:
    direction: str
    label: str
    instruction: str
    access_bytes: int
    issue_kind: str  # e.g. "vector_load", "scalar_store"
    non_temporal: bool


def read_columns(repo_root):
    text = (Path(repo_root) / "kernels" / "kernel_list.def").read_text()
    columns = {}
    for line in text.splitlines():
        match = _ROW.match(line.strip())
        if not match:
            continue
        _, label, direction, _, _, instruction, registers = match.groups()
        access_bytes, unit = _REGISTERS[registers]
        direction = direction.lower()
        kind = f"{unit}_{'load' if direction == 'read' else 'store'}"
        columns[(direction, label)] = Column(direction, label, instruction, access_bytes, kind,
                                             instruction.startswith("movnt"))
    if not columns:
        raise RuntimeError("kernels/kernel_list.def has no KERNEL_ROW lines the bench can read")
    return columns
