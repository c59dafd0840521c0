#!/usr/bin/python3
"""Usage: argparse_help.py PROGRAM --help

Prints PROGRAM's --help, written by Python's argparse, in the shape help2man
reads, so that its manual page is made from the program's own words:
- the usage, which argparse wraps over several lines, as one "Usage:" line;
- "options:" as help2man's "Options:" heading;
- indented lines of the description (command lines) as examples ("$ ...");
- in the text after the options (the epilog), each indented paragraph on one
  line, so that a paragraph starting with an option's name is not taken for
  an option's entry, and double quotes in a heading doubled, as roff wants
  them inside the heading's quoted argument.
Every other line passes unchanged; help2man fills the paragraphs itself."""
import re
import subprocess
import sys

HEADING = re.compile(r"^\S.*:\s*$")
# The titles of argparse's own groups (before Python 3.10, "optional arguments").
OPTIONS_TITLES = ("options:", "optional arguments:")
GROUP_TITLES = ("positional arguments:",) + OPTIONS_TITLES


def paragraphs(lines):
    """Runs of non-empty lines."""
    run = []
    for line in lines + [""]:
        if line.strip():
            run.append(line)
        elif run:
            yield run
            run = []


def usage_line(block):
    return "Usage: " + " ".join(line.strip() for line in block)[len("usage: "):]


def description(block):
    out = []
    for line in block:
        if line.startswith(" "):
            # A blank line before the first one: help2man marks examples only
            # at the start of a paragraph.
            out += [""] if out and not out[-1].startswith("  $ ") else []
            out.append("  $ " + line.strip())
        else:
            out += [""] if out and out[-1].startswith("  $ ") else []
            out.append(line)
    return out


def epilog(block):
    out = []
    for line in block:
        if HEADING.match(line):
            out.append(line.replace('"', '""'))
        elif line.startswith(" ") and out and out[-1].startswith(" "):
            out[-1] += " " + line.strip()
        else:
            out.append(line)
    return out


def reshape(text):
    out = []
    section = "usage"
    for block in paragraphs(text.rstrip("\n").split("\n")):
        if section == "usage":
            out.append([usage_line(block)])
            section = "description"
        elif section in ("description", "groups") and (block[0] in GROUP_TITLES or section == "groups"):
            # argparse's own groups come first, the options last of them.
            heading = "Options:" if block[0] in OPTIONS_TITLES else block[0]
            out.append([heading] + block[1:])
            section = "epilog" if heading == "Options:" else "groups"
        elif section == "description":
            out.append(description(block))
        else:
            out.append(epilog(block))
    return "\n\n".join("\n".join(block) for block in out) + "\n"


def main():
    if len(sys.argv) != 3 or sys.argv[2] != "--help":
        sys.exit(__doc__.split("\n")[0])
    done = subprocess.run([sys.argv[1], "--help"], stdout=subprocess.PIPE, text=True, check=True)
    sys.stdout.write(reshape(done.stdout))


if __name__ == "__main__":
    main()
