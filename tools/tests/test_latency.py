"""Reports of runs with --latency and --huge-pages: the Pages line, the load-latency table
after the six throughput tables in text and JSON, its panel and its records."""

import json
import unittest

from support import GENERAL, PREAMBLE, report_text, run
from kestrune_report.caches import parse_cache_list
from kestrune_report.chart import build_figure
from kestrune_report.model import LATENCY_COLUMNS
from kestrune_report.loader import parse_report
from kestrune_report.records import cell_records, record_fields

BLOCKS = (128, 256, 512, 1024)
LABELS = ("128B", "256B", "512B", "1KB")
# Per row: RANDOM, IN-PAGE, SEQUENTIAL, each value distinct so that a cell read into the
# wrong place shows.
NS = (("1.1", "1.2", "1.3"), ("2.1", "2.2", "2.3"), ("3.1", "3.2", "3.3"), ("4.1", "4.2", "4.3"))


def latency_text(unit="ns", core_clock=None, rows=NS, pages="Pages:2MB (87%)"):
    preamble = PREAMBLE.replace("MHz\n", f"MHz\n{pages}\n") if pages else PREAMBLE
    lines = ["load latency"] + ([f"core clock:{core_clock}MHz"] if core_clock else [])
    lines.append("SIZE:\tRANDOM\tIN-PAGE\tSEQUENTIAL")
    lines += ["\t".join([label + ":"] + [value + unit for value in row]) for label, row in zip(LABELS, rows)]
    throughput = report_text(preamble, GENERAL, BLOCKS, cell="1B/c" if core_clock else "1GB/s")
    if core_clock:
        throughput = throughput.replace(" aligned read\n", f" aligned read\ncore clock:{core_clock}MHz\n")
        throughput = throughput.replace(" aligned write\n", f" aligned write\ncore clock:{core_clock}MHz\n")
    return throughput + "\n".join(lines) + "\n"


def latency_json(per_cycle=False):
    """The program's --json layout for the run latency_text describes."""
    machine_lines = PREAMBLE.split("\n")[:-2] + ["Pages:2MB (87%)"]
    cells = []
    for direction, alignment in (("read", 16), ("read", 8), ("read", 4), ("write", 16), ("write", 8),
                                 ("write", 4)):
        for label, block in zip(LABELS, BLOCKS):
            for column in GENERAL[direction]:
                cell = {"direction": direction, "alignment_bytes": alignment, "block_bytes": block,
                        "block": label, "instruction": column, "bytes_per_second": 2.0 ** 30,
                        "value": "1", "unit": "GB/s", "threads": 1, "samples_bytes_per_second": [2.0 ** 30]}
                cells.append(cell)
    for label, block, row in zip(LABELS, BLOCKS, NS):
        for column, value in zip(LATENCY_COLUMNS, row):
            cell = {"direction": "latency", "block_bytes": block, "block": label, "column": column,
                    "ns_per_load": float(value) + 1e-9, "value": value, "unit": "ns", "threads": 1,
                    "samples_ns_per_load": [float(value)] * 3}
            cells.append(cell)
    return {"report": {"version": "Kestrune ver1.0", "os": "NT based", "simd": ["MMX", "SSE", "SSE2", "SSE3"],
                       "sse_supported_by_os": True, "avx_supported_by_os": None, "cpu_clock_mhz": 2596.13,
                       "threads": 1, "repeat": 1, "per_cycle": per_cycle, "lines": machine_lines},
            "cells": cells}


class LatencyReports(unittest.TestCase):
    def test_text_in_nanoseconds_and_in_cycles_is_read_cell_by_cell(self):
        for name, text, core_mhz in (("ns", latency_text(), None),
                                     ("cycles", latency_text("c", "4000"), 4000.0)):
            with self.subTest(name):
                report = parse_report(text)
                self.assertEqual(report.gaps, [])
                self.assertTrue(report.extended)
                self.assertEqual(report.pages_line, "Pages:2MB (87%)")
                self.assertEqual(report.huge_page_share, 0.87)
                self.assertEqual(len(report.tables), 6)
                table = report.latency
                self.assertEqual([row.block_bytes for row in table.rows], list(BLOCKS))
                self.assertEqual(table.core_mhz, core_mhz)
                for row, values in zip(table.rows, NS):
                    self.assertEqual([cell.value for cell in row.cells], list(values))
                    for cell, value in zip(row.cells, values):
                        # Cycles at 4000 MHz: a quarter of a nanosecond each.
                        self.assertAlmostEqual(cell.ns_per_load, float(value) / (4 if core_mhz else 1))

    def test_json_keeps_the_exact_figures_and_agrees_with_the_text(self):
        document = latency_json()
        report = parse_report(json.dumps(document, indent=1))
        self.assertEqual(report.gaps, [])
        self.assertEqual(report.huge_page_share, 0.87)
        text_report = parse_report(latency_text())
        self.assertEqual([[cell.printed for cell in row.cells] for row in report.latency.rows],
                         [[cell.printed for cell in row.cells] for row in text_report.latency.rows])
        self.assertEqual(report.latency.rows[0].cells[0].ns_per_load, 1.1 + 1e-9)

    def test_pages_4kb_reads_as_no_share(self):
        report = parse_report(latency_text(pages="Pages:4KB"))
        self.assertEqual(report.huge_page_share, 0.0)

    def test_faults_are_named_with_their_line(self):
        cases = [
            ("no share", latency_text(pages="Pages:2MB (0%)"), "'Pages:2MB (N%)'"),
            ("throughput unit", latency_text().replace("1.1ns", "1.1GB/s"), "RANDOM: expected a number "
                                                                             "followed by ns"),
            ("cycles without per-cycle", latency_text().replace("1.1ns", "1.1c"), "followed by ns"),
            ("header", latency_text().replace("IN-PAGE\tSEQ", "SEQ\tIN-PAGE\tSEQ"), "the header 'SIZE:'"),
            ("missing cell", latency_text().replace("\t1.3ns", ""), "has 2 values, expected 3"),
            ("row past the tables'", latency_text() + "2KB:\t1ns\t1ns\t1ns\n", "after the last row of 'load latency'"),
            ("JSON cell out of order", json.dumps(_swap_latency_columns(latency_json())), "expected RANDOM"),
        ]
        for name, text, phrase in cases:
            with self.subTest(name):
                status, _, stderr = run(["-"], text.encode())
                self.assertEqual(status, 2, stderr)
                self.assertIn(phrase, stderr)

    def test_a_run_cut_short_in_the_latency_table_keeps_its_rows(self):
        text = latency_text()
        report = parse_report(text[:text.index("3.3ns") + 2])
        self.assertEqual(len(report.latency.rows), 2)
        self.assertEqual(len(report.gaps), 2)
        self.assertIn("'load latency' has 2 of 4 rows", " ".join(report.gaps))

    def test_latency_panel_is_log_log_with_a_line_per_order_and_the_cache_marks(self):
        report = parse_report(latency_text("c", "4000"))
        figure = build_figure(report, parse_cache_list("256,1K"))
        self.assertEqual(len(figure.axes), 7)
        ax = next(ax for ax in figure.axes if ax.get_title().startswith("load latency"))
        self.assertEqual((ax.get_xscale(), ax.get_yscale()), ("log", "log"))
        self.assertIn("cycles per load", ax.get_ylabel())
        lines = [line for line in ax.get_lines() if not line.get_label().startswith("_")]
        self.assertEqual([line.get_label() for line in lines], list(LATENCY_COLUMNS))
        for index, line in enumerate(lines):
            self.assertEqual(list(line.get_xdata()), list(BLOCKS))
            self.assertEqual(list(line.get_ydata()), [float(row[index]) for row in NS])
        marks = [line.get_label() for line in ax.get_lines() if line.get_label().startswith("_cache")]
        self.assertEqual(marks, ["_cache L1 256B", "_cache L2 1KB"])

    def test_records_carry_one_per_latency_cell(self):
        report = parse_report(latency_text("c", "4000"))
        fields = record_fields(report, False)
        records = cell_records(report)
        latency = [record for record in records if record["direction"] == "latency"]
        self.assertEqual(len(latency), 3 * len(BLOCKS))
        self.assertTrue(all(set(record) == set(fields) for record in records))
        self.assertEqual([record["column"] for record in latency[:3]], list(LATENCY_COLUMNS))
        self.assertEqual(latency[-1]["cycles_per_load"], 4.3)
        self.assertEqual(latency[-1]["core_mhz"], 4000.0)


def _swap_latency_columns(document):
    first = next(index for index, cell in enumerate(document["cells"]) if cell["direction"] == "latency")
    cells = document["cells"]
    cells[first], cells[first + 1] = cells[first + 1], cells[first]
    return document


if __name__ == "__main__":
    unittest.main()
