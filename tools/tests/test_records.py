import csv
import json
import os
import re
import tempfile
import unittest

from support import (FULL_RUN, PREAMBLE, bytes_from_printed, full_run_lines, full_run_text,
                     printed_cells, run)

FIELDS = ["direction", "alignment_bytes", "block_bytes", "block", "instruction",
          "bytes_per_second", "value", "unit"]


def block_bytes(label):
    number, unit = re.fullmatch(r"(\d+)(B|KB|MB)", label).groups()
    return int(number) * {"B": 1, "KB": 1024, "MB": 1024 ** 2}[unit]


class DataFiles(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def write_report(self, name, text):
        with open(self.path(name), "w") as file:
            file.write(text)
        return self.path(name)

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


if __name__ == "__main__":
    unittest.main()
