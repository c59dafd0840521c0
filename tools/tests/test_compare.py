"""kestrune-report --compare: one row per report, headline figures per level, the fleet screen."""

import csv
import io
import json
import math
import os
import tempfile
import unittest

from support import FULL_RUN, GIB, described_machine, json_report, run
from kestrune_report.compare import MEMORY, level_blocks
from kestrune_report.machine import Cache

KB = 1024
MB = 1024 * KB
BLOCKS = [2 ** power for power in range(7, 22)]  # 128B .. 2MB
# Three machine descriptions: two processor models with caches of their own, and one whose L3
# the program doubted. Small caches keep the reports small; the largest block is memory for all.
MACHINES = {
    "A": {"brand": "Brand A 16-Core Processor", "model": 1, "caches": [(1, 4 * KB), (2, 32 * KB), (3, 256 * KB)]},
    "B": {"brand": "Brand B 8-Core Processor", "model": 2, "caches": [(1, 8 * KB), (2, 64 * KB)]},
    "C": {"brand": "Brand C", "model": 3, "caches": [(1, 4 * KB), (2, 32 * KB), (3, 64 * 1024 * KB)],
          "doubtful": 3},
}
# Each level's rate in GiB/s and RANDOM latency in ns; memory last.
RATES = (100, 50, 25, 10)
LATENCIES = (1, 4, 15, 90)
# The fleet: host, machine, a factor on every figure (the small differences between sound
# nodes) and one planted figure: a2's memory reads run at 80% of its siblings'.
FLEET = (("a1", "A", 1.00), ("a2", "A", 0.98), ("a3", "A", 1.03), ("b1", "B", 0.6), ("b2", "B", 0.62),
         ("c1", "C", 1.0))
PLANTED = ("a2", MEMORY, "read", 0.8)


def _level(machine, block):
    """The index of the level that holds block whole; len(caches) for memory."""
    sizes = [size for _, size in MACHINES[machine]["caches"]]
    return next((index for index, size in enumerate(sizes) if block <= size), len(sizes))


def described(host, machine):
    document = described_machine()
    shape = MACHINES[machine]
    document["machine"]["processor"].update(brand=shape["brand"], model=shape["model"])
    document["machine"]["caches"] = [
        {"level": level, "type": "data" if level == 1 else "unified", "size": size, "line_size": 64, "ways": 8,
         "num_sharing": 1, "source": "cpuid 4", "doubtful": level == shape.get("doubtful"),
         "doubt": "larger than the machine's memory" if level == shape.get("doubtful") else None}
        for level, size in shape["caches"]]
    document["machine"]["system"]["host_name"] = document["run"]["host_name"] = host
    return document


def fleet_report(host, machine, factor, planted=PLANTED, copy=True):
    def rate(direction, block):
        level = _level(machine, block)
        # Faster the larger the block within a level, so the best cell of a level is its largest
        # block, and a cell past the level's bounds would be the faster one if it were taken.
        speed = RATES[min(level, 3)] * GIB * factor * (1 + math.log2(block) / 100)
        hit = (host, MEMORY, direction) == planted[:3] and level == len(MACHINES[machine]["caches"])
        return speed * (planted[3] if hit else 1)

    def latency(block):
        return LATENCIES[min(_level(machine, block), 3)] * (2 - factor) * (1 + math.log2(block) / 100)
    return json_report(described(host, machine), BLOCKS, rate, latency, copy=copy)


def write_fleet(directory, fleet=FLEET, **options):
    paths = []
    for host, machine, factor in fleet:
        path = os.path.join(directory, f"{host}.json")
        with open(path, "w", encoding="utf-8") as file:
            json.dump(fleet_report(host, machine, factor, **options), file)
        paths.append(path)
    return paths


def flagged(document):
    return {(entry["host"], level, kind) for entry in document["reports"]
            for level, kinds in entry["figures"].items() for kind, figure in kinds.items() if figure["flagged"]}


class Fleet(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.paths = write_fleet(self.directory.name)

    def compare_json(self, *options):
        status, stdout, stderr = run(["--compare", *self.paths, "--json", "-", *options])
        self.assertEqual((status, stderr), (0, ""))
        return json.loads(stdout)

    def test_the_planted_slow_memory_figure_is_flagged_and_no_other(self):
        status, stdout, stderr = run(["--compare", *self.paths])
        self.assertEqual((status, stderr), (0, ""))
        self.assertEqual(flagged(self.compare_json()), {PLANTED[:3]})
        marked = [line for line in stdout.splitlines() if "!" in line and line.startswith(self.directory.name)]
        self.assertEqual(len(marked), 1, stdout)
        self.assertTrue(marked[0].startswith(self.paths[1]), marked[0])
        flag_lines = [line for line in stdout.splitlines() if line.startswith("flagged")]
        self.assertEqual(len(flag_lines), 1, stdout)
        self.assertIn("a2", flag_lines[0])
        self.assertIn("memory read", flag_lines[0])
        self.assertIn("below the median", flag_lines[0])

    def test_each_row_names_its_machine_and_takes_its_figures_inside_its_own_levels(self):
        document = self.compare_json()
        rows = {entry["host"]: entry for entry in document["reports"]}
        self.assertEqual(list(rows), [host for host, _, _ in FLEET])
        a1, b1 = rows["a1"], rows["b1"]
        self.assertEqual((a1["processor"], a1["date"], a1["threads"]),
                         (MACHINES["A"]["brand"], described_machine()["run"]["date"], 1))
        # Strictly inside: above the level below, at most half the level; memory at the largest
        # block, at least four times the largest cache. B has no L3: its memory starts sooner.
        expected = {"a1": {"L1": "2KB", "L2": "16KB", "L3": "128KB", MEMORY: "2MB"},
                    "b1": {"L1": "4KB", "L2": "32KB", MEMORY: "2MB"}}
        for host, blocks in expected.items():
            for level, block in blocks.items():
                with self.subTest(host=host, level=level):
                    figures = rows[host]["figures"][level]
                    self.assertEqual({kind: figure["block"] for kind, figure in figures.items()},
                                     dict.fromkeys(("read", "write", "copy", "latency"), block))
                    self.assertEqual(figures["read"]["instruction"], "MOV(32)")  # the faster column
        self.assertNotIn("L3", b1["figures"])
        level = _level("A", 2 * KB)
        self.assertEqual(a1["figures"]["L1"]["read"]["bytes_per_second"],
                         RATES[level] * GIB * (1 + 11 / 100))

    def test_a_cache_the_report_doubts_is_no_level_and_the_row_says_so(self):
        row = next(entry for entry in self.compare_json()["reports"] if entry["host"] == "c1")
        self.assertEqual(sorted(row["figures"]), sorted(["L1", "L2", MEMORY]))
        self.assertTrue(any("L3 64MB (doubtful: larger than the machine's memory) is left out" in note
                            for note in row["notes"]), row["notes"])

    def test_reports_are_held_only_against_their_own_processor_model(self):
        # b1 and b2 are far slower than the A nodes and flag nothing; alone, c1 flags nothing.
        document = self.compare_json()
        medians = {entry["host"]: entry["figures"][MEMORY]["read"]["median"] for entry in document["reports"]}
        self.assertEqual(medians["b1"], medians["b2"])
        self.assertNotEqual(medians["b1"], medians["a1"])
        self.assertEqual(medians["c1"], next(entry for entry in document["reports"] if entry["host"] == "c1")
                         ["figures"][MEMORY]["read"]["bytes_per_second"])

    def test_a_report_naming_no_machine_or_run_with_other_threads_is_held_against_no_other(self):
        # Both far slower than the A nodes: neither is flagged, and neither moves the A nodes' medians.
        slow = fleet_report("a4", "A", 0.5)
        del slow["machine"], slow["run"]
        two_threads = json_report(described("a5", "A"), BLOCKS, lambda direction, block: GIB, threads=2)
        extra = []
        for name, document in (("old.json", slow), ("threads.json", two_threads)):
            extra.append(os.path.join(self.directory.name, name))
            with open(extra[-1], "w") as file:
                json.dump(document, file)
        document = self.compare_json_of(self.paths + extra)
        self.assertEqual(flagged(document), {PLANTED[:3]})
        old, threads = document["reports"][-2:]
        self.assertEqual((old["host"], old["processor"], list(old["figures"])), (None, None, [MEMORY]))
        self.assertEqual(old["notes"], ["the report names no caches: only a memory figure, at its largest block, "
                                        "which may still be in a cache",
                                        "the report names no processor: held against no other report"])
        self.assertIsNone(old["figures"][MEMORY]["read"]["median"])
        self.assertEqual(threads["threads"], 2)
        self.assertEqual(threads["figures"][MEMORY]["read"]["median"], GIB)

    def compare_json_of(self, paths):
        status, stdout, stderr = run(["--compare", *paths, "--json", "-"])
        self.assertEqual((status, stderr), (0, ""))
        return json.loads(stdout)

    def test_the_tolerance_sets_how_far_below_the_median_is_flagged(self):
        # The planted figure is about 21% below its median, the sound nodes within 2% below theirs.
        cases = ((25, set()), (20, {PLANTED[:3]}), (10, {PLANTED[:3]}), (1.5, None))
        for tolerance, expected in cases:
            with self.subTest(tolerance=tolerance):
                found = flagged(self.compare_json("--tolerance", str(tolerance)))
                if expected is None:  # below the nodes' own differences: more is flagged
                    self.assertGreater(len(found), 1)
                    self.assertIn(PLANTED[:3], found)
                else:
                    self.assertEqual(found, expected)
        for bad in ("-1", "ten", "100", "nan"):
            with self.subTest(bad=bad):
                status, stdout, stderr = run(["--compare", *self.paths, "--tolerance", bad])
                self.assertEqual((status, stdout), (2, ""))
                self.assertIn("--tolerance", stderr)

    def test_a_slower_latency_is_flagged_above_the_median(self):
        # Latency is worse when higher: a node whose memory latency is 30% up is flagged.
        fleet = (("a1", "A", 1.0), ("a2", "A", 1.0), ("a3", "A", 0.7))
        with tempfile.TemporaryDirectory() as directory:
            paths = write_fleet(directory, fleet, planted=("none", None, None, 1))
            status, stdout, _ = run(["--compare", *paths, "--json", "-"])
        found = flagged(json.loads(stdout))
        # a3's factor makes every figure slower: its rates 30% down, its latency 30% up.
        self.assertIn(("a3", MEMORY, "latency"), found)
        self.assertIn(("a3", MEMORY, "read"), found)
        self.assertEqual({host for host, _, _ in found}, {"a3"})

    def test_a_directory_is_its_json_files_in_name_order(self):
        with open(os.path.join(self.directory.name, "notes.txt"), "w") as file:
            file.write("not a report")
        os.mkdir(os.path.join(self.directory.name, "sub.json"))
        status, by_directory, stderr = run(["--compare", self.directory.name, "--csv", "-"])
        self.assertEqual((status, stderr), (0, ""))
        named = run(["--compare", *sorted(self.paths), "--csv", "-"])[1]
        self.assertEqual(by_directory, named)
        self.assertEqual([row["host"] for row in csv.DictReader(io.StringIO(by_directory)) if row["row"] == "report"],
                         sorted(host for host, _, _ in FLEET))

    def test_an_unreadable_file_is_named_on_stderr_and_the_rest_compared(self):
        damaged = os.path.join(self.directory.name, "damaged.json")
        with open(damaged, "w") as file:
            file.write('{"report": {"lines": []}, "cells": []}')
        missing = os.path.join(self.directory.name, "missing.json")
        status, stdout, stderr = run(["--compare", self.paths[0], missing, FULL_RUN, damaged, *self.paths[1:]])
        self.assertEqual(status, 0)
        lines = stderr.splitlines()
        self.assertEqual(len(lines), 3, stderr)
        for line, path, why in zip(lines, (missing, FULL_RUN, damaged),
                                   ("cannot read it", "a text report", "report.lines")):
            self.assertTrue(line.startswith(f"kestrune-report: {path}: "), line)
            self.assertIn(why, line)
            self.assertIn("left out of the comparison", line)
        self.assertEqual(flagged(json.loads(run(["--compare", self.paths[0], missing, *self.paths[1:],
                                                 "--json", "-"])[1])), {PLANTED[:3]})
        self.assertEqual(sum(line.startswith(self.directory.name) for line in stdout.splitlines()), len(FLEET))

    def test_nothing_readable_is_a_failure(self):
        status, stdout, stderr = run(["--compare", FULL_RUN, os.path.join(self.directory.name, "none.json")])
        self.assertEqual((status, stdout), (2, ""))
        self.assertIn("no readable report to compare", stderr.splitlines()[-1])

    def test_options_that_draw_do_not_go_with_compare(self):
        for option in (["--png", "x.png"], ["--caches", "auto"], ["--baseline", FULL_RUN]):
            with self.subTest(option=option[0]):
                status, stdout, stderr = run(["--compare", *self.paths, *option])
                self.assertEqual((status, stdout), (2, ""))
                self.assertIn(option[0], stderr)
        status, _, stderr = run([FULL_RUN, "--tolerance", "5"])
        self.assertEqual(status, 2)
        self.assertIn("--tolerance goes with --compare", stderr)

    def test_csv_and_json_files_read_back_as_the_same_table(self):
        csv_path = os.path.join(self.directory.name, "table.csv")
        json_path = os.path.join(self.directory.name, "table.out")
        status, stdout, stderr = run(["--compare", *self.paths, "--csv", csv_path, "--json", json_path])
        self.assertEqual((status, stderr), (0, ""))
        self.assertIn("flagged a2", stdout)  # the text table still goes to stdout
        with open(json_path) as file:
            document = json.load(file)
        with open(csv_path, newline="") as file:
            rows = list(csv.DictReader(file))
        reports = [row for row in rows if row["row"] == "report"]
        self.assertEqual([row["report"] for row in reports], [entry["report"] for entry in document["reports"]])
        for row, entry in zip(reports, document["reports"]):
            for column in document["columns"]:
                figure = entry["figures"].get(column["level"], {}).get(column["kind"])
                quantity = "ns_per_load" if column["kind"] == "latency" else "bytes_per_second"
                with self.subTest(host=entry["host"], field=column["field"]):
                    self.assertEqual(float(row[column["field"]]) if row[column["field"]] else None,
                                     figure and figure[quantity])
            self.assertEqual(row["flagged"], ";".join(entry["flagged"]))
        # Each processor model with two reports or more gets its min, median and max.
        spread = {(row["processor"], row["row"]): row for row in rows if row["row"] != "report"}
        self.assertEqual(set(spread), {(MACHINES[machine]["brand"], name) for machine in "AB"
                                       for name in ("min", "median", "max")})
        a_memory = sorted(entry["figures"][MEMORY]["read"]["bytes_per_second"] for entry in document["reports"]
                          if entry["processor"] == MACHINES["A"]["brand"])
        self.assertEqual([float(spread[(MACHINES["A"]["brand"], name)]["memory_read_bytes_per_second"])
                          for name in ("min", "median", "max")], a_memory)
        self.assertEqual(document["spread"][0]["figures"][MEMORY]["read"],
                         dict(zip(("min", "median", "max"), a_memory)))

    def test_an_output_file_that_cannot_be_written_fails_with_status_1(self):
        status, _, stderr = run(["--compare", *self.paths, "--csv", os.path.join(self.directory.name, "no", "t.csv")])
        self.assertEqual(status, 1)
        self.assertIn("cannot write", stderr)


class Help(unittest.TestCase):
    def test_help_explains_compare(self):
        status, stdout, _ = run(["--help"])
        self.assertEqual(status, 0)
        for words in ("--compare PATH [PATH ...] [--tolerance PERCENT]", "every *.json in it in name order",
                      "at most half the level", "at least 4 times the largest cache", "default 10",
                      "no readable report at all"):
            self.assertIn(words, " ".join(stdout.split()))


class Levels(unittest.TestCase):
    def test_blocks_inside_each_level_for_the_threads_sharing_it(self):
        l1, l2 = Cache(1, "data", 32 * KB, 1), Cache(2, "unified", MB, 2)
        l3, unknown_sharing = Cache(3, "unified", 32 * MB, 16), Cache(3, "unified", 32 * MB)
        blocks = [2 ** power for power in range(7, 29)]  # 128B .. 256MB
        cases = (  # (name, caches, threads, {level: (first block, last block)})
            ("one thread", [l1, l2, l3], 1,
             {"L1": (128, 16 * KB), "L2": (64 * KB, 512 * KB), "L3": (2 * MB, 16 * MB), MEMORY: (256 * MB,) * 2}),
            # Two threads: L2 is shared by two, so each has half; L3 by sixteen, each of two has half.
            ("two threads", [l1, l2, l3], 2,
             {"L1": (128, 16 * KB), "L2": (64 * KB, 256 * KB), "L3": (1 * MB, 8 * MB), MEMORY: (256 * MB,) * 2}),
            # Not saying how many share it, a cache is taken to be shared by every thread.
            ("sharing unknown", [l1, l2, unknown_sharing], 4,
             {"L1": (128, 16 * KB), "L2": (64 * KB, 256 * KB), "L3": (1 * MB, 4 * MB), MEMORY: (256 * MB,) * 2}),
        )
        for name, caches, threads, expected in cases:
            with self.subTest(name):
                levels, notes = level_blocks(caches, threads, blocks)
                self.assertEqual({level: (inside[0], inside[-1]) for level, inside in levels.items()}, expected)
                self.assertEqual(notes, [])

    def test_a_run_too_short_for_memory_or_a_level_too_small_for_a_block(self):
        # L2 twice L1: no block is above L1 and at most half of L2.
        levels, notes = level_blocks([Cache(1, "data", 32 * KB, 1), Cache(2, "unified", 64 * KB, 1)], 1,
                                     [2 ** power for power in range(7, 18)])  # to 128KB
        self.assertEqual(levels["L2"], [])
        self.assertEqual(levels[MEMORY], [])
        self.assertEqual(notes, ["no memory figure: the largest block, 128KB, is less than 4 times the largest "
                                 "cache's 64KB"])


if __name__ == "__main__":
    unittest.main()
