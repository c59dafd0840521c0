"""Reports of runs with options: more capability names and machine lines, per-cycle cells,
other columns, fewer or more rows."""

import unittest

from support import GENERAL, PER_CYCLE_RUN, PREAMBLE, fixture_text, printed_cells, report_text
from kestrune_report.model import ALL_BLOCK_SIZES, BLOCK_SIZES, TABLE_ORDER
from kestrune_report.loader import parse_report

PER_CYCLE = fixture_text(PER_CYCLE_RUN)
UP_TO_1KB = (128, 256, 512, 1024)


def with_preamble(old, new):
    assert old in PREAMBLE
    return PREAMBLE.replace(old, new)


AVX512 = {"read": ["VMOVDQU64(512)", "VMOVDQA64(512)", "MOV(32)", "MOVZX(16)"],
          "write": ["VMOVDQU64(512)", "VMOVDQA64(512)", "VMOVNTDQ(512)", "MOV(32)", "MOV(16)"]}

GOOD = [
    # (what, text, {Report attribute: value}, rows of every table)
    ("per cycle, 2 threads, 3 runs per cell, AVX and SSE4.1 columns to 1KB", PER_CYCLE,
     {"per_cycle": True, "threads": 2, "repeat": 3, "simd": ("MMX", "SSE", "SSE2", "SSE3", "SSE4.1", "AVX"),
      "avx_os_line": "AVX supported by OS:yes", "threads_line": "Threads:2", "repeat_line": "Repeat:3"},
     UP_TO_1KB),
    ("rows up to 4GB", report_text(PREAMBLE, GENERAL, ALL_BLOCK_SIZES), {"per_cycle": False, "threads": 1},
     ALL_BLOCK_SIZES),
    ("one row", report_text(PREAMBLE, GENERAL, (128,)), {}, (128,)),
    ("AVX-512 columns, no SSE3",
     report_text(with_preamble("SSE SSE2 SSE3\nSSE supported by OS:yes\n",
                               "SSE SSE2 SSE4.1 AVX AVX512F\nSSE supported by OS:yes\n"
                               "AVX supported by OS:yes\n"), AVX512, BLOCK_SIZES),
     {"simd": ("MMX", "SSE", "SSE2", "SSE4.1", "AVX", "AVX512F")}, BLOCK_SIZES),
    ("AVX-512 that the system does not save",
     report_text(with_preamble("SSE3\nSSE supported by OS:yes\n",
                               "SSE3 AVX AVX512F\nSSE supported by OS:yes\n"
                               "AVX supported by OS:yes (AVX512F no)\n"), GENERAL, BLOCK_SIZES),
     {"avx_os_line": "AVX supported by OS:yes (AVX512F no)"}, BLOCK_SIZES),
    ("repeat without threads", report_text(with_preamble("MHz\n", "MHz\nRepeat:5\n"), GENERAL, UP_TO_1KB),
     {"threads": 1, "threads_line": None, "repeat": 5}, UP_TO_1KB),
]


class ExtendedReports(unittest.TestCase):
    def test_every_cell_and_machine_line_is_read(self):
        for name, text, attributes, blocks in GOOD:
            with self.subTest(name):
                report = parse_report(text)
                self.assertEqual(report.gaps, [])
                self.assertTrue(report.extended)
                for attribute, value in attributes.items():
                    self.assertEqual(getattr(report, attribute), value, attribute)
                self.assertEqual(report.block_sizes, blocks)
                self.assertEqual([table.key for table in report.tables], list(TABLE_ORDER))
                expected = printed_cells(text)
                found = {(table.direction, table.alignment, row.block, column): cell.printed
                         for table in report.tables for row, column, cell in table.cells()}
                self.assertEqual(found, expected)
                for line in text.splitlines()[:3]:
                    self.assertIn(line, report.machine_lines)

    def test_per_cycle_cells_keep_bytes_per_cycle_and_their_tables_core_clock(self):
        report = parse_report(PER_CYCLE)
        lines = PER_CYCLE.splitlines()
        for table in report.tables:
            with self.subTest(table.title):
                clock_line = lines[lines.index(table.title) + 1]
                self.assertEqual(table.core_clock_line, clock_line)
                self.assertEqual(table.core_mhz, float(clock_line[len("core clock:"):-len("MHz")]))
                for row, column, cell in table.cells():
                    self.assertEqual(cell.unit, "B/c")
                    self.assertEqual(cell.bytes_per_cycle, float(cell.value))
                    self.assertEqual(cell.core_mhz, table.core_mhz)
                    self.assertEqual(cell.bytes_per_second, float(cell.value) * table.core_mhz * 1e6)
        self.assertEqual(report.measure, "bytes_per_cycle")

    def test_a_run_without_options_is_not_extended(self):
        text = report_text(PREAMBLE, GENERAL, BLOCK_SIZES)
        report = parse_report(text)
        self.assertFalse(report.extended)
        self.assertEqual((report.per_cycle, report.threads, report.repeat), (False, 1, 1))
        self.assertEqual(report.measure, "bytes_per_second")


class CutShortExtendedReports(unittest.TestCase):
    def test_the_rows_of_the_run_come_from_its_complete_tables(self):
        lines = PER_CYCLE.splitlines()
        cut = lines.index("32bit(4byte) aligned read") + 5  # title, core clock, header, 2 rows
        report = parse_report("\n".join(lines[:cut]) + "\n" + lines[cut][:9])
        self.assertEqual({table.key: len(table.rows) for table in report.tables},
                         {("read", 16): 4, ("read", 8): 4, ("read", 4): 2})
        self.assertEqual(report.gaps[1:], [
            "table '32bit(4byte) aligned read' has 2 of 4 rows; missing 512B: to 1KB:",
            "missing tables: 128bit(16byte) aligned write, 64bit(8byte) aligned write, "
            "32bit(4byte) aligned write"])
        self.assertIn(f"line {cut + 1} stops mid-way", report.gaps[0])
        self.assertTrue(report.per_cycle)

    def test_a_cut_between_title_and_core_clock_keeps_the_tables_before(self):
        lines = PER_CYCLE.splitlines()
        cut = lines.index("128bit(16byte) aligned write") + 1
        report = parse_report("\n".join(lines[:cut]) + "\ncore cl")
        self.assertEqual(len(report.tables), 4)
        self.assertEqual(report.tables[-1].rows, [])
        self.assertIn("table '128bit(16byte) aligned write' stops after its title", report.gaps[1])

    def test_with_only_the_first_table_the_rows_of_a_run_without_options_are_assumed(self):
        # Nothing tells a run cut in its first table from one that ends its tables there.
        text = report_text(PREAMBLE, GENERAL, UP_TO_1KB)
        report = parse_report(text[:text.index("64bit")])
        self.assertEqual(report.block_sizes, BLOCK_SIZES)
        self.assertIn("has 4 of 19 rows; missing 2KB: to 32MB:", report.gaps[0])


if __name__ == "__main__":
    unittest.main()
