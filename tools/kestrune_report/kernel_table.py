"""The tables of the benchmark, as the build writes them: tools/write_tables_json.cpp
includes kernels/kernel_list.def, isa/extension_list.def,
driver/record_fields.def and the lists of kernels/kernel_table.h through the C
preprocessor, as the program does, and writes every row as JSON (tables.json).
Nothing is read until asked for.

The reader is strict: a row it cannot use is an error, never a row silently
left out."""

import functools
import json
import os
import re
from typing import FrozenSet, List, NamedTuple, Optional, Tuple

TABLES_FILE = "tables.json"
# Where the tables are when the package is not installed with them: the build tree's.
TABLES_VARIABLE = "KESTRUNE_TABLES"
FRAMES = ("CLASSIC", "STRAIGHT", "STRING", "LIBRARY")


class TableError(ValueError):
    """The tables are missing or hold a row out of form."""


class Kernel(NamedTuple):
    function: str
    column: str
    direction: str      # "READ", "WRITE", "COPY" or "FILL"
    capability: str     # "0" or a CAP_ name
    aligned_only: bool  # runs only in the first pass, whose base starts on a page
    instruction: str
    registers: str
    frame: str          # the loop around the body: "CLASSIC", "STRAIGHT", "STRING" or "LIBRARY"
    lines_per_pass: int
    extension: Optional[str]  # the capability-line name of its extension; None for the general registers
    access_bytes: int   # the bytes one access moves

    def shown(self, extensions: FrozenSet[str], aligned16: bool) -> bool:
        """Whether the column appears, given the extensions the tables use."""
        return (self.extension is None or self.extension in extensions) and (aligned16 or not self.aligned_only)


class Loader(NamedTuple):
    """A loader of the loaded-latency table (kernels/loader_list.def)."""
    function: str
    load: str           # "READ", "WRITE" or "COPY"
    capability: str
    instruction: str
    registers: str
    column: str
    access_bytes: int


class Extension(NamedTuple):
    capability: str  # its CAP_ name
    name: str        # as the capability line spells it
    option: str      # as --isa spells it
    cpuinfo: str     # its flag in /proc/cpuinfo
    classic: bool    # measured by a run without options


class RecordField(NamedTuple):
    name: str
    cells: str       # the records that hold it: "ALL", "THROUGHPUT", "LATENCY", "COPY_FILL", "CHAINS", "CHASE"
                     # or "LOADED"
    per_cycle: bool  # only in a --per-cycle run
    from_text: str   # whether the report tool writes it: "ALWAYS", "WITH_OPTIONS" or "NEVER"


class Direction(NamedTuple):
    kind: str               # as the kernel table spells it: "READ", ...
    name: str               # as the records and the table titles do: "read", ...
    bus_bytes_per_byte: int  # the bytes the memory system carries per byte moved


class Tables(NamedTuple):
    kernels: Tuple[Kernel, ...]
    extensions: Tuple[Extension, ...]  # in the capability line's order
    record_fields: Tuple[RecordField, ...]  # in the records' order
    directions: Tuple[Direction, ...]
    chase_loads_per_pass: int
    copy_destination_skew_bytes: int  # how far past a page boundary a copy's destination starts
    loaders: Tuple[Loader, ...] = ()  # the loaded-latency table's, widest first per load

    def bus_bytes_per_byte(self, direction_name: str) -> Optional[int]:
        """For a direction as the records name it; None for one the tables lack."""
        return next((d.bus_bytes_per_byte for d in self.directions if d.name == direction_name), None)

    @property
    def classic_extensions(self) -> Tuple[str, ...]:
        return tuple(extension.name for extension in self.extensions if extension.classic)


def default_path() -> str:
    """The tables beside this package once installed; else the build's that KESTRUNE_TABLES
    names; else, in the source tree, those of its build/ (tools/run-benchmark's)."""
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.join(here, TABLES_FILE)
    if os.path.exists(beside):
        return beside
    if os.environ.get(TABLES_VARIABLE):
        return os.environ[TABLES_VARIABLE]
    source_build = os.path.normpath(os.path.join(here, os.pardir, os.pardir, "build", TABLES_FILE))
    if os.path.exists(source_build):
        return source_build
    raise TableError(f"no {TABLES_FILE} beside {here}, none in {source_build} and {TABLES_VARIABLE} is not set: "
                     f"the build writes it; install kestrune-report, or name the build's with {TABLES_VARIABLE}")


def _snake(name: str) -> str:
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


def _rows(document: dict, key: str, source: str) -> List[dict]:
    rows = document.get(key) if isinstance(document, dict) else None
    if not isinstance(rows, list) or not rows or not all(isinstance(row, dict) for row in rows):
        raise TableError(f"{source}: no {key} table")
    return [{_snake(name): value for name, value in row.items()} for row in rows]


def _record(kind, row: dict, number: int, key: str, source: str):
    """The named tuple of the fields it knows; a column it does not know is left to those that use it."""
    missing = [name for name in kind._fields if name not in row]
    if missing:
        raise TableError(f"{source}: {key} row {number} lacks {', '.join(missing)}")
    return kind(**{name: row[name] for name in kind._fields})


def parse_tables(document: dict, source: str = TABLES_FILE) -> Tables:
    classic = document.get("classicExtensions") if isinstance(document, dict) else None
    if not isinstance(classic, list):
        raise TableError(f"{source}: no classicExtensions list")
    extensions = tuple(_record(Extension, dict(row, classic=row.get("name") in classic), number, "extensions",
                               source)
                       for number, row in enumerate(_rows(document, "extensions", source), 1))
    names = {extension.capability: extension.name for extension in extensions}
    directions = tuple(_record(Direction, row, number, "directions", source)
                       for number, row in enumerate(_rows(document, "directions", source), 1))
    access_bytes = {row.get("kind"): row.get("access_bytes") for row in _rows(document, "registers", source)}
    counts = {}
    for key in ("chaseLoadsPerPass", "copyDestinationSkewBytes"):
        counts[key] = document.get(key)
        if not isinstance(counts[key], int) or counts[key] < 1:
            raise TableError(f"{source}: no {key} count")
    kernels = []
    for number, row in enumerate(_rows(document, "kernels", source), 1):
        capability = str(row.get("capability"))
        if capability != "0" and capability not in names:
            raise TableError(f"{source}: kernels row {number}: unknown capability {capability}")
        registers = row.get("registers")
        if registers not in access_bytes:
            raise TableError(f"{source}: kernels row {number}: unknown registers {registers}")
        kernel = _record(Kernel, dict(row, capability=capability, extension=names.get(capability),
                                      access_bytes=access_bytes[registers]), number, "kernels", source)
        if kernel.direction not in {direction.kind for direction in directions}:
            raise TableError(f"{source}: kernels row {number}: unknown direction {kernel.direction}")
        if kernel.frame not in FRAMES:
            raise TableError(f"{source}: kernels row {number}: unknown frame {kernel.frame}")
        if kernel.frame == "CLASSIC" and kernel.lines_per_pass != 1:
            raise TableError(f"{source}: kernels row {number}: the classic loop moves one line per pass")
        kernels.append(kernel)
    functions = [kernel.function for kernel in kernels]
    if len(set(functions)) != len(functions):
        raise TableError(f"{source}: a function is named twice")
    fields = tuple(_record(RecordField, row, number, "recordFields", source)
                   for number, row in enumerate(_rows(document, "recordFields", source), 1))
    loaders = tuple(_record(Loader, dict(row, access_bytes=access_bytes.get(row.get("registers"))), number,
                            "loaders", source)
                    for number, row in enumerate(_rows(document, "loaders", source) if "loaders" in document
                                                 else [], 1))
    return Tables(tuple(kernels), extensions, fields, directions, counts["chaseLoadsPerPass"],
                  counts["copyDestinationSkewBytes"], loaders)


@functools.lru_cache(maxsize=None)
def read_tables(path: Optional[str] = None) -> Tables:
    path = path or default_path()
    try:
        with open(path, encoding="utf-8") as tables:
            document = json.load(tables)
    except (OSError, ValueError) as problem:
        raise TableError(f"{path}: {problem}") from None
    return parse_tables(document, path)


def read_table(path: Optional[str] = None) -> List[Kernel]:
    """The kernels, in the table's order."""
    return list(read_tables(path).kernels)


def columns(kernels: List[Kernel], direction: str, extensions: FrozenSet[str], aligned16: bool) -> List[str]:
    """The column labels of one table, left to right."""
    return [k.column for k in kernels if k.direction == direction and k.shown(extensions, aligned16)]
