"""The program's own JSON (kestrune --json FILE) read as a report."""

import json
import unittest

from support import JSON_RUN, as_text, fixture_text, printed_cells
from kestrune_report.model import TABLE_ORDER, ReportError, table_title
from kestrune_report.loader import parse_report

JSON_TEXT = fixture_text(JSON_RUN)
DOCUMENT = json.loads(JSON_TEXT)


def per_cycle_document():
    """The fixture as a --per-cycle run would write it: each cell with its row's core clock."""
    document = json.loads(JSON_TEXT)
    document["report"]["per_cycle"] = True
    for index, cell in enumerate(document["cells"]):
        cell["core_mhz"] = 3600.0 + index % 3
        cell["bytes_per_cycle"] = cell["bytes_per_second"] / (cell["core_mhz"] * 1e6)
        cell["value"], cell["unit"] = f"{cell['bytes_per_cycle']:g}", "B/c"
    return document


class JsonInput(unittest.TestCase):
    def setUp(self):
        self.report = parse_report(JSON_TEXT, "threads-256B.json")

    def test_each_cell_keeps_its_printed_value_and_its_exact_rate(self):
        found = {(table.direction, table.alignment, row.block_bytes, column): (cell.printed, cell.bytes_per_second)
                 for table in self.report.tables for row, column, cell in table.cells()}
        expected = {(cell["direction"], cell["alignment_bytes"], cell["block_bytes"], cell["instruction"]):
                    (cell["value"] + cell["unit"], cell["bytes_per_second"]) for cell in DOCUMENT["cells"]}
        self.assertEqual(found, expected)
        self.assertEqual(list(found), list(expected))  # report order kept

    def test_the_machine_fields_and_lines_become_the_reports(self):
        report = self.report
        self.assertEqual((report.input_format, report.threads, report.repeat, report.per_cycle),
                         ("json", 2, 5, False))
        self.assertEqual(report.clock_mhz, DOCUMENT["report"]["cpu_clock_mhz"])
        self.assertEqual(report.simd, tuple(DOCUMENT["report"]["simd"]))
        self.assertEqual(set(report.machine_lines), set(DOCUMENT["report"]["lines"]) - {
            "measuring CPU clock. please wait 3 seconds."})
        self.assertEqual(report.block_sizes, (128, 256))
        self.assertEqual(report.gaps, [])
        self.assertTrue(report.extended)

    def test_json_and_text_of_one_run_read_alike(self):
        text = as_text(DOCUMENT)
        from_text = parse_report(text, "run.txt")
        self.assertEqual(from_text.machine_lines, self.report.machine_lines)
        self.assertEqual([(t.key, t.columns, [r.block for r in t.rows]) for t in from_text.tables],
                         [(t.key, t.columns, [r.block for r in t.rows]) for t in self.report.tables])
        self.assertEqual({(t.direction, t.alignment, r.block, column): cell.printed
                          for t in self.report.tables for r, column, cell in t.cells()},
                         printed_cells(text))

    def test_per_cycle_cells_keep_their_rows_core_clock_and_exact_bytes_per_cycle(self):
        document = per_cycle_document()
        report = parse_report(json.dumps(document))
        self.assertTrue(report.per_cycle)
        cells = iter(document["cells"])
        for table in report.tables:
            self.assertIsNone(table.core_mhz)  # rows measured at different clocks
            for row, column, cell in table.cells():
                expected = next(cells)
                self.assertEqual((cell.unit, cell.core_mhz, cell.bytes_per_cycle, cell.bytes_per_second),
                                 ("B/c", expected["core_mhz"], expected["bytes_per_cycle"],
                                  expected["bytes_per_second"]))

    def test_a_file_cut_short_by_hand_names_what_is_missing(self):
        document = json.loads(JSON_TEXT)
        write = next(i for i, cell in enumerate(document["cells"]) if cell["direction"] == "write")
        document["cells"] = document["cells"][:write - 3]  # the last read table's last row lost
        report = parse_report(json.dumps(document))
        self.assertEqual([len(table.rows) for table in report.tables], [2, 2, 1])
        self.assertEqual(report.gaps, [
            "table '32bit(4byte) aligned read' has 1 of 2 rows; missing 256B: to 256B:",
            "missing tables: " + ", ".join(table_title(*key) for key in TABLE_ORDER[3:])])

    def test_an_interrupted_run_leaves_its_unfinished_row_out_and_says_so(self):
        document = json.loads(JSON_TEXT)
        write = next(i for i, cell in enumerate(document["cells"]) if cell["direction"] == "write")
        document["cells"] = document["cells"][:write - 1]  # stopped before the last read cell
        document["complete"] = False
        report = parse_report(json.dumps(document))
        self.assertEqual([len(table.rows) for table in report.tables], [2, 2, 1])
        self.assertEqual(report.gaps[0], "the run was interrupted (\"complete\": false)")
        self.assertIn("the row '256B:' of '32bit(4byte) aligned read' was stopped after", report.gaps[1])
        # The same cells in a file that claims to be complete are a damaged file.
        document["complete"] = True
        with self.assertRaises(ReportError):
            parse_report(json.dumps(document))
        document["complete"] = "no"
        with self.assertRaises(ReportError) as raised:
            parse_report(json.dumps(document))
        self.assertIn("'complete' to be true or false", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
