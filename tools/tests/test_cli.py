import os
import shutil
import subprocess
import tempfile
import unittest

from support import (FULL_RUN, PER_CYCLE_RUN, SCRIPT, TOOLS_DIR, bytes_from_printed, full_run_lines,
                     full_run_text, printed_cells, run)
from kestrune_report.kernel_table import TABLES_FILE, TABLES_VARIABLE, default_path
from kestrune_report.model import TABLE_ORDER, table_title


class Summary(unittest.TestCase):
    def test_without_outputs_it_summarises_each_table_with_its_peak(self):
        status, stdout, stderr = run([FULL_RUN])
        self.assertEqual((status, stderr), (0, ""))
        self.assertIn(full_run_lines()[0], stdout)
        cells = printed_cells(full_run_text())
        for key in TABLE_ORDER:
            with self.subTest(key):
                table = {cell: value for cell, value in cells.items() if cell[:2] == key}
                best = max(table, key=lambda cell: bytes_from_printed(table[cell]))
                line = next(line for line in stdout.splitlines() if table_title(*key) in line)
                self.assertIn(f"peak {table[best]} ({best[3]}, {best[2]})", line)

    def test_summary_against_a_baseline_gives_ratios(self):
        status, stdout, _ = run([FULL_RUN, "--baseline", FULL_RUN])
        self.assertEqual(status, 0)
        self.assertIn("ratio to baseline: geometric mean 1.000, lowest 1.000", stdout)

    def test_standard_input_reads_like_a_file(self):
        with open(FULL_RUN, "rb") as file:
            piped = run(["-"], stdin=file.read().replace(b"\n", b"\r\n"))
        named = run([FULL_RUN])
        self.assertEqual(piped[1].replace("stdin", "full-run.txt"), named[1])

    def test_caches_without_a_chart_are_pointed_out(self):
        status, _, stderr = run([FULL_RUN, "--caches", "32K"])
        self.assertEqual(status, 0)
        self.assertIn("--caches only marks the charts; add --png or --svg", stderr)


class WithoutMatplotlib(unittest.TestCase):
    def test_a_chart_is_one_line_naming_the_package_and_nothing_is_written(self):
        # A fresh interpreter in which matplotlib cannot be imported.
        program = ("import sys; sys.modules['matplotlib'] = None; "
                   "from kestrune_report.cli import main; sys.exit(main(sys.argv[1:]))")
        with tempfile.TemporaryDirectory() as directory:
            outputs = ["--csv", os.path.join(directory, "run.csv"), "--png", os.path.join(directory, "run.png")]
            done = subprocess.run(["/usr/bin/python3", "-c", program, FULL_RUN] + outputs, capture_output=True,
                                  text=True, timeout=60, env=dict(os.environ, PYTHONPATH=TOOLS_DIR))
            self.assertEqual(done.returncode, 1)
            self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
            self.assertIn("python3-matplotlib", done.stderr)
            self.assertTrue(done.stderr.startswith("kestrune-report: --png needs matplotlib"), done.stderr)
            self.assertEqual(os.listdir(directory), [])


class Script(unittest.TestCase):
    def test_script_reads_a_pipe_and_writes_its_files(self):
        with tempfile.TemporaryDirectory() as directory, open(FULL_RUN, "rb") as report:
            csv_path = os.path.join(directory, "cells.csv")
            done = subprocess.run([SCRIPT, "--csv", csv_path], stdin=report, capture_output=True,
                                  timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            with open(csv_path) as file:
                self.assertEqual(file.readline().split(",")[0], "direction")

    def test_installed_script_finds_its_package_and_the_tables_beside_it(self):
        # The layout cmake --install makes: bin/ and share/kestrune-report/kestrune_report/,
        # the tables the build wrote inside the package, no source or build tree around it.
        alone = {name: value for name, value in os.environ.items() if name != TABLES_VARIABLE}
        with tempfile.TemporaryDirectory() as prefix:
            package = os.path.join(prefix, "share", "kestrune-report", "kestrune_report")
            os.makedirs(os.path.join(prefix, "bin"))
            shutil.copytree(os.path.join(TOOLS_DIR, "kestrune_report"), package,
                            ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copy(default_path(), os.path.join(package, TABLES_FILE))
            shutil.copy(SCRIPT, os.path.join(prefix, "bin"))
            done = subprocess.run([os.path.join(prefix, "bin", "kestrune-report"), PER_CYCLE_RUN],
                                  capture_output=True, text=True, timeout=60, env=alone)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            self.assertIn("peak", done.stdout)
            os.remove(os.path.join(package, TABLES_FILE))
            done = subprocess.run([os.path.join(prefix, "bin", "kestrune-report"), PER_CYCLE_RUN],
                                  capture_output=True, text=True, timeout=60, env=alone)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn(TABLES_FILE, done.stderr)

    def test_help_explains_the_baseline(self):
        done = subprocess.run([SCRIPT, "--help"], capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0)
        self.assertIn("--baseline OTHER.txt", done.stdout)
        self.assertIn("ratio of this run to OTHER.txt", done.stdout)


if __name__ == "__main__":
    unittest.main()
