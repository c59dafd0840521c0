"""Reports of runs with --loaded-latency: the table after every other, read from the text and
from the JSON of the same run, its records, a run cut short inside it, and its panel."""

import os
import unittest

from support import TESTS_DIR, run
from kestrune_report import loaded
from kestrune_report.chart import build_figure
from kestrune_report.loader import parse_report
from kestrune_report.model import ReportError
from kestrune_report.parser import parse_text_report
from kestrune_report.records import cell_records, record_fields

# kestrune --loaded-latency --max-size 256B --load write --json loaded-write-256B.json,
# its standard output in loaded-write-256B.txt.
TEXT_RUN = os.path.join(TESTS_DIR, "fixtures", "loaded-write-256B.txt")
JSON_RUN = os.path.join(TESTS_DIR, "fixtures", "loaded-write-256B.json")
DELAYS = (0, 2, 8, 15, 50, 100, 200, 300, 400, 500, 700, 1000, 1300, 1700, 2500, 3500, 5000, 9000, 20000)


def read(path):
    with open(path, encoding="utf-8") as file:
        return file.read()


class LoadedLatencyTable(unittest.TestCase):
    def test_text_and_json_of_one_run_give_the_same_table(self):
        from_text = parse_report(read(TEXT_RUN), "text").loaded
        from_json = parse_report(read(JSON_RUN), "json").loaded
        for table in (from_text, from_json):
            self.assertEqual([row.delay_cycles for row in table.rows], list(DELAYS) + [None])
            self.assertEqual(table.rows[-1].label, "idle")
            self.assertEqual((table.block_bytes, table.load, table.loaders), (256, "write", 1))
        for text_row, json_row in zip(from_text.rows, from_json.rows):
            self.assertEqual(text_row.latency.printed, json_row.latency.printed)
            # The text keeps six significant digits of the JSON's exact figure.
            self.assertAlmostEqual(text_row.bandwidth.bytes_per_second / max(json_row.bandwidth.bytes_per_second, 1),
                                   1.0 if json_row.bandwidth.bytes_per_second else 0.0, places=4)
            self.assertEqual(text_row.bandwidth.printed, json_row.bandwidth.printed)
        self.assertEqual(from_text.kernel, "MOVDQU")

    def test_records_carry_the_delay_the_load_and_the_bandwidth_after_every_other(self):
        report = parse_report(read(TEXT_RUN), "text")
        fields = record_fields(report, False)
        for name in ("delay_cycles", "load", "bandwidth_bytes_per_second", "ns_per_load"):
            self.assertIn(name, fields)
        self.assertNotIn("column", fields)  # the latency table's, and this run has none
        records = cell_records(report)
        rows = [record for record in records if record["direction"] == "loaded_latency"]
        self.assertEqual(len(rows), len(DELAYS) + 1)
        self.assertEqual(records[-len(rows):], rows)
        self.assertEqual([row["delay_cycles"] for row in rows], list(DELAYS) + [None])
        self.assertEqual({row["load"] for row in rows}, {"write"})
        self.assertEqual({row["threads"] for row in rows}, {2})
        self.assertTrue(all(record["delay_cycles"] is None for record in records[:-len(rows)]))

    def test_a_run_stopped_inside_the_table_keeps_its_whole_rows(self):
        text = read(TEXT_RUN)
        cut = text[:text.index("300:\t") + len("300:\t4")]
        report = parse_text_report(cut, "cut")
        self.assertEqual([row.label for row in report.loaded.rows], ["0", "2", "8", "15", "50", "100", "200"])
        self.assertTrue(any("loaded latency" in gap for gap in report.gaps), report.gaps)

    def test_a_row_out_of_form_is_named(self):
        text = read(TEXT_RUN).replace("\n8:\t", "\neight:\t")
        with self.assertRaises(ReportError) as caught:
            parse_text_report(text, "bad")
        self.assertIn("row label", str(caught.exception))

    def test_the_panel_draws_one_curve_per_run(self):
        report = parse_report(read(TEXT_RUN), "text")
        baseline = parse_report(read(JSON_RUN), "json")
        for other, curves in ((None, 1), (baseline, 2)):
            figure = build_figure(report, (), other)
            panel = next(ax for ax in figure.get_axes() if ax.get_title().startswith(loaded.TITLE))
            self.assertEqual(len(panel.get_lines()), curves)
            self.assertEqual(len(panel.get_lines()[0].get_xdata()), len(DELAYS) + 1)

    def test_the_summary_names_the_first_and_the_idle_row(self):
        code, out, err = run([TEXT_RUN])
        self.assertEqual(code, 0, err)
        self.assertIn("loaded latency", out)
        self.assertIn("idle: ", out)


if __name__ == "__main__":
    unittest.main()
