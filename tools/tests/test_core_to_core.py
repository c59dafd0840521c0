"""Reports of runs with --core-to-core: the matrix after every other table in text and JSON,
the summary by kind of pair, the heat map with its sibling marks, and a table cut short."""

import json
import os
import tempfile
import unittest

from support import GENERAL, PREAMBLE, report_text, run
from kestrune_report import core_to_core
from kestrune_report.loader import parse_report

BLOCKS = (128, 256)
LABELS = ("0", "1", "2", "3")
# Processors 0 and 1 are SMT siblings, 0-1 and 2-3 each share a level-3 cache in a package of
# their own; every figure distinct, so a cell read into the wrong place shows.
ONE_WAY = {("0", "1"): 8.0, ("1", "0"): 9.0, ("2", "3"): 40.0, ("3", "2"): 39.0,
           ("0", "2"): 120.0, ("0", "3"): 121.0, ("1", "2"): 122.0, ("1", "3"): 123.0,
           ("2", "0"): 124.0, ("2", "1"): 125.0, ("3", "0"): 126.0, ("3", "1"): 127.0}


def place(row, column):
    """siblings, shared cache level, different packages of the made-up machine above."""
    halves = {"0": 0, "1": 0, "2": 1, "3": 1}
    siblings = {row, column} == {"0", "1"}
    same_half = halves[row] == halves[column]
    return siblings, 1 if siblings else 3 if same_half else 0, not same_half


def matrix_text(unit="ns", core_clock=None, refused=None, cut_after=None):
    lines = [core_to_core.TITLE] + ([f"core clock:{core_clock}MHz"] if core_clock else [])
    lines.append("one way: half a round trip timed by the row's processor, answered by the column's")
    lines.append("\t".join(["CPU:"] + list(LABELS)))
    for row in LABELS:
        cells = ["-" if row == column else "" if refused in (row, column) else f"{ONE_WAY[(row, column)]:g}{unit}"
                 for column in LABELS]
        lines.append("\t".join([row + ":"] + cells))
    text = "\n".join(lines) + "\n"
    if cut_after is not None:
        text = text[:text.index(cut_after) + len(cut_after)]
    return report_text(PREAMBLE, GENERAL, BLOCKS) + text


def matrix_json(refused=None):
    """The program's --json layout for the run matrix_text describes."""
    cells = []
    for direction, alignment in (("read", 16), ("read", 8), ("read", 4), ("write", 16), ("write", 8),
                                 ("write", 4)):
        for label, block in (("128B", 128), ("256B", 256)):
            for column in GENERAL[direction]:
                cells.append({"direction": direction, "alignment_bytes": alignment, "block_bytes": block,
                              "block": label, "instruction": column, "bytes_per_second": 2 ** 30,
                              "value": "1", "unit": "GB/s", "threads": 1})
    for row in LABELS:
        for column in LABELS:
            if row == column or refused in (row, column):
                continue
            siblings, level, packages = place(row, column)
            cells.append({"direction": "core_to_core", "value": f"{ONE_WAY[(row, column)]:g}", "unit": "ns",
                          "threads": 2, "from_processor": row, "to_processor": column, "timed_by": row,
                          "siblings": siblings, "shared_cache_level": level, "different_packages": packages,
                          "different_nodes": packages, "ns_one_way": ONE_WAY[(row, column)]})
    machine_lines = PREAMBLE.split("\n")[:-2]
    return json.dumps({"complete": True,
                       "report": {"version": "Kestrune ver1.0", "os": "NT based",
                                  "simd": ["MMX", "SSE", "SSE2", "SSE3"], "sse_supported_by_os": True,
                                  "avx_supported_by_os": None, "cpu_clock_mhz": 2596.13, "threads": 1,
                                  "repeat": 1, "per_cycle": False, "lines": machine_lines},
                       "cells": cells}, indent=1)


class MatrixReading(unittest.TestCase):
    def test_the_printed_table_gives_every_pair_in_its_place(self):
        report = parse_report(matrix_text())
        self.assertEqual(len(report.tables), 6)
        self.assertEqual(report.gaps, [])
        matrix = report.core_to_core
        self.assertEqual(matrix.labels, list(LABELS))
        self.assertEqual(matrix.cells, ONE_WAY)
        self.assertEqual(matrix.unit, "ns")

    def test_the_json_records_give_the_same_pairs_and_where_each_sits(self):
        text_matrix = parse_report(matrix_text()).core_to_core
        matrix = parse_report(matrix_json()).core_to_core
        self.assertEqual(matrix.cells, text_matrix.cells)
        self.assertEqual(len(parse_report(matrix_json()).tables), 6)
        for pair, where in matrix.places.items():
            self.assertEqual((where.siblings, where.shared_cache_level, where.different_packages), place(*pair))

    def test_cycles_and_refused_pairs(self):
        matrix = parse_report(matrix_text(unit="c", core_clock="3650.5", refused="2")).core_to_core
        self.assertEqual(matrix.unit, "c")
        self.assertEqual(set(matrix.cells), {pair for pair in ONE_WAY if "2" not in pair})

    def test_a_table_cut_short_is_read_as_far_as_it_goes_and_said_so(self):
        report = parse_report(matrix_text(cut_after="1:\t9ns\t-\t"))
        self.assertEqual(set(report.core_to_core.cells), {("0", "1"), ("0", "2"), ("0", "3"), ("1", "0")})
        self.assertTrue(any(core_to_core.TITLE in gap for gap in report.gaps), report.gaps)

    def test_a_row_out_of_place_is_an_error_naming_its_line(self):
        text = matrix_text().replace("2:\t124ns", "7:\t124ns")
        status, out, err = run(["-"], stdin=text.encode())
        self.assertEqual(status, 2)
        self.assertIn("expected the row of processor 2", err)


class MatrixSummaryAndHeatMap(unittest.TestCase):
    def test_the_summary_gives_the_median_of_siblings_of_the_shared_last_level_and_of_the_rest(self):
        status, out, err = run(["-"], stdin=matrix_json().encode())
        self.assertEqual(status, 0, err)
        self.assertIn("SMT siblings: median 8.5 over 2 pairs", out)
        self.assertIn("sharing the last-level cache: median 39.5 over 2 pairs", out)
        self.assertIn("the rest: median 123.5 over 8 pairs", out)

    def test_a_printed_table_says_where_pairs_sit_is_in_the_json_only(self):
        status, out, _ = run(["-"], stdin=matrix_text().encode())
        self.assertEqual(status, 0)
        self.assertIn("12 of 12 pairs measured", out)
        self.assertIn("JSON report only", out)

    def test_the_heat_map_outlines_the_sibling_pairs(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "matrix.png")
            status, _, err = run(["-", "--matrix", path], stdin=matrix_json().encode())
            self.assertEqual(status, 0, err)
            with open(path, "rb") as image:
                self.assertEqual(image.read(8), b"\x89PNG\r\n\x1a\n")
        svg = core_to_core.draw(parse_report(matrix_json()).core_to_core, "svg").decode()
        self.assertIn("SMT siblings", svg)
        # Two red outlines, one per sibling cell; none from a printed table.
        self.assertEqual(svg.count("stroke: #ff0000"), 2)
        plain = core_to_core.draw(parse_report(matrix_text()).core_to_core, "svg").decode()
        self.assertEqual(plain.count("stroke: #ff0000"), 0)

    def test_a_matrix_asked_of_a_report_without_one_is_refused(self):
        status, _, err = run(["-", "--matrix", "unused.png"], stdin=report_text(PREAMBLE, GENERAL, BLOCKS).encode())
        self.assertEqual(status, 2)
        self.assertIn("--core-to-core", err)


if __name__ == "__main__":
    unittest.main()
