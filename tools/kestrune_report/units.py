"""Throughput cells and block sizes, read back exactly as the benchmark prints them.

Every multiplier is a power of 1024, so converting a printed value to bytes is a
multiplication by a power of two and loses nothing in a double.
"""

import math
import re
from dataclasses import dataclass
from typing import Optional

THROUGHPUT_UNITS = {"B/s": 1, "KB/s": 1024, "MB/s": 1024 ** 2, "GB/s": 1024 ** 3}
PER_CYCLE_UNIT = "B/c"  # bytes per core cycle
SIZE_UNITS = {"B": 1, "KB": 1024, "MB": 1024 ** 2, "GB": 1024 ** 3}

# What a C++ ostream prints for a double at its default precision: "52.3301",
# "1024", "1e+06", "inf", the NaN spellings of glibc and MSVC, and any of them
# negative: a counter that runs backwards gives a negative rate.
NUMBER = r"(?:-?(?:[0-9]+(?:\.[0-9]+)?(?:e[+-][0-9]+)?|inf|nan(?:\(ind\))?))"
_CELL = re.compile(r"(" + NUMBER + r")(.*)")
_SIZE_LABEL = re.compile(r"([0-9]+)(B|KB|MB|GB):")
_NUMBER_PREFIX = r"[-0-9.e+infad()]*"
_CELL_PREFIX = re.compile(_NUMBER_PREFIX + r"(?:[KMG]?B?|[KMG]?B/s?)")
_PER_CYCLE_PREFIX = re.compile(_NUMBER_PREFIX + r"(?:B|B/|B/c)?")

UNIT_CHOICES = "GB/s, MB/s, KB/s or B/s"
NEGATIVE_UNIT = "B/s"


class UnitError(ValueError):
    """A cell or size label that does not read as the benchmark prints it."""


class _PrintedCell:
    """What every cell has: the number and unit as printed, and an exact figure (`EXACT` names it)."""
    EXACT = ""

    @property
    def printed(self):
        return self.value + self.unit

    @property
    def finite(self):
        return math.isfinite(getattr(self, self.EXACT))


@dataclass(frozen=True)
class Throughput(_PrintedCell):
    value: str  # the number exactly as printed, e.g. "52.3301"
    unit: str  # e.g. "GB/s", or "B/c" in a per-cycle report
    bytes_per_second: float
    # Per-cycle reports only: the printed figure, and the core clock it was taken at.
    bytes_per_cycle: Optional[float] = None
    core_mhz: Optional[float] = None
    EXACT = "bytes_per_second"


def parse_throughput(text):
    match = _CELL.fullmatch(text)
    if match is None:
        raise UnitError(f"expected a number followed by {UNIT_CHOICES}, got {text!r}")
    number, unit = match.groups()
    if not unit:
        raise UnitError(f"no unit after {text!r}, expected one of {UNIT_CHOICES}")
    if unit not in THROUGHPUT_UNITS:
        raise UnitError(f"unknown unit {unit!r} in {text!r}, expected {UNIT_CHOICES}")
    # The program scales only rates above 1 KB/s: a negative one is always in B/s.
    if number.startswith("-") and "nan" not in number and unit != NEGATIVE_UNIT:
        raise UnitError(f"expected a number followed by {UNIT_CHOICES}, got {text!r}; a negative "
                        f"rate is printed in {NEGATIVE_UNIT}")
    return Throughput(number, unit, number_value(number) * THROUGHPUT_UNITS[unit])


def number_value(text):
    """A number as NUMBER matches it, MSVC's "-nan(ind)" included."""
    return float(text.replace("(ind)", ""))


def parse_per_cycle(text, core_mhz):
    """A per-cycle cell, '31.8123B/c'; its rate is the figure times the core clock."""
    match = _CELL.fullmatch(text)
    if match is None or match.group(2) != PER_CYCLE_UNIT:
        raise UnitError(f"expected a number followed by {PER_CYCLE_UNIT} (bytes per core cycle) "
                        f"in a per-cycle report, got {text!r}")
    per_cycle = number_value(match.group(1))
    return Throughput(match.group(1), PER_CYCLE_UNIT, per_cycle * core_mhz * 1e6, per_cycle, core_mhz)


LATENCY_UNITS = ("ns", "c")  # nanoseconds, or core cycles with --per-cycle


@dataclass(frozen=True)
class Latency(_PrintedCell):
    """A load-latency cell: the time one load of the chase waited."""
    value: str  # the number exactly as printed
    unit: str  # "ns", or "c" in a per-cycle report
    ns_per_load: float
    # Per-cycle reports only: the printed figure, and the core clock it was taken at.
    cycles_per_load: Optional[float] = None
    core_mhz: Optional[float] = None
    EXACT = "ns_per_load"


def parse_latency(text, core_mhz=None):
    """A latency cell, '1.16234ns', or with core_mhz a per-cycle one, '4.04c'."""
    unit = LATENCY_UNITS[1] if core_mhz is not None else LATENCY_UNITS[0]
    match = _CELL.fullmatch(text)
    if match is None or match.group(2) != unit:
        what = "core cycles per load in a per-cycle report" if core_mhz is not None else "nanoseconds per load"
        raise UnitError(f"expected a number followed by {unit} ({what}), got {text!r}")
    number = number_value(match.group(1))
    if core_mhz is None:
        return Latency(match.group(1), unit, number)
    return Latency(match.group(1), unit, number * 1000.0 / core_mhz, number, core_mhz)


def could_be_cut_latency(text):
    """True when text may be the start of a latency cell the run did not finish printing."""
    return re.fullmatch(_NUMBER_PREFIX + r"n?", text) is not None


def could_be_cut_throughput(text, per_cycle=False):
    """True when text may be the start of a cell that the run did not finish printing."""
    return (_PER_CYCLE_PREFIX if per_cycle else _CELL_PREFIX).fullmatch(text) is not None


def parse_size_label(text):
    """'512KB:' -> 524288; None when text is not a size label."""
    match = _SIZE_LABEL.fullmatch(text)
    if match is None:
        return None
    return int(match.group(1)) * SIZE_UNITS[match.group(2)]


def format_size(size):
    """Bytes as the benchmark labels them: the largest unit that divides evenly."""
    for unit in ("GB", "MB", "KB"):
        if size >= SIZE_UNITS[unit] and size % SIZE_UNITS[unit] == 0:
            return f"{size // SIZE_UNITS[unit]}{unit}"
    return f"{size}B"
