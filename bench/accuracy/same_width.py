"""Whether the columns of one width agree: the instructions that move the same
bytes per access in the same direction should run at the same speed, and a
column that trails its group measures where its code lies, not its instruction.

Judged on the 4 KiB and 16 KiB rows of the 16-byte-aligned tables, the only
ones where every column runs, on pairs: the program's kernels run in turn in
one process, and each turn pairs every column with the median of the others of
its group in that turn (the group's fastest would be a biased yardstick: of
columns that run alike, the one that came out fastest got the host's luck, and
every other one looked slower by as much); the program's own runs show each
column's median as a share of the best median of its group beside. The non-temporal stores are left out: they send
every line to memory, so they are a group of the memory's, not of the cache's."""

from dataclasses import dataclass
from statistics import median
from typing import Dict, List

from kestrune_report.units import format_size as block_label

from . import host_state

from .issue_limits import non_temporal
from .pairs import AtLeast, judge_ratios, judge_target, show_judgements
from .runs import TableKey, cell_samples

AGREEMENT_TARGET = 0.97
AGREEMENT_BLOCKS = (4 << 10, 16 << 10)
# Turns of the kernel_turns helper: every kernel runs once per turn, and each
# turn makes a pair of every column with the others of its group.
INTERLEAVED_TURNS = 21
# A run of four cells' worth: long enough that the host's preemptions (15 us
# about every millisecond) average out, short enough for 21 turns of every
# column in a few seconds.
TURN_RUN_BYTES = 256 << 20


def width_groups(kernels, direction, columns) -> Dict[str, List[str]]:
    """The table's columns that have company of their own width, by group name, in table order."""
    groups = {}
    for column in columns:
        kernel = kernels[(direction, column)]
        if direction == "write" and non_temporal(kernel):
            continue
        name = f"{kernel.access_bytes}-byte {'loads' if direction == 'read' else 'stores'}"
        groups.setdefault(name, []).append(column)
    return {name: members for name, members in groups.items() if len(members) > 1}


@dataclass(frozen=True)
class Agreement:
    group: str
    block: int
    medians: Dict[str, float]  # column -> median speed, in any unit the group shares

    def share(self, column):
        return self.medians[column] / max(self.medians.values())

    @property
    def trailing(self):
        return min(self.medians, key=self.medians.get)

    @property
    def lowest_share(self):
        return self.share(self.trailing)

    @property
    def holds(self):
        return self.lowest_share >= AGREEMENT_TARGET


def _agreements(kernels, columns_by_direction, speed) -> List[Agreement]:
    found = []
    for direction, columns in columns_by_direction.items():
        for group, members in width_groups(kernels, direction, columns).items():
            for block in AGREEMENT_BLOCKS:
                medians = {column: speed(direction, column, block) for column in members}
                if None not in medians.values():
                    found.append(Agreement(group, block, medians))
    return found


def agreements(runs, kernels) -> List[Agreement]:
    """Every group at every judged block size, from the runs of one binary."""
    columns = {direction: runs[0].columns.get(TableKey(direction, 16), []) for direction in ("read", "write")}

    def speed(direction, column, block):
        table = TableKey(direction, 16)
        return median(cell_samples(runs, table, block, column)) if block in runs[0].blocks[table] else None

    return _agreements(kernels, columns, speed)


def paired_judgements(turns, kernels):
    """Per group and block, each column against the others of its group, turn by turn: each turn's ratio is the
    median of the others' ticks in that turn over the column's. turns: (direction, column, block) -> [ticks of each
    turn], every kernel moving the same bytes per run."""
    columns = {}
    for direction, column, _ in turns:
        if direction in ("read", "write") and column not in columns.setdefault(direction, []):
            columns[direction].append(column)
    found = []
    for direction, members in columns.items():
        for group, names in width_groups(kernels, direction, members).items():
            for block in AGREEMENT_BLOCKS:
                ticks = {name: turns[(direction, name, block)] for name in names if (direction, name, block) in turns}
                if len(ticks) < 2:
                    continue
                for name, own in ticks.items():
                    others = [ticks[other] for other in ticks if other != name]
                    ratios = [median(turn[:-1]) / turn[-1] for turn in zip(*others, own)]
                    found.append(judge_ratios(f"{direction} {name} / the others {block_label(block)} ({group})",
                                              ratios, AtLeast(AGREEMENT_TARGET), subject=(direction, name)))
    return found


def _row(b, label, agreement):
    shares = ", ".join(f"{column} {agreement.share(column):.3f}" for column in agreement.medians)
    b.record("same_width", label, block_label(agreement.block), agreement.group, "lowest_share",
             agreement.lowest_share, "share of the group's best")
    return [agreement.group, block_label(agreement.block), label, f"{agreement.lowest_share:.3f}",
            agreement.trailing, shares]


def same_width(b, m, kernels):
    """Judged on pairs from the kernel_turns helper; the program's single and --repeat runs shown beside."""
    b.heading("10. Same width, same speed: each column against the others of its width at 4 and 16 KiB, "
              "16-byte-aligned tables")
    host_state.report(b, "same_width", m.host_states.get("same width"))
    found = paired_judgements(m.same_width_turns, kernels)
    show_judgements(b, "same_width", found,
                    f"the kernels of one width and direction run in turn in one process (the kernel_turns helper), "
                    f"{INTERLEAVED_TURNS} turns, each run {block_label(TURN_RUN_BYTES)}; each turn pairs a column "
                    f"with the median of the others of its group in that turn (non-temporal stores left out)")
    kinds = [("single", m.rounds)] + ([(f"--repeat {m.repeat_runs[0].run.repeat}", m.repeat_runs)]
                                      if m.repeat_runs else [])
    builds = [(label, agreements([r.run for r in runs], kernels)) for label, runs in kinds if runs]
    if builds:
        b.say()
        b.say("beside: each column's median as a share of the best median of its group, in the program's runs with "
              "--isa all --per-cycle (single) and with --repeat (each cell a median of its runs)")
        by_place = {}
        for label, agreements_found in builds:
            for agreement in agreements_found:
                by_place.setdefault((agreement.group, agreement.block), []).append(_row(b, label, agreement))
        b.table(["group", "block", "runs", "lowest", "trailing", "every column's share"],
                [row for rows in by_place.values() for row in rows])
    judge_target(b, f"same-width columns within {1 - AGREEMENT_TARGET:.0%} of each other at 4 and 16 KiB (the "
                    f"program's kernels in turn, in pairs)", found)
    return found
