"""How a figure measured several times on a shared host is held against a
fixed figure (a limit of the hardware, the kernel's clock); comparisons of two
measured sides are judged on pairs (pairs.py).

A neighbour on the host only ever takes speed away, so the best run is the one
the host disturbed least; the median and the spread still say how much the
host moved. Where even the best run falls short, the issue-rate probe read
around that run says whether the core itself was slower at that moment."""

from dataclasses import dataclass
from math import log
from statistics import median
from typing import List

ISSUE_SHARE_TARGET = 0.95
REFERENCE_RATIO_TARGET = 0.97


def spread(values):
    """Largest over smallest; 1.00 means every run agreed."""
    low, high = min(values), max(values)
    return high / low if low > 0 else float("inf")


def best_index(values):
    return max(range(len(values)), key=values.__getitem__)


@dataclass(frozen=True)
class IssueJudgement:
    shares: List[float]        # per run: bytes per cycle over the limit
    best_run: int              # 0-based
    probe_share: float         # the best run over what the probe sustained around it
    verdict: str               # "ok", "ok of probe", "BELOW 95%" or "excepted: non-temporal"

    @property
    def best_share(self):
        return self.shares[self.best_run]

    @property
    def holds(self):
        return self.verdict != "BELOW 95%"


def judge_issue(per_cycle, limit, probe_per_cycle, non_temporal=False):
    """per_cycle: bytes per cycle of each run; limit: the processor's bytes per cycle;
    probe_per_cycle: bytes per cycle the probe sustained around each run."""
    shares = [value / limit for value in per_cycle]
    best = best_index(shares)
    probe_share = per_cycle[best] / probe_per_cycle[best]
    if non_temporal:
        verdict = "excepted: non-temporal"
    elif shares[best] >= ISSUE_SHARE_TARGET:
        verdict = "ok"
    elif probe_share >= ISSUE_SHARE_TARGET and probe_per_cycle[best] / limit < ISSUE_SHARE_TARGET:
        # The core itself sustained less around that run: the host held it back.
        # A probe at the target or above says nothing of the kind (its own loop
        # reaches 94-100% of the limit on a quiet core), and excuses nothing.
        verdict = "ok of probe"
    else:
        verdict = "BELOW 95%"
    return IssueJudgement(shares, best, probe_share, verdict)


def relative_error(value, truth):
    return (value - truth) / truth


def best_error(errors):
    """The run that came closest, with its sign."""
    return min(errors, key=abs)


@dataclass(frozen=True)
class RepeatedCell:
    """One cell of an invocation with --repeat: the rate it printed (the median of its runs) and its first run's,
    which is what a run without --repeat would have printed at that moment."""
    printed: float
    first: float


# A spread this small is rounding: the runs agreed.
AGREED = 1e-9


def invocation_levels(invocations, side):
    """Each invocation's overall level on one side ("printed" or "first"): the median over its cells of its rate
    over the cell's median across the invocations (1.00: as the others)."""
    cells = list(invocations[0])
    middle = {cell: median(getattr(invocation[cell], side) for invocation in invocations) for cell in cells}
    return [median(getattr(invocation[cell], side) / middle[cell] for cell in cells) for invocation in invocations]


def repeat_narrowing_ratios(invocations):
    """invocations: [{cell: RepeatedCell}] of the runs with --repeat. Per cell, the spread over the invocations of
    what they printed over that of their first runs (logarithms of largest over smallest, so that 1.00 is as wide
    and 0.50 half as wide); cells whose first runs all agreed are left out. Each invocation's overall level is taken
    out first, each side by its own: a host that slowed a whole invocation slowed its every run alike, which no
    repeat can narrow, and would stand as wide on both sides."""
    printed_levels = invocation_levels(invocations, "printed")
    first_levels = invocation_levels(invocations, "first")
    ratios = []
    for cell in invocations[0]:
        first = log(spread([invocation[cell].first / level for invocation, level in zip(invocations, first_levels)]))
        if first > AGREED:
            printed = log(spread([invocation[cell].printed / level
                                  for invocation, level in zip(invocations, printed_levels)]))
            ratios.append(printed / first)
    return ratios
