import os
import subprocess
import tempfile
import unittest

from support import (FULL_RUN, JSON_RUN, PER_CYCLE_RUN, SCRIPT, first_line_number, fixture_text, full_run_lines,
                     run)

LINES = full_run_lines()
EXTENDED = fixture_text(PER_CYCLE_RUN).split("\n")[:-1]
JSON_LINES = fixture_text(JSON_RUN).split("\n")[:-1]
FIRST_ROW = LINES.index("128bit(16byte) aligned read") + 3  # 1-based number of the "128B:" row
LAST = len(LINES)


def line(number):
    return LINES[number - 1]


def first_lines(count, partial=""):
    return "".join(text + "\n" for text in LINES[:count]) + partial


def with_line(number, replacement, lines=LINES):
    """The fixture with line `number` (1-based) replaced; None drops it."""
    lines = list(lines)
    if replacement is None:
        del lines[number - 1]
    else:
        lines[number - 1] = replacement
    return "".join(text + "\n" for text in lines)


def extended_line(start, offset=0):
    """1-based number of the per-cycle fixture's line that starts with start, plus offset."""
    return first_line_number(EXTENDED, lambda text: text.startswith(start)) + offset


def with_extended_line(number, replacement):
    return with_line(number, replacement, EXTENDED)


def json_with(number, old, new):
    """The JSON fixture with old replaced by new in line `number` (1-based)."""
    assert old in JSON_LINES[number - 1], (number, old)
    return with_line(number, JSON_LINES[number - 1].replace(old, new, 1), JSON_LINES)


def json_without(*numbers):
    return "".join(text + "\n" for number, text in enumerate(JSON_LINES, 1) if number not in numbers)


def with_cell(number, column, replacement):
    fields = line(number).split("\t")
    fields[column] = replacement
    return with_line(number, "\t".join(fields))


CASES = [
    # (what is wrong, input, line named, phrase of the message)
    ("not a report", "hello\nworld\n", 1, "this is not a Kestrune report"),
    ("a partial banner is no report", "Kestr", 1, "this is not a Kestrune report"),
    ("empty input", "", 1, "the input is empty"),
    ("binary file", b"\x89PNG\r\n\x1a\n\x00\x00\xff\xfe", 1, "not UTF-8"),
    ("row short of a value", with_line(FIRST_ROW + 3, line(FIRST_ROW + 3).rsplit("\t", 1)[0]),
     FIRST_ROW + 3,
     f"row '1KB:' has 7 values, expected 8: one per instruction in the header "
     f"on line {FIRST_ROW - 1}"),
    ("row with a value too many", with_line(FIRST_ROW, line(FIRST_ROW) + "\t1GB/s"),
     FIRST_ROW, "has 9 values, expected 8"),
    ("unknown unit", with_cell(FIRST_ROW + 1, 3, "52.3TB/s"), FIRST_ROW + 1,
     "row '256B:', MOVDQA: unknown unit 'TB/s' in '52.3TB/s', expected GB/s, MB/s, KB/s or B/s"),
    ("not a number", with_cell(FIRST_ROW, 2, "fastGB/s"), FIRST_ROW, "MOVDQU: expected a number"),
    ("rows out of order", with_line(FIRST_ROW + 1, line(FIRST_ROW + 2)), FIRST_ROW + 1,
     "expected the row '256B:' of table '128bit(16byte) aligned read', got the row '512B:'"),
    ("missing row before the next table", with_line(FIRST_ROW + 18, None), FIRST_ROW + 18,
     "expected the row '32MB:' of table '128bit(16byte) aligned read', got '64bit"),
    ("unknown instruction", with_line(FIRST_ROW - 1, line(FIRST_ROW - 1).replace("MOVQ", "MOVXQ")),
     FIRST_ROW - 1, "unknown read instruction 'MOVXQ' in the header"),
    ("write instruction in a read table",
     with_line(FIRST_ROW - 1, line(FIRST_ROW - 1).replace("MOVAPS", "MOVNTPS")),
     FIRST_ROW - 1, "unknown read instruction 'MOVNTPS'"),
    ("header out of table order",
     with_line(FIRST_ROW - 1, line(FIRST_ROW - 1).replace("MOV(32)\tMOVZX(16)", "MOVZX(16)\tMOV(32)")),
     FIRST_ROW - 1, "MOV(32), MOVZX(16) in that order, "
                    "got LDDQU, MOVDQU, MOVDQA, MOVUPS, MOVAPS, MOVQ, MOVZX(16), MOV(32)"),
    ("aligned-only instruction in an 8-byte table",
     with_line(FIRST_ROW + 20, "SIZE:\tLDDQU\tMOVDQA\tMOVUPS\tMOVQ\tMOV(32)\tMOVZX(16)"),
     FIRST_ROW + 20, "MOVDQA in the header needs 16-byte alignment, which "
                     "'64bit(8byte) aligned read' lacks"),
    ("tables out of order", with_line(FIRST_ROW + 19, "64bit(8byte) aligned write"), FIRST_ROW + 19,
     "expected the table title '64bit(8byte) aligned read'"),
    ("capabilities out of order", with_line(3, "Supported SIMD Inst:SSE2 MMX "), 3,
     "some of MMX SSE SSE2 SSE3 in that order"),
    ("SSE answer neither yes nor no", with_line(4, "SSE supported by OS:maybe"), 4,
     "expected 'SSE supported by OS:yes' or ':no'"),
    ("clock without a number", with_line(6, "CPU clock:fastMHz"), 6,
     "expected the line 'CPU clock:<number>MHz'"),
    ("stray line in the preamble", with_line(5, "please wait"), 5,
     "expected the line 'measuring CPU clock. please wait ...'"),
    ("an extension the capability line cannot name",
     with_line(3, "Supported SIMD Inst:MMX SSE SSE2 SSE3 AVX2"), 3,
     "then some of SSE4.1 AVX AVX512F in that order"),
    ("AVX answer out of form", with_extended_line(5, "AVX supported by OS:yes (AVX2 no)"), 5,
     "expected 'AVX supported by OS:yes', ':no' or ':yes (AVX512F no)'"),
    ("one thread printed", with_extended_line(8, "Threads:1"), 8,
     "expected 'Threads:N', N threads of 2 or more (the line is left out for 1)"),
    ("runs per cell not a number", with_extended_line(9, "Repeat:five"), 9,
     "expected 'Repeat:N', N runs per cell of 2 or more"),
    ("a rate in a per-cycle report",
     with_extended_line(extended_line("256B:"), "256B:\t1GB/s\t2B/c\t3B/c\t4B/c\t5B/c"),
     extended_line("256B:"), "row '256B:', VMOVDQU(256): expected a number followed by B/c"),
    ("a per-cycle table without its core clock",
     with_extended_line(extended_line("64bit(8byte) aligned read", 1), None),
     extended_line("64bit(8byte) aligned read", 1),
     "expected the line 'core clock:<number>MHz' under the title of a per-cycle report"),
    ("core clock without a number", with_extended_line(12, "core clock:fastMHz"), 12,
     "expected the line 'core clock:<number>MHz'"),
    ("a table with a row more than the others",
     with_extended_line(extended_line("32bit(4byte) aligned read"), "2KB:\t1B/c\t1B/c\t1B/c\n"
                        "32bit(4byte) aligned read"),
     extended_line("32bit(4byte) aligned read"),
     "expected the table title '32bit(4byte) aligned read', got '2KB:"),
    ("JSON cut short", "\n".join(JSON_LINES[:9]) + "\n", 10, "expected JSON (Expecting"),
    ("JSON that is not the program's", '{"cells": []}\n', 1,
     "expected an object with a 'report' object and a 'cells' list"),
    ("JSON threads against its lines", json_with(2, '"threads": 2', '"threads": 3'), 2,
     "report.threads: is 3, but report.lines say 2"),
    ("JSON machine line out of form", json_with(2, "CPU clock:2096.02MHz", "CPU clock:fastMHz"), 2,
     "report.lines: item 6: expected the line 'CPU clock:<number>MHz'"),
    ("JSON machine lines that stop early",
     json_with(2, ', "measuring CPU clock. please wait 3 seconds.", "CPU clock:2096.02MHz", '
                  '"Threads:2", "Repeat:5"]', "]"), 2,
     "report.lines: item 5: the lines end after 5; expected them to reach 'CPU clock:<number>MHz'"),
    ("JSON machine lines past the last one",
     json_with(2, '"Repeat:5"]', '"Repeat:5", "Speed check start."]'), 2,
     "report.lines: item 9: expected 'Threads:N', 'Repeat:N', 'Pages:...' or no more lines, got 'Speed check start.'"),
    ("JSON cell with an unknown unit", json_with(5, '"unit": "GB/s"', '"unit": "TB/s"'), 5,
     "cells[1]: 'value' and 'unit': unknown unit 'TB/s'"),
    ("JSON block label against its bytes", json_with(4, '"block": "128B"', '"block": "128KB"'), 4,
     "cells[0]: expected 'block' to be \"128B\", got \"128KB\""),
    ("JSON cell threads against the report's", json_with(6, '"threads": 2', '"threads": 1'), 6,
     "cells[2]: expected 'threads' to be 2, as the report says, got 1"),
    ("JSON per cycle without core clocks", json_with(2, '"per_cycle": false', '"per_cycle": true'), 4,
     "cells[0]: expected 'core_mhz' to be a number"),
    ("JSON cells out of report order", json_with(4, '"direction": "read"', '"direction": "write"'), 4,
     "cells[0]: a cell of '128bit(16byte) aligned write'; cells come in report order, "
     "expected '128bit(16byte) aligned read'"),
    ("JSON row with a column lost", json_without(5), 8,
     "the row '256B:' of '128bit(16byte) aligned read' has the columns VMOVDQU(256), VMOVDQA(256), "
     "MOV(32), MOVZX(16); expected those of its first row: VMOVDQU(256), MOV(32), MOVZX(16)"),
    ("JSON table with a row less", json_without(15, 16, 17), 12,
     "'64bit(8byte) aligned read' ends at the row '128B:', the run's tables at '256B:'"),
    ("JSON aligned-only column in an 8-byte table",
     json_with(12, '"instruction": "VMOVDQU(256)"', '"instruction": "VMOVDQA(256)"'), 12,
     "the first row of '64bit(8byte) aligned read': VMOVDQA(256) in the cells needs 16-byte alignment"),
    ("text after the last row", first_lines(LAST, "Press any key\n"), LAST + 1,
     "expected the end of the report after the last row of '32bit(4byte) aligned write'"),
    ("garbage last line without newline", first_lines(FIRST_ROW + 4, "oops"), FIRST_ROW + 5,
     "expected the row '4KB:'"),
]


class MalformedInput(unittest.TestCase):
    def test_each_fault_is_named_with_its_line_exit_2_and_nothing_written(self):
        with tempfile.TemporaryDirectory() as directory:
            outputs = [os.path.join(directory, name)
                       for name in ("a.png", "a.svg", "a.csv", "a.json")]
            options = [item for pair in zip(("--png", "--svg", "--csv", "--json"), outputs)
                       for item in pair]
            for name, text, line, phrase in CASES:
                with self.subTest(name):
                    data = text if isinstance(text, bytes) else text.encode("ascii")
                    status, stdout, stderr = run(["-", *options], stdin=data)
                    self.assertEqual(status, 2)
                    self.assertEqual(stderr.count("\n"), 1, stderr)
                    prefix = f"kestrune-report: standard input: line {line}: "
                    self.assertTrue(stderr.startswith(prefix), stderr)
                    self.assertIn(phrase, stderr)
                    self.assertEqual(stdout, "")
                    self.assertEqual(os.listdir(directory), [])

    def test_a_broken_baseline_is_named_too(self):
        with tempfile.TemporaryDirectory() as directory:
            baseline = os.path.join(directory, "before.txt")
            with open(baseline, "w") as file:
                file.write(with_cell(FIRST_ROW, 1, "1XB/s"))
            csv_path = os.path.join(directory, "ratio.csv")
            status, _, stderr = run([FULL_RUN, "--baseline", baseline, "--csv", csv_path])
            self.assertEqual(status, 2)
            self.assertIn(f"{baseline}: line {FIRST_ROW}: row '128B:', LDDQU: unknown unit 'XB/s'",
                          stderr)
            self.assertFalse(os.path.exists(csv_path))

    def test_bad_arguments_and_dangerous_outputs_write_nothing(self):
        with tempfile.TemporaryDirectory() as directory:
            report = os.path.join(directory, "run.txt")
            with open(report, "w") as file:
                file.write(first_lines(LAST))
            json_path = os.path.join(directory, "cells.json")
            cases = [
                ([report, "--caches", "32Q", "--json", json_path], "'32Q' is not a cache size"),
                ([report, "--csv", report, "--json", json_path], "would overwrite the input"),
                ([os.path.join(directory, "absent.txt"), "--json", json_path], "cannot read"),
            ]
            for args, phrase in cases:
                with self.subTest(phrase):
                    status, _, stderr = run(args)
                    self.assertEqual(status, 2)
                    self.assertIn(phrase, stderr)
                    self.assertEqual(sorted(os.listdir(directory)), ["run.txt"])
                    with open(report) as file:
                        self.assertEqual(file.read(), first_lines(LAST))

    def test_the_installed_script_reports_without_a_traceback(self):
        with tempfile.TemporaryDirectory() as directory:
            report = os.path.join(directory, "run.txt")
            with open(report, "w") as file:
                file.write(with_cell(FIRST_ROW + 2, 4, "12.5PB/s"))
            done = subprocess.run([SCRIPT, report, "--png", os.path.join(directory, "a.png")],
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 2)
            self.assertEqual(done.stderr,
                             f"kestrune-report: {report}: line {FIRST_ROW + 2}: row '512B:', "
                             f"MOVUPS: unknown unit 'PB/s' in '12.5PB/s', "
                             f"expected GB/s, MB/s, KB/s or B/s\n")
            self.assertEqual(os.listdir(directory), ["run.txt"])


if __name__ == "__main__":
    unittest.main()
