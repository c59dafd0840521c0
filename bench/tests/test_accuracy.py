"""Checks the bench's arithmetic and parsing on made-up reports; no timing.
Run: cd bench && /usr/bin/python3 -m unittest discover -s tests -t ."""

import unittest
from pathlib import Path

from accuracy import investigations, issue_limits, overhead, sections
from accuracy.runs import OutputError, TableKey, read_run
from kestrune_report.kernel_table import read_table

REPO = Path(__file__).resolve().parents[2]
BLOCKS = [128 << k for k in range(19)]
TABLES = [("read", "128bit(16byte)", ["LDDQU", "MOV(32)"]), ("read", "64bit(8byte)", ["MOV(32)"]),
          ("read", "32bit(4byte)", ["MOV(32)"]), ("write", "128bit(16byte)", ["MOVNTDQ", "MOV(32)"]),
          ("write", "64bit(8byte)", ["MOV(32)"]), ("write", "32bit(4byte)", ["MOV(32)"])]


def size_label(size):
    return f"{size >> 20}MB:" if size >= 1 << 20 else f"{size >> 10}KB:" if size >= 1 << 10 else f"{size}B:"


PREAMBLE = ["Kestrune ver1.0", "OS:NT based", "Supported SIMD Inst:MMX SSE SSE2 SSE3", "SSE supported by OS:yes",
            "measuring CPU clock. please wait 3 seconds.", "CPU clock:2096.5MHz", "Speed check start."]


def report(cell="64GB/s", first_cell=None):
    lines = list(PREAMBLE)
    for direction, title, columns in TABLES:
        lines.append(f"{title} aligned {direction}")
        lines.append("SIZE:\t" + "\t".join(columns))
        for size in BLOCKS:
            cells = [cell] * len(columns)
            if first_cell and size == 128 and title.startswith("128") and direction == "read":
                cells[0] = first_cell
            lines.append(size_label(size) + "\t" + "\t".join(cells))
    return "\n".join(lines) + "\n"


class ParsingTest(unittest.TestCase):
    def test_units_are_powers_of_1024(self):
        for cell, gib in (("2GB/s", 2.0), ("512MB/s", 0.5), ("1024KB/s", 2.0 ** -10)):
            with self.subTest(cell):
                self.assertEqual(read_run(report(cell=cell)).cells[(TableKey("read", 8), 4096, "MOV(32)")], gib)

    def test_block_labels(self):
        self.assertEqual(read_run(report()).blocks[TableKey("write", 4)], BLOCKS)

    def test_whole_report(self):
        run = read_run(report())
        self.assertEqual(run.clock_mhz, 2096.5)
        self.assertEqual(run.columns[TableKey("write", 16)], ["MOVNTDQ", "MOV(32)"])
        self.assertEqual(run.cells[(TableKey("read", 4), 32 << 20, "MOV(32)")], 64.0)

    def test_windows_line_ends(self):
        self.assertEqual(read_run(report().replace("\n", "\r\n")).clock_mhz, 2096.5)

    def test_runs_cut_short_or_out_of_form_are_refused(self):
        cases = [
            ("cut before the clock", "\n".join(PREAMBLE[:5]) + "\n", "cut short"),
            ("cut in the last table", report()[:-200], "cut short"),
            ("a cell out of form", report(first_cell="64TB/s"), "out of form: line 10: row '128B:', LDDQU"),
        ]
        for name, text, phrase in cases:
            with self.subTest(name):
                with self.assertRaises(OutputError) as raised:
                    read_run(text)
                self.assertIn(phrase, str(raised.exception))


class ArithmeticTest(unittest.TestCase):
    def test_median_and_spread(self):
        self.assertEqual(sections.median([3, 1, 2]), 2)
        self.assertEqual(sections.median([4, 1, 2, 3]), 2.5)
        self.assertEqual(sections.spread([2, 4, 3]), 2.0)

    def test_kernel_time_counts_each_rows_warm_up(self):
        run = read_run(report(cell="1GB/s"))
        cells = 19 * (2 + 1 + 1 + 2 + 1 + 1)
        warm_ups = 19 * 6
        # 64 MiB at 1 GiB/s is 1/16 s.
        self.assertAlmostEqual(overhead.seconds_in_kernels(run), (cells + warm_ups) / 16)
        result = overhead.overhead(run, 20.0)
        self.assertAlmostEqual(result.other, 20.0 - 3.0 - (cells + warm_ups) / 16)

    def test_first_row_ratio(self):
        run = read_run(report(first_cell="32GB/s"))
        ratios = investigations.first_row_ratios(run, TableKey("read", 16))
        self.assertEqual(ratios[(128, "LDDQU")], 0.5)
        self.assertEqual(ratios[(256, "LDDQU")], 1.0)


class KernelFactsTest(unittest.TestCase):
    def test_columns_come_from_the_kernel_list(self):
        columns = {(kernel.direction.lower(), kernel.column): kernel
                   for kernel in read_table(str(REPO / "kernels" / "kernel_list.def"))}
        self.assertEqual(columns[("read", "MOVZX(16)")].access_bytes, 2)
        cases = [
            # (column, kind of access, non-temporal)
            (("write", "MOVNTQ"), "mmx_store", True),
            (("write", "MOVNTI"), "scalar_store", True),
            (("write", "MOVDQA"), "vector_store", False),
            (("read", "MOV(32)"), "scalar_load", False),
            (("read", "VMOVDQU64(512)"), "vector_load", False),
            (("write", "VMOVNTDQ(256)"), "vector_store", True),
        ]
        for column, kind, streaming in cases:
            with self.subTest(column):
                self.assertEqual(issue_limits.issue_kind(columns[column]), kind)
                self.assertEqual(issue_limits.non_temporal(columns[column]), streaming)

    def test_unknown_processor_has_no_limit(self):
        self.assertIsNone(issue_limits.limits_for(6, 15))
        self.assertEqual(issue_limits.limits_for(26, 2)["per_cycle"]["scalar_load"], 4)
        self.assertEqual(issue_limits.limits_for(25, 0x11)["per_cycle"]["vector_store"], 1)


if __name__ == "__main__":
    unittest.main()
