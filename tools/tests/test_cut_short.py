import csv
import os
import tempfile
import unittest

from support import full_run_lines, printed_cells, run
from kestrune_report.model import BLOCK_SIZES
from kestrune_report.loader import parse_report
from kestrune_report.units import format_size

LINES = full_run_lines()
TITLE_8_READ = LINES.index("64bit(8byte) aligned read")
LATER_TABLES = ("missing tables: 32bit(4byte) aligned read, 128bit(16byte) aligned write, "
                "64bit(8byte) aligned write, 32bit(4byte) aligned write")


def kept(count, partial=""):
    """The fixture's first count lines, as an interrupted run leaves them."""
    return "".join(line + "\n" for line in LINES[:count]) + partial


SEVEN_ROWS_IN = TITLE_8_READ + 2 + 7
CASES = [
    # (what was cut, text, rows per table kept, phrases stderr must carry)
    ("after the clock line", kept(6), {},
     ["stops after line 6, before the speed check: none of the 6 tables"]),
    ("after 'Speed check start.'", kept(7), {}, ["none of the 6 tables is there"]),
    ("after 7 rows of the second table", kept(SEVEN_ROWS_IN), {("read", 16): 19, ("read", 8): 7},
     ["table '64bit(8byte) aligned read' has 7 of 19 rows; missing 16KB: to 32MB:", LATER_TABLES]),
    ("in the middle of a cell", kept(SEVEN_ROWS_IN, LINES[SEVEN_ROWS_IN][:30]),
     {("read", 16): 19, ("read", 8): 7},
     [f"line {SEVEN_ROWS_IN + 1} stops mid-way", "has 7 of 19 rows", LATER_TABLES]),
    ("in the middle of a unit", kept(SEVEN_ROWS_IN, LINES[SEVEN_ROWS_IN][:-2]),
     {("read", 16): 19, ("read", 8): 7}, ["stops mid-way", "has 7 of 19 rows"]),
    ("in the middle of a header", kept(TITLE_8_READ + 1, "SIZE:\tLDDQU\tMOVD"),
     {("read", 16): 19, ("read", 8): 0},
     ["stops after its title: no header, no rows", LATER_TABLES]),
    ("after the first row of the last table", kept(len(LINES) - 18),
     {key: 19 for key in [("read", 16), ("read", 8), ("read", 4), ("write", 16), ("write", 8)]}
     | {("write", 4): 1}, ["has 1 of 19 rows; missing 256B: to 32MB:"]),
]


class CutShortReports(unittest.TestCase):
    def test_what_is_there_is_kept_and_what_is_missing_is_named(self):
        for name, text, rows, phrases in CASES:
            with self.subTest(name):
                report = parse_report(text)
                self.assertEqual({table.key: len(table.rows) for table in report.tables}, rows)
                for table in report.tables:
                    self.assertEqual([row.block for row in table.rows],
                                     [format_size(size) for size in BLOCK_SIZES[:len(table.rows)]])
                for phrase in phrases:
                    self.assertTrue(any(phrase in gap for gap in report.gaps),
                                    (phrase, report.gaps))

    def test_command_draws_what_is_there_and_says_what_is_missing(self):
        text = kept(SEVEN_ROWS_IN, LINES[SEVEN_ROWS_IN][:30])
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "run.txt")
            with open(path, "w") as file:
                file.write(text)
            status, _, stderr = run([path, "--csv", os.path.join(directory, "cells.csv")])
            self.assertEqual(status, 0)
            self.assertIn(f"{path}: table '64bit(8byte) aligned read' has 7 of 19 rows", stderr)
            self.assertIn(LATER_TABLES, stderr)
            with open(os.path.join(directory, "cells.csv")) as file:
                written = {(row["direction"], int(row["alignment_bytes"]), row["block"],
                            row["instruction"]): row["value"] + row["unit"]
                           for row in csv.DictReader(file)}
        self.assertEqual(written, printed_cells(kept(SEVEN_ROWS_IN)))


if __name__ == "__main__":
    unittest.main()
