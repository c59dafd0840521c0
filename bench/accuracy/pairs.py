"""Judging a comparison on pairs: the two sides measured back to back, many times.

The host this bench runs on moves every figure: it preempts the guest about
every millisecond and throttles sustained traffic while it is busy, and both
come and go within seconds. Two sides measured minutes apart, or at different
run lengths, compare the host's moments; two sides measured back to back, at
the same block and the same run length, share the moment, and the ratio of
such a pair is the code's. So each side of a comparison is measured right
after the other, many times over, and the comparison is judged on the median
of the pairs' ratios, with an interval for that median taken from the pairs
themselves.

The interval is distribution-free: between two order statistics of the ratios,
the k-th lowest and the k-th highest, the median of the ratios' distribution
lies with a probability that follows from the binomial distribution alone,
whatever the host did. k is the largest that still gives the confidence asked
for; with too few pairs there is no such k, and no interval.

A target is a range the ratio must lie in (at least 0.97, or within 0.95-1.05).
The comparison HOLDS when the whole interval lies inside it, FAILS when the
whole interval lies outside it, and CANNOT JUDGE otherwise: the pairs did not
agree enough to say.

Usage, for a section of the bench:

    pairs = measure_pairs(9, lambda: our_rate(...), lambda: their_rate(...))   # or [Pair(ours, theirs), ...]
    judgement = judge(f"read MOVAPS 4 KiB / likwid-bench load_sse", pairs, AtLeast(0.97),
                      subject=("read", "MOVAPS"))
    show_judgements(b, "reference", [judgement, ...], formed="likwid-bench once, then ours")
    judge_target(b, "ours/reference >= 0.97 (one thread)", [judgement, ...])
"""

from dataclasses import dataclass, field
from math import comb
from statistics import median
from typing import Optional, Sequence, Tuple

# The least probability that the interval holds the median of the ratios.
CONFIDENCE = 0.90

HOLDS, FAILS, CANNOT_JUDGE = "HOLDS", "FAILS", "CANNOT JUDGE"
# The report builder's verdicts are True, False and None.
_HOLDS_VALUE = {HOLDS: True, FAILS: False, CANNOT_JUDGE: None}


@dataclass(frozen=True)
class Pair:
    """One pair: our side and the other, measured back to back in the same units."""
    ours: float
    theirs: float

    @property
    def ratio(self):
        return self.ours / self.theirs


@dataclass(frozen=True)
class Interval:
    low: float
    high: float
    coverage: float  # the probability that [low, high] holds the median
    rank: int        # low is the rank-th lowest ratio, high the rank-th highest


def measure_pairs(count, ours, theirs):
    """Measures `count` pairs: ours() and theirs() each return one figure; the side that goes first
    alternates from pair to pair, so that neither side always follows the other's disturbance."""
    found = []
    for index in range(count):
        if index % 2 == 0:
            mine = ours()
            found.append(Pair(mine, theirs()))
        else:
            other = theirs()
            found.append(Pair(ours(), other))
    return found


def coverage(n, rank):
    """The probability that the rank-th lowest and rank-th highest of n values from any continuous
    distribution enclose its median: 1 - 2 P(Binomial(n, 1/2) < rank)."""
    below = sum(comb(n, i) for i in range(rank)) / 2 ** n
    return 1.0 - 2.0 * below


def median_interval(values, confidence=CONFIDENCE) -> Optional[Interval]:
    """The narrowest order-statistic interval for the median with at least `confidence`;
    None when there are too few values for one (fewer than five at 0.90)."""
    ordered = sorted(values)
    n = len(ordered)
    best = None
    for rank in range(1, n // 2 + 1):
        held = coverage(n, rank)
        if held < confidence:
            break
        best = Interval(ordered[rank - 1], ordered[n - rank], held, rank)
    return best


def pairs_needed(confidence=CONFIDENCE):
    """The fewest pairs that give an interval at all."""
    n = 1
    while coverage(n, 1) < confidence:
        n += 1
    return n


@dataclass(frozen=True)
class Target:
    """The range a comparison's ratio must lie in; either bound may be open."""
    low: Optional[float] = None
    high: Optional[float] = None

    def inside(self, value):
        return (self.low is None or value >= self.low) and (self.high is None or value <= self.high)

    def describe(self):
        if self.high is None:
            return f">= {self.low:g}"
        if self.low is None:
            return f"<= {self.high:g}"
        return f"{self.low:g}-{self.high:g}"


def AtLeast(low):
    return Target(low=low)


def Within(share, around=1.0):
    """Within `share` of `around` either way: Within(0.05) is 0.95-1.05."""
    return Target(low=around * (1 - share), high=around * (1 + share))


def verdict_of(interval: Optional[Interval], target: Target):
    if interval is None:
        return CANNOT_JUDGE
    if target.inside(interval.low) and target.inside(interval.high):
        return HOLDS
    below = target.low is not None and interval.high < target.low
    above = target.high is not None and interval.low > target.high
    return FAILS if below or above else CANNOT_JUDGE


@dataclass(frozen=True)
class Judgement:
    """One comparison judged on its pairs. `subject` names what of ours was measured (for a kernel,
    (direction, column)), so that a planted fault can be traced to the judgements of its column."""
    label: str
    ratios: Tuple[float, ...]
    target: Target
    interval: Optional[Interval]
    verdict: str
    subject: object = None
    note: str = ""

    @property
    def median(self):
        return median(self.ratios)

    @property
    def spread(self):
        """The lowest and the highest ratio of the pairs."""
        return min(self.ratios), max(self.ratios)

    @property
    def holds(self):
        return _HOLDS_VALUE[self.verdict]

    def interval_text(self):
        if self.interval is None:
            return f"none ({len(self.ratios)} pairs; {pairs_needed()} needed)"
        return f"{self.interval.low:.3f}-{self.interval.high:.3f} ({self.interval.coverage:.0%})"


def judge(label, pairs: Sequence[Pair], target: Target, subject=None, note="", confidence=CONFIDENCE):
    ratios = tuple(pair.ratio for pair in pairs)
    interval = median_interval(ratios, confidence)
    return Judgement(label, ratios, target, interval, verdict_of(interval, target), subject, note)


def judge_ratios(label, ratios, target: Target, subject=None, note="", confidence=CONFIDENCE):
    """The same, where each pair's ratio is all there is (e.g. ticks of two kernels in one turn)."""
    return judge(label, [Pair(ratio, 1.0) for ratio in ratios], target, subject, note, confidence)


JUDGEMENT_HEADER = ["comparison", "target", "pairs", "median", "interval", "pairs' spread", "verdict"]


def judgement_row(judgement: Judgement):
    low, high = judgement.spread
    return [judgement.label, judgement.target.describe(), str(len(judgement.ratios)), f"{judgement.median:.3f}",
            judgement.interval_text(), f"{low:.3f}-{high:.3f}", judgement.verdict]


def show_judgements(b, section, judgements, formed):
    """Prints how the pairs were formed, a row per comparison, and records each in the CSV."""
    b.say(f"pairs: {formed}; judged on the median of the pairs' ratios, with the order-statistic interval that holds "
          f"it with {CONFIDENCE:.0%} or more (HOLDS: the interval inside the target; FAILS: outside it)")
    b.table(JUDGEMENT_HEADER, [judgement_row(j) for j in judgements])
    for j in judgements:
        b.record(section, quantity=j.label, value=j.median, unit="median ratio")
        if j.interval is not None:
            b.record(section, quantity=j.label, value=j.interval.low, unit="interval low")
            b.record(section, quantity=j.label, value=j.interval.high, unit="interval high")
        b.record(section, quantity=j.label, value=j.verdict, unit="verdict")


def target_verdict(judgements):
    """A target of several comparisons FAILS if any fails, HOLDS if all hold, and else cannot be judged."""
    verdicts = {j.verdict for j in judgements}
    if not judgements:
        return CANNOT_JUDGE
    if FAILS in verdicts:
        return FAILS
    return HOLDS if verdicts == {HOLDS} else CANNOT_JUDGE


def target_detail(judgements):
    if not judgements:
        return "nothing measured"
    failing = [j for j in judgements if j.verdict == FAILS]
    open_ = [j for j in judgements if j.verdict == CANNOT_JUDGE]
    lowest = min(judgements, key=lambda j: j.median)
    parts = [f"{len(judgements)} comparisons; lowest median {lowest.median:.3f} ({lowest.label}, interval "
             f"{lowest.interval_text()})"]
    if failing:
        parts.append("FAILS: " + "; ".join(f"{j.label} {j.interval_text()}" for j in failing))
    if open_:
        parts.append("cannot judge: " + "; ".join(f"{j.label} {j.interval_text()}" for j in open_))
    return "; ".join(parts)


def judge_target(b, target, judgements):
    """Adds the target's verdict to the report, from its comparisons."""
    b.judge(target, _HOLDS_VALUE[target_verdict(judgements)], target_detail(judgements))


@dataclass
class PlantedFaultOutcome:
    found: bool                                   # the planted column FAILS where it is judged
    false_alarms: list = field(default_factory=list)  # judgements of other subjects that FAIL
    missed: list = field(default_factory=list)        # sections that judged the planted column and did not fail it
    # judgements of other subjects that FAIL in the normal build's same section as well: not the plant's doing
    standing: list = field(default_factory=list)
    # judgements of other subjects that FAIL in one measurement of the planted build and not in the other: a mode of
    # one process, which the plant, there in every process, did not cause
    unrepeated: list = field(default_factory=list)

    @property
    def passes(self):
        return self.found and not self.false_alarms and not self.missed


def _failing(sections, name):
    return {j.subject for j in (sections or {}).get(name, []) if j.verdict == FAILS}


def planted_fault_outcome(sections, planted, normal=None, again=None):
    """sections: {name: [Judgement]} of the planted build; planted: the subject slowed on purpose; normal: the same
    sections of the normal build, measured in the same run; again: the planted build's sections measured once more,
    where the first measurement failed something else. Passes when every section that judges the planted subject
    FAILS it in at least one comparison, and no comparison of anything else FAILS unless the normal build's same
    section fails that subject too (a finding that stands in both builds) or the planted build's second measurement
    does not (the plant is in every process, and what it causes comes back)."""
    outcome = PlantedFaultOutcome(found=False)
    judged_anywhere = False
    for name, judgements in sections.items():
        own = [j for j in judgements if j.subject == planted]
        if own:
            judged_anywhere = True
            if not any(j.verdict == FAILS for j in own):
                outcome.missed.append(name)
        failing_before, failing_again = _failing(normal, name), _failing(again, name)
        for j in judgements:
            if j.subject == planted or j.verdict != FAILS:
                continue
            if j.subject in failing_before:
                outcome.standing.append(j)
            elif again is not None and j.subject not in failing_again:
                outcome.unrepeated.append(j)
            else:
                outcome.false_alarms.append(j)
    outcome.found = judged_anywhere and not outcome.missed
    return outcome
