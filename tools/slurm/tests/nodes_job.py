#!/usr/bin/python3
"""The node job (kestrune-nodes.sbatch) run by a real Slurm: a one-node cluster
started on this machine (see slurm_cluster.py) measures the node twice, as two
tasks of a job array, and compares the two reports; then a job whose kestrune
fails and one whose kestrune runs out of time are listed as failed nodes while
the reports already there are still compared.

Exits 77 (which CTest counts as skipped) with one line saying why where the
daemons cannot start. Every daemon and job process it started is ended before
it exits, whatever happened; a process left over fails the run."""
import argparse
import csv
import glob
import json
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import slurm_cluster  # noqa: E402

ARGS = None
CLUSTER = None
SKIPPED = 77
# Each submission's own bound; the measurements themselves take seconds.
JOB_SECONDS = 300
# A run small enough for a test: every extension, the latency table, 4 KB blocks.
KESTRUNE_OPTIONS = ["--isa", "all", "--latency", "--max-size", "4KB"]


def read(path):
    with open(path, errors="replace") as file:
        return file.read()


def job_files(directory, job, suffix):
    return sorted(glob.glob(os.path.join(directory, f"*-{job}{suffix}")))


class NodesJob(unittest.TestCase):
    """Three jobs in a row sharing one report directory."""

    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(CLUSTER.root, "work")
        os.mkdir(cls.work)
        cls.reports = os.path.join(cls.work, "reports")
        # kestrune that never finishes, for the node that runs out of time.
        cls.stuck = os.path.join(CLUSTER.root, "stuck-kestrune")
        with open(cls.stuck, "w") as file:
            file.write("#!/bin/sh\nexec sleep 600\n")
        os.chmod(cls.stuck, 0o755)
        paths = ["--kestrune-report", ARGS.kestrune_report]

        def submit(sbatch_options, job_options, kestrune=ARGS.kestrune, after=None):
            dependency = [f"--dependency=afterany:{after}"] if after else []
            return CLUSTER.submit([f"--chdir={cls.work}", "--time=5"] + dependency + sbatch_options
                                  + [ARGS.job_script, "--kestrune", kestrune] + paths + job_options)

        # One at a time, so that the second task's comparison finds both reports.
        cls.array = submit(["--array=0-1%1", "--output=kestrune-nodes-%A_%a.out"],
                           ["--dir", cls.reports, "--"] + KESTRUNE_OPTIONS)
        cls.failing = submit([], ["--dir", cls.reports, "--", "--max-size", "3KB"], after=cls.array)
        # A one-minute limit, 50 s of it kept for the comparison: kestrune gets about 10 s.
        cls.late = submit(["--time=1"], ["--dir", cls.reports, "--reserve", "50", "--"],
                          kestrune=cls.stuck, after=cls.failing)
        if not CLUSTER.wait_for_jobs(JOB_SECONDS):
            raise AssertionError(f"the jobs did not end within {JOB_SECONDS} s\n" + CLUSTER.logs())

    def output(self, name):
        return read(os.path.join(self.work, name))

    def array_task_jobs(self):
        """The job ids of the array's two tasks: the failing and the late job leave no whole report."""
        return sorted(os.path.basename(path)[len(CLUSTER.node) + 1:-len(".json")]
                      for path in glob.glob(os.path.join(self.reports, f"{CLUSTER.node}-*.json")))

    def test_each_array_task_wrote_a_whole_report_named_by_node_and_job(self):
        jobs = self.array_task_jobs()
        self.assertEqual(len(jobs), 2, os.listdir(self.reports))
        for job in jobs:
            with self.subTest(job=job):
                name = os.path.join(self.reports, f"{CLUSTER.node}-{job}")
                self.assertEqual(read(name + ".exit").strip(), "0", read(name + ".err"))
                with open(name + ".json") as file:
                    report = json.load(file)
                self.assertIs(report["complete"], True)
                self.assertTrue(report["cells"])
                self.assertTrue(os.path.getsize(name + ".txt") > 0)

    def test_the_second_task_compares_both_reports_in_its_output_and_a_csv_beside_it(self):
        second = self.output(f"kestrune-nodes-{self.array}_1.out")
        self.assertNotIn("Failed nodes", second)
        with open(os.path.join(self.work, f"kestrune-nodes-{self.array}_1.csv"), newline="") as file:
            rows = list(csv.reader(file))
        self.assertEqual(len(rows), 3, rows)
        for row in rows[1:]:
            self.assertIn(CLUSTER.node, row, rows)
            self.assertIn(CLUSTER.node, second)

    def test_a_node_whose_kestrune_fails_is_listed_with_its_exit_status_and_the_others_compared(self):
        output = self.output(f"kestrune-nodes-{self.failing}.out")
        self.assertIn(f"Failed nodes (1 of 1):\n{CLUSTER.node}: exit 64: ", output)
        self.assertIn("--max-size", output.split("Failed nodes")[1])
        self.assertEqual(job_files(self.reports, self.failing, ".json"), [])
        self.assert_compared_the_array_reports(self.failing)

    def test_a_node_out_of_time_is_listed_as_timed_out_and_the_others_compared(self):
        output = self.output(f"kestrune-nodes-{self.late}.out")
        self.assertRegex(output, rf"Failed nodes \(1 of 1\):\n{CLUSTER.node}: exit 124: timed out after \d+ s\n")
        self.assert_compared_the_array_reports(self.late)

    def assert_compared_the_array_reports(self, job):
        with open(os.path.join(self.work, f"kestrune-nodes-{job}.csv"), newline="") as file:
            self.assertEqual(len(list(csv.reader(file))), 3)


def main():
    global ARGS, CLUSTER
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--job-script", required=True, help="kestrune-nodes.sbatch")
    parser.add_argument("--kestrune", required=True, help="the benchmark the job runs on the node")
    parser.add_argument("--kestrune-report", required=True, help="the report tool the job compares with")
    ARGS, rest = parser.parse_known_args()
    CLUSTER = slurm_cluster.Cluster()
    try:
        try:
            CLUSTER.start()
        except slurm_cluster.CannotStart as why:
            print(f"skipped: a one-node Slurm cannot start here: {why}")
            return SKIPPED
        result = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False).result
        if not result.wasSuccessful():
            print(CLUSTER.logs())
        status = 0 if result.wasSuccessful() else 1
    finally:
        left = CLUSTER.stop()
        CLUSTER.remove()
    if left:
        print("still running after the cluster was stopped: " + ", ".join(left))
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
