"""Helpers shared by the kestrune-report tests: paths, small reports, running the command."""

import contextlib
import io
import json
import os
import re
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
TOOLS_DIR = os.path.dirname(TESTS_DIR)
SCRIPT = os.path.join(TOOLS_DIR, "kestrune-report")
FULL_RUN = os.path.join(TESTS_DIR, "fixtures", "full-run.txt")
# --isa sse4.1,avx --max-size 1KB --per-cycle --threads 2 --repeat 3, by hand.
PER_CYCLE_RUN = os.path.join(TESTS_DIR, "fixtures", "per-cycle-1KB.txt")
# The program's --json file of a run with --isa avx --max-size 256B --threads 2 --repeat 5, by hand.
JSON_RUN = os.path.join(TESTS_DIR, "fixtures", "threads-256B.json")

sys.dont_write_bytecode = True
if TOOLS_DIR not in sys.path:
    sys.path.insert(0, TOOLS_DIR)

from kestrune_report.cli import main  # noqa: E402
from kestrune_report.model import COPY_TABLE_ORDER, TABLE_ORDER, table_title  # noqa: E402
from kestrune_report.units import format_size  # noqa: E402

GIB = 2 ** 30
ALIGNED_ONLY = {"MOVDQA", "VMOVDQA64(512)", "VMOVNTDQ(512)"}
GENERAL = {"read": ["MOV(32)", "MOVZX(16)"], "write": ["MOV(32)", "MOV(16)"]}
PREAMBLE = ("Kestrune ver1.0\n"
            "OS:NT based\n"
            "Supported SIMD Inst:MMX SSE SSE2 SSE3\n"
            "SSE supported by OS:yes\n"
            "measuring CPU clock. please wait 3 seconds.\n"
            "CPU clock:2596.13MHz\n"
            "Speed check start.\n")


def fixture_text(path=FULL_RUN):
    with open(path, encoding="ascii", newline="") as file:
        return file.read()


def report_text(preamble, columns, blocks, cell="1GB/s"):
    """Six tables with the given columns per direction and rows, every cell the same."""
    lines = []
    for direction, alignment in TABLE_ORDER:
        names = [name for name in columns[direction] if alignment == 16 or name not in ALIGNED_ONLY]
        lines += [table_title(direction, alignment), "\t".join(["SIZE:"] + names)]
        lines += ["\t".join([format_size(block) + ":"] + [cell] * len(names)) for block in blocks]
    return preamble + "\n".join(lines) + "\n"


def as_text(document):
    """The report a run printed, rebuilt from its JSON without the package's reader."""
    lines = list(document["report"]["lines"]) + ["Speed check start."]
    title = None
    for cell in document["cells"]:
        key = table_title(cell["direction"], cell["alignment_bytes"])
        if key != title:
            title = key
            lines += [title, "SIZE:"]
            header = len(lines) - 1
        if lines[-1].split("\t")[0] != cell["block"] + ":":
            lines.append(cell["block"] + ":")
        if lines[header].count("\t") < lines[-1].count("\t") + 1:
            lines[header] += "\t" + cell["instruction"]
        lines[-1] += "\t" + cell["value"] + cell["unit"]
    return "\n".join(lines) + "\n"


def full_run_text():
    return fixture_text(FULL_RUN)


def full_run_lines():
    return full_run_text().split("\n")[:-1]


def first_line_number(lines, predicate):
    """1-based number of the first line satisfying predicate."""
    return next(index for index, line in enumerate(lines, start=1) if predicate(line))


def printed_cells(text):
    """{(direction, alignment, block label, instruction): printed cell}, read naively from text.

    Independent of the package on purpose, so comparing against it checks the parser.
    """
    cells, columns, table = {}, None, None
    for line in text.splitlines():
        title = re.fullmatch(r"\d+bit\((\d+)byte\) aligned (read|write)", line)
        if title:
            table = (title.group(2), int(title.group(1)))
        elif line.startswith("SIZE:"):
            columns = line.split("\t")[1:]
        elif table and columns and "\t" in line:
            label, *values = line.split("\t")
            for column, value in zip(columns, values):
                cells[table + (label.rstrip(":"), column)] = value
    return cells


_MULTIPLIERS = {"GB/s": 2 ** 30, "MB/s": 2 ** 20, "KB/s": 2 ** 10, "B/s": 1}


def bytes_from_printed(printed):
    """'1.5GB/s' -> 1.5 * 2**30, worked out without the package."""
    for unit, multiplier in _MULTIPLIERS.items():  # "B/s" last: every other unit ends with it too
        if printed.endswith(unit):
            return float(printed[:-len(unit)]) * multiplier
    raise AssertionError(f"no unit in {printed!r}")


def run(args, stdin=b""):
    """Runs the command in-process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main(args, stdin=io.BytesIO(stdin))
        except SystemExit as exit_request:  # argparse's own usage errors
            status = exit_request.code
    return status, out.getvalue(), err.getvalue()


# The --describe --json of a machine (the "machine" and "run" a JSON report carries), by hand.
DESCRIBED_MACHINE = os.path.join(TESTS_DIR, "fixtures", "described-machine.json")
COPY_COLUMNS = {"copy": ("REP MOVSB", "memcpy"), "fill": ("REP STOSB", "memset")}
REPORT_LINES = ["Kestrune ver1.0", "OS:NT based", "Supported SIMD Inst:MMX SSE SSE2 SSE3", "SSE supported by OS:yes",
                "measuring CPU clock. please wait 3 seconds.", "CPU clock:2596.13MHz"]


def described_machine():
    """The fixture's "machine" and "run", a fresh copy to change."""
    with open(DESCRIBED_MACHINE, encoding="utf-8") as file:
        return json.load(file)


def json_report(described, blocks, rate, latency=None, threads=1, copy=False):
    """A JSON report as the program writes it: `described` gives its "machine" and "run" (None:
    a report from before they were recorded), rate(direction, block) each cell's bytes per second
    (the first column's; the second gets half), latency(block) the RANDOM ns per load of a
    --latency run (IN-PAGE and SEQUENTIAL a half and a quarter of it)."""
    lines = REPORT_LINES + ([f"Threads:{threads}"] if threads > 1 else [])
    cells = []
    tables = TABLE_ORDER + (COPY_TABLE_ORDER if copy else ())
    for direction, alignment in tables:
        for block in blocks:
            for index, column in enumerate(GENERAL.get(direction) or COPY_COLUMNS[direction]):
                speed = rate(direction, block) / (1 + index)
                cells.append({"direction": direction, "alignment_bytes": alignment, "block_bytes": block,
                              "block": format_size(block), "instruction": column, "bytes_per_second": speed,
                              "value": f"{speed / GIB:g}", "unit": "GB/s", "threads": threads})
    if latency is not None:
        for block in blocks:
            for column, share in (("RANDOM", 1), ("IN-PAGE", 0.5), ("SEQUENTIAL", 0.25)):
                ns = latency(block) * share
                cells.append({"direction": "latency", "block_bytes": block, "block": format_size(block),
                              "column": column, "ns_per_load": ns, "value": f"{ns:g}", "unit": "ns",
                              "threads": 1})
    document = {"complete": True, "report": {"lines": lines, "threads": threads}, "cells": cells}
    if described is not None:
        document.update(described)
    return document
