"""One record per measured cell, for spreadsheets and scripts (CSV and JSON)."""

import csv
import io
import json
import math

from . import loaded, parallel_chains
from .kernel_table import read_tables
from .model import COPY_TABLE_ORDER, TABLE_ORDER

# The tool's own fields, after the program's and before the latency ones.
BASELINE_FIELDS = ("baseline_bytes_per_second", "ratio")
LATENCY = "LATENCY"
# The fields of the parallel chains' records, and those of every table of chased loads (CHASE:
# the latency and the parallel chains' records), which come last.
CHAINS = "CHAINS"
CHASE = "CHASE"
# The loaded-latency records' own fields.
LOADED = "LOADED"
TAIL_CELLS = frozenset((LATENCY, CHAINS, CHASE, LOADED))
# The fields of the copy and fill records, empty in the read and write ones.
COPY_FILL = "COPY_FILL"
COPY_DIRECTIONS = frozenset(direction for direction, _ in COPY_TABLE_ORDER)
# The latency table is measured on the first processor alone, whatever --threads says.
LATENCY_THREADS = 1


def _fields_of(report):
    """The fields of the program's records (driver/record_fields.def) that this report's
    records have, in their order."""
    return [field for field in read_tables().record_fields
            if field.from_text == "ALWAYS" or (field.from_text == "WITH_OPTIONS" and report.extended)
            if report.per_cycle or not field.per_cycle
            if report.latency is not None or field.cells != LATENCY
            if report.parallel_chains is not None or field.cells != CHAINS
            if report.latency is not None or report.parallel_chains is not None or report.loaded is not None
            or field.cells != CHASE
            if report.loaded is not None or field.cells != LOADED
            if _copies(report) or field.cells != COPY_FILL]


def record_fields(report, with_baseline):
    fields = _fields_of(report)
    return (tuple(field.name for field in fields if field.cells not in TAIL_CELLS)
            + (BASELINE_FIELDS if with_baseline else ())
            + tuple(field.name for field in fields if field.cells in TAIL_CELLS))


def _copies(report):
    return len(report.table_order) > len(TABLE_ORDER)


def ratio(this, baseline):
    """this / baseline, or None when either side is not a usable measurement."""
    if baseline is None or not (math.isfinite(this) and math.isfinite(baseline)) or baseline <= 0:
        return None
    return this / baseline


def compared_measure(report, baseline):
    """Bytes per cycle when both runs printed them, so that a core clock that moved between
    the runs does not count; bytes per second otherwise."""
    return report.measure if baseline is not None and baseline.per_cycle else "bytes_per_second"


def baseline_lookup(baseline):
    """The baseline's cells by (direction, alignment, block bytes, instruction)."""
    if baseline is None:
        return {}
    return {(table.direction, table.alignment, row.block_bytes, column): cell
            for table in baseline.tables for row, column, cell in table.cells()}


def cell_ratio(cell, counterpart, measure):
    return None if counterpart is None else ratio(getattr(cell, measure), getattr(counterpart, measure))


def _label_run(labels):
    return f"{labels[0]} to {labels[-1]}" if len(labels) > 2 else ", ".join(labels)


def unmatched_notes(report, baseline):
    """One sentence per table naming the cells the baseline lacks, which no ratio can cover."""
    counterparts = baseline_lookup(baseline)
    notes = []
    for table in report.tables:
        missing = {(row.block_bytes, column) for row, column, _ in table.cells()
                   if (table.direction, table.alignment, row.block_bytes, column) not in counterparts}
        if not missing:
            continue
        total = len(table.columns) * len(table.rows)
        if len(missing) == total:
            detail = "none of them"
        else:
            columns = [column for column in table.columns
                       if all((row.block_bytes, column) in missing for row in table.rows)]
            rows = [row for row in table.rows
                    if all((row.block_bytes, column) in missing for column in table.columns)]
            parts = [f"column{'s' if len(columns) > 1 else ''} {', '.join(columns)}"] if columns else []
            if rows:
                parts.append(f"row{'s' if len(rows) > 1 else ''} "
                             f"{_label_run([row.block + ':' for row in rows])}")
            covered = len(columns) * len(table.rows) + len(rows) * (len(table.columns) - len(columns))
            if len(missing) > covered:
                parts.append(f"{len(missing) - covered} other cell{'s' if len(missing) - covered > 1 else ''}")
            detail = "; ".join(parts)
        notes.append(f"'{table.title}': {len(missing)} of {total} cells are not in "
                     f"{baseline.source} and are left out of the ratios ({detail})")
    return notes


def cell_records(report, baseline=None):
    """Cells in report order; with a baseline each also gets its counterpart and the ratio."""
    counterparts = baseline_lookup(baseline)
    measure = compared_measure(report, baseline)
    records = []
    for table in report.tables:
        for row, column, cell in table.cells():
            record = {
                "direction": table.direction,
                "alignment_bytes": table.alignment,
                "block_bytes": row.block_bytes,
                "block": row.block,
                "instruction": column,
                "bytes_per_second": cell.bytes_per_second,
                "value": cell.value,
                "unit": cell.unit,
            }
            if report.extended:
                record["threads"] = report.threads
            if report.per_cycle:
                record["core_mhz"] = cell.core_mhz
                record["bytes_per_cycle"] = cell.bytes_per_cycle
            if _copies(report):
                factor = read_tables().bus_bytes_per_byte(table.direction) \
                    if table.direction in COPY_DIRECTIONS else None
                record["bus_bytes_per_second"] = None if factor is None else cell.bytes_per_second * factor
            if baseline is not None:
                other = counterparts.get((table.direction, table.alignment, row.block_bytes, column))
                record["baseline_bytes_per_second"] = None if other is None else other.bytes_per_second
                record["ratio"] = cell_ratio(cell, other, measure)
            records.append(record)
    if report.latency is None and report.parallel_chains is None and report.loaded is None:
        return records
    fields = record_fields(report, baseline is not None)
    for record in records:
        record.update({field.name: None for field in _fields_of(report) if field.cells in TAIL_CELLS})
    for row in ([] if report.latency is None else report.latency.rows):
        for column, cell in zip(report.latency.columns, row.cells):
            record = {name: None for name in fields}
            record.update({"direction": "latency", "block_bytes": row.block_bytes, "block": row.block,
                           "value": cell.value, "unit": cell.unit, "threads": LATENCY_THREADS,
                           "column": column, "ns_per_load": cell.ns_per_load})
            if report.per_cycle:
                record["core_mhz"] = cell.core_mhz
                record["cycles_per_load"] = cell.cycles_per_load
            records.append(record)
    return records + parallel_chains.records(report, fields) + (
        loaded.records(report, fields) if report.loaded is not None else [])


def _csv_value(value):
    if value is None:
        return ""
    if not isinstance(value, float):
        return value
    if math.isfinite(value) and value.is_integer() and abs(value) < 2 ** 53:
        return str(int(value))
    return repr(value)  # repr round-trips a double exactly


def to_csv(records, fields):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(fields)
    for record in records:
        writer.writerow([_csv_value(record[name]) for name in fields])
    return out.getvalue()


def _json_number(number):
    # JSON has no infinity or NaN; the printed value still says what the run printed.
    return number if number is None or math.isfinite(number) else None


def _machine(report):
    machine = {
        "source": report.source,
        "version": report.version_line,
        "os": report.os_line[len("OS:"):] if report.os_line else None,
        "simd": list(report.simd) if report.simd_line is not None else None,
        "sse_supported_by_os": report.sse_os_line.endswith("yes") if report.sse_os_line else None,
        "cpu_clock_mhz": _json_number(report.clock_mhz),
        "lines": report.printed_lines,
        "missing": report.gaps,
    }
    if report.extended:
        machine.update({
            "avx_supported_by_os": report.avx_os_line.split(":", 1)[1] if report.avx_os_line else None,
            "threads": report.threads,
            "repeat": report.repeat,
            "per_cycle": report.per_cycle,
        })
    return machine


def to_json(report, records, baseline=None):
    cleaned = [{name: _json_number(value) if isinstance(value, float) else value
                for name, value in record.items()} for record in records]
    parts = [f' "report": {json.dumps(_machine(report), allow_nan=False)}']
    if baseline is not None:
        parts.append(f' "baseline": {json.dumps(_machine(baseline), allow_nan=False)}')
    # One cell per line: small enough to read, and line-oriented tools still work on it.
    cells = ",\n".join("  " + json.dumps(record, allow_nan=False) for record in cleaned)
    parts.append(f' "cells": [\n{cells}\n ]' if cells else ' "cells": []')
    return "{\n" + ",\n".join(parts) + "\n}\n"
