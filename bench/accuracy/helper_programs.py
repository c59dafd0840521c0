"""Runs the small C++ helpers that the bench script compiles into build/bench."""

import subprocess
from dataclasses import dataclass


@dataclass
class CycleReading:
    ticks_per_cycle: float  # median of the helper's samples
    low: float
    high: float


def read_core_clock(helper, cpu):
    out = subprocess.run([str(helper), str(cpu)], check=True, capture_output=True, text=True).stdout
    name, median, low, high = out.split()
    assert name == "ticks_per_cycle"
    return CycleReading(float(median), float(low), float(high))


def read_named_numbers(helper, cpu):
    """Runs a helper that prints "<name> <number>" lines."""
    out = subprocess.run([str(helper), str(cpu)], check=True, capture_output=True, text=True).stdout
    return {kind: float(rate) for kind, rate in (line.split() for line in out.splitlines())}
