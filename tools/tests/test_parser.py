import codecs
import unittest

from support import GIB, PREAMBLE, bytes_from_printed, full_run_text, printed_cells
from kestrune_report.model import BLOCK_SIZES, TABLE_ORDER
from kestrune_report.loader import parse_report
from kestrune_report.parser import decode_report


class CompleteReport(unittest.TestCase):
    def setUp(self):
        self.text = full_run_text()
        self.report = parse_report(self.text, "full-run.txt")

    def test_every_cell_matches_the_text_exactly(self):
        expected = printed_cells(self.text)
        found = {}
        for table in self.report.tables:
            for row, column, cell in table.cells():
                key = (table.direction, table.alignment, row.block, column)
                found[key] = cell.printed
                self.assertEqual(cell.bytes_per_second, bytes_from_printed(expected[key]), key)
        self.assertEqual(found, expected)

    def test_tables_come_in_order_with_their_header_columns_and_all_block_sizes(self):
        self.assertEqual([table.key for table in self.report.tables], list(TABLE_ORDER))
        lines = self.text.splitlines()
        for table in self.report.tables:
            header = lines[lines.index(table.title) + 1]
            self.assertEqual(("SIZE:",) + table.columns, tuple(header.split("\t")))
            self.assertEqual([row.block_bytes for row in table.rows], list(BLOCK_SIZES))
        self.assertEqual(self.report.gaps, [])

    def test_machine_lines_are_kept(self):
        lines = self.text.splitlines()
        self.assertEqual(self.report.version_line, lines[0])
        self.assertEqual(self.report.os_line, lines[1])
        self.assertEqual(self.report.simd_line, lines[2])
        self.assertTrue(self.report.clock_line.startswith("CPU clock:"))
        self.assertEqual(self.report.clock_mhz, float(self.report.clock_line[10:-3]))

    def test_windows_line_endings_and_encodings_read_the_same(self):
        crlf = self.text.replace("\n", "\r\n")
        variants = {
            "crlf": crlf.encode("ascii"),
            "utf-8 bom": codecs.BOM_UTF8 + self.text.encode("ascii"),
            "utf-16 (PowerShell tee)": crlf.encode("utf-16"),
            "no final newline": self.text.rstrip("\n").encode("ascii"),
            "trailing blank lines": (self.text + "\n\n").encode("ascii"),
        }
        for name, data in variants.items():
            with self.subTest(name):
                again = parse_report(decode_report(data), "full-run.txt")
                self.assertEqual(again, self.report)


class SmallReports(unittest.TestCase):
    def test_hand_checked_values(self):
        text = (PREAMBLE + "128bit(16byte) aligned read\n"
                "SIZE:\tMOVQ\tMOV(32)\tMOVZX(16)\n"
                "128B:\t1.5GB/s\t1024KB/s\tinfGB/s\n"
                "256B:\t1e+06B/s\t0.5MB/s\t2GB/s\n")
        table = parse_report(text).tables[0]
        self.assertEqual(table.series("MOVQ"), ([128, 256], [1.5 * GIB, 1e6]))
        self.assertEqual(table.series("MOV(32)"), ([128, 256], [1048576, 524288]))
        self.assertEqual(table.series("MOVZX(16)")[1], [float("inf"), 2 * GIB])
        self.assertEqual([cell.printed for cell in table.rows[1].cells],
                         ["1e+06B/s", "0.5MB/s", "2GB/s"])

    def test_a_header_may_hold_any_columns_in_table_order(self):
        text = (PREAMBLE + "128bit(16byte) aligned read\n"
                "SIZE:\tMOVDQA\tMOVQ\n"
                "128B:\t1GB/s\t2GB/s\n")
        self.assertEqual(parse_report(text).tables[0].columns, ("MOVDQA", "MOVQ"))

    def test_capability_lines(self):
        cases = [
            ("Supported SIMD Inst:", ()),
            ("Supported SIMD Inst:MMX ", ("MMX",)),
            ("Supported SIMD Inst:MMX SSE SSE2 ", ("MMX", "SSE", "SSE2")),
            ("Supported SIMD Inst:SSE SSE3", ("SSE", "SSE3")),
        ]
        for line, expected in cases:
            with self.subTest(line):
                sse = "SSE supported by OS:no\n" if "SSE" in expected else ""
                text = (f"Kestrune ver1.0\nOS:9X based\n{line}\n{sse}"
                        "measuring CPU clock. please wait 3 seconds.\nCPU clock:451.02MHz\n")
                report = parse_report(text)
                self.assertEqual(report.simd, expected)
                self.assertEqual(report.os_line, "OS:9X based")
                self.assertEqual(report.sse_os_line, sse.strip() or None)
                self.assertEqual(report.clock_mhz, 451.02)


if __name__ == "__main__":
    unittest.main()
