#!/usr/bin/python3
"""Checks a built Debian package of Kestrune as a user meets it: lintian finds
no error in it, its control fields and files are the ones it should carry,
and unpacked into a throwaway root (dpkg -x) its two programs run and its
manual pages render without a warning and describe every option the
programs' --help lists."""
import argparse
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None
OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")
# The multilib copies of the C and C++ libraries belong to amd64 packages; an
# i386 package depending on them would not install.
MULTILIB_PACKAGES = re.compile(r"^(lib32|libx32|lib64|libc6-i386|libc6-amd64)")


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300, **kwargs)


def control_field(name):
    return run(["dpkg-deb", "--field", ARGS.deb, name]).stdout.strip()


def exit_codes(help_text):
    """The exit codes the "Exit status:" paragraph of --help names."""
    paragraph = help_text.split("Exit status:", 1)[1].split("\n\n")[0]
    return set(re.findall(r"\b\d+\b", paragraph))


def package_names(relation_field):
    """The package names of a Depends-like field, alternatives included."""
    return [alternative.split()[0] for entry in relation_field.split(",") for alternative in entry.split("|")]


class PackageFile(unittest.TestCase):
    def test_lintian_reports_no_error(self):
        done = run(["lintian", "--fail-on", "error", ARGS.deb])
        errors = [line for line in done.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], done.stdout)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_control_fields(self):
        for field, expected in [("Package", "kestrune"), ("Version", ARGS.version),
                                ("Architecture", ARGS.architecture), ("Recommends", "python3-matplotlib"),
                                ("Suggests", "slurm-client")]:
            with self.subTest(field=field):
                self.assertEqual(control_field(field), expected)

    def test_depends_on_the_c_library_and_python_of_its_own_architecture(self):
        names = package_names(control_field("Depends"))
        for needed in ["libc6", "libstdc++6", "python3"]:
            self.assertIn(needed, names)
        self.assertEqual([name for name in names if MULTILIB_PACKAGES.match(name)], [])

    def test_carries_exactly_its_files(self):
        listing = run(["dpkg-deb", "--contents", ARGS.deb]).stdout.splitlines()
        files = {line.split()[-1].lstrip(".") for line in listing if line.startswith("-")}
        # The report tool's package: its modules and the tables it reads.
        modules = {"/usr/share/kestrune-report/kestrune_report/" + os.path.basename(path)
                   for path in glob.glob(os.path.join(ARGS.report_source, "*.py")) + ["tables.json"]}
        self.assertEqual(files, {
            "/usr/bin/kestrune", "/usr/bin/kestrune-report",
            "/usr/share/kestrune/kestrune-nodes.sbatch",
            "/usr/share/man/man1/kestrune.1.gz", "/usr/share/man/man1/kestrune-report.1.gz",
            "/usr/share/doc/kestrune/copyright", "/usr/share/doc/kestrune/changelog.gz",
            "/usr/share/doc/kestrune/README.md.gz"} | modules)


class Unpacked(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="kestrune-deb-")
        # man drops root's privileges to read a page; the pages must be
        # readable to others, as they would be under /usr.
        os.chmod(cls.root, 0o755)
        subprocess.run(["dpkg", "-x", ARGS.deb, cls.root], check=True)
        cls.kestrune = shlex.split(ARGS.runner) + [os.path.join(cls.root, "usr/bin/kestrune")]
        cls.report = [os.path.join(cls.root, "usr/bin/kestrune-report")]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def page(self, name):
        return os.path.join(self.root, "usr/share/man/man1", name + ".1.gz")

    def test_kestrune_prints_its_version(self):
        done = run(self.kestrune + ["--version"])
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, f"Kestrune ver{ARGS.version}\n", ""))

    def test_kestrune_report_summarises_like_the_source_tree_copy(self):
        installed = run(self.report + [ARGS.saved_report], env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        source = run([ARGS.report_program, ARGS.saved_report], env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertEqual(installed.stdout, source.stdout)
        self.assertNotEqual(installed.stdout, "")

    def test_manual_pages_render_without_warnings_and_carry_every_option(self):
        for name, program in [("kestrune", self.kestrune), ("kestrune-report", self.report)]:
            with self.subTest(page=name):
                help_text = run(program + ["--help"])
                self.assertEqual(help_text.returncode, 0, help_text.stderr)
                rendered = run(["man", "--warnings", "-l", self.page(name)],
                               env=dict(os.environ, LC_ALL="C", MANWIDTH="80"))
                self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))
                self.assertRegex(rendered.stdout, rf"NAME\n\s+{re.escape(name)} - \S")
                for section in ["SYNOPSIS", "DESCRIPTION", "SEE ALSO"]:
                    self.assertRegex(rendered.stdout, rf"(?m)^{section}$")
                options = set(OPTION.findall(help_text.stdout))
                self.assertIn("--help", options)
                self.assertEqual(options - set(OPTION.findall(rendered.stdout)), set())

    def test_kestrune_page_tells_every_exit_code_the_help_names(self):
        rendered = run(["man", "-l", self.page("kestrune")], env=dict(os.environ, LC_ALL="C", MANWIDTH="80")).stdout
        listed = set(re.findall(r"(?m)^\s+(\d+)\s", rendered.split("\nEXIT STATUS\n", 1)[-1].split("\nSEE ALSO\n")[0]))
        self.assertEqual(listed, exit_codes(run(self.kestrune + ["--help"]).stdout))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--deb", required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--architecture", required=True, help="Debian architecture, e.g. amd64")
    parser.add_argument("--runner", default="", help="command that runs the package's kestrune, e.g. qemu-i386")
    parser.add_argument("--report-source", required=True, help="the kestrune_report package in the source tree")
    parser.add_argument("--report-program", required=True, help="kestrune-report in the source tree")
    parser.add_argument("--saved-report", required=True, help="a saved report for kestrune-report to read")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
