#!/usr/bin/python3
"""Runs the real program from start to exit and checks the whole report's
structure: system lines, six tables with their titles, the headers the
capability lines call for, the labelled rows and well-formed cells. With
--args it runs the program with those options and checks what they add
(--copy: the copy and fill tables after the six; --latency: the load-latency
table after them; --parallel-chains: the parallel-chains table last; --huge-pages: the Pages line, and on standard error why
where it obtained no 2 MiB page)."""
import argparse
import csv
import json
import math
import os
import re
import resource
import shlex
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools"))
from kestrune_report.kernel_table import TABLES_VARIABLE, columns, read_tables  # noqa: E402
from kestrune_report.loader import parse_report  # noqa: E402
from kestrune_report.records import cell_records, record_fields, to_csv, to_json  # noqa: E402

ARGS = None
TITLES = ["128bit(16byte) aligned read", "64bit(8byte) aligned read", "32bit(4byte) aligned read",
          "128bit(16byte) aligned write", "64bit(8byte) aligned write", "32bit(4byte) aligned write"]
# --copy adds these after the six.
COPY_TITLES = ["128bit(16byte) aligned copy", "64bit(8byte) aligned copy", "32bit(4byte) aligned copy",
               "128bit(16byte) aligned fill", "64bit(8byte) aligned fill", "32bit(4byte) aligned fill"]
CLOCK = re.compile(r"^CPU clock:(\d+(\.\d+)?)MHz$")
PAGES = re.compile(r"^Pages:(4KB|2MB \((100|[1-9][0-9]?)%\))$")
HUGE_PAGES_REFUSED = re.compile(r"^kestrune: --huge-pages: .+; the run goes on with 4KB pages\n$")
SIZE_UNITS = [(1 << 30, "GB"), (1 << 20, "MB"), (1 << 10, "KB"), (1, "B")]
# How the figures a per-cycle run's text gives in seconds follow the core clock they
# were converted with.
CLOCK_POWERS = {"core_mhz": 1, "bytes_per_second": 1, "bus_bytes_per_second": 1, "ns_per_load": -1}
EMULATOR_WARNING = re.compile(r"qemu-(i386|x86_64): warning: ")


def extensions():
    return read_tables(ARGS.table).extensions


def classic_names():
    """The classic names as the capability line spells them: a trailing space on all but the last."""
    classic = [extension.name for extension in extensions() if extension.classic]
    return [(name + ("" if name == classic[-1] else " "), name) for name in classic]


def wider_names():
    return [extension.name for extension in extensions() if not extension.classic]


def cpuinfo_flag(name):
    return next(extension.cpuinfo for extension in extensions() if extension.name == name)


def option_value(name, default=None):
    """The value the run's --args give an option, or the default."""
    words = shlex.split(ARGS.args)
    for i, word in enumerate(words):
        if word == name and i + 1 < len(words):
            return words[i + 1]
        if word.startswith(name + "="):
            return word.split("=", 1)[1]
    return default


def has_option(name):
    return name in shlex.split(ARGS.args)


def max_block_bytes():
    text = option_value("--max-size", "32MB")
    number = int(re.match(r"\d+", text).group())
    return number * dict((unit, scale) for scale, unit in SIZE_UNITS)[text[len(str(number)):]]


def selected_extensions():
    isa = option_value("--isa", "classic")
    if isa == "classic":
        return {extension.name for extension in extensions() if extension.classic}
    if isa == "all":
        return {extension.name for extension in extensions()}
    options = {extension.option: extension.name for extension in extensions()}
    return {options[name] for name in isa.split(",")}


def expected_warnings():
    return "".join(warning + "\n" for warning in ARGS.warning)


def command(arguments=None):
    return shlex.split(ARGS.runner) + [ARGS.binary] + shlex.split(ARGS.args if arguments is None else arguments)


def environment():
    return dict(os.environ, WINEDEBUG="-all")


def run(stdout=subprocess.PIPE, limit_bytes=None, arguments=None):
    limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))) if limit_bytes else None
    done = subprocess.run(command(arguments), stdout=stdout, stderr=subprocess.PIPE, preexec_fn=limit, env=environment(),
                          timeout=600)
    out = done.stdout.decode().replace("\r\n", "\n") if done.stdout is not None else ""
    return done.returncode, out, without_emulator_warnings(done.stderr.decode().replace("\r\n", "\n"))


def without_emulator_warnings(err):
    """Standard error less the emulator's own notes on the processor model it
    was given (qemu warns of features it leaves out of a model)."""
    return "".join(line for line in err.splitlines(keepends=True) if not EMULATOR_WARNING.match(line))


def is_linux_program(path):
    with open(path, "rb") as binary:
        return binary.read(4) == b"\x7fELF"


def extensions_of(capability_line):
    """The extensions the capability line names, checked to be in canonical
    form: the classic names with their spacing, then the wider ones."""
    listed = capability_line[len("Supported SIMD Inst:"):]
    words = listed.split()
    classic = [name for text, name in classic_names() if name in words]
    wider = [name for name in wider_names() if name in words]
    canonical = "".join(text for text, name in classic_names() if name in classic)
    if wider:
        canonical = (canonical + " " if canonical and not canonical.endswith(" ") else canonical) + " ".join(wider)
    if canonical != listed:
        raise AssertionError(f"capability line out of form: {capability_line!r}")
    return set(classic) | set(wider)


def same_as_printed(exact, from_text, printed):
    """Whether a field the tool read from the text agrees with the program's: the same, or
    the same number to the digits the printed value has."""
    if exact == from_text:
        return True
    try:
        exact, from_text = float(exact), float(from_text)
    except (TypeError, ValueError):
        return False
    digits = len(printed.replace("-", "").replace(".", "").lstrip("0"))
    return math.isclose(exact, from_text, rel_tol=10.0 ** (1 - max(digits, 1)))


def system_lines(test, lines, at):
    """Checks the lines from the capability line up to the tables; returns the
    extensions the tables use and where the first title stands."""
    test.assertTrue(lines[at].startswith("Supported SIMD Inst:"), lines[at])
    if ARGS.capability_line is not None:
        test.assertEqual(lines[at], ARGS.capability_line)
    extensions = extensions_of(lines[at])
    at += 1
    if "SSE" in extensions:
        test.assertIn(lines[at], ("SSE supported by OS:yes", "SSE supported by OS:no"))
        if lines[at].endswith("no"):
            extensions -= {"SSE", "SSE2", "SSE3", "SSE4.1", "AVX", "AVX512F"}
        at += 1
    if extensions & {"AVX", "AVX512F"} or lines[at].startswith("AVX supported by OS:"):
        test.assertIn(lines[at], ("AVX supported by OS:yes", "AVX supported by OS:no",
                                  "AVX supported by OS:yes (AVX512F no)"))
        if lines[at].endswith(":no"):
            extensions -= {"AVX", "AVX512F"}
        if lines[at].endswith("(AVX512F no)"):
            extensions -= {"AVX512F"}
        at += 1
    test.assertEqual(lines[at], "measuring CPU clock. please wait 3 seconds.")
    test.assertRegex(lines[at + 1], CLOCK)
    at += 2
    threads = option_value("--threads")
    if threads and threads != "1" and (threads != "all" or lines[at].startswith("Threads:")):
        test.assertRegex(lines[at], r"^Threads:[0-9]+$")
        at += 1
    repeat = option_value("--repeat")
    if repeat and repeat != "1":
        test.assertEqual(lines[at], f"Repeat:{repeat}")
        at += 1
    if has_option("--huge-pages"):
        test.assertRegex(lines[at], PAGES)
        at += 1
    test.assertEqual(lines[at], "Speed check start.")
    return extensions & selected_extensions(), at + 1


class FullRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code, cls.out, cls.err = run()
        if ARGS.save:
            with open(ARGS.save, "w", encoding="utf-8") as saved:
                saved.write(cls.out)
        cls.lines = cls.out.split("\n")

    def test_exits_zero_with_nothing_on_standard_error_but_the_warnings(self):
        self.assertEqual(self.code, 0)
        if "\nPages:4KB\n" in self.out:
            # The one line that says why the system gave no 2 MiB page.
            self.assertRegex(self.err, HUGE_PAGES_REFUSED)
        else:
            self.assertEqual(self.err, expected_warnings())
        self.assertTrue(self.out.endswith("\n"))

    def test_system_lines_then_six_complete_tables(self):
        lines = self.lines
        self.assertEqual(lines[0], "Kestrune ver1.0")
        self.assertEqual(lines[1], ARGS.family_line)
        extensions, _ = system_lines(self, lines, 2)

        # The tables are read with the one reader of reports; what this test
        # adds is what they must hold.
        report = parse_report(self.out, ARGS.binary)
        self.assertEqual(report.gaps, [])
        self.assertEqual(report.per_cycle, "--per-cycle" in shlex.split(ARGS.args))
        kernels = list(read_tables(ARGS.table).kernels)
        blocks = [1 << power for power in range(7, max_block_bytes().bit_length())]
        self.assertEqual([table.title for table in report.tables],
                         TITLES + (COPY_TITLES if has_option("--copy") else []))
        for table in report.tables:
            expected = columns(kernels, table.direction.upper(), frozenset(extensions), table.alignment == 16)
            self.assertEqual(list(table.columns), expected, table.title)
            self.assertEqual([row.block_bytes for row in table.rows], blocks, table.title)
            if report.per_cycle:
                self.assertIsNotNone(table.core_mhz, table.title)
        if has_option("--latency"):
            self.assertEqual([row.block_bytes for row in report.latency.rows], blocks)
            for row in report.latency.rows:
                for cell in row.cells:
                    self.assertGreater(cell.ns_per_load, 0, row.block)
                    self.assertTrue(cell.finite, row.block)
            if report.per_cycle:
                self.assertIsNotNone(report.latency.core_mhz)
        else:
            self.assertIsNone(report.latency)
        if has_option("--parallel-chains"):
            chains = report.parallel_chains
            self.assertEqual([row.block_bytes for row in chains.rows], blocks)
            self.assertEqual(chains.columns[:3], (1, 2, 4))
            for row in chains.rows:
                for count, cell in zip(chains.columns, row.cells):
                    # Only a block with fewer lines than chains goes unmeasured.
                    self.assertEqual(cell is None, count > row.block_bytes // 64, (row.block, count))
                    self.assertTrue(cell is None or (cell.finite and cell.ns_per_load > 0), (row.block, count))
        else:
            self.assertIsNone(report.parallel_chains)
        self.assertTrue(self.out.endswith("\n"))
        if ARGS.json:
            self.check_records_match_the_text(report)

    def check_records_match_the_text(self, report):
        """The run's JSON and CSV hold one record per printed cell, in order,
        with the value and unit as printed."""
        with open(ARGS.json, encoding="utf-8") as saved:
            document = json.load(saved)
        self.assertEqual(document["report"]["lines"][0], "Kestrune ver1.0")
        # The report says which machine it measured and how the run went.
        self.assertEqual(list(document), ["complete", "report", "machine", "run", "cells"])
        self.assertIn(document["machine"]["kestrune"]["target"],
                      ("linux-x86_64", "linux-i386", "windows-i686", "windows-x86_64"))
        self.assertEqual(document["run"]["command_line"][1:], shlex.split(ARGS.args))
        self.assertIs(document["run"]["complete"], True)
        self.assertGreater(document["run"]["duration_seconds"], 0)
        with open(ARGS.csv, encoding="utf-8", newline="") as saved:
            rows = list(csv.DictReader(saved))
        printed = [(table.direction, table.alignment, row.block, column, cell.printed)
                   for table in report.tables for row, column, cell in table.cells()]
        latency = [] if report.latency is None else [
            ("latency", row.block, column, cell.printed)
            for row in report.latency.rows for column, cell in zip(report.latency.columns, row.cells)]
        chains = [] if report.parallel_chains is None else [
            ("parallel_chains", row.block, str(count), cell.printed)
            for row, count, cell in report.parallel_chains.cells()]
        for records in (document["cells"], rows):
            self.assertEqual(len(records), len(printed) + len(latency) + len(chains))
            for record, expected in zip(records, printed):
                self.assertEqual((record["direction"], int(record["alignment_bytes"]), record["block"],
                                  record["instruction"], record["value"] + record["unit"]), expected)
            for record, expected in zip(records[len(printed):], latency):
                self.assertEqual((record["direction"], record["block"], record["column"],
                                  record["value"] + record["unit"]), expected)
            for record, expected in zip(records[len(printed) + len(latency):], chains):
                self.assertEqual((record["direction"], record["block"], str(record["chains"]),
                                  record["value"] + record["unit"]), expected)
        self.check_tool_records_match_the_programs(report, document["cells"], rows)

    def check_tool_records_match_the_programs(self, report, program_json, program_csv):
        """kestrune-report, reading the text, writes the program's fields (but those the text
        does not carry) in the program's order, each with the program's value as printed."""
        records = cell_records(report)
        fields = list(record_fields(report, False))
        tool_csv = list(csv.DictReader(to_csv(records, fields).splitlines()))
        tool_json = json.loads(to_json(report, records))["cells"]
        program_fields = list(program_csv[0].keys())
        not_from_text = [field.name for field in read_tables(ARGS.table).record_fields
                         if field.from_text == "NEVER" or (field.from_text == "WITH_OPTIONS" and not report.extended)]
        self.assertEqual(fields, [name for name in program_fields if name not in not_from_text])
        for theirs, ours in ((program_json, tool_json), (program_csv, tool_csv)):
            self.assertEqual(len(ours), len(theirs))
            for number, (program, tool) in enumerate(zip(theirs, ours)):
                for name in fields:
                    given, exact = tool[name], program.get(name)
                    if name == "bytes_per_second" and tool["direction"] == "parallel_chains":
                        # The tool's own: the rate of the loads, a 64-byte line each.
                        self.assertIn(program.get(name), (None, ""), f"cell {number}")
                        self.assertAlmostEqual(float(given) * float(tool["ns_per_load"]), 64e9, delta=1e-3)
                        continue
                    if given is None:  # a field of the other kind of cell, which JSON leaves out
                        self.assertNotIn(name, program, f"cell {number}")
                        continue
                    if given == exact:
                        continue
                    if report.per_cycle and name in CLOCK_POWERS:
                        # The text gives one clock a table, the program each row's: what the
                        # program measured is set against the clock the tool read.
                        if name == "core_mhz":
                            continue
                        exact = float(exact) * (float(tool["core_mhz"]) / float(program["core_mhz"])) \
                            ** CLOCK_POWERS[name]
                    self.assertTrue(same_as_printed(exact, given, program["value"]),
                                    f"cell {number}: {name} is {exact!r} in the program's file, "
                                    f"{given!r} in the tool's")

    @unittest.skipUnless(os.path.exists("/proc/cpuinfo"), "needs /proc/cpuinfo")
    def test_capabilities_match_what_the_kernel_reports(self):
        if ARGS.runner:
            self.skipTest("the emulated processor is not the one /proc/cpuinfo describes")
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            flags = next(line for line in cpuinfo if line.startswith("flags")).split(":")[1].split()
        expected = "".join(text for text, name in classic_names() if cpuinfo_flag(name) in flags)
        if selected_extensions() - {name for _, name in classic_names()}:
            wider = [name for name in wider_names() if cpuinfo_flag(name) in flags]
            if wider:
                expected += ("" if expected.endswith(" ") else " ") + " ".join(wider)
        self.assertEqual(self.lines[2], "Supported SIMD Inst:" + expected)


@unittest.skipIf(sys.platform != "linux", "Linux process limits")
class FailingSurroundings(unittest.TestCase):
    def setUp(self):
        if not is_linux_program(ARGS.binary):
            self.skipTest("a Linux program's surroundings")

    def test_too_little_address_space_fails_allocation_with_code_two(self):
        if ARGS.runner:
            self.skipTest("the limit would bind the emulator, not the program")
        for arguments, limit in (("", 24 << 20), ("--max-size 4GB", 1 << 30)):
            code, out, err = run(limit_bytes=limit, arguments=arguments)
            self.assertEqual(code, 2, arguments)
            self.assertEqual(err, "malloc failed.\n")
            self.assertRegex(out.rstrip("\n").split("\n")[-1], CLOCK)
            self.assertNotIn("Speed check start.", out)

    def test_full_standard_output_does_not_stop_the_run(self):
        with open("/dev/full", "wb") as full:
            code, _, err = run(stdout=full)
        self.assertEqual(code, 0)
        # A run that asks for 2 MiB pages may be told why there are none.
        if has_option("--huge-pages") and err:
            self.assertRegex(err, HUGE_PAGES_REFUSED)
        else:
            self.assertEqual(err, expected_warnings())


class CommandLine(unittest.TestCase):
    """What the program says about its command line, before it measures."""

    def test_usage_errors_are_one_line_on_standard_error_with_code_64(self):
        for arguments in ("--bogus", "--isa avx3", "--max-size 3KB", "--repeat 0", "--threads 999", "--max-size"):
            code, out, err = run(arguments=arguments)
            self.assertEqual((code, out), (64, ""), arguments)
            self.assertEqual(len(err.splitlines()), 1, err)
            self.assertTrue(err.startswith("kestrune: "), err)

    def test_help_and_version(self):
        code, out, err = run(arguments="--help")
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.startswith("Usage: kestrune"))
        code, out, err = run(arguments="--version")
        self.assertEqual((code, out, err), (0, "Kestrune ver1.0\n", ""))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--table", required=True, help="the tables the build writes (tables.json)")
    parser.add_argument("--runner", default="", help="command that runs the binary, e.g. wine")
    parser.add_argument("--family-line", default="OS:NT based")
    parser.add_argument("--save", help="where to keep the full run's report")
    parser.add_argument("--capability-line", help="the capability line the processor must give")
    parser.add_argument("--args", default="", help="the program's options for the run")
    parser.add_argument("--warning", action="append", default=[],
                        help="a line the run must print on standard error, in order (repeat for more)")
    parser.add_argument("--data-files", help="a folder where the run also writes its JSON and CSV, "
                                             "checked against the text")
    parser.add_argument("--command-line", action="store_true", help="check the command-line errors too")
    ARGS, rest = parser.parse_known_args()
    os.environ[TABLES_VARIABLE] = ARGS.table  # for the report tool's reader of the run
    ARGS.json = ARGS.csv = None
    if ARGS.data_files:
        os.makedirs(ARGS.data_files, exist_ok=True)
        ARGS.json = os.path.join(ARGS.data_files, "run.json")
        ARGS.csv = os.path.join(ARGS.data_files, "run.csv")
        ARGS.args += f" --json {shlex.quote(ARGS.json)} --csv {shlex.quote(ARGS.csv)}"
    tests = ["FullRun", "FailingSurroundings"]
    if ARGS.command_line:
        tests.append("CommandLine")
    unittest.main(argv=[sys.argv[0], "-v"] + rest, defaultTest=tests)


if __name__ == "__main__":
    main()
