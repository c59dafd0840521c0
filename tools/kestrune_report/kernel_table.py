"""The kernel set, read from kernels/kernel_list.def: the one table that makes
every kernel, column label and disassembly expectation of the benchmark.

The reader is strict: a KERNEL_ROW line it cannot read is an error, never a
row silently left out."""

import os
import re
from typing import FrozenSet, List, NamedTuple, Optional

ROW = re.compile(r'^KERNEL_ROW\(\s*(\w+),\s*"([^"]+)",\s*(READ|WRITE|COPY|FILL),\s*(0|CAP_\w+),\s*(true|false),'
                 r'\s*"(\w+)",\s*(GP32|GP16|MMX|XMM|YMM|ZMM|STR8|STR32|LIB),\s*(CLASSIC|STRAIGHT|STRING|LIBRARY),'
                 r'\s*([12])\s*\)\s*$')

# The name each capability has on the report's capability line.
EXTENSION_NAMES = {"CAP_MMX": "MMX", "CAP_SSE": "SSE", "CAP_SSE2": "SSE2", "CAP_SSE3": "SSE3",
                   "CAP_SSE41": "SSE4.1", "CAP_AVX": "AVX", "CAP_AVX512F": "AVX512F"}
CLASSIC_EXTENSIONS = ("MMX", "SSE", "SSE2", "SSE3")
ACCESS_BYTES = {"GP16": 2, "GP32": 4, "MMX": 8, "XMM": 16, "YMM": 32, "ZMM": 64, "STR8": 1, "STR32": 4, "LIB": 1}


class TableError(ValueError):
    """kernel_list.def holds a row out of form."""


class Kernel(NamedTuple):
    function: str
    column: str
    direction: str      # "READ", "WRITE", "COPY" or "FILL"
    capability: str     # "0" or a CAP_ name
    aligned_only: bool  # runs only in the first pass, whose base starts on a page
    instruction: str
    registers: str
    frame: str = "CLASSIC"  # the loop around the body: "CLASSIC", "STRAIGHT", "STRING" or "LIBRARY"
    lines_per_pass: int = 1

    @property
    def extension(self) -> Optional[str]:
        """The capability-line name of the kernel's extension; None for the general registers."""
        return EXTENSION_NAMES.get(self.capability)

    @property
    def access_bytes(self) -> int:
        return ACCESS_BYTES[self.registers]

    def shown(self, extensions: FrozenSet[str], aligned16: bool) -> bool:
        """Whether the column appears, given the extensions the tables use."""
        return (self.extension is None or self.extension in extensions) and (aligned16 or not self.aligned_only)


def default_path() -> str:
    """The table beside this package once installed, else the source tree's."""
    here = os.path.dirname(os.path.abspath(__file__))
    installed = os.path.join(here, "kernel_list.def")
    if os.path.exists(installed):
        return installed
    return os.path.join(here, os.pardir, os.pardir, "kernels", "kernel_list.def")


def parse_table(text: str, source: str = "kernel_list.def") -> List[Kernel]:
    kernels = []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped.startswith("KERNEL_ROW("):
            continue
        match = ROW.match(stripped)
        if not match:
            raise TableError(f"{source}:{number}: KERNEL_ROW out of form: {stripped}")
        function, column, direction, capability, aligned, instruction, registers, frame, lines = match.groups()
        if capability != "0" and capability not in EXTENSION_NAMES:
            raise TableError(f"{source}:{number}: unknown capability {capability}")
        if frame == "CLASSIC" and lines != "1":
            raise TableError(f"{source}:{number}: the classic loop moves one line per pass")
        kernels.append(Kernel(function, column, direction, capability, aligned == "true", instruction, registers,
                              frame, int(lines)))
    if not kernels:
        raise TableError(f"{source}: no KERNEL_ROW")
    functions = [kernel.function for kernel in kernels]
    if len(set(functions)) != len(functions):
        raise TableError(f"{source}: a function is named twice")
    return kernels


def read_table(path: Optional[str] = None) -> List[Kernel]:
    path = path or default_path()
    with open(path, encoding="utf-8") as table:
        return parse_table(table.read(), path)


def columns(kernels: List[Kernel], direction: str, extensions: FrozenSet[str], aligned16: bool) -> List[str]:
    """The column labels of one table, left to right."""
    return [k.column for k in kernels if k.direction == direction and k.shown(extensions, aligned16)]
