"""The core-to-core latency matrix (kestrune --core-to-core): read from the printed table or
from the JSON records, summarised by where the pairs sit, and drawn as a heat map.

The printed table gives the figures; only the JSON records say where each pair sits (SMT
siblings, a shared cache level, different packages or nodes), so the summary by kind of pair
and the sibling marks need a JSON report.
"""

import math
import re
import statistics
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from .model import ReportError

TITLE = "core to core latency"
DIRECTION = "core_to_core"
HEADER = "CPU:"
CORE_CLOCK = re.compile(r"^core clock:[0-9.eE+-]+MHz$")
TIMING = "one way: "
CELL = re.compile(r"^([0-9.eE+-]+)(ns|c)$")


@dataclass
class PairPlace:
    siblings: bool = False
    shared_cache_level: int = 0
    different_packages: bool = False
    different_nodes: bool = False


@dataclass
class Matrix:
    labels: List[str] = field(default_factory=list)
    unit: str = "ns"  # or "c" (core cycles) for a --per-cycle run
    # (row label, column label) -> one-way latency in the table's unit
    cells: Dict[Tuple[str, str], float] = field(default_factory=dict)
    # (row label, column label) -> where the pair sits; empty from a printed table
    places: Dict[Tuple[str, str], PairPlace] = field(default_factory=dict)
    complete: bool = True

    @property
    def unit_name(self):
        return "core cycles" if self.unit == "c" else "ns"


def split_text(text):
    """The report's text before the core-to-core table, and the table's lines (None without one)."""
    lines = text.split("\n")
    for number, line in enumerate(lines):
        if line.rstrip("\r") == TITLE:
            return "\n".join(lines[:number]) + "\n", (number + 1, lines[number:])
    return text, None


def parse_text(first_line, lines):
    """The matrix of the printed table; `first_line` is the title's line number for messages."""
    lines = [line.rstrip("\r") for line in lines]
    while lines and lines[-1] == "":
        lines.pop()
    matrix = Matrix()
    index = 1
    if index < len(lines) and CORE_CLOCK.match(lines[index]):
        index += 1
    if index >= len(lines) or not lines[index].startswith(TIMING):
        raise ReportError(first_line + index, f"expected the line saying who timed ('{TIMING}...') "
                                              f"under '{TITLE}'")
    index += 1
    if index >= len(lines) or not lines[index].startswith(HEADER + "\t"):
        raise ReportError(first_line + index, f"expected the header '{HEADER}' and the processors")
    matrix.labels = lines[index].split("\t")[1:]
    rows = lines[index + 1:]
    for offset, line in enumerate(rows):
        where = first_line + index + 1 + offset
        fields = line.split("\t")
        label = fields[0][:-1] if fields[0].endswith(":") else None
        if offset >= len(matrix.labels) or label != matrix.labels[offset]:
            raise ReportError(where, f"expected the row of processor "
                                     f"{matrix.labels[offset] if offset < len(matrix.labels) else '(none)'}")
        if len(fields) - 1 > len(matrix.labels):
            raise ReportError(where, f"{len(fields) - 1} cells for {len(matrix.labels)} processors")
        if len(fields) - 1 < len(matrix.labels):
            matrix.complete = False
        for column, text in zip(matrix.labels, fields[1:]):
            if text in ("-", ""):
                continue
            found = CELL.match(text)
            if not found:
                raise ReportError(where, f"'{text}' is not a latency in ns or core cycles (c)")
            matrix.unit = found.group(2)
            matrix.cells[(label, column)] = float(found.group(1))
    if len(rows) < len(matrix.labels):
        matrix.complete = False
    return matrix


def is_core_to_core(cell):
    return isinstance(cell, dict) and cell.get("direction") == DIRECTION


def from_records(cells, per_cycle, complete=True):
    """The matrix of the program's JSON records, in the order they came."""
    matrix = Matrix(unit="c" if per_cycle else "ns", complete=complete)
    measure = "cycles_one_way" if per_cycle else "ns_one_way"
    for cell in cells:
        row, column = str(cell.get("from_processor")), str(cell.get("to_processor"))
        for label in (row, column):
            if label not in matrix.labels:
                matrix.labels.append(label)
        value = cell.get(measure)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            matrix.cells[(row, column)] = float(value)
        matrix.places[(row, column)] = PairPlace(bool(cell.get("siblings")), int(cell.get("shared_cache_level") or 0),
                                                 bool(cell.get("different_packages")),
                                                 bool(cell.get("different_nodes")))
    return matrix


def summary_lines(matrix):
    """The pairs' medians by kind: SMT siblings, pairs sharing the last-level cache, the rest."""
    measured = len(matrix.cells)
    pairs = len(matrix.labels) * (len(matrix.labels) - 1)
    lines = [f"  {TITLE}  {len(matrix.labels)} processors, {measured} of {pairs} pairs measured, "
             f"one way in {matrix.unit_name}"]
    if not matrix.cells:
        return lines
    if not matrix.places:
        values = list(matrix.cells.values())
        lines.append(f"    all pairs: median {statistics.median(values):.4g}, "
                     f"fastest {min(values):.4g}, slowest {max(values):.4g} "
                     f"(where pairs sit is in the JSON report only)")
        return lines
    last_level = max((place.shared_cache_level for place in matrix.places.values()), default=0)
    groups = {"SMT siblings": [], "sharing the last-level cache": [], "the rest": []}
    for pair, value in matrix.cells.items():
        place = matrix.places.get(pair, PairPlace())
        if place.siblings:
            groups["SMT siblings"].append(value)
        elif last_level and place.shared_cache_level == last_level:
            groups["sharing the last-level cache"].append(value)
        else:
            groups["the rest"].append(value)
    for name, values in groups.items():
        figure = (f"median {statistics.median(values):.4g} over {len(values)} pairs" if values
                  else "no such pair")
        lines.append(f"    {name}: {figure}")
    crossing = [value for pair, value in matrix.cells.items()
                if matrix.places.get(pair, PairPlace()).different_packages]
    if crossing:
        lines.append(f"    of the rest, across packages: median {statistics.median(crossing):.4g} "
                     f"over {len(crossing)} pairs")
    return lines


def draw(matrix, image_format):
    """The heat map as PNG or SVG bytes: rows time, columns answer; sibling pairs outlined."""
    import io

    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    count = len(matrix.labels)
    index = {label: number for number, label in enumerate(matrix.labels)}
    grid = [[math.nan] * count for _ in range(count)]
    for (row, column), value in matrix.cells.items():
        grid[index[row]][index[column]] = value
    side = min(16.0, max(5.0, 0.35 * count + 2.5))
    figure = Figure(figsize=(side + 1.5, side))
    axes = figure.add_subplot()
    image = axes.imshow(grid, cmap="viridis", interpolation="nearest")
    colour_bar = figure.colorbar(image, ax=axes)
    colour_bar.set_label(f"one-way latency ({matrix.unit_name})")
    step = max(1, math.ceil(count / 48))  # at most some 48 labels an axis
    ticks = list(range(0, count, step))
    axes.set_xticks(ticks, [matrix.labels[t] for t in ticks], rotation=90, fontsize=7)
    axes.set_yticks(ticks, [matrix.labels[t] for t in ticks], fontsize=7)
    axes.set_xlabel("answering processor")
    axes.set_ylabel("timing processor")
    siblings = [pair for pair, place in matrix.places.items() if place.siblings]
    for row, column in siblings:
        axes.add_patch(Rectangle((index[column] - 0.5, index[row] - 0.5), 1, 1, fill=False,
                                 edgecolor="red", linewidth=1.2))
    if count <= 16 and matrix.cells:
        # Dark figures on the bright end of the scale, light ones on the dark end.
        middle = (min(matrix.cells.values()) + max(matrix.cells.values())) / 2
        for (row, column), value in matrix.cells.items():
            axes.text(index[column], index[row], f"{value:.3g}", ha="center", va="center", fontsize=7,
                      color="black" if value > middle else "white")
    note = "red outline: SMT siblings" if siblings else (
        "no SMT sibling pairs" if matrix.places else "where pairs sit: JSON report only")
    axes.set_title(f"{TITLE} ({note})")
    buffer = io.BytesIO()
    figure.savefig(buffer, format=image_format, bbox_inches="tight")
    return buffer.getvalue()
