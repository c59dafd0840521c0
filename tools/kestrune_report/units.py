"""Throughput cells and block sizes, read back exactly as the benchmark prints them.

Every multiplier is a power of 1024, so converting a printed value to bytes is a
multiplication by a power of two and loses nothing in a double.
"""

import math
import re
from dataclasses import dataclass

THROUGHPUT_UNITS = {"B/s": 1, "KB/s": 1024, "MB/s": 1024 ** 2, "GB/s": 1024 ** 3}
SIZE_UNITS = {"B": 1, "KB": 1024, "MB": 1024 ** 2}

# What a C++ ostream prints for a double at its default precision: "52.3301",
# "1024", "1e+06", "inf", and the NaN spellings of glibc and MSVC.
_NUMBER = r"(?:[0-9]+(?:\.[0-9]+)?(?:e[+-][0-9]+)?|inf|-?nan(?:\(ind\))?)"
_CELL = re.compile(r"(" + _NUMBER + r")(.*)")
_SIZE_LABEL = re.compile(r"([0-9]+)(B|KB|MB):")
_CELL_PREFIX = re.compile(r"[-0-9.e+infad()]*(?:[KMG]?B?|[KMG]?B/s?)")

UNIT_CHOICES = "GB/s, MB/s, KB/s or B/s"


class UnitError(ValueError):
    """A cell or size label that does not read as the benchmark prints it."""


@dataclass(frozen=True)
class Throughput:
    value: str  # the number exactly as printed, e.g. "52.3301"
    unit: str  # e.g. "GB/s"
    bytes_per_second: float

    @property
    def printed(self):
        return self.value + self.unit

    @property
    def finite(self):
        return math.isfinite(self.bytes_per_second)


def parse_throughput(text):
    match = _CELL.fullmatch(text)
    if match is None:
        raise UnitError(f"expected a number followed by {UNIT_CHOICES}, got {text!r}")
    number, unit = match.groups()
    if not unit:
        raise UnitError(f"no unit after {text!r}, expected one of {UNIT_CHOICES}")
    if unit not in THROUGHPUT_UNITS:
        raise UnitError(f"unknown unit {unit!r} in {text!r}, expected {UNIT_CHOICES}")
    return Throughput(number, unit, float(number.replace("(ind)", "")) * THROUGHPUT_UNITS[unit])


def could_be_cut_throughput(text):
    """True when text may be the start of a cell that the run did not finish printing."""
    return _CELL_PREFIX.fullmatch(text) is not None


def parse_size_label(text):
    """'512KB:' -> 524288; None when text is not a size label."""
    match = _SIZE_LABEL.fullmatch(text)
    if match is None:
        return None
    return int(match.group(1)) * SIZE_UNITS[match.group(2)]


def format_size(size):
    """Bytes as the benchmark labels them: the largest unit that divides evenly."""
    for unit in ("MB", "KB"):
        if size >= SIZE_UNITS[unit] and size % SIZE_UNITS[unit] == 0:
            return f"{size // SIZE_UNITS[unit]}{unit}"
    return f"{size}B"
