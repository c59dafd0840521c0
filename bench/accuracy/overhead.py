"""Where a run's wall time goes: the clock wait, the kernels' timed windows,
and everything else (start-up, allocation, printing, CPUID exits)."""

from dataclasses import dataclass

from .reference import BYTES_PER_MEASUREMENT as BYTES_PER_CELL  # or the whole block, past 64 MiB
from .runs import GIB

WARM_UP_COLUMN = "MOV(32)"  # each row starts with an unreported run of it
WAIT_SECONDS = 3.0


@dataclass
class Overhead:
    wall: float
    kernels: float
    other: float

    @property
    def other_share(self):
        return self.other / self.wall


def seconds_in_kernels(run):
    total = 0.0
    for (table, block, column), rate in run.cells.items():
        seconds = max(BYTES_PER_CELL, block) / (rate * GIB)
        total += seconds
        if column == WARM_UP_COLUMN:
            total += seconds  # the row's warm-up ran the same kernel on the same block
    return total


def overhead(run, wall_seconds):
    kernels = seconds_in_kernels(run)
    return Overhead(wall_seconds, kernels, wall_seconds - WAIT_SECONDS - kernels)
