import csv
import json
import os
import re
import tempfile
import unittest

from support import (FULL_RUN, JSON_RUN, PER_CYCLE_RUN, PREAMBLE, bytes_from_printed, fixture_text,
                     full_run_lines, full_run_text, printed_cells, run)

FIELDS = ["direction", "alignment_bytes", "block_bytes", "block", "instruction",
          "bytes_per_second", "value", "unit"]


def block_bytes(label):
    number, unit = re.fullmatch(r"(\d+)(B|KB|MB)", label).groups()
    return int(number) * {"B": 1, "KB": 1024, "MB": 1024 ** 2}[unit]


class InTemporaryDirectory(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def write_report(self, name, text):
        with open(self.path(name), "w") as file:
            file.write(text)
        return self.path(name)


class DataFiles(InTemporaryDirectory):
    def assert_records_hold_the_report(self, records):
        expected = printed_cells(full_run_text())
        found = {}
        for record in records:
            key = (record["direction"], int(record["alignment_bytes"]), record["block"],
                   record["instruction"])
            found[key] = record["value"] + record["unit"]
            self.assertEqual(int(record["block_bytes"]), block_bytes(record["block"]))
            self.assertEqual(float(record["bytes_per_second"]),
                             bytes_from_printed(record["value"] + record["unit"]), key)
        self.assertEqual(found, expected)

    def test_csv_has_one_row_per_cell_with_the_printed_and_converted_value(self):
        status, _, _ = run([FULL_RUN, "--csv", self.path("cells.csv")])
        self.assertEqual(status, 0)
        with open(self.path("cells.csv"), newline="") as file:
            reader = csv.DictReader(file)
            records = list(reader)
        self.assertEqual(reader.fieldnames, FIELDS)
        self.assert_records_hold_the_report(records)

    def test_json_has_the_same_cells_and_the_machine_lines(self):
        status, _, _ = run([FULL_RUN, "--json", self.path("cells.json")])
        self.assertEqual(status, 0)
        with open(self.path("cells.json")) as file:
            document = json.load(file)
        self.assert_records_hold_the_report(document["cells"])
        self.assertEqual(sorted(document["cells"][0]), sorted(FIELDS))
        machine = document["report"]
        self.assertEqual(machine["lines"][:2], full_run_lines()[:2])
        self.assertEqual(machine["simd"], ["MMX", "SSE", "SSE2", "SSE3"])
        self.assertEqual(machine["missing"], [])

    def test_baseline_adds_the_counterpart_and_the_ratio(self):
        # Every baseline cell printed 1024 times smaller, but the last one, which says 1GB/s.
        slower = re.sub(r"([GMK])B/s", lambda unit: {"G": "M", "M": "K", "K": ""}[unit[1]] + "B/s",
                        full_run_text())
        baseline = self.write_report("before.txt", slower.rsplit("\t", 1)[0] + "\t1GB/s\n")
        status, _, _ = run([FULL_RUN, "--baseline", baseline, "--csv", self.path("r.csv"),
                            "--json", self.path("r.json")])
        self.assertEqual(status, 0)
        with open(self.path("r.csv"), newline="") as file:
            rows = list(csv.DictReader(file))
        with open(self.path("r.json")) as file:
            cells = json.load(file)["cells"]
        for record in rows + cells:
            last = (record["direction"], int(record["alignment_bytes"]), record["block"],
                    record["instruction"]) == ("write", 4, "32MB", "MOV(16)")
            this = float(record["bytes_per_second"])
            before = 2 ** 30 if last else this / 1024
            self.assertEqual(float(record["baseline_bytes_per_second"]), before, record)
            self.assertEqual(float(record["ratio"]), this / before, record)

    def test_cells_missing_from_the_baseline_have_no_ratio(self):
        baseline = self.write_report("before.txt", "\n".join(full_run_lines()[:12]) + "\n")
        status, _, stderr = run([FULL_RUN, "--baseline", baseline, "--csv", self.path("r.csv")])
        self.assertEqual(status, 0)
        self.assertIn("before.txt: table '128bit(16byte) aligned read' has 3 of 19 rows", stderr)
        with open(self.path("r.csv"), newline="") as file:
            compared = {row["block"] for row in csv.DictReader(file) if row["ratio"]}
        self.assertEqual(compared, {"128B", "256B", "512B"})

    def test_non_finite_values_keep_their_text_and_stay_valid_json(self):
        report = self.write_report("run.txt", PREAMBLE + "128bit(16byte) aligned read\n"
                                   "SIZE:\tMOV(32)\tMOVZX(16)\n128B:\tinfGB/s\t-nanMB/s\n")
        status, _, _ = run([report, "--csv", self.path("c.csv"), "--json", self.path("c.json")])
        self.assertEqual(status, 0)
        with open(self.path("c.csv"), newline="") as file:
            rows = list(csv.DictReader(file))
        self.assertEqual([(row["bytes_per_second"], row["value"]) for row in rows],
                         [("inf", "inf"), ("nan", "-nan")])
        with open(self.path("c.json")) as file:
            text = file.read()
        cells = json.loads(text, parse_constant=self.fail)["cells"]
        self.assertEqual([(cell["bytes_per_second"], cell["value"]) for cell in cells],
                         [(None, "inf"), (None, "-nan")])


class ExtendedRecords(InTemporaryDirectory):
    def records(self, args):
        status, _, stderr = run(args + ["--csv", self.path("r.csv"), "--json", self.path("r.json")])
        self.assertEqual(status, 0, stderr)
        with open(self.path("r.csv"), newline="") as file:
            reader = csv.DictReader(file)
            rows = list(reader)
        with open(self.path("r.json")) as file:
            document = json.load(file)
        return reader.fieldnames, rows, document, stderr

    def test_per_cycle_records_add_threads_the_core_clock_and_bytes_per_cycle(self):
        fields, rows, document, _ = self.records([PER_CYCLE_RUN])
        self.assertEqual(fields, FIELDS + ["threads", "core_mhz", "bytes_per_cycle"])
        clocks, table = {}, None
        for line in fixture_text(PER_CYCLE_RUN).splitlines():
            title = re.fullmatch(r"\d+bit\((\d+)byte\) aligned (read|write)", line)
            if title:
                table = (title.group(2), title.group(1))
            elif line.startswith("core clock:"):
                clocks[table] = float(line[len("core clock:"):-len("MHz")])
        self.assertEqual(len(rows), len(document["cells"]))
        for row, cell in zip(rows, document["cells"]):
            core = clocks[(row["direction"], row["alignment_bytes"])]
            self.assertEqual((row["unit"], row["threads"], float(row["core_mhz"])), ("B/c", "2", core))
            self.assertEqual(float(row["bytes_per_cycle"]), float(row["value"]))
            self.assertEqual(float(row["bytes_per_second"]), float(row["value"]) * core * 1e6)
            self.assertEqual(cell, {name: json.loads(row[name]) if name not in ("direction", "block", "instruction",
                                                                               "value", "unit") else row[name]
                                    for name in fields})
        machine = document["report"]
        self.assertEqual((machine["threads"], machine["repeat"], machine["per_cycle"],
                          machine["avx_supported_by_os"]), (2, 3, True, "yes"))

    def test_json_input_records_keep_the_exact_rates(self):
        fields, rows, _, _ = self.records([JSON_RUN])
        self.assertEqual(fields, FIELDS + ["threads"])
        exact = [cell["bytes_per_second"] for cell in json.loads(fixture_text(JSON_RUN))["cells"]]
        self.assertEqual([float(row["bytes_per_second"]) for row in rows], exact)
        self.assertEqual({row["threads"] for row in rows}, {"2"})

    def test_two_per_cycle_runs_compare_bytes_per_cycle_whatever_their_clocks(self):
        faster_clock = re.sub(r"core clock:([0-9.]+)MHz",
                              lambda clock: f"core clock:{float(clock[1]) * 2:g}MHz", fixture_text(PER_CYCLE_RUN))
        before = self.write_report("before.txt", faster_clock)
        _, rows, _, _ = self.records([PER_CYCLE_RUN, "--baseline", before])
        for row in rows:
            self.assertEqual(float(row["ratio"]), 1.0)
            self.assertEqual(float(row["baseline_bytes_per_second"]), 2 * float(row["bytes_per_second"]))

    def test_cells_the_baseline_lacks_are_named_and_have_no_ratio(self):
        cases = [
            # (report, baseline, a note on stderr, instructions and blocks with a ratio)
            (JSON_RUN, FULL_RUN,
             "threads-256B.json: '128bit(16byte) aligned write': 6 of 10 cells are not in full-run.txt and "
             "are left out of the ratios (columns VMOVDQU(256), VMOVDQA(256), VMOVNTDQ(256))",
             {(instruction, block) for instruction in ("MOV(32)", "MOVZX(16)", "MOV(16)")
              for block in ("128B", "256B")}),
            (FULL_RUN, JSON_RUN,
             "full-run.txt: '128bit(16byte) aligned read': 148 of 152 cells are not in threads-256B.json and "
             "are left out of the ratios (columns LDDQU, MOVDQU, MOVDQA, MOVUPS, MOVAPS, MOVQ; "
             "rows 512B: to 32MB:)",
             {(instruction, block) for instruction in ("MOV(32)", "MOVZX(16)", "MOV(16)")
              for block in ("128B", "256B")}),
        ]
        for report, baseline, note, compared in cases:
            with self.subTest(report):
                _, rows, _, stderr = self.records([report, "--baseline", baseline])
                self.assertIn(note, stderr)
                self.assertEqual({(row["instruction"], row["block"]) for row in rows if row["ratio"]}, compared)
                self.assertEqual(len(stderr.splitlines()), 6)  # one note per table


if __name__ == "__main__":
    unittest.main()


class OwnJsonReadsBack(InTemporaryDirectory):
    """What --json writes is a report this tool reads, with the same cells and lines."""

    def test_every_kind_of_input_comes_back_alike(self):
        for source in (FULL_RUN, PER_CYCLE_RUN, JSON_RUN):
            with self.subTest(os.path.basename(source)):
                written = self.path(os.path.basename(source) + ".json")
                status, _, stderr = run([source, "--json", written])
                self.assertEqual((status, stderr), (0, ""))
                again = self.path("again.json")
                status, _, stderr = run([written, "--json", again])
                self.assertEqual((status, stderr), (0, ""))
                with open(written) as first, open(again) as second:
                    before, after = json.load(first), json.load(second)
                # Read from JSON, a report counts as a run with options and its records
                # gain the threads field; every field the first file had comes back.
                self.assertEqual([{name: cell[name] for name in first} for cell, first
                                  in zip(after["cells"], before["cells"])], before["cells"])
                self.assertEqual(len(after["cells"]), len(before["cells"]))
                self.assertEqual(after["report"]["lines"], before["report"]["lines"])

    def test_a_negative_rate_the_program_printed_is_read(self):
        # A counter that ran backwards: the rate is negative, printed in B/s.
        lines = full_run_text().split("\n")
        row = next(index for index, line in enumerate(lines) if line.startswith("128B:"))
        cells = lines[row].split("\t")
        cells[1] = "-1.23457e+10B/s"
        lines[row] = "\t".join(cells)
        report = self.write_report("negative.txt", "\n".join(lines))
        status, _, stderr = run([report, "--json", self.path("negative.json")])
        self.assertEqual((status, stderr), (0, ""))
        with open(self.path("negative.json")) as file:
            first = json.load(file)["cells"][0]
        self.assertEqual((first["value"], first["unit"], first["bytes_per_second"]),
                         ("-1.23457e+10", "B/s", -1.23457e+10))
        status, _, stderr = run([self.path("negative.json")])
        self.assertEqual((status, stderr), (0, ""))
