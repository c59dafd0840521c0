"""Command line: read a saved report, check it whole, then write what was asked for."""

import argparse
import os
import sys

from .caches import parse_cache_list, read_sysfs_caches
from .kernel_table import TableError
from .loader import parse_report
from .parser import ReportError, decode_report
from .records import cell_records, record_fields, to_csv, to_json, unmatched_notes
from .summary import summary_lines

PROGRAM = "kestrune-report"
MATPLOTLIB_PACKAGE = "python3-matplotlib"

DESCRIPTION = """\
Turn a saved Kestrune report into charts and data files.

Save a run first, then draw it:
  kestrune | tee run.txt
  kestrune-report run.txt --png run.png --caches auto
The report may also be the program's own JSON (kestrune --json run.json); an
input starting with '{' is read as that. With no output option it prints a
short summary of the report."""

EPILOG = """\
charts (--png, --svg):
  six panels, read and write by alignment (16, 8, 4 bytes): throughput in GiB/s
  (bytes per core cycle for a --per-cycle run) against block size (128B to the
  run's largest block, log2 axis), one line per instruction, each instruction
  drawn in the same colour and marker everywhere. The title names the threads
  and the runs per cell when there were more than one. --caches draws dashed
  vertical lines at the cache sizes, where the curves are expected to step.
  A --copy run adds a row of panels for copy and one for fill, in the same
  units (each byte copied or filled counted once).
  A --latency run adds a panel under them: nanoseconds (core cycles for a
  --per-cycle run) per load against block size, both axes logarithmic, one
  line per column (RANDOM, IN-PAGE, SEQUENTIAL), with the cache marks.
  A --parallel-chains run adds a panel: nanoseconds (core cycles) per load
  over all chains against the chain count, both axes logarithmic, one line
  per block size.

--baseline OTHER.txt (before/after comparisons; either report may be JSON):
  --png/--svg draw, in the same six panels, the ratio of this run to OTHER.txt
  for every cell present in both (1.0 = unchanged, above 1 = this run is faster)
  instead of the throughput; cells are matched by direction, alignment, block
  and instruction, and stderr names those OTHER.txt lacks. Two --per-cycle runs
  are compared in bytes per cycle, any other pair in bytes per second.
  --csv/--json records gain baseline_bytes_per_second and ratio (empty in CSV,
  null in JSON, when OTHER.txt lacks the cell or a value is not a finite
  number); the summary gives each table's geometric mean ratio.

records (--csv rows, --json "cells"), one per measured cell:
  direction, alignment_bytes, block_bytes, block, instruction, bytes_per_second,
  value, unit; value and unit are the text printed by the run (e.g. 52.3301 and
  GB/s), bytes_per_second its exact conversion (KB, MB, GB are powers of 1024).
  A run with options adds threads, and a --per-cycle run core_mhz and
  bytes_per_cycle; from text, core_mhz is the clock printed under the table and
  bytes_per_second is bytes_per_cycle times it. From a JSON input every number
  is the program's exact figure, with each row's own core clock. A --copy run
  adds bus_bytes_per_second: the bytes read plus written of a copy (twice
  bytes_per_second) or fill cell, empty for the others. A --latency
  run adds one record per latency cell: direction latency, column and
  ns_per_load (and cycles_per_load for a --per-cycle run), the throughput
  fields empty. A --parallel-chains run adds one record per measured cell:
  direction parallel_chains, chains, ns_per_load (and cycles_per_load), and
  bytes_per_second, the rate of its loads at 64 bytes (one line) each; the
  summary shows the largest block's cells with that rate.

A report cut short by an interrupted run is drawn as far as it goes, and stderr
says which tables or rows are missing. Input that is not a Kestrune report gets
one line on stderr naming the line and what was expected; nothing is written.

exit status: 0 done; 1 an output file could not be written, or a chart was
asked for without matplotlib (Debian package python3-matplotlib); 2 bad
arguments or an input that is not a Kestrune report."""


def _caches_argument(text):
    if text == "auto":
        return text
    try:
        return parse_cache_list(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{error}, or 'auto'") from None


def build_parser():
    parser = argparse.ArgumentParser(prog=PROGRAM, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("report", nargs="?", metavar="REPORT|-",
                        help="saved report, text or JSON; '-' or nothing reads standard input")
    parser.add_argument("--png", metavar="FILE", help="write the chart as PNG")
    parser.add_argument("--svg", metavar="FILE", help="write the chart as SVG")
    parser.add_argument("--caches", metavar="auto|L1,L2,L3", type=_caches_argument, default=(),
                        help="mark cache sizes on the chart: 'auto' reads this machine's "
                             "(Linux sysfs), or give sizes such as 32K,1M,32M or bytes")
    parser.add_argument("--baseline", metavar="OTHER.txt",
                        help="compare with another saved report: ratio this/OTHER (see below)")
    parser.add_argument("--csv", metavar="FILE", help="write one CSV row per cell")
    parser.add_argument("--json", metavar="FILE", help="write the cells and machine lines as JSON")
    return parser


class _Failure(Exception):
    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def _load(path, stdin):
    """A parsed report, from a file or (path None or '-') standard input."""
    if path in (None, "-"):
        source, where = "stdin", "standard input"
        data = getattr(stdin, "buffer", stdin).read()
    else:
        source, where = os.path.basename(path), path
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            raise _Failure(f"cannot read {path}: {error.strerror}", 2) from None
    try:
        return parse_report(decode_report(data), source), where
    except ReportError as error:
        raise _Failure(f"{where}: {error}", 2) from None


def _refuse_overwriting_inputs(outputs, inputs):
    for option, path in outputs:
        for given in inputs:
            if given not in (None, "-") and os.path.exists(path) and os.path.exists(given) \
                    and os.path.samefile(path, given):
                raise _Failure(f"--{option} {path} would overwrite the input {given}", 2)


def _render_outputs(args, report, baseline, caches):
    """Every requested file's content, built in memory so nothing is written unless all succeed."""
    contents = {}
    if args.csv or args.json:
        records = cell_records(report, baseline)
        if args.csv:
            contents[args.csv] = to_csv(records, record_fields(report, baseline is not None)).encode("utf-8")
        if args.json:
            contents[args.json] = to_json(report, records, baseline).encode("utf-8")
    if args.png or args.svg:
        try:
            from .chart import build_figure, render  # matplotlib is slow to load; only charts need it
        except ImportError as error:
            if (error.name or "").split(".")[0] != "matplotlib":
                raise
            raise _Failure(f"--{'png' if args.png else 'svg'} needs matplotlib: install the Debian package "
                           f"{MATPLOTLIB_PACKAGE}; nothing was written", 1) from None
        figure = build_figure(report, caches, baseline)
        for image_format in ("png", "svg"):
            path = getattr(args, image_format)
            if path:
                contents[path] = render(figure, image_format)
    return contents


def _write_all(contents):
    for path in contents:
        directory = os.path.dirname(path) or "."
        if not os.path.isdir(directory):
            raise _Failure(f"cannot write {path}: no directory {directory}", 1)
    for path, content in contents.items():
        try:
            with open(path, "wb") as file:
                file.write(content)
        except OSError as error:
            raise _Failure(f"cannot write {path}: {error.strerror}", 1) from None


def _run(args, stdin, stdout, stderr):
    def note(message):
        print(f"{PROGRAM}: {message}", file=stderr)

    if args.report is None and getattr(stdin, "isatty", lambda: False)():
        raise _Failure("no report given: name a saved report or pipe one in (see --help)", 2)
    if args.report == "-" and args.baseline == "-":
        raise _Failure("the report and the baseline cannot both come from standard input", 2)
    report, where = _load(args.report, stdin)
    baseline, baseline_where = _load(args.baseline, stdin) if args.baseline else (None, None)
    outputs = [(option, getattr(args, option)) for option in ("png", "svg", "csv", "json")
               if getattr(args, option)]
    _refuse_overwriting_inputs(outputs, (args.report, args.baseline))

    for gaps, origin in ((report.gaps, where), (baseline.gaps if baseline else [], baseline_where)):
        for gap in gaps:
            note(f"{origin}: {gap}")
    if baseline is not None:
        for unmatched in unmatched_notes(report, baseline):
            note(f"{where}: {unmatched}")

    caches = args.caches
    if caches == "auto":
        caches = read_sysfs_caches()
        if not caches:
            note("--caches auto: this machine does not report its cache sizes; none marked")
    if caches and not (args.png or args.svg):
        note("--caches only marks the charts; add --png or --svg")

    if not outputs:
        print("\n".join(summary_lines(report, baseline)), file=stdout)
        return 0
    _write_all(_render_outputs(args, report, baseline, caches))
    return 0


def main(argv=None, stdin=None):
    args = build_parser().parse_args(argv)  # exits 2 with a usage message on bad arguments
    try:
        return _run(args, stdin if stdin is not None else sys.stdin, sys.stdout, sys.stderr)
    except _Failure as failure:
        print(f"{PROGRAM}: {failure}", file=sys.stderr)
        return failure.status
    except TableError as error:  # an install without its tables
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
