"""Reports of runs with --parallel-chains: the table after every other one in text and JSON,
its unmeasured cells, a run cut short in it, its records with the loads' rate, the summary
and its panel."""

import json
import unittest

from support import GENERAL, PREAMBLE, report_text, run
from kestrune_report.chart import build_figure
from kestrune_report.loader import parse_report
from kestrune_report.records import cell_records, record_fields
from kestrune_report.summary import summary_lines
from test_latency import latency_json, latency_text

BLOCKS = (128, 256, 512, 1024)
LABELS = ("128B", "256B", "512B", "1KB")
CHAINS = (1, 2, 4, 8, 12)
# Per row, a value per chain count the block has lines for; '-' where it has fewer: two lines
# in 128 bytes, four in 256, eight in 512, sixteen in 1 KiB.
VALUES = (("4.1", "2.1", "-", "-", "-"), ("4.2", "2.2", "1.2", "-", "-"),
          ("4.3", "2.3", "1.3", "0.53", "-"), ("4.4", "2.4", "1.4", "0.54", "0.34"))


def chains_lines(unit="ns", core_clock=None, rows=VALUES):
    lines = ["parallel chains"] + ([f"core clock:{core_clock}MHz"] if core_clock else [])
    lines.append("SIZE:\t" + "\t".join(str(chains) for chains in CHAINS))
    lines += ["\t".join([label + ":"] + [value if value == "-" else value + unit for value in row])
              for label, row in zip(LABELS, rows)]
    return "\n".join(lines) + "\n"


def chains_text(unit="ns", core_clock=None, latency=False):
    """A run of the classic tables (and the latency table) with the parallel chains last."""
    if latency:
        before = latency_text(unit, core_clock)
    else:
        before = report_text(PREAMBLE, GENERAL, BLOCKS, cell="1B/c" if core_clock else "1GB/s")
        if core_clock:
            for direction in ("read", "write"):
                before = before.replace(f" aligned {direction}\n",
                                        f" aligned {direction}\ncore clock:{core_clock}MHz\n")
    return before + chains_lines(unit, core_clock)


def chains_json():
    """The program's --json layout for chains_text(latency=True)."""
    document = latency_json()
    for label, block, row in zip(LABELS, BLOCKS, VALUES):
        for chains, value in zip(CHAINS, row):
            if value != "-":
                document["cells"].append({"direction": "parallel_chains", "block_bytes": block, "block": label,
                                          "chains": chains, "ns_per_load": float(value) + 1e-9, "value": value,
                                          "unit": "ns", "threads": 1})
    return document


def printed(report):
    return [[cell and cell.printed for cell in row.cells] for row in report.parallel_chains.rows]


class ParallelChainsReports(unittest.TestCase):
    def test_text_after_either_table_and_the_json_are_read_cell_by_cell(self):
        expected = [[None if value == "-" else value + "ns" for value in row] for row in VALUES]
        for name, text in (("after the throughput tables", chains_text()),
                           ("after the latency table", chains_text(latency=True)),
                           ("json", json.dumps(chains_json(), indent=1))):
            with self.subTest(name):
                report = parse_report(text)
                self.assertEqual(report.gaps, [])
                self.assertTrue(report.extended)
                self.assertEqual(report.parallel_chains.columns, CHAINS)
                self.assertEqual([row.block_bytes for row in report.parallel_chains.rows], list(BLOCKS))
                self.assertEqual(printed(report), expected)
        exact = parse_report(json.dumps(chains_json())).parallel_chains.rows[0].cells[0]
        self.assertEqual(exact.ns_per_load, 4.1 + 1e-9)

    def test_cycles_are_read_against_the_tables_core_clock(self):
        report = parse_report(chains_text("c", "4000"))
        table = report.parallel_chains
        self.assertEqual(table.core_mhz, 4000.0)
        # Cycles at 4000 MHz: a quarter of a nanosecond each.
        self.assertAlmostEqual(table.rows[3].cells[4].ns_per_load, 0.34 / 4)
        self.assertEqual(table.rows[3].cells[4].cycles_per_load, 0.34)

    def test_faults_are_named_with_their_line(self):
        text = chains_text()
        cases = [
            ("a cell the block cannot hold", text.replace("\t-\t-\t-\n", "\t1ns\t-\t-\n", 1), "expected '-'"),
            ("a dash where the block holds the chains", text.replace("\t2.4ns", "\t-"), "expected a number"),
            ("header not from 1", text.replace("SIZE:\t1\t2", "SIZE:\t2\t3"), "the chain counts from 1 up"),
            ("missing cell", text.replace("\t0.34ns", ""), "has 4 values, expected 5"),
            ("row past the tables'", text + "2KB:\t1ns\t1ns\t1ns\t1ns\t1ns\n", "after the last row of "
                                                                                "'parallel chains'"),
            ("JSON cell out of order", json.dumps(_swap_last_cells(chains_json())), "cells come in report order"),
            ("JSON cell the block cannot hold", json.dumps(_add_cell(chains_json(), 128, 4)),
             "cells come in report order"),
        ]
        for name, case, phrase in cases:
            with self.subTest(name):
                status, _, stderr = run(["-"], case.encode())
                self.assertEqual(status, 2, stderr)
                self.assertIn(phrase, stderr)

    def test_a_run_cut_short_in_the_table_keeps_its_rows(self):
        text = chains_text()
        report = parse_report(text[:text.index("1.3ns") + 2])
        self.assertEqual(len(report.parallel_chains.rows), 2)
        self.assertIn("'parallel chains' has 2 of 4 rows", " ".join(report.gaps))
        document = chains_json()
        document["complete"] = False
        del document["cells"][-3:]  # the 1 KiB row stopped after two cells
        report = parse_report(json.dumps(document))
        self.assertEqual(len(report.parallel_chains.rows), 3)
        self.assertIn("'parallel chains' has 3 of 4 rows", " ".join(report.gaps))

    def test_records_carry_one_per_measured_cell_with_the_rate_of_its_lines(self):
        report = parse_report(chains_text("c", "4000", latency=True))
        fields = record_fields(report, False)
        self.assertEqual(fields[-1], "chains")
        records = cell_records(report)
        self.assertTrue(all(tuple(record) == fields for record in records))
        chains = [record for record in records if record["direction"] == "parallel_chains"]
        self.assertEqual([(record["block"], record["chains"]) for record in chains],
                         [(label, count) for label, row in zip(LABELS, VALUES)
                          for count, value in zip(CHAINS, row) if value != "-"])
        last = chains[-1]
        self.assertEqual((last["cycles_per_load"], last["core_mhz"], last["threads"]), (0.34, 4000.0, 1))
        self.assertAlmostEqual(last["bytes_per_second"] / (64 / (0.34 / 4000e6)), 1.0)
        self.assertIsNone(last["column"])

    def test_summary_gives_the_largest_blocks_times_and_rates(self):
        lines = summary_lines(parse_report(chains_text()))
        line = next(line for line in lines if line.lstrip().startswith("parallel chains"))
        # 64 bytes in 4.4 ns: 13.5 GiB/s; in 0.34 ns: 175 GiB/s.
        self.assertIn("at 1KB: 1 4.4ns (13.5 GiB/s), 2 2.4ns", line)
        self.assertIn("12 0.34ns (175 GiB/s)", line)

    def test_panel_draws_time_per_load_against_chains_one_line_per_block(self):
        report = parse_report(chains_text(latency=True))
        figure = build_figure(report)
        self.assertEqual(len(figure.axes), 8)
        ax = next(ax for ax in figure.axes if ax.get_title().startswith("parallel chains"))
        self.assertEqual((ax.get_xscale(), ax.get_yscale()), ("log", "log"))
        self.assertEqual(ax.get_xlabel(), "chains")
        lines = [line for line in ax.get_lines() if not line.get_label().startswith("_")]
        self.assertEqual([line.get_label() for line in lines], list(LABELS))
        for line, row in zip(lines, VALUES):
            measured = [(count, float(value)) for count, value in zip(CHAINS, row) if value != "-"]
            self.assertEqual(list(line.get_xdata()), [count for count, _ in measured])
            self.assertEqual(list(line.get_ydata()), [value for _, value in measured])


def _swap_last_cells(document):
    cells = document["cells"]
    cells[-1], cells[-2] = cells[-2], cells[-1]
    return document


def _add_cell(document, block, chains):
    first = next(index for index, cell in enumerate(document["cells"]) if cell["direction"] == "parallel_chains")
    cell = dict(document["cells"][first], chains=chains)
    document["cells"].insert(first + 2, cell)
    return document


if __name__ == "__main__":
    unittest.main()
