#!/usr/bin/python3
"""The node job (kestrune-nodes.sbatch) run by a real Slurm: a one-node cluster
started on this machine (see slurm_cluster.py) measures the node twice, as two
tasks of a job array, and compares the two reports; then a job whose kestrune
fails and one whose kestrune runs out of time are listed as failed nodes while
the reports already there are still compared. A fixture made of one of the
job's reports, its memory figures edited 30% worse in one copy, shows the
comparison flagging that copy.

Exits 77 (which CTest counts as skipped) with one line saying why where the
daemons cannot start. Every daemon and job process it started is ended before
it exits, whatever happened; a process left over fails the run."""
import argparse
import copy
import csv
import glob
import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import slurm_cluster  # noqa: E402

ARGS = None
CLUSTER = None
SKIPPED = 77
# Each submission's own bound; the measurements themselves take seconds.
JOB_SECONDS = 300
# A run small enough for a test: every extension, the latency table, 4 KB blocks. On a machine
# of two processors that the rest of the test suite shares, one measurement of a cell can be
# twice another: each cell is the median of three, on one thread (two threads vary more).
KESTRUNE_OPTIONS = ["--isa", "all", "--latency", "--max-size", "4KB", "--repeat", "3"]


def read(path):
    with open(path, errors="replace") as file:
        return file.read()


def job_files(directory, job, suffix):
    return sorted(glob.glob(os.path.join(directory, f"*-{job}{suffix}")))


def setUpModule():
    """Three jobs in a row sharing one report directory, for every test here."""
    NodesJob.run_jobs()


class NodesJob(unittest.TestCase):
    """The three jobs' outputs and files."""

    @classmethod
    def run_jobs(cls):
        cls.work = os.path.join(CLUSTER.root, "work")
        os.mkdir(cls.work)
        # kestrune that never finishes, for the node that runs out of time; it notes how many
        # processors its task was given.
        cls.stuck = os.path.join(CLUSTER.root, "stuck-kestrune")
        cls.stuck_processors = os.path.join(CLUSTER.root, "stuck-kestrune-processors")
        with open(cls.stuck, "w") as file:
            file.write(f"#!/bin/sh\nnproc > {cls.stuck_processors}\nexec sleep 600\n")
        os.chmod(cls.stuck, 0o755)
        paths = ["--kestrune-report", ARGS.kestrune_report]

        def submit(sbatch_options, job_options, kestrune=ARGS.kestrune, after=None):
            dependency = [f"--dependency=afterany:{after}"] if after else []
            return CLUSTER.submit([f"--chdir={cls.work}", "--time=5"] + dependency + sbatch_options
                                  + [ARGS.job_script, "--kestrune", kestrune] + paths + job_options)

        # One at a time, so that the second task's comparison finds both reports.
        # Two runs of one node sharing it with the rest of the test suite can differ by a quarter
        # even so; a node short of a memory channel is half as fast, a third below the median of two.
        cls.array = submit(["--array=0-1%1", "--output=kestrune-nodes-%A_%a.out"],
                           ["--tolerance", "30", "--"] + KESTRUNE_OPTIONS)
        # The array's tasks share the directory named by default; the two jobs after it are
        # pointed at it.
        cls.reports = os.path.join(cls.work, f"kestrune-nodes-{cls.array}")
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
        return sorted((os.path.basename(path)[len(CLUSTER.node) + 1:-len(".json")]
                       for path in glob.glob(os.path.join(self.reports, f"{CLUSTER.node}-*.json"))), key=int)

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
        reports = [os.path.join(self.reports, f"{CLUSTER.node}-{job}.json") for job in self.array_task_jobs()]
        output = self.output(f"kestrune-nodes-{self.array}_1.out")
        self.assertNotIn("Failed nodes", output)
        self.assertNotIn("flagged", output)
        table = [line for line in output.splitlines() if line.startswith(self.reports)]
        self.assertEqual([line.split()[0] for line in table], reports, output)
        self.assertEqual([line for line in table if "!" in line], [], output)
        self.assertEqual(self.compared(f"{self.array}_1"), reports)

    def test_a_node_whose_kestrune_fails_is_listed_with_its_exit_status_and_the_others_compared(self):
        output = self.output(f"kestrune-nodes-{self.failing}.out")
        self.assertIn(f"Failed nodes (1 of 1):\n{CLUSTER.node}: exit 64: ", output)
        self.assertIn("--max-size", output.split("Failed nodes")[1])
        self.assertEqual(job_files(self.reports, self.failing, ".json"), [])
        self.assert_compared_the_array_reports(self.failing)

    def test_the_task_on_a_node_has_every_processor_of_it(self):
        # With the step's --exclusive in place of --whole, it would have one.
        self.assertEqual(int(read(self.stuck_processors)), CLUSTER.processors)

    def test_a_node_out_of_time_is_listed_as_timed_out_and_the_others_compared(self):
        output = self.output(f"kestrune-nodes-{self.late}.out")
        self.assertRegex(output, rf"Failed nodes \(1 of 1\):\n{CLUSTER.node}: exit 124: timed out after \d+ s\n")
        self.assert_compared_the_array_reports(self.late)

    def compared(self, job):
        """The reports the job's comparison CSV has a row for."""
        with open(os.path.join(self.work, f"kestrune-nodes-{job}.csv"), newline="") as file:
            return [row["report"] for row in csv.DictReader(file) if row["row"] == "report"]

    def assert_compared_the_array_reports(self, job):
        self.assertEqual(self.compared(job), [os.path.join(self.reports, f"{CLUSTER.node}-{job}.json")
                                              for job in self.array_task_jobs()])


class MemoryFiguresDown(unittest.TestCase):
    """The screen the job is for, on a report the job wrote: two copies of it compared flag
    nothing; one copy's memory figures 30% worse, that copy's memory figures are flagged."""

    @classmethod
    def setUpClass(cls):
        path = sorted(glob.glob(os.path.join(NodesJob.reports, "*.json")))[0]
        with open(path) as file:
            cls.report = json.load(file)
        # A 4 KB run reaches no memory on a real machine: the copies name a machine whose one
        # cache is 1 KB, so that the run's largest block, 4 KB, is its memory figure.
        with open(ARGS.described_machine) as file:
            machine = cls.report.get("machine") or json.load(file)["machine"]
        cls.report["machine"] = dict(machine, caches=[
            {"level": 1, "type": "data", "size": 1024, "line_size": 64, "ways": 8, "num_sharing": 1,
             "source": "cpuid 4", "doubtful": False, "doubt": None}])
        cls.memory_block = max(cell["block_bytes"] for cell in cls.report["cells"])

    def compare(self, reports):
        with tempfile.TemporaryDirectory() as directory:
            for name, report in reports.items():
                with open(os.path.join(directory, name + ".json"), "w") as file:
                    json.dump(report, file)
            done = subprocess.run([ARGS.kestrune_report, "--compare", directory, "--json", "-"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        return {os.path.basename(row["report"]): row["flagged"] for row in json.loads(done.stdout)["reports"]}

    def slower_memory(self, factor):
        """A copy of the report with its rates at the memory block times `factor`, its latency divided."""
        slower = copy.deepcopy(self.report)
        for cell in slower["cells"]:
            if cell["block_bytes"] != self.memory_block:
                continue
            for name in ("bytes_per_second", "ns_per_load"):
                scale = factor if name == "bytes_per_second" else 1 / factor
                if name in cell:
                    cell[name] *= scale
                    cell["samples_" + name] = [sample * scale for sample in cell["samples_" + name]]
        return slower

    def test_two_copies_flag_nothing(self):
        self.assertEqual(self.compare({"node1": self.report, "node2": self.report}), {"node1.json": [], "node2.json": []})

    def test_the_copy_with_memory_30_percent_worse_is_flagged_in_memory_alone(self):
        flagged = self.compare({"node1": self.report, "node2": self.slower_memory(0.7)})
        self.assertEqual(flagged, {"node1.json": [], "node2.json": ["memory read", "memory write", "memory random"]})


def main():
    global ARGS, CLUSTER
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--job-script", required=True, help="kestrune-nodes.sbatch")
    parser.add_argument("--kestrune", required=True, help="the benchmark the job runs on the node")
    parser.add_argument("--kestrune-report", required=True, help="the report tool the job compares with")
    parser.add_argument("--described-machine", required=True,
                        help="a report naming a machine, for the fixture when the job's reports name none")
    ARGS, rest = parser.parse_known_args()
    # sbatch and the jobs run in the cluster's own directory.
    for name in ("job_script", "kestrune", "kestrune_report", "described_machine"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    # Stopped from outside (a test runner's time-out), it still stops the cluster on its way out.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
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
