"""One record per measured cell, for spreadsheets and scripts (CSV and JSON)."""

import csv
import io
import json
import math

FIELDS = ("direction", "alignment_bytes", "block_bytes", "block", "instruction",
          "bytes_per_second", "value", "unit")
BASELINE_FIELDS = ("baseline_bytes_per_second", "ratio")


def ratio(this, baseline):
    """this / baseline, or None when either side is not a usable measurement."""
    if baseline is None or not (math.isfinite(this) and math.isfinite(baseline)) or baseline <= 0:
        return None
    return this / baseline


def baseline_lookup(baseline):
    if baseline is None:
        return {}
    return {(table.direction, table.alignment, row.block_bytes, column): cell.bytes_per_second
            for table in baseline.tables for row, column, cell in table.cells()}


def cell_records(report, baseline=None):
    """Cells in report order; with a baseline each also gets its counterpart and the ratio."""
    counterparts = baseline_lookup(baseline)
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
            if baseline is not None:
                other = counterparts.get(
                    (table.direction, table.alignment, row.block_bytes, column))
                record["baseline_bytes_per_second"] = other
                record["ratio"] = ratio(cell.bytes_per_second, other)
            records.append(record)
    return records


def _csv_value(value):
    if value is None:
        return ""
    if not isinstance(value, float):
        return value
    if math.isfinite(value) and value.is_integer() and abs(value) < 2 ** 53:
        return str(int(value))
    return repr(value)  # repr round-trips a double exactly


def to_csv(records, with_baseline):
    fields = FIELDS + (BASELINE_FIELDS if with_baseline else ())
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
    return {
        "source": report.source,
        "version": report.version_line,
        "os": report.os_line[len("OS:"):] if report.os_line else None,
        "simd": list(report.simd) if report.simd_line is not None else None,
        "sse_supported_by_os": report.sse_os_line.endswith("yes") if report.sse_os_line else None,
        "cpu_clock_mhz": _json_number(report.clock_mhz),
        "lines": report.machine_lines,
        "missing": report.gaps,
    }


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
