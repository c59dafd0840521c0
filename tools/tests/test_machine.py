"""The machine a JSON report names: read from its "machine" and "run", marked on its charts, named in
its summary."""

import json
import os
import tempfile
import unittest
from unittest import mock

from support import GIB, JSON_RUN, described_machine, fixture_text, json_report, run
from kestrune_report.caches import CacheSize
from kestrune_report.loader import parse_report
from kestrune_report.machine import Cache
from kestrune_report.model import ReportError

DESCRIBED = described_machine()
# Up to 1GB, so that the fixture's doubtful 508MB L3 falls inside the chart.
BLOCKS = [2 ** power for power in range(7, 31)]
# What this machine's sysfs says in these tests: unlike the fixture's machine in every size.
OTHER_CACHES = [CacheSize("L1", 32 * 1024), CacheSize("L2", 512 * 1024), CacheSize("L3", 16 * 2 ** 20)]


def described_report(described=DESCRIBED, blocks=BLOCKS):
    return json.dumps(json_report(described, blocks, lambda direction, block: GIB), indent=1)


class Reading(unittest.TestCase):
    def test_the_processor_host_date_and_caches_are_read(self):
        machine = parse_report(described_report()).machine
        processor = DESCRIBED["machine"]["processor"]
        self.assertEqual((machine.vendor, machine.brand, machine.family, machine.model, machine.host, machine.date),
                         (processor["vendor"], processor["brand"], processor["family"], processor["model"],
                          DESCRIBED["run"]["host_name"], DESCRIBED["run"]["date"]))
        self.assertEqual([(cache.name, cache.type, cache.size, cache.doubtful) for cache in machine.caches],
                         [(f"L{cache['level']}", cache["type"], cache["size"], cache["doubtful"])
                          for cache in DESCRIBED["machine"]["caches"]])
        self.assertEqual([cache.name for cache in machine.level_caches()], ["L1", "L2", "L3"])
        self.assertEqual(machine.level_caches()[0].type, "data")  # not the instruction cache

    def test_a_report_from_before_machines_were_recorded_names_none(self):
        self.assertIsNone(parse_report(fixture_text(JSON_RUN)).machine)

    def test_unknown_numbers_are_null_and_the_host_may_come_from_the_system(self):
        described = described_machine()
        del described["run"]
        described["machine"]["processor"].update(brand=None, family=None)
        described["machine"]["caches"][2]["size"] = None
        machine = parse_report(described_report(described)).machine
        self.assertEqual((machine.brand, machine.host, machine.date), (None, "vm", None))
        self.assertEqual(machine.processor, "AuthenticAMD 2")
        self.assertEqual([cache.name for cache in machine.level_caches()], ["L1", "L3"])

    def test_a_faulty_field_is_named_with_its_line(self):
        cases = (
            (("caches", 2, "size"), "1MB", "machine.caches[2].size: expected bytes, above 0, got \"1MB\""),
            (("caches", 0, "type"), "code", "machine.caches[0].type: expected 'data', 'instruction' or 'unified'"),
            (("caches", 3, "doubtful"), "yes", "machine.caches[3].doubtful: expected true or false"),
            (("processor", "family"), "26", "machine.processor.family: expected a number, got \"26\""),
            (("caches",), {"level": 1}, "machine.caches: expected a list or null"),
        )
        for path, value, message in cases:
            with self.subTest(path):
                described = described_machine()
                container = described["machine"]
                for key in path[:-1]:
                    container = container[key]
                container[path[-1]] = value
                text = described_report(described)
                with self.assertRaises(ReportError) as raised:
                    parse_report(text)
                self.assertIn(message, str(raised.exception))
                self.assertIn(json.dumps(value, indent=1).splitlines()[0], text.splitlines()[raised.exception.line - 1])


class Charts(unittest.TestCase):
    """--caches auto marks the caches of the machine the report was measured on."""

    def draw(self, text, sysfs=OTHER_CACHES):
        with tempfile.TemporaryDirectory() as directory:
            report, chart = os.path.join(directory, "run.json"), os.path.join(directory, "run.svg")
            with open(report, "w") as file:
                file.write(text)
            with mock.patch("kestrune_report.cli.read_sysfs_caches", return_value=sysfs):
                status, _, stderr = run([report, "--svg", chart, "--caches", "auto"])
            self.assertEqual(status, 0, stderr)
            with open(chart, encoding="utf-8") as file:
                return file.read(), stderr

    def test_the_reports_caches_win_over_this_machines_and_a_doubtful_one_says_so(self):
        svg, stderr = self.draw(described_report())
        for label in ("L1 48KB", "L2 1MB", "L3 508MB (doubtful)"):
            self.assertIn(f">{label}<", svg)
        for cache in OTHER_CACHES:
            self.assertNotIn(f">{cache.label}<", svg)
        self.assertIn("--caches auto: the caches the report names for its machine (Oxide Virtual Turin-like Processor, host vm): "
                      "L1 48KB, L2 1MB, L3 508MB (doubtful)", stderr)
        self.assertIn("the report marks L3 508MB (doubtful: cpuid 0x80000006 says 508 MiB", stderr)
        self.assertIn("drawn dotted and labelled 'doubtful'", stderr)

    def test_a_report_naming_no_caches_gets_this_machines_and_says_so(self):
        old = described_report(None)  # a report from before machines were recorded
        svg, stderr = self.draw(old)
        self.assertIn(f">{OTHER_CACHES[0].label}<", svg)
        self.assertIn("--caches auto: the report names no caches; marking this machine's (Linux sysfs): "
                      "L1 32KB, L2 512KB, L3 16MB", stderr)
        _, stderr = self.draw(old, sysfs=[])
        self.assertIn("this machine does not report its cache sizes; none marked", stderr)

    def test_a_doubtful_cache_is_drawn_apart_from_the_others(self):
        from kestrune_report.chart import build_figure
        figure = build_figure(parse_report(described_report()),
                              [CacheSize("L2", 2 ** 20), CacheSize("L3", 508 * 2 ** 20, doubtful=True)])
        ax = figure.axes[1]
        marks = {line.get_label(): line for line in ax.get_lines() if line.get_label().startswith("_cache")}
        sound, doubtful = marks["_cache L2 1MB"], marks["_cache L3 508MB (doubtful)"]
        self.assertNotEqual(sound.get_linestyle(), doubtful.get_linestyle())
        self.assertNotEqual(sound.get_color(), doubtful.get_color())

    def test_the_title_and_summary_name_the_machine(self):
        from kestrune_report.chart import build_figure
        report = parse_report(described_report(), "run.json")
        named = f"{DESCRIBED['machine']['processor']['brand']}, host vm, {DESCRIBED['run']['date']}"
        self.assertIn(f"on {named}", "\n".join(text.get_text() for text in build_figure(report).texts))
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "run.json")
            with open(path, "w") as file:
                file.write(described_report())
            status, stdout, _ = run([path])
        self.assertEqual(status, 0)
        self.assertIn(f"measured on {named}", stdout.splitlines()[1])


class Described(unittest.TestCase):
    def test_a_cache_says_why_it_is_doubted(self):
        self.assertEqual(Cache(3, "unified", 2 ** 29, doubtful=True, doubt="too large").described,
                         "L3 512MB (doubtful: too large)")
        self.assertEqual(Cache(2, "unified", None).described, "L2 size unknown")


if __name__ == "__main__":
    unittest.main()
