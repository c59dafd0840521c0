#!/usr/bin/python3
"""Runs the real program's --describe on its target (natively, under qemu or
Wine) and checks what it says: key: value lines in their order, the same
description as JSON in the shape the report tools read, exit 0 without
measuring, and a usage error for an option that would measure."""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import unittest

ARGS = None
# The keys of the text, in order; node and cache lines come as the machine has them.
KEY_ORDER = ["processor", "vendor", "processors", "cores", "node", "cache", "memory", "huge pages", "os", "kernel",
             "host", "kestrune", "note"]
CACHE_KEY = re.compile(r"^L[1-9][di]?$")
CACHE_VALUE = re.compile(r"^(\d+ (B|KiB|MiB|GiB)|unknown size) (data|instruction|unified)"
                         r"(, fully associative|, \d+-way)?(, \d+ B lines)?(, shared by \d+)? \([^)]+\)"
                         r"(; doubtful: .+)?$")
MACHINE_KEYS = ["processor", "processors", "nodes", "caches", "memory", "system", "kestrune", "notes"]
CACHE_FIELDS = ["level", "type", "size", "line_size", "ways", "num_sharing", "source", "doubtful", "doubt"]
RUN_FIELDS = ["date", "host_name", "command_line", "duration_seconds", "complete"]


def run(arguments):
    done = subprocess.run(shlex.split(ARGS.runner) + [ARGS.binary] + arguments, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=dict(os.environ, WINEDEBUG="-all"), timeout=300)
    return (done.returncode, done.stdout.decode().replace("\r\n", "\n"),
            done.stderr.decode().replace("\r\n", "\n"))


def key_kind(key):
    if key.startswith("node") and key != "nodes":
        return "node"
    if CACHE_KEY.match(key) or key == "caches":
        return "cache"
    return "node" if key == "nodes" else key


class Describe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code, cls.out, cls.err = run(["--describe"])
        cls.lines = cls.out.splitlines()
        cls.json_code, json_out, cls.json_err = run(["--describe", "--json", "-"])
        cls.document = json.loads(json_out) if cls.json_code == 0 else None

    def test_text_is_key_value_lines_in_order_and_exits_zero(self):
        self.assertEqual((self.code, self.err), (0, ""))
        keys = []
        for line in self.lines:
            key, separator, value = line.partition(": ")
            self.assertEqual(separator, ": ", line)
            self.assertTrue(value, line)
            keys.append(key)
            if CACHE_KEY.match(key):
                self.assertRegex(value, CACHE_VALUE)
        kinds = [key_kind(key) for key in keys]
        self.assertEqual(kinds, sorted(kinds, key=KEY_ORDER.index), "keys out of order")
        for required in ("processor", "vendor", "processors", "cores", "memory", "huge pages", "os", "kernel",
                         "host", "kestrune"):
            self.assertIn(required, kinds)
        kestrune = next(line for line in self.lines if line.startswith("kestrune: "))
        self.assertTrue(kestrune.startswith(f"kestrune: 1.0, {ARGS.target}, "), kestrune)

    def test_json_is_the_same_description_in_the_report_tools_shape(self):
        self.assertEqual((self.json_code, self.json_err), (0, ""))
        self.assertEqual(list(self.document), ["machine", "run"])
        machine, record = self.document["machine"], self.document["run"]
        self.assertEqual(list(machine), MACHINE_KEYS)
        self.assertEqual(list(record), RUN_FIELDS)
        self.assertRegex(record["date"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(record["command_line"][1:], ["--describe", "--json", "-"])
        self.assertIs(record["complete"], True)
        self.assertEqual(machine["kestrune"]["target"], ARGS.target)
        self.assertEqual(machine["system"]["host_name"], record["host_name"])
        self.assertIn(f"host: {record['host_name'] or 'unknown'}", self.lines)
        for cache in machine["caches"]:
            self.assertEqual(list(cache), CACHE_FIELDS)
            self.assertIn(cache["type"], ("data", "instruction", "unified"))
            self.assertEqual(cache["doubt"] is not None, cache["doubtful"])
        # The text's cache lines are the JSON's caches, level by level.
        self.assertEqual(len([line for line in self.lines if CACHE_KEY.match(line.split(":")[0])]),
                         len(machine["caches"]))
        processors = machine["processors"]
        self.assertEqual(len(processors["places"]), processors["usable"])
        self.assertIn(f"processors: {processors['online']} online, {processors['usable']} usable", self.lines)
        for note in ARGS.note:
            self.assertTrue(any(note in text for text in machine["notes"]), f"{note!r} in {machine['notes']}")

    def test_memory_is_what_the_kernel_reports(self):
        if ARGS.runner or not os.path.exists("/proc/meminfo"):
            self.skipTest("the memory is compared where the program runs natively on Linux")
        with open("/proc/meminfo", encoding="utf-8") as meminfo:
            kilobytes = int(next(line for line in meminfo if line.startswith("MemTotal:")).split()[1])
        self.assertEqual(self.document["machine"]["memory"]["total_bytes"], kilobytes * 1024)

    def test_an_option_that_measures_is_a_usage_error(self):
        code, out, err = run(["--describe", "--max-size", "1KB"])
        self.assertEqual((code, out), (64, ""))
        self.assertEqual(err, "kestrune: --max-size: --describe measures nothing and takes only --json\n")


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--runner", default="", help="command that runs the binary, e.g. wine")
    parser.add_argument("--target", required=True, help="the target the kestrune line must name")
    parser.add_argument("--note", action="append", default=[], help="text one of the notes must hold")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
