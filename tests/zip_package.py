#!/usr/bin/python3
"""Checks a built Windows zip of Kestrune as a user meets it: one folder named
after the zip holding the .exe, README.txt and LICENSE.txt (Windows line
ends), and, unpacked in a temporary folder, an .exe that prints its version
and makes a short report (--max-size 1KB) whose structure holds as in the
end-to-end test."""
import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARGS = None
END_TO_END = os.path.join(os.path.dirname(os.path.abspath(__file__)), "end_to_end.py")


def folder():
    return os.path.basename(ARGS.zip)[:-len(".zip")]


def crlf_text(data):
    """The text of a file that must have Windows line ends; None if a line
    ends otherwise."""
    text = data.decode("ascii")
    return text if text.endswith("\r\n") and "\n" not in text.replace("\r\n", "") else None


class Contents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with zipfile.ZipFile(ARGS.zip) as archive:
            cls.files = {name: archive.read(name) for name in archive.namelist() if not name.endswith("/")}

    def test_one_folder_with_the_program_and_two_texts(self):
        self.assertEqual(set(self.files), {f"{folder()}/{name}" for name in ["kestrune.exe", "README.txt", "LICENSE.txt"]})

    def test_texts_have_windows_line_ends(self):
        for name in ["README.txt", "LICENSE.txt"]:
            with self.subTest(name=name):
                self.assertIsNotNone(crlf_text(self.files[f"{folder()}/{name}"]))

    def test_licence_is_the_projects(self):
        with open(ARGS.licence, encoding="ascii") as licence:
            expected = licence.read().replace("\n", "\r\n")
        self.assertEqual(self.files[f"{folder()}/LICENSE.txt"].decode("ascii"), expected)

    def test_readme_names_the_version_and_how_to_run(self):
        readme = crlf_text(self.files[f"{folder()}/README.txt"]) or ""
        self.assertIn(f"Kestrune {ARGS.version} for Windows", readme)
        self.assertIn("kestrune --max-size 1KB", readme)


class UnpackedProgram(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.where = tempfile.mkdtemp(prefix="kestrune-zip-")
        with zipfile.ZipFile(ARGS.zip) as archive:
            archive.extractall(cls.where)
        cls.exe = os.path.join(cls.where, folder(), "kestrune.exe")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.where)

    def run_exe(self, *arguments):
        done = subprocess.run(shlex.split(ARGS.runner) + [self.exe, *arguments], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(os.environ, WINEDEBUG="-all"), timeout=600)
        return done.returncode, done.stdout.decode().replace("\r\n", "\n"), done.stderr.decode()

    def test_readme_tells_every_exit_code_the_help_names(self):
        with open(os.path.join(self.where, folder(), "README.txt"), encoding="ascii") as readme:
            listed = readme.read().split("Exit codes", 1)[1].split("\n\n")[0]
        code, help_text, _ = self.run_exe("--help")
        self.assertEqual(code, 0)
        paragraph = help_text.split("Exit status:", 1)[1].split("\n\n")[0]
        self.assertEqual(set(re.findall(r"(?m)^ +(\d+) ", listed)), set(re.findall(r"\b\d+\b", paragraph)))

    def test_prints_its_version(self):
        self.assertEqual(self.run_exe("--version"), (0, f"Kestrune ver{ARGS.version}\n", ""))

    def test_short_run_reports_every_table_up_to_1KB(self):
        # The end-to-end test's own checks, on the unpacked program.
        done = subprocess.run([sys.executable, END_TO_END, "--binary", self.exe, "--table", ARGS.table,
                               "--runner", ARGS.runner, "--args", "--max-size 1KB"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(done.stdout, r"test_system_lines_then_six_complete_tables .* ok")


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--runner", required=True, help="command that runs the .exe, e.g. cmake/wine-run x86_64")
    parser.add_argument("--table", required=True, help="the tables the build writes (tables.json)")
    parser.add_argument("--licence", required=True, help="LICENSE at the root of the source tree")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
