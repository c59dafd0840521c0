import json
import math
import os
import re
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from matplotlib.colors import to_hex

from support import (FULL_RUN, GENERAL, GIB, JSON_RUN, PER_CYCLE_RUN, PREAMBLE, as_text, fixture_text,
                     full_run_lines, full_run_text, report_text, run)
from kestrune_report.caches import parse_cache_list
from kestrune_report.chart import build_figure, styles
from kestrune_report.kernel_table import read_table
from kestrune_report.model import ALL_BLOCK_SIZES, TABLE_ORDER, table_title
from kestrune_report.loader import parse_report

FULL = parse_report(full_run_text(), "full-run.txt")
# Each cell printed 1024 times smaller, so every ratio to it is exactly 1024.
SLOWER = parse_report(re.sub(r"([GMK])B/s",
                             lambda unit: {"G": "M", "M": "K", "K": ""}[unit[1]] + "B/s",
                             full_run_text()), "slower.txt")


def panels(figure):
    """{(direction, alignment): axes}, found by the table title each panel carries."""
    by_title = {ax.get_title(): ax for ax in figure.axes}
    return {key: by_title[table_title(*key)] for key in TABLE_ORDER}


def instruction_lines(ax):
    return [line for line in ax.get_lines() if not line.get_label().startswith("_")]


def same_values(left, right):
    return len(left) == len(right) and all(
        (math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(left, right))


class ThroughputChart(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.figure = build_figure(FULL, parse_cache_list("32K,1M,32M"))
        cls.panels = panels(cls.figure)

    def test_six_panels_with_one_line_per_instruction_holding_its_values_in_gib(self):
        self.assertEqual(len(self.figure.axes), 6)
        for key, ax in self.panels.items():
            with self.subTest(key):
                table = FULL.table(*key)
                lines = instruction_lines(ax)
                self.assertEqual([line.get_label() for line in lines], list(table.columns))
                for line in lines:
                    blocks, speeds = table.series(line.get_label())
                    self.assertEqual(list(line.get_xdata()), blocks)
                    self.assertEqual(list(line.get_ydata()), [speed / GIB for speed in speeds])

    def test_block_axis_is_log2_and_labelled_with_block_sizes(self):
        ax = self.panels[("write", 4)]
        self.assertEqual(ax.get_xscale(), "log")
        labels = [tick.get_text() for tick in ax.get_xticklabels()]
        self.assertEqual(labels[0], "128B")
        self.assertEqual(labels[-1], "32MB")
        self.assertIn("2KB", labels)

    def test_each_instruction_keeps_one_look_everywhere_and_looks_unlike_its_neighbours(self):
        looks = {}
        for key, ax in self.panels.items():
            panel_looks = set()
            for line in instruction_lines(ax):
                look = (to_hex(line.get_color()), line.get_marker())
                self.assertEqual(looks.setdefault(line.get_label(), look), look, line.get_label())
                panel_looks.add(look)
            self.assertEqual(len(panel_looks), len(instruction_lines(ax)), key)

    def test_legend_lists_each_rows_instructions_outside_the_curves(self):
        legends = [ax.get_legend() for ax in self.figure.axes if ax.get_legend()]
        names = [[text.get_text() for text in legend.get_texts()] for legend in legends]
        self.assertEqual(names, [list(FULL.table("read", 16).columns),
                                 list(FULL.table("write", 16).columns)])
        for legend in legends:
            self.assertGreater(legend.get_bbox_to_anchor().x0, legend.axes.bbox.x1)

    def test_cache_sizes_are_vertical_lines_in_every_panel(self):
        for key, ax in self.panels.items():
            marks = [line for line in ax.get_lines() if line.get_label().startswith("_cache")]
            self.assertEqual([line.get_xdata()[0] for line in marks], [32768, 1048576, 33554432])
            self.assertEqual([line.get_label() for line in marks],
                             ["_cache L1 32KB", "_cache L2 1MB", "_cache L3 32MB"])

    def test_title_carries_the_machine_lines(self):
        title = "\n".join(text.get_text() for text in self.figure.texts)
        for line in full_run_lines()[:3] + [FULL.clock_line]:
            self.assertIn(line, title)
        self.assertNotIn("threads", title)
        self.assertNotIn("median", title)


def title_of(figure):
    return "\n".join(text.get_text() for text in figure.texts)


class ExtendedCharts(unittest.TestCase):
    def test_every_column_of_the_kernel_table_has_a_look_of_its_own(self):
        labels = {kernel.column for kernel in read_table()}
        self.assertEqual(set(styles()), labels)
        colours = [to_hex(colour) for colour, _ in styles().values()]
        self.assertEqual(len(set(colours)), len(labels))
        self.assertEqual(len(set(styles().values())), len(labels))

    def test_per_cycle_runs_are_drawn_in_bytes_per_cycle_to_their_last_row(self):
        report = parse_report(fixture_text(PER_CYCLE_RUN), "per-cycle.txt")
        figure = build_figure(report)
        for key, ax in panels(figure).items():
            with self.subTest(key):
                table = report.table(*key)
                for line in instruction_lines(ax):
                    self.assertEqual(list(line.get_ydata()),
                                     [float(cell.value) for cell in
                                      (row.cells[table.columns.index(line.get_label())] for row in table.rows)])
                self.assertLess(ax.get_xlim()[1], 2048)
        labels = [tick.get_text() for tick in panels(figure)[("write", 16)].get_xticklabels()]
        self.assertEqual(labels, ["128B", "256B", "512B", "1KB"])
        self.assertIn("B/cycle", figure.axes[0].get_ylabel())
        self.assertIn("per-cycle.txt: bytes per core cycle, 2 threads, each cell the median of 3 runs",
                      title_of(figure))

    def test_the_block_axis_reaches_the_largest_block(self):
        figure = build_figure(parse_report(report_text(PREAMBLE, GENERAL, ALL_BLOCK_SIZES)))
        ax = panels(figure)[("write", 4)]
        self.assertEqual(ax.get_xticklabels()[-1].get_text(), "4GB")
        self.assertEqual(list(instruction_lines(ax)[0].get_xdata()), list(ALL_BLOCK_SIZES))

    def test_a_json_run_against_its_own_text_is_even_cell_by_cell(self):
        from_json = parse_report(fixture_text(JSON_RUN), "run.json")
        from_text = parse_report(as_text(json.loads(fixture_text(JSON_RUN))), "run.txt")
        for report, baseline in ((from_json, from_text), (from_text, from_json)):
            for key, ax in panels(build_figure(report, (), baseline)).items():
                lines = instruction_lines(ax)
                self.assertEqual([line.get_label() for line in lines], list(report.table(*key).columns))
                for line in lines:
                    for value in line.get_ydata():
                        # The text rounds to six digits; the JSON keeps every bit.
                        self.assertAlmostEqual(value, 1.0, delta=1e-5)


class RatioChart(unittest.TestCase):
    def test_ratio_to_baseline_is_drawn_cell_by_cell(self):
        for key, ax in panels(build_figure(FULL, (), SLOWER)).items():
            with self.subTest(key):
                lines = instruction_lines(ax)
                self.assertEqual([line.get_label() for line in lines],
                                 list(FULL.table(*key).columns))
                for line in lines:
                    self.assertEqual(set(line.get_ydata()), {1024}, line.get_label())
                self.assertIn("ratio", ax.figure.axes[0].get_ylabel())

    def test_cells_missing_from_the_baseline_leave_gaps(self):
        lines = full_run_text().split("\n")
        cut = lines.index("64bit(8byte) aligned read") - 2  # the last two rows of the first table
        baseline = parse_report("\n".join(lines[:cut]) + "\n", "cut.txt")
        figure_panels = panels(build_figure(SLOWER, (), baseline))
        first = instruction_lines(figure_panels[("read", 16)])[0]
        self.assertTrue(same_values(list(first.get_ydata())[-3:], [1 / 1024, math.nan, math.nan]))
        self.assertEqual(instruction_lines(figure_panels[("write", 8)]), [])


class CutShortChart(unittest.TestCase):
    def test_missing_tables_leave_empty_panels(self):
        lines = full_run_text().split("\n")
        cut = lines.index("32bit(4byte) aligned read") + 5  # title, header and 3 rows
        report = parse_report("\n".join(lines[:cut]) + "\n", "cut.txt")
        figure = build_figure(report)
        figure_panels = panels(figure)
        drawn = {key: len(instruction_lines(ax)[0].get_xdata()) if instruction_lines(ax) else 0
                 for key, ax in figure_panels.items()}
        self.assertEqual(drawn, {("read", 16): 19, ("read", 8): 19, ("read", 4): 3,
                                 ("write", 16): 0, ("write", 8): 0, ("write", 4): 0})
        self.assertIn("run cut short: 2 of 6 tables complete; "
                      "'32bit(4byte) aligned read' stops after 512B", figure.texts[0].get_text())


class WrittenImages(unittest.TestCase):
    def test_png_and_svg_files_are_written(self):
        with tempfile.TemporaryDirectory() as directory:
            png, svg = os.path.join(directory, "a.png"), os.path.join(directory, "a.svg")
            status, _, stderr = run([FULL_RUN, "--png", png, "--svg", svg, "--caches", "32K,1M"])
            self.assertEqual((status, stderr), (0, ""))
            with open(png, "rb") as file:
                self.assertEqual(file.read(8), b"\x89PNG\r\n\x1a\n")
            root = ElementTree.parse(svg).getroot()
            self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
            texts = {element.text for element in root.iter("{http://www.w3.org/2000/svg}text")}
            self.assertIn("MOVNTDQ", texts)
            self.assertIn("L2 1MB", texts)


if __name__ == "__main__":
    unittest.main()
