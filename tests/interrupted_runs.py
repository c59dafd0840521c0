#!/usr/bin/python3
"""The real program interrupted and its data files failing: a table of runs
stopped by each signal during the first table and during a later one, with
and without an earlier file under the name, checked for valid files that
hold exactly the cells the text printed, and for the exit status; then writes
that fail (/dev/full, a directory removed during the run) and names that are
not regular files (a pipe)."""
import argparse
import csv
import json
import os
import resource
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools"))
from kestrune_report.loader import parse_report  # noqa: E402

ARGS = None
TITLES = ["128bit(16byte) aligned read", "64bit(8byte) aligned read"]
# What each table's title stands for in a record.
TABLE_OF_TITLE = {"128bit(16byte) aligned read": ("read", 16), "64bit(8byte) aligned read": ("read", 8)}
EXIT_CANNOT_WRITE = 74
# Ten rows a table: a second or less natively, yet long enough that the
# signal comes while the table it is aimed at is still running.
# Each cell measured five times, so that every table lasts long enough for
# the watcher to see it begin, however fast the processor or its emulator.
RUN = ["--max-size", "64KB", "--repeat", "5"]


def command(arguments):
    return shlex.split(ARGS.runner) + [ARGS.binary] + arguments


def environment():
    return dict(os.environ, WINEDEBUG="-all")


def under_wine():
    return "wine" in ARGS.runner


def is_linux_program():
    with open(ARGS.binary, "rb") as binary:
        return binary.read(4) == b"\x7fELF"


def text_cells(text):
    """Every cell the report printed, in order, with its table; an unfinished
    last row counts with the cells it has."""
    cells, table = [], None
    for line in text.replace("\r\n", "\n").split("\n"):
        fields = line.split("\t")
        if line in TABLE_OF_TITLE or line.endswith("aligned write") or line.endswith("aligned read"):
            table = TABLE_OF_TITLE.get(line, line)
        elif len(fields) > 1 and fields[0] != "SIZE:" and fields[0].endswith(":"):
            cells += [(table, field) for field in fields[1:] if field]
    return cells


def wait_for(path, predicate, process, timeout=300):
    """Waits until the text in path satisfies predicate; False when the
    process ended or the time ran out first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        # Whether it had ended is asked before the text is read, so that the
        # last lines it printed are always read.
        ended = process.poll() is not None
        with open(path, encoding="utf-8", errors="replace") as text:
            if predicate(text.read().replace("\r\n", "\n")):
                return True
        if ended:
            return False
        time.sleep(0.01)
    return False


def first_row_of(title):
    return lambda text: f"{title}\n" in text and "\n128B:" in text.split(f"{title}\n", 1)[1]


def wine_under_qemu():
    """Whether cmake/wine-run runs Wine's 32-bit half under qemu-i386, as it
    does where the kernel runs no 32-bit programs."""
    if not under_wine() or "i686" not in ARGS.runner:
        return False
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0
    except OSError:
        return True


def wine_lost_its_server(err):
    return under_wine() and err.decode(errors="replace").startswith("wine client error:")


def signals():
    """Wine turns SIGINT into Ctrl-C, the one console event a signal can
    raise there; SIGTERM and SIGHUP have no Windows meaning and Wine ends the
    process outright on them, as Windows ends a process that is terminated."""
    if under_wine():
        return (signal.SIGINT,)
    return (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class InterruptedRuns(unittest.TestCase):
    def setUp(self):
        if wine_under_qemu():
            # Wine's signal handling faults under qemu-user, which leaves the
            # trap number out of the signal context: SIGINT there ends in a
            # segmentation fault before any console handler runs.
            self.skipTest("Wine under qemu-i386 cannot take a signal")
        self.work = tempfile.mkdtemp(prefix="interrupted-", dir=ARGS.work)

    def tearDown(self):
        if hasattr(self, "work"):
            shutil.rmtree(self.work, ignore_errors=True)

    def test_each_signal_at_each_stage_keeps_every_printed_cell(self):
        cases = [(sig, title, earlier) for sig in signals()
                 for title in TITLES for earlier in (False, True)]
        for number, (sig, title, earlier) in enumerate(cases):
            with self.subTest(signal=sig.name, during=title, earlier_file=earlier):
                self.interrupt(os.path.join(self.work, str(number)), sig, title, earlier)

    def interrupt(self, folder, sig, title, earlier):
        os.mkdir(folder)
        json_path, csv_path = os.path.join(folder, "run.json"), os.path.join(folder, "run.csv")
        out_path = os.path.join(folder, "out.txt")
        if earlier:
            for path in (json_path, csv_path):
                with open(path, "w", encoding="utf-8") as old:
                    old.write("from an earlier run\n")
        for _ in range(2):
            with open(out_path, "wb") as out:
                process = subprocess.Popen(command(RUN + ["--json", json_path, "--csv", csv_path]), stdout=out,
                                           stderr=subprocess.PIPE, env=environment())
                reached = wait_for(out_path, first_row_of(title), process)
                process.send_signal(sig)
                _, err = process.communicate(timeout=300)
            if reached or not wine_lost_its_server(err):
                break
            # The program never ran: the Wine process it would have run in
            # lost its server while starting, as now and then happens to the
            # process started just after one that a signal ended.
            print(f"Wine lost its server before the program started ({err.decode(errors='replace').strip()!r}); "
                  "running it once more", file=sys.stderr)
        self.assertTrue(reached, f"the run ended before the table began: exit {process.returncode}, "
                                 f"standard error {err.decode(errors='replace')[-500:]!r}")
        self.assertEqual(process.returncode, 128 + sig, err)
        self.assertEqual(err.decode(), "")
        with open(out_path, encoding="utf-8") as out:
            text = out.read()
        printed = text_cells(text)
        with open(json_path, encoding="utf-8") as saved:
            json_text = saved.read()
        document = json.loads(json_text)
        # The report tool reads both as a run cut short.
        for source in (text, json_text):
            self.assertNotEqual(parse_report(source, ARGS.binary).gaps, [])
        with open(csv_path, encoding="utf-8", newline="") as saved:
            rows = list(csv.DictReader(saved))
        self.assertIs(document["complete"], False)
        self.assertEqual(document["report"]["lines"][0], "Kestrune ver1.0")
        kept = [((cell["direction"], cell["alignment_bytes"]), cell["value"] + cell["unit"])
                for cell in document["cells"]]
        self.assertEqual(kept, printed)
        self.assertEqual([(row["direction"], int(row["alignment_bytes"]), row["value"] + row["unit"])
                          for row in rows], [table + (value,) for table, value in kept])
        # Stopped in the table it was in when the signal came.
        self.assertEqual(kept[-1][0], TABLE_OF_TITLE[title])
        self.assertEqual(sorted(os.listdir(folder)), ["out.txt", "run.csv", "run.json"])
        print(f"{sig.name} during '{title}', earlier file {'yes' if earlier else 'no'}: JSON valid, "
              f"complete {document['complete']}, {len(kept)} cells kept = {len(printed)} printed, "
              f"exit {process.returncode}", file=sys.stderr)


class WriteFailures(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="write-failures-", dir=ARGS.work)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_program(self, arguments, **options):
        done = subprocess.run(command(arguments), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment(),
                              timeout=300, **options)
        return done.returncode, done.stdout.decode(), done.stderr.decode().replace("\r\n", "\n")

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_a_full_device_is_one_line_and_74(self):
        if under_wine():
            self.skipTest("/dev/full is no Windows device")
        for option in ("--json", "--csv"):
            code, out, err = self.run_program(["--max-size", "128B", option, "/dev/full"])
            self.assertEqual(code, EXIT_CANNOT_WRITE, option)
            self.assertEqual(err, "kestrune: cannot write /dev/full: No space left on device\n")
            self.assertIn("Speed check start.", out)
            self.assertTrue(os.path.exists("/dev/full") and not os.path.isfile("/dev/full"))
        # Standard output carrying the data is checked the same way.
        with open("/dev/full", "wb") as full:
            done = subprocess.run(command(["--max-size", "128B", "--csv", "-"]), stdout=full, stderr=subprocess.PIPE,
                                  env=environment(), timeout=300)
        self.assertEqual((done.returncode, done.stderr.decode()),
                         (EXIT_CANNOT_WRITE, "kestrune: cannot write standard output: No space left on device\n"))

    def test_a_directory_removed_during_the_run_is_one_line_and_74(self):
        folder = os.path.join(self.work, "gone")
        os.mkdir(folder)
        json_path = os.path.join(folder, "run.json")
        out_path = os.path.join(self.work, "out.txt")
        with open(out_path, "wb") as out:
            process = subprocess.Popen(command(["--max-size", "128B", "--json", json_path]), stdout=out,
                                       stderr=subprocess.PIPE, env=environment())
            started = wait_for(out_path, lambda text: text.startswith("Kestrune"), process)
            shutil.rmtree(folder)
            _, err = process.communicate(timeout=300)
        self.assertTrue(started)
        self.assertEqual(process.returncode, EXIT_CANNOT_WRITE)
        lines = err.decode().replace("\r\n", "\n").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(f"kestrune: cannot write {json_path}: "), lines[0])
        self.assertFalse(os.path.exists(folder))

    @unittest.skipUnless(hasattr(os, "mkfifo"), "needs named pipes")
    def test_a_pipe_is_written_in_place_and_stays_a_pipe(self):
        if not is_linux_program():
            self.skipTest("a Linux pipe")
        pipe = os.path.join(self.work, "records")
        os.mkfifo(pipe)
        received = []

        def read():
            with open(pipe, encoding="utf-8") as records:
                received.append(records.read())
        reader = threading.Thread(target=read)
        reader.start()
        code, _, err = self.run_program(["--max-size", "128B", "--json", pipe])
        reader.join(timeout=60)
        self.assertEqual((code, err), (0, ""))
        self.assertIs(json.loads(received[0])["complete"], True)
        self.assertTrue(stat.S_ISFIFO(os.stat(pipe).st_mode))
        self.assertEqual(os.listdir(self.work), ["records"])

    def test_a_run_that_fails_before_measuring_leaves_the_earlier_file(self):
        if ARGS.runner or not is_linux_program():
            self.skipTest("the address-space limit would bind the emulator, not the program")
        json_path = os.path.join(self.work, "run.json")
        with open(json_path, "w", encoding="utf-8") as old:
            old.write("from an earlier run\n")
        limit = 24 << 20
        code, _, err = self.run_program(["--json", json_path], preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_AS, (limit, limit)))
        self.assertEqual((code, err), (2, "malloc failed.\n"))
        with open(json_path, encoding="utf-8") as kept:
            self.assertEqual(kept.read(), "from an earlier run\n")
        self.assertEqual(os.listdir(self.work), ["run.json"])


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--runner", default="", help="command that runs the binary, e.g. wine")
    parser.add_argument("--work", required=True, help="a folder for the runs' files")
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
