"""Command line: read a saved report, check it whole, then write what was asked for."""

import argparse
import glob
import math
import os
import sys

from .caches import parse_cache_list, read_sysfs_caches, report_caches
from .compare import DEFAULT_TOLERANCE, compare, csv_table, json_table, text_table
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
short summary of the report. Reports of many machines (or many runs of one),
side by side, each figure held against its processor model's median:
  kestrune-report --compare node1.json node2.json results/"""

EPILOG = """\
charts (--png, --svg):
  six panels, read and write by alignment (16, 8, 4 bytes): throughput in GiB/s
  (bytes per core cycle for a --per-cycle run) against block size (128B to the
  run's largest block, log2 axis), one line per instruction, each instruction
  drawn in the same colour and marker everywhere. The title names the threads
  and the runs per cell when there were more than one, and the machine (its
  processor, host and date) when the report is the program's JSON. --caches
  draws dashed vertical lines at the cache sizes, where the curves are expected
  to step. --caches auto takes the caches the JSON report names for the machine
  that ran it (a size that machine doubted is dotted and labelled "doubtful"),
  and this machine's (Linux sysfs) only for a report that names none; stderr
  says which.
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

--compare PATH [PATH ...] [--tolerance PERCENT] (many machines, or many runs):
  PATH is a JSON report of the program (kestrune --json FILE) or a directory,
  every *.json in it in name order. Prints one row per report: report, host,
  processor, date, threads, and per level (L1, L2, ... from the report's own
  caches, then memory) the best read, write and copy rate in GB/s over every
  instruction and alignment at a block inside the level, and the RANDOM load
  latency in ns at the level's largest block inside it. A block is inside a
  level when it is larger than the level below and at most half the level (with
  --threads, of each thread's share of a shared cache); memory is the run's
  largest block when it is at least 4 times the largest cache. A cache the
  report marks doubtful is no level (a note says so). Each figure more than
  PERCENT (default 10) worse than the median of the reports of the same
  processor model and threads (a rate below, a latency above) gets a '!' and
  its report a "flagged" line; under each model's reports, min, median, max
  and spread rows. --csv FILE and --json FILE write the same table ('-' for
  standard output, which then carries only that format): exact bytes per
  second and ns per load, the flagged figures and the notes. A file that is
  not a readable JSON report is named on stderr and left out.

A report cut short by an interrupted run is drawn as far as it goes, and stderr
says which tables or rows are missing. Input that is not a Kestrune report gets
one line on stderr naming the line and what was expected; nothing is written.

exit status: 0 done (--compare: compared, whether or not anything is flagged);
1 an output file could not be written, or a chart was asked for without
matplotlib (Debian package python3-matplotlib); 2 bad arguments, an input that
is not a Kestrune report, or (--compare) no readable report at all."""


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
                        help="mark cache sizes on the chart: 'auto' takes those the JSON report "
                             "names, else this machine's (Linux sysfs); or give sizes such as "
                             "32K,1M,32M or bytes")
    parser.add_argument("--baseline", metavar="OTHER.txt",
                        help="compare with another saved report: ratio this/OTHER (see below)")
    parser.add_argument("--csv", metavar="FILE", help="write one CSV row per cell (with --compare: per report)")
    parser.add_argument("--json", metavar="FILE", help="write the cells and machine lines as JSON "
                                                        "(with --compare: the table)")
    parser.add_argument("--compare", nargs="+", metavar="PATH",
                        help="one table of many JSON reports (files, or directories of *.json): "
                             "headline figures per cache level and memory, flagged against the "
                             "median of the same processor model (see below)")
    parser.add_argument("--tolerance", metavar="PERCENT", type=_tolerance_argument,
                        help=f"with --compare: flag a figure more than PERCENT worse than the median "
                             f"(default {DEFAULT_TOLERANCE:g})")
    return parser


def _tolerance_argument(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and 0 <= value < 100):
        raise argparse.ArgumentTypeError(f"{text!r} is not a percentage; expected a number from 0 to below 100, "
                                         f"such as 10 or 2.5")
    return value


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


def _auto_caches(report, note):
    """--caches auto: the caches of the machine the report was measured on, which a JSON report
    names; this machine's only for a report that does not, and stderr says which it is."""
    caches = report_caches(report.machine)
    if caches:
        machine = report.machine
        note(f"--caches auto: the caches the report names for its machine "
             f"({machine.processor or 'processor not named'}, host {machine.host or 'not named'}): "
             + ", ".join(cache.label for cache in caches))
        for cache in machine.level_caches():
            if cache.doubtful:
                note(f"--caches auto: the report marks {cache.described}; drawn dotted and labelled 'doubtful'")
        return caches
    why = "a text report names no caches" if report.input_format == "text" else "the report names no caches"
    caches = read_sysfs_caches()
    if caches:
        note(f"--caches auto: {why}; marking this machine's (Linux sysfs): "
             + ", ".join(cache.label for cache in caches))
    else:
        note(f"--caches auto: {why}, and this machine does not report its cache sizes; none marked")
    return caches


def _compared_files(paths, note):
    """The files to compare: each PATH named, or every *.json in a directory, sorted by name."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = sorted(glob.glob(os.path.join(glob.escape(path), "*.json")))
            if not found:
                note(f"{path}: a directory without *.json files")
            files.extend(name for name in found if not os.path.isdir(name))
        else:
            files.append(path)
    return files


def _load_compared(path, note):
    """The report in path, or None after one line on stderr saying why it is left out."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        note(f"{path}: cannot read it: {error.strerror}; left out of the comparison")
        return None
    try:
        report = parse_report(decode_report(data), os.path.basename(path))
    except ReportError as error:
        note(f"{path}: {error}; left out of the comparison")
        return None
    if report.input_format != "json":
        note(f"{path}: a text report, which does not name its machine; --compare reads the program's JSON "
             f"(kestrune --json FILE); left out of the comparison")
        return None
    return report


def _run_compare(args, stdout, stderr):
    def note(message):
        print(f"{PROGRAM}: {message}", file=stderr)

    for option in ("png", "svg", "baseline"):
        if getattr(args, option):
            raise _Failure(f"--{option} does not go with --compare, which writes a table (text, --csv, --json)", 2)
    if args.caches:
        raise _Failure("--caches does not go with --compare: each report's levels come from its own caches", 2)
    outputs = [(option, getattr(args, option)) for option in ("csv", "json") if getattr(args, option)]
    if [path for _, path in outputs].count("-") > 1:
        raise _Failure("--csv - and --json - cannot both write to standard output", 2)
    files = _compared_files(args.compare + ([args.report] if args.report else []), note)
    _refuse_overwriting_inputs([output for output in outputs if output[1] != "-"], files)
    loaded = [(path, report) for path, report in ((path, _load_compared(path, note)) for path in files)
              if report is not None]
    if not loaded:
        raise _Failure("no readable report to compare", 2)
    tolerance = DEFAULT_TOLERANCE if args.tolerance is None else args.tolerance
    rows = compare(loaded, tolerance)
    render = {"csv": lambda: csv_table(rows), "json": lambda: json_table(rows, tolerance)}
    _write_all({path: render[option]().encode("utf-8") for option, path in outputs if path != "-"})
    to_stdout = [option for option, path in outputs if path == "-"]
    # Standard output named by an option carries that format alone, as with the program's own files.
    stdout.write(render[to_stdout[0]]() if to_stdout else text_table(rows, tolerance))
    return 0


def _run(args, stdin, stdout, stderr):
    def note(message):
        print(f"{PROGRAM}: {message}", file=stderr)

    if args.compare:
        return _run_compare(args, stdout, stderr)
    if args.tolerance is not None:
        raise _Failure("--tolerance goes with --compare", 2)
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
        caches = _auto_caches(report, note)
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
