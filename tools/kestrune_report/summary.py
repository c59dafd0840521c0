"""The few lines printed when no output file is asked for."""

from statistics import geometric_mean

from . import parallel_chains
from .core_to_core import summary_lines as core_to_core_summary
from . import loaded, parallel_chains
from .records import baseline_lookup, cell_ratio, compared_measure


def _peak(table, measure):
    best = None
    for row, column, cell in table.cells():
        if cell.finite and (best is None or getattr(cell, measure) > getattr(best[2], measure)):
            best = (row, column, cell)
    if best is None:
        return "no finite value"
    row, column, cell = best
    return f"peak {cell.printed} ({column}, {row.block})"


def _ratio_summary(table, counterparts, measure):
    found = []
    for row, column, cell in table.cells():
        value = cell_ratio(cell, counterparts.get((table.direction, table.alignment, row.block_bytes, column)),
                           measure)
        if value is not None and value > 0:
            found.append((value, column, row.block))
    if not found:
        return "no cell to compare with the baseline"
    mean = geometric_mean(value for value, _, _ in found)
    low, high = min(found), max(found)
    return (f"ratio to baseline: geometric mean {mean:.3f}, "
            f"lowest {low[0]:.3f} ({low[1]}, {low[2]}), "
            f"highest {high[0]:.3f} ({high[1]}, {high[2]})")


def summary_lines(report, baseline=None):
    lines = [f"{report.source}: " + ", ".join(report.machine_lines)]
    if report.machine is not None:
        lines.append(f"measured on {report.machine.summary}")
    lines.append(f"{len(report.tables)} of {len(report.table_order)} tables, {report.cell_count()} cells")
    width = max((len(table.title) for table in report.tables), default=0)
    counterparts = baseline_lookup(baseline)
    for table in report.tables:
        detail = (_peak(table, report.measure) if baseline is None
                  else _ratio_summary(table, counterparts, compared_measure(report, baseline)))
        lines.append(f"  {table.title:<{width}}  {len(table.rows):>2} rows  "
                     f"{len(table.columns):>2} instructions  {detail}")
    if report.latency is not None and report.latency.rows:
        last = report.latency.rows[-1]
        cells = ", ".join(f"{column} {cell.printed}" for column, cell in zip(report.latency.columns, last.cells))
        lines.append(f"  {report.latency.title:<{width}}  {len(report.latency.rows):>2} rows  "
                     f"at {last.block}: {cells}")
    chains = parallel_chains.summary_line(report, width)
    if chains:
        lines.append(chains)
    if report.core_to_core is not None:
        lines.extend(core_to_core_summary(report.core_to_core))
    if report.loaded is not None:
        lines.append(loaded.summary_line(report.loaded, width))
    lines.append("charts and data files: --png, --svg, --csv, --json (see --help)")
    return lines
