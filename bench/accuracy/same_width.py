"""Whether the columns of one width agree: the instructions that move the same
bytes per access in the same direction should run at the same speed, and a
column that trails its group measures where its code lies, not its instruction.

Judged on the 4 KiB and 16 KiB rows of the 16-byte-aligned tables, the only
ones where every column runs: each column's median over the runs as a share of
the best median of its group. The non-temporal stores are left out: they send
every line to memory, so they are a group of the memory's, not of the cache's."""

from dataclasses import dataclass
from statistics import median
from typing import Dict, List

from kestrune_report.units import format_size as block_label

from .issue_limits import non_temporal
from .runs import TableKey, cell_samples

AGREEMENT_TARGET = 0.97
AGREEMENT_BLOCKS = (4 << 10, 16 << 10)
# Turns of the interleaved-columns helper: every kernel runs once per turn.
INTERLEAVED_TURNS = 21


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


def interleaved_agreements(medians, kernels) -> List[Agreement]:
    """The same from the interleaved-columns helper: (direction, column, block) -> median ticks of a run."""
    columns = {}
    for direction, column, _ in medians:
        if direction not in ("read", "write"):
            continue  # the copy and fill kernels have a section of their own
        if column not in columns.setdefault(direction, []):
            columns[direction].append(column)

    def speed(direction, column, block):
        ticks = medians.get((direction, column, block))
        return 1.0 / ticks if ticks else None

    return _agreements(kernels, columns, speed)


def _row(b, label, agreement):
    shares = ", ".join(f"{column} {agreement.share(column):.3f}" for column in agreement.medians)
    b.record("same_width", label, block_label(agreement.block), agreement.group, "lowest_share",
             agreement.lowest_share, "share of the group's best")
    return [agreement.group, block_label(agreement.block), label, f"{agreement.lowest_share:.3f}",
            agreement.trailing, shares]


def _verdict(found):
    failing = [f"{a.group} {block_label(a.block)} {a.trailing} {a.lowest_share:.3f}" for a in found if not a.holds]
    worst = min(found, key=lambda a: a.lowest_share)
    detail = (f"lowest {worst.lowest_share:.3f} ({worst.group} {block_label(worst.block)}, {worst.trailing}) in "
              f"{len(found)} groups and sizes")
    return not failing, detail + (f"; below: {'; '.join(failing)}" if failing else "")


def same_width(b, m, kernels):
    repeat_count = m.repeat_runs[0].run.repeat
    b.heading("10. Same width, same speed: each column's share of the best of its width at 4 and 16 KiB, "
              "16-byte-aligned tables")
    b.say("share = the column's median / the best such median of its group (non-temporal stores left out)")
    b.say(f"interleaved (judged): the program's kernels run in turn in one process, median of {INTERLEAVED_TURNS} "
          f"turns: the loops' own differences, the host's moments spread over all;")
    b.say(f"single: the {len(m.rounds)} runs with --isa all --per-cycle; --repeat: the {len(m.repeat_runs)} "
          f"runs with --repeat {repeat_count}, each cell a median of {repeat_count}")
    builds = [("interleaved", interleaved_agreements(m.interleaved.medians, kernels)),
              ("single", agreements([r.run for r in m.rounds], kernels)),
              ("--repeat", agreements([r.run for r in m.repeat_runs], kernels))]
    # Each group and size, the figures of every kind of run one under the other.
    by_place = {}
    for label, found in builds:
        for agreement in found:
            by_place.setdefault((agreement.group, agreement.block), []).append(_row(b, label, agreement))
    b.table(["group", "block", "runs", "lowest", "trailing", "every column's share"],
            [row for rows in by_place.values() for row in rows])
    holds, detail = _verdict(builds[0][1])
    b.judge(f"same-width columns within {1 - AGREEMENT_TARGET:.0%} of each other at 4 and 16 KiB (the program's "
            f"kernels interleaved in one process)", holds, detail)
