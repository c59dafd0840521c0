"""Reports of runs with --copy: the copy and fill tables after the six, read from text and
JSON, drawn as panels of their own, and their records' bus bytes."""

import json
import unittest

from support import GENERAL, PREAMBLE, report_text, run
from kestrune_report.chart import build_figure
from kestrune_report.loader import parse_report
from kestrune_report.model import COPY_TABLE_ORDER, TABLE_ORDER, table_title
from kestrune_report.records import cell_records, record_fields
from kestrune_report.units import format_size

BLOCKS = (128, 256, 512)
# Each column its own rate, so that a cell read into the wrong place shows.
COPY_COLUMNS = {"copy": ("REP MOVSB", "REP MOVSD", "MOVDQU", "memcpy"), "fill": ("REP STOSB", "REP STOSD", "memset")}
RATES = {"REP MOVSB": 3, "REP MOVSD": 4, "MOVDQU": 5, "memcpy": 6, "REP STOSB": 7, "REP STOSD": 8, "memset": 9}


def copy_tables_text():
    lines = []
    for direction, alignment in COPY_TABLE_ORDER:
        columns = COPY_COLUMNS[direction]
        lines += [table_title(direction, alignment), "\t".join(("SIZE:",) + columns)]
        lines += ["\t".join([format_size(block) + ":"] + [f"{RATES[column]}GB/s" for column in columns])
                  for block in BLOCKS]
    return "\n".join(lines) + "\n"


def copy_text():
    return report_text(PREAMBLE, GENERAL, BLOCKS) + copy_tables_text()


def copy_json():
    """The program's --json layout for the run copy_text describes, each rate a little past
    what the text shows, as the exact figures are."""
    cells = []
    for direction, alignment in TABLE_ORDER + COPY_TABLE_ORDER:
        for block in BLOCKS:
            for column in GENERAL.get(direction) or COPY_COLUMNS[direction]:
                gib = RATES.get(column, 1)
                cell = {"direction": direction, "alignment_bytes": alignment, "block_bytes": block,
                        "block": format_size(block), "instruction": column, "bytes_per_second": gib * 2.0 ** 30 + 1,
                        "value": str(gib), "unit": "GB/s", "threads": 1, "samples_bytes_per_second": [gib * 2.0 ** 30]}
                if direction in COPY_COLUMNS:
                    cell["bus_bytes_per_second"] = cell["bytes_per_second"] * (2 if direction == "copy" else 1)
                cells.append(cell)
    return {"report": {"version": "Kestrune ver1.0", "os": "NT based", "simd": ["MMX", "SSE", "SSE2", "SSE3"],
                       "sse_supported_by_os": True, "avx_supported_by_os": None, "cpu_clock_mhz": 2596.13,
                       "threads": 1, "repeat": 1, "per_cycle": False, "lines": PREAMBLE.split("\n")[:-2]},
            "cells": cells}


class CopyReports(unittest.TestCase):
    def test_text_and_json_read_the_copy_and_fill_tables_after_the_six(self):
        for name, text, extra in (("text", copy_text(), 0), ("json", json.dumps(copy_json(), indent=1), 1)):
            with self.subTest(name):
                report = parse_report(text)
                self.assertEqual(report.gaps, [])
                self.assertTrue(report.extended)
                self.assertEqual([table.key for table in report.tables], list(TABLE_ORDER + COPY_TABLE_ORDER))
                for table in report.tables[len(TABLE_ORDER):]:
                    self.assertEqual(table.columns, COPY_COLUMNS[table.direction])
                    self.assertEqual([row.block_bytes for row in table.rows], list(BLOCKS))
                    for row, column, cell in table.cells():
                        self.assertEqual(cell.bytes_per_second, RATES[column] * 2 ** 30 + extra)

    def test_records_count_the_bus_bytes_of_copy_and_fill_cells_only(self):
        report = parse_report(copy_text())
        fields = record_fields(report, False)
        self.assertIn("bus_bytes_per_second", fields)
        factors = {"read": None, "write": None, "copy": 2, "fill": 1}
        for record in cell_records(report):
            factor = factors[record["direction"]]
            expected = None if factor is None else record["bytes_per_second"] * factor
            self.assertEqual(record["bus_bytes_per_second"], expected, record)
        plain = parse_report(report_text(PREAMBLE, GENERAL, BLOCKS))
        self.assertNotIn("bus_bytes_per_second", record_fields(plain, False))

    def test_copy_and_fill_are_two_more_rows_of_panels(self):
        figure = build_figure(parse_report(copy_text()))
        titles = [ax.get_title() for ax in figure.axes]
        self.assertEqual(titles, [table_title(*key) for key in TABLE_ORDER + COPY_TABLE_ORDER])
        for ax in figure.axes[len(TABLE_ORDER):]:
            direction = ax.get_title().split()[-1]
            lines = [line for line in ax.get_lines() if not line.get_label().startswith("_")]
            self.assertEqual([line.get_label() for line in lines], list(COPY_COLUMNS[direction]))
            self.assertEqual([list(line.get_ydata()) for line in lines],
                             [[RATES[column]] * len(BLOCKS) for column in COPY_COLUMNS[direction]])
        self.assertIn("fill throughput", figure.axes[-3].get_ylabel())

    def test_a_run_cut_short_in_a_copy_table_names_what_it_left_out(self):
        text = copy_text()
        cut = text[:text.index("64bit(8byte) aligned copy")] + "64bit(8byte) aligned copy\nSIZE:\tREP MOVSB\t"
        report = parse_report(cut)
        self.assertEqual(len(report.tables), 8)
        self.assertIn("table '64bit(8byte) aligned copy' stops after its title", " ".join(report.gaps))
        self.assertIn("missing tables: 32bit(4byte) aligned copy, 128bit(16byte) aligned fill",
                      " ".join(report.gaps))
        status, stdout, _ = run(["-"], cut.encode())
        self.assertEqual(status, 0)
        self.assertIn("8 of 12 tables", stdout)

    def test_faults_are_named_with_their_line(self):
        text = copy_text()
        fill_tables = copy_tables_text()[copy_tables_text().index("128bit(16byte) aligned fill"):]
        cases = [
            ("aligned-only copy column off the page", text.replace("64bit(8byte) aligned copy\nSIZE:\tREP MOVSB",
                                                                   "64bit(8byte) aligned copy\nSIZE:\tVMOVNTDQ(256)"),
             "VMOVNTDQ(256) in the header needs 16-byte alignment"),
            ("a read column in a fill table", text.replace("SIZE:\tREP STOSB", "SIZE:\tMOV(32)", 1),
             "unknown fill instruction 'MOV(32)'"),
            ("fill tables without the copy tables", report_text(PREAMBLE, GENERAL, BLOCKS) + fill_tables,
             "after the last row of '32bit(4byte) aligned write'"),
        ]
        for name, bad, phrase in cases:
            with self.subTest(name):
                status, _, stderr = run(["-"], bad.encode())
                self.assertEqual(status, 2, stderr)
                self.assertIn(phrase, stderr)


if __name__ == "__main__":
    unittest.main()
