#!/usr/bin/python3
"""The processor list on the real system, set by taskset: the thread team
must find exactly the processors given and pin member k to the k-th, and
--threads must count them (the last processor alone, the first and the last,
every one)."""
import argparse
import os
import shlex
import subprocess
import sys
import unittest

ARGS = None


def processor_lists():
    allowed = sorted(os.sched_getaffinity(0))
    lists = [[allowed[-1]], allowed]
    if len(allowed) > 2:
        lists.append([allowed[0], allowed[-1]])
    return lists


def under_taskset(processors, program, arguments, environment=None):
    listed = ",".join(str(number) for number in processors)
    done = subprocess.run(["taskset", "-c", listed] + shlex.split(ARGS.runner) + [program] + arguments,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600,
                          env=dict(os.environ, **(environment or {})))
    return done.returncode, done.stdout, done.stderr


class Taskset(unittest.TestCase):
    def test_the_team_is_the_list_taskset_gives(self):
        for processors in processor_lists():
            with self.subTest(processors=processors):
                listed = ",".join(str(number) for number in processors)
                code, out, err = under_taskset(processors, ARGS.team_test,
                                               [],
                                               {"KESTRUNE_EXPECTED_PROCESSORS": listed})
                self.assertEqual(code, 0, out + err)
                self.assertIn("[  PASSED  ] 1 test", out)

    def test_threads_counts_the_processors_taskset_gives(self):
        for processors in processor_lists():
            with self.subTest(processors=processors):
                count = len(processors)
                code, out, err = under_taskset(processors, ARGS.binary, ["--threads", str(count + 1)])
                self.assertEqual((code, out), (64, ""))
                self.assertIn(f"from 1 to {count} (the processors this process may use)", err)
                if count > 1:
                    code, out, err = under_taskset(processors, ARGS.binary,
                                                   ["--threads", "all", "--max-size", "128B"])
                    self.assertEqual((code, err), (0, ""))
                    self.assertIn(f"\nThreads:{count}\n", out)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--team-test", required=True, help="the taskset_team_test program")
    parser.add_argument("--runner", default="", help="command that runs the programs, e.g. qemu-i386")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
