"""The sections that hold the program's kernels against likwid-bench, judged on
pairs (paired_reference): one thread, two threads, main memory, the straight
loop's widest columns, and the copies. Which comparisons a run makes comes from
its plan (plan.py); a reference run that several sections need is measured once
and serves them all."""

from dataclasses import dataclass, field
from typing import Dict, List

from kestrune_report.units import format_size as block_label

from . import copy_fill, host_state, reference, straight_frame
from .judging import REFERENCE_RATIO_TARGET
from .paired_reference import PAIR_RUN_BYTES, Group, pairs_of
from .pairs import CANNOT_JUDGE, AtLeast, judge, judge_target, show_judgements

ONE_THREAD, TWO_THREADS, MAIN_MEMORY, FRAME, COPY = "one thread", "two threads", "main memory", "straight frame", \
    "copy"
SECTIONS = (ONE_THREAD, TWO_THREADS, MAIN_MEMORY, FRAME, COPY)


@dataclass
class Comparison:
    """One judged comparison: our column in a group of pairs, against a target."""
    group: Group
    column: tuple   # (direction, column)
    target: float
    label: str
    judged: bool = True  # False: shown beside, not judged

    def judge(self, measured):
        """Judged on the pairs measured so far: measured, Group -> its pairs."""
        return judge(self.label, pairs_of(measured, self.group, self.column), AtLeast(self.target),
                     subject=self.column)


@dataclass
class PairedPlan:
    """Per section, its comparisons; the groups are shared between sections."""
    comparisons: Dict[str, List[Comparison]] = field(default_factory=dict)

    def undecided(self, group, found):
        """Whether any comparison judged on a group's pairs so far cannot be judged yet."""
        return any(c.judge({group: found}).verdict == CANNOT_JUDGE for comparisons in self.comparisons.values()
                   for c in comparisons if c.judged and c.group == group)

    def groups(self, section=None):
        sections = [section] if section else list(self.comparisons)
        found = {}
        for name in sections:
            for comparison in self.comparisons.get(name, []):
                found[comparison.group] = True
        return list(found)


def widest_of_each_kind(pairings):
    """The widest load, store and streaming store among the pairings (they are listed narrowest first)."""
    chosen = {}
    for pairing in pairings:
        kind = "NT store" if "NT" in pairing.width else pairing.width.split("-byte ")[1]
        chosen[kind] = pairing
    return list(chosen.values())


def _merge(wanted):
    """wanted: [(section, kernel, block, threads, placement, column, target, label, judged)] -> PairedPlan whose
    groups run every column one reference run is compared with."""
    columns = {}
    for _, kernel, block, threads, placement, column, *_ in wanted:
        columns.setdefault((kernel, block, threads, placement), {})[column] = True
    groups = {key: Group(key[0], key[1], key[2], tuple(found), key[3]) for key, found in columns.items()}
    planned = PairedPlan({section: [] for section in SECTIONS})
    for section, kernel, block, threads, placement, column, target, label, judged in wanted:
        planned.comparisons[section].append(
            Comparison(groups[(kernel, block, threads, placement)], column, target, label, judged))
    return planned


def plan_pairs(plan, pairings, shown):
    """The comparisons of a run: pairings, the one-thread table's (reference.pairings_for); shown: the
    (direction, column) pairs the processor runs."""
    wanted = []

    def add(section, kernel, block, threads, column, target, placement=None, judged=True):
        if column not in shown:
            return
        threads_label = f" x{threads} threads" if threads > 1 else ""
        label = f"{column[0]} {column[1]} {block_label(block)}{threads_label} / {kernel}" + \
            (f" (dest {placement})" if placement else "")
        wanted.append((section, kernel, block, threads, placement, column, target, label, judged))

    for pairing in pairings:
        for size in plan.one_thread_sizes:
            add(ONE_THREAD, pairing.kernel, size, 1, pairing.ours, REFERENCE_RATIO_TARGET)
    for pairing in pairings if plan.two_thread_all_widths else widest_of_each_kind(pairings):
        for size in plan.two_thread_sizes:
            add(TWO_THREADS, pairing.kernel, size, 2, pairing.ours, REFERENCE_RATIO_TARGET)
    for pairing in pairings if plan.main_memory_all_widths else widest_of_each_kind(pairings):
        for size in plan.main_memory_sizes:
            add(MAIN_MEMORY, pairing.kernel, size, 1, pairing.ours, REFERENCE_RATIO_TARGET)
    for (direction, column), kernel in straight_frame.REFERENCE_KERNELS.items():
        target = straight_frame.READ_REFERENCE_TARGET if direction == "read" else \
            straight_frame.WRITE_REFERENCE_TARGET
        blocks = plan.frame_read_blocks if direction == "read" else plan.frame_write_blocks
        for block in blocks:
            add(FRAME, kernel, block, 1, (direction, column), target)
    for column, kernel in copy_fill.SAME_WIDTH.items():
        for block in plan.copy_blocks:
            add(COPY, kernel, block, 1, ("copy", column), copy_fill.REFERENCE_TARGET, copy_fill.AS_OURS)
            if plan.copy_beside and kernel == copy_fill.STREAMING_KERNEL:
                add(COPY, kernel, block, 1, ("copy", column), copy_fill.REFERENCE_TARGET, copy_fill.ITS_OWN,
                    judged=False)
    return _merge(wanted)


def judgements(planned, measured, section, judged=True):
    return [c.judge(measured) for c in planned.comparisons.get(section, []) if c.judged == judged]


FORMED = ("one likwid-bench run and one run of the program's kernels (the kernel_turns helper) started right "
          "after the other, which goes first alternating; the same block, threads and bytes, {run} in one timed "
          "window a side (or the block once, where larger), compared in bytes per time-stamp tick")
HELD = ("; the likwid-bench runs of a comparison started together and each held in the last half second of its "
        "clock calibration until its pair came, so that the two timed windows lie milliseconds apart{unheld}")

HEADINGS = {
    ONE_THREAD: ("4. Independent reference, one thread: the program's kernels against likwid-bench, in pairs",
                 "ours/reference >= 0.97 in every size and width (one thread)"),
    TWO_THREADS: ("5. Two threads: the program's kernels on both processors against likwid-bench -w S0:SIZE:2, "
                  "in pairs", "two threads: ours/reference >= 0.97 in every size and width"),
    MAIN_MEMORY: ("6. Main memory: the program's kernels against likwid-bench in blocks past the caches, in pairs",
                  "main memory: ours/reference >= 0.97"),
}


def _formed(m, section):
    text = FORMED.format(run=block_label(PAIR_RUN_BYTES))
    if m.pairs_held and isinstance(m.reference_source, reference.LikwidReference):
        text += HELD.format(unheld=f" ({m.pairs_unheld} ran before they could be held, left out)"
                            if m.pairs_unheld else "")
    extended = [g for g in m.extension.extended if g in m.paired_plan.groups(section)] if m.extension else []
    if extended:
        text += (f"; a comparison that its first {m.plan.pairs} pairs ({m.plan.memory_pairs} in main memory) could "
                 f"not judge got {m.plan.more_pairs} more ({m.plan.more_memory_pairs}), once, while the run's "
                 f"{m.plan.more_pairs_seconds:.0f} s for them lasted: {len(extended)} here")
    if not isinstance(m.reference_source, reference.LikwidReference):
        text = text.replace("likwid-bench run", "run of the bench's own loop")
    return text


def reference_section(b, m, section):
    heading, target = HEADINGS[section]
    b.heading(heading)
    host_state.report(b, section, m.host_states.get(section))
    b.say(m.reference_source.describe())
    found = judgements(m.paired_plan, m.paired, section)
    if not found:
        b.say("nothing to compare: this processor runs none of the paired columns")
        b.judge(target, None, "nothing measured")
        return found
    show_judgements(b, section, found, _formed(m, section))
    for failure in m.pair_failures:
        b.say(f"reference failed: {failure}")
    judge_target(b, target, found)
    return found


def frame_reference(b, m):
    """The straight loop's 512-bit reads and the 512- and 256-bit writes against likwid-bench, in pairs."""
    found = judgements(m.paired_plan, m.paired, FRAME)
    if not found:
        return found
    b.say()
    b.say("the straight loop's widest columns against likwid-bench's kernel of their width and direction:")
    show_judgements(b, "straight_frame", found, _formed(m, FRAME))
    for direction, target in (("read", straight_frame.READ_REFERENCE_TARGET),
                              ("write", straight_frame.WRITE_REFERENCE_TARGET)):
        own = [j for j in found if j.subject[0] == direction]
        if own:
            judge_target(b, f"{direction}s of the straight frame at {target:.2f} of the reference or more", own)
    return found


def copy_reference(b, m):
    found = judgements(m.paired_plan, m.paired, COPY)
    target = f"vector copy columns at {copy_fill.REFERENCE_TARGET:.2f} of likwid-bench's same-width copy or more"
    if not found:
        b.judge(target, None, "likwid-bench could not run here")
        return found
    b.say("copied bytes: likwid-bench's volume, which counts the bytes read and the bytes written, halved; its "
          f"destination placed {copy_fill.AS_OURS} (half a page past a page, as the program places its own)")
    show_judgements(b, "copy_fill", found, _formed(m, COPY))
    beside = judgements(m.paired_plan, m.paired, COPY, judged=False)
    if beside:
        b.say(f"shown beside, not judged: likwid-bench's streaming copy with the destination {copy_fill.ITS_OWN}, "
              "on a page")
        show_judgements(b, "copy_fill_beside", beside, _formed(m, COPY))
    judge_target(b, target, found)
    return found
