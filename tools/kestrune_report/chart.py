"""The six-panel figure: read and write by alignment, throughput (or ratio) against block size;
with --copy, six more panels for copy and fill.

build_figure returns the matplotlib Figure without drawing it anywhere, so callers
(and the tests) can look at its panels and lines before anything is written.
"""

import functools
import io
import math

import matplotlib

matplotlib.use("Agg")  # never look for a display: the tool runs in terminals and CI

from matplotlib.figure import Figure  # noqa: E402  (must follow the backend choice)
from matplotlib.transforms import blended_transform_factory  # noqa: E402

from . import parallel_chains  # noqa: E402
from .model import TABLE_ORDER, classic_columns, direction_columns, kernels, table_title  # noqa: E402
from . import loaded  # noqa: E402
from .records import baseline_lookup, cell_ratio, compared_measure  # noqa: E402
from .units import format_size  # noqa: E402

GIB = 1024 ** 3
ALIGNMENTS = (16, 8, 4)
# Twenty-seven colours that read on white, and fifteen filled markers.
COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
           "#bcbd22", "#17becf", "#393b79", "#1a1a1a", "#637939", "#8c6d31", "#843c39", "#7b4173",
           "#5254a3", "#8ca252", "#bd9e39", "#ad494a", "#a55194", "#d6616b", "#6b6ecf", "#e7ba52",
           "#ce6dbd", "#31a354", "#756bb1")
MARKERS = ("o", "s", "^", "v", "D", "P", "X", "*", "<", ">", "h", "p", "d", "H", "8")


@functools.lru_cache(maxsize=None)
def styles():
    """One look per instruction, the same in every panel and every chart, so a reader who
    has learnt an instruction's colour and marker keeps reading it that way: the columns of
    a run without options first, then the others, each group in kernel-table order. Each label gets a colour of its own (while there are
    colours) and a colour+marker pair of its own (for far more labels than that)."""
    labels = list(dict.fromkeys(kernel.column for kernel in kernels()))
    labels.sort(key=lambda label: label not in classic_columns())
    return {label: (COLOURS[index % len(COLOURS)], MARKERS[index % len(MARKERS)])
            for index, label in enumerate(labels)}


def instruction_style(name):
    colour, marker = styles()[name]
    return {"color": colour, "marker": marker}


def _finite_or_nan(value):
    return value if value is not None and math.isfinite(value) else math.nan


def _panel_series(table, report, baseline_cells, measure):
    """(instruction, block sizes, y values) of one panel: GiB/s or bytes per cycle as the run
    printed them, or ratios to the baseline."""
    blocks = [row.block_bytes for row in table.rows]
    for index, column in enumerate(table.columns):
        if baseline_cells is None:
            scale = 1 if report.per_cycle else GIB
            values = [_finite_or_nan(value / scale) for value in table.series(column, report.measure)[1]]
        else:
            values = [_finite_or_nan(cell_ratio(row.cells[index], baseline_cells.get(
                (table.direction, table.alignment, row.block_bytes, column)), measure))
                for row in table.rows]
        yield column, blocks, values


def _setup_block_axis(ax, sizes):
    ax.set_xscale("log", base=2)
    ax.set_xlim(sizes[0] / 1.5, sizes[-1] * 1.5)
    # Every size labelled would not fit beside its neighbours; the largest always is.
    step = -(-len(sizes) // 10)
    labelled = sizes[::-step][::-1]
    ax.set_xticks(labelled, [format_size(size) for size in labelled])
    ax.set_xticks([size for size in sizes if size not in labelled], minor=True)
    ax.tick_params(axis="x", which="minor", labelbottom=False)
    ax.grid(True, which="both", axis="x", color="0.92", linewidth=0.6)
    ax.grid(True, which="major", axis="y", color="0.88", linewidth=0.6)


DOUBTFUL_COLOUR = "#b8860b"


def _mark_caches(ax, caches):
    to_axes_top = blended_transform_factory(ax.transData, ax.transAxes)
    low, high = ax.get_xlim()
    for cache in caches:
        if not low <= cache.size <= high:
            continue
        # A size the report's machine doubts is dotted, in another colour, and says so.
        colour, style = (DOUBTFUL_COLOUR, ":") if cache.doubtful else ("0.35", (0, (4, 3)))
        ax.axvline(cache.size, color=colour, linestyle=style, linewidth=1, zorder=1,
                   label=f"_cache {cache.label}")
        ax.annotate(cache.label, xy=(cache.size, 1), xycoords=to_axes_top, xytext=(-3, -3),
                    textcoords="offset points", ha="right", va="top", fontsize=8,
                    color=colour if cache.doubtful else "0.3")


def _note(ax, text, x=0.5, align="center"):
    ax.text(x, 0.5, text, transform=ax.transAxes, ha=align, va="center",
            color="0.45", fontsize=11)


def _how_run(report):
    """', 2 threads, each cell the median of 5 runs' for a run with those options."""
    words = [f"{report.threads} threads"] if report.threads > 1 else []
    if report.repeat > 1:
        words.append(f"each cell the median of {report.repeat} runs")
    return "".join(", " + word for word in words)


def _measured_on(report):
    """' on AMD EPYC ..., host node17, 2026-12-11T06:01:02Z' for a report that names its machine."""
    return f" on {report.machine.summary}" if report.machine is not None else ""


def _title(report, baseline):
    if baseline is None:
        quantity = "bytes per core cycle" if report.per_cycle else "memory throughput"
        lines = [f"{report.source}: {quantity}{_how_run(report)}{_measured_on(report)}",
                 "   ".join(report.machine_lines)]
    else:
        quantity = ("Bytes-per-cycle ratio" if compared_measure(report, baseline) == "bytes_per_cycle"
                    else "Throughput ratio")
        lines = [f"{quantity} {report.source} / {baseline.source} "
                 f"(above 1: {report.source} is faster)",
                 f"{report.source}{_how_run(report)}{_measured_on(report)}: " + "   ".join(report.machine_lines),
                 f"{baseline.source}{_how_run(baseline)}{_measured_on(baseline)}: "
                 + "   ".join(baseline.machine_lines)]
    if report.gaps:
        lines.append(_cut_short_line(report))
    return "\n".join(lines)


def _cut_short_line(report):
    # The full list of what is missing goes to stderr; a title has room for the gist.
    complete = [table for table in report.tables if len(table.rows) == len(report.block_sizes)]
    line = f"run cut short: {len(complete)} of {len(report.table_order)} tables complete"
    partial = report.tables[-1] if len(report.tables) > len(complete) else None
    if partial is not None:
        reached = f"after {partial.rows[-1].block}" if partial.rows else "before its first row"
        line += f"; '{partial.title}' stops {reached}"
    return line


def _y_limits(values, baseline):
    finite = [value for value in values if math.isfinite(value)]
    if baseline is None:
        top = max(finite, default=1.0)
        return 0.0, top * 1.15  # headroom above the curves for the cache labels
    low, high = min(finite + [1.0]), max(finite + [1.0])
    pad = max(high - low, 0.1) * 0.15
    return low - pad, high + pad


# The latency panel's lines, one per chase order.
LATENCY_STYLES = {"RANDOM": ("#d62728", "o"), "IN-PAGE": ("#1f77b4", "s"), "SEQUENTIAL": ("#2ca02c", "^")}


def _latency_panel(ax, report, caches):
    """Latency against block size, both on log scales: the caches show as steps."""
    table = report.latency
    ax.set_title(f"{table.title}: one chain of dependent loads through every 64-byte line", fontsize=11)
    _setup_block_axis(ax, report.block_sizes)
    ax.set_yscale("log")
    ax.set_xlabel("block size")
    ax.set_ylabel("core cycles per load" if report.per_cycle else "nanoseconds per load")
    if not table.rows:
        _note(ax, "run stopped before the first row")
    for column in table.columns:
        blocks, values = table.series(column, report.latency_measure)
        colour, marker = LATENCY_STYLES[column]
        ax.plot(blocks, [_finite_or_nan(value) for value in values], label=column, color=colour,
                marker=marker, linewidth=1.4, markersize=4)
    if table.rows:
        ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0, fontsize=9)
        ax.set_ylim(top=ax.get_ylim()[1] * 2)  # headroom for the cache labels
    _mark_caches(ax, caches)


# The height of a row of panels, in inches.
ROW_HEIGHT = 4.75


def build_figure(report, caches=(), baseline=None):
    # A row of panels per direction: read and write, and copy and fill in a --copy run. The
    # latency table and the parallel chains get a panel each under them, when there is one to
    # draw; a comparison of two runs compares throughput only.
    directions = tuple(dict.fromkeys(direction for direction, _ in report.table_order))
    below = []
    if report.latency is not None and baseline is None:
        below.append(lambda ax: _latency_panel(ax, report, caches))
    if report.parallel_chains is not None and baseline is None:
        below.append(lambda ax: parallel_chains.draw_panel(ax, report))
    # The loaded-latency panel goes last, and with a baseline shows both runs' curves.
    if report.loaded is not None:
        below.append(lambda ax: loaded.draw_panel(ax, report, baseline))
    figure = Figure(figsize=(17, ROW_HEIGHT * (len(directions) + len(below))), layout="constrained")
    throughput_area = figure
    if below:
        areas = figure.subfigures(1 + len(below), 1, height_ratios=(len(directions),) + (1,) * len(below))
        throughput_area = areas[0]
        for area, draw in zip(areas[1:], below):
            draw(area.subplots())
    grid = throughput_area.subplots(len(directions), 3, sharex=True, sharey="row" if baseline is None else "all")
    baseline_cells = None if baseline is None else baseline_lookup(baseline)
    measure = compared_measure(report, baseline)
    all_values = []
    for row, direction in enumerate(directions):
        handles = {}
        for column_index, alignment in enumerate(ALIGNMENTS):
            ax = grid[row][column_index]
            ax.set_title(table_title(direction, alignment), fontsize=11)
            _setup_block_axis(ax, report.block_sizes)
            table = report.table(direction, alignment)
            if table is None:
                _note(ax, "not in the report")
            elif not table.rows:
                _note(ax, "run stopped before the first row")
            elif baseline is not None and baseline.table(direction, alignment) is None:
                _note(ax, "not in the baseline")
            else:
                for name, blocks, values in _panel_series(table, report, baseline_cells, measure):
                    (line,) = ax.plot(blocks, values, label=name, linewidth=1.4, markersize=4,
                                      **instruction_style(name))
                    handles.setdefault(name, line)
                    all_values.extend(values)
                if len(table.rows) < len(report.block_sizes):
                    # The sizes the run never reached leave the right of the panel empty.
                    _note(ax, f"run stopped after {table.rows[-1].block}", 0.97, "right")
            if baseline is not None:
                ax.axhline(1.0, color="0.2", linewidth=0.8, label="_parity")
            if row == len(directions) - 1:
                ax.set_xlabel("block size")
        if baseline is not None:
            grid[row][0].set_ylabel("ratio to baseline")
        elif report.per_cycle:
            grid[row][0].set_ylabel(f"{direction} bytes per core cycle (B/cycle)")
        else:
            grid[row][0].set_ylabel(f"{direction} throughput (GiB/s)")
        order = [name for name in direction_columns(direction) if name in handles]
        if order:
            grid[row][-1].legend([handles[name] for name in order], order, loc="upper left",
                                 bbox_to_anchor=(1.02, 1.0), borderaxespad=0, fontsize=9,
                                 title=direction, title_fontsize=9)
        if baseline is None:
            grid[row][0].set_ylim(*_y_limits(all_values, None))
            all_values = []
    if baseline is not None:
        grid[0][0].set_ylim(*_y_limits(all_values, baseline))
    for ax in grid.flat:
        _mark_caches(ax, caches)
    figure.suptitle(_title(report, baseline), fontsize=11)
    return figure


def render(figure, image_format):
    """The figure as PNG or SVG bytes; metadata left out so the same report gives the same file."""
    buffer = io.BytesIO()
    metadata = {"Date": None} if image_format == "svg" else {"Software": None}
    # SVG text stays text, so it can be searched, copied and restyled.
    with matplotlib.rc_context({"svg.fonttype": "none"}):
        figure.savefig(buffer, format=image_format, dpi=100, metadata=metadata)
    return buffer.getvalue()
