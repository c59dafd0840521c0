#!/usr/bin/python3
"""Runs the real program from start to exit and checks the whole report's
structure: system lines, six tables with their titles, the headers the
capability line calls for, nineteen labelled rows and well-formed cells.

With --head-only it reads the run only up to the first table's header, checks
the capability line and that header against what it expects, and ends the
run there: for emulated processors, where a whole run takes long."""
import argparse
import os
import re
import resource
import shlex
import subprocess
import sys
import threading
import unittest

from kernel_table import read_table

ARGS = None
TITLES = ["128bit(16byte) aligned read", "64bit(8byte) aligned read", "32bit(4byte) aligned read",
          "128bit(16byte) aligned write", "64bit(8byte) aligned write", "32bit(4byte) aligned write"]
LABELS = ["128B:", "256B:", "512B:", "1KB:", "2KB:", "4KB:", "8KB:", "16KB:", "32KB:", "64KB:", "128KB:",
          "256KB:", "512KB:", "1MB:", "2MB:", "4MB:", "8MB:", "16MB:", "32MB:"]
CELL = re.compile(r"^-?(\d+(\.\d+)?(e[+-]\d+)?|inf)(GB|MB|KB|B)/s$")
CLOCK = re.compile(r"^CPU clock:(\d+(\.\d+)?)MHz$")
NAMES = [("MMX ", 0x01), ("SSE ", 0x08), ("SSE2 ", 0x10), ("SSE3", 0x20)]


def command():
    return shlex.split(ARGS.runner) + [ARGS.binary]


def environment():
    return dict(os.environ, WINEDEBUG="-all")


def run(stdout=subprocess.PIPE, limit_bytes=None):
    limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))) if limit_bytes else None
    done = subprocess.run(command(), stdout=stdout, stderr=subprocess.PIPE, preexec_fn=limit, env=environment(),
                          timeout=600)
    out = done.stdout.decode().replace("\r\n", "\n") if done.stdout is not None else ""
    return done.returncode, out, done.stderr.decode().replace("\r\n", "\n")


def run_to_first_header(seconds=300):
    """The lines up to and including the first table's header; then the run is
    ended. Stops early when the program ends first."""
    process = subprocess.Popen(command(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
    watchdog = threading.Timer(seconds, process.kill)
    watchdog.start()
    lines = []
    try:
        for raw in process.stdout:
            lines.append(raw.decode().rstrip("\r\n"))
            if lines[-1].startswith("SIZE:"):
                break
    finally:
        process.kill()
        _, err = process.communicate()
        watchdog.cancel()
    return lines, err.decode().replace("\r\n", "\n")


def is_linux_program(path):
    with open(path, "rb") as binary:
        return binary.read(4) == b"\x7fELF"


def mask_of(capability_line):
    """The mask the capability line prints, checked to be in canonical form."""
    listed = capability_line[len("Supported SIMD Inst:"):]
    mask = sum(bit for name, bit in NAMES if name in listed)
    if "".join(name for name, bit in NAMES if mask & bit) != listed:
        raise AssertionError(f"capability line out of form: {capability_line!r}")
    return mask


def expected_header(kernels, direction, mask, aligned16):
    return "\t".join(["SIZE:"] + [k.column for k in kernels if k.direction == direction and k.shown(mask, aligned16)])


class FullRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code, cls.out, cls.err = run()
        if ARGS.save:
            with open(ARGS.save, "w", encoding="utf-8") as saved:
                saved.write(cls.out)
        cls.lines = cls.out.split("\n")

    def test_exits_zero_with_nothing_on_standard_error(self):
        self.assertEqual(self.code, 0)
        self.assertEqual(self.err, "")
        self.assertTrue(self.out.endswith("\n"))

    def test_system_lines_then_six_complete_tables(self):
        lines = self.lines
        self.assertEqual(lines[0], "Kestrune ver1.0")
        self.assertEqual(lines[1], ARGS.family_line)
        self.assertTrue(lines[2].startswith("Supported SIMD Inst:"), lines[2])
        if ARGS.capability_line is not None:
            self.assertEqual(lines[2], ARGS.capability_line)
        mask = mask_of(lines[2])
        at = 3
        if mask & 0x08:
            self.assertIn(lines[3], ("SSE supported by OS:yes", "SSE supported by OS:no"))
            if lines[3].endswith("no"):
                mask &= 0x01
            at = 4
        self.assertEqual(lines[at], "measuring CPU clock. please wait 3 seconds.")
        self.assertRegex(lines[at + 1], CLOCK)
        self.assertEqual(lines[at + 2], "Speed check start.")
        at += 3

        kernels = read_table(ARGS.table)
        for table, title in enumerate(TITLES):
            direction = "READ" if table < 3 else "WRITE"
            self.assertEqual(lines[at], title)
            header = expected_header(kernels, direction, mask, table % 3 == 0)
            self.assertEqual(lines[at + 1], header)
            for k, label in enumerate(LABELS):
                fields = lines[at + 2 + k].split("\t")
                self.assertEqual(len(fields), len(header.split("\t")), lines[at + 2 + k])
                self.assertEqual(fields[0], label)
                for cell in fields[1:]:
                    self.assertRegex(cell, CELL)
            at += 2 + len(LABELS)
        self.assertEqual(lines[at:], [""])

    @unittest.skipUnless(os.path.exists("/proc/cpuinfo"), "needs /proc/cpuinfo")
    def test_capabilities_match_what_the_kernel_reports(self):
        if ARGS.runner:
            self.skipTest("the emulated processor is not the one /proc/cpuinfo describes")
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            flags = next(line for line in cpuinfo if line.startswith("flags")).split(":")[1].split()
        expected = "".join(name for name, flag in zip(["MMX ", "SSE ", "SSE2 ", "SSE3"], ["mmx", "sse", "sse2", "pni"])
                           if flag in flags)
        self.assertEqual(self.lines[2], "Supported SIMD Inst:" + expected)


@unittest.skipIf(sys.platform != "linux", "Linux process limits")
class FailingSurroundings(unittest.TestCase):
    def setUp(self):
        if not is_linux_program(ARGS.binary):
            self.skipTest("a Linux program's surroundings")

    def test_too_little_address_space_fails_allocation_with_code_two(self):
        if ARGS.runner:
            self.skipTest("the limit would bind the emulator, not the program")
        code, out, err = run(limit_bytes=24 << 20)
        self.assertEqual(code, 2)
        self.assertEqual(err, "malloc failed.\n")
        self.assertRegex(out.rstrip("\n").split("\n")[-1], CLOCK)
        self.assertNotIn("Speed check start.", out)

    def test_full_standard_output_does_not_stop_the_run(self):
        with open("/dev/full", "wb") as full:
            code, _, err = run(stdout=full)
        self.assertEqual(code, 0)
        self.assertEqual(err, "")


class HeadOfRun(unittest.TestCase):
    def test_system_lines_and_first_header_follow_the_capabilities(self):
        lines, err = run_to_first_header()
        self.assertEqual(err, "")
        mask = mask_of(ARGS.capability_line)
        expected = ["Kestrune ver1.0", ARGS.family_line, ARGS.capability_line]
        if mask & 0x08:
            expected.append("SSE supported by OS:yes")
        expected.append("measuring CPU clock. please wait 3 seconds.")
        self.assertEqual(lines[:len(expected)], expected)
        rest = lines[len(expected):]
        self.assertEqual(len(rest), 4, rest)
        self.assertRegex(rest[0], CLOCK)
        self.assertEqual(rest[1:3], ["Speed check start.", TITLES[0]])
        self.assertEqual(rest[3], expected_header(read_table(ARGS.table), "READ", mask, True))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--runner", default="", help="command that runs the binary, e.g. wine")
    parser.add_argument("--family-line", default="OS:NT based")
    parser.add_argument("--save", help="where to keep the full run's report")
    parser.add_argument("--head-only", action="store_true",
                        help="end the run after the first table's header (needs --capability-line)")
    parser.add_argument("--capability-line", help="the capability line the processor must give")
    ARGS, rest = parser.parse_known_args()
    if ARGS.head_only and ARGS.capability_line is None:
        parser.error("--head-only needs --capability-line")
    tests = ["HeadOfRun"] if ARGS.head_only else ["FullRun", "FailingSurroundings"]
    unittest.main(argv=[sys.argv[0], "-v"] + rest, defaultTest=tests)


if __name__ == "__main__":
    main()
