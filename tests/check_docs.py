#!/usr/bin/env python3
"""Keeps README.md and docs/*.md true to the program:
- every relative link resolves, to a file of the repository and, with #anchor,
  to a heading of that page;
- every `kestrune ...` command line they show is one the program's option
  parser accepts (handed to the parser by --parser, nothing is run);
- every long option `kestrune --help` lists appears in README.md's option list
  and on a page of docs/.
Prints each fault with the file and line it is on; exit 1 if there is one."""
import argparse
import re
import shlex
import subprocess
import sys
import unicodedata
from pathlib import Path

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s+<?(\S+?)>?(?:\s+\".*\")?\s*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.S)
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s{0,3}(```|~~~)")
PROGRAM_WORD = re.compile(r"^(?:.*/)?kestrune(?:\.exe)?$")
SHELL_OPERATORS = {"|", "||", "&", "&&", ";", ">", ">>", "<", "2>", "2>&1", "|&", "(", ")"}
HELP_OPTION = re.compile(r"^\s{1,8}(--[a-z0-9][a-z0-9-]*)")


def pages(repo):
    readme = repo / "README.md"
    return [readme] + sorted((repo / "docs").glob("*.md"))


def shown(path, repo):
    return str(path.relative_to(repo))


def slug(heading):
    """The anchor a Markdown renderer gives a heading: its text without markup,
    lower case, punctuation dropped but hyphens and underscores, spaces
    turned into hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = text.replace("`", "")
    text = re.sub(r"<[^>]+>", "", text)
    kept = []
    for character in text.lower():
        category = unicodedata.category(character)
        if character in "-_ " or category[0] in "LN" or category == "Mn":
            kept.append(character)
    return "".join(kept).replace(" ", "-")


def prose_and_code(lines):
    """Splits a page into (number, text, in_code) lines: fenced and indented
    code blocks are code, the rest prose."""
    in_fence = False
    previous_blank = True
    in_indented = False
    for number, line in enumerate(lines, 1):
        if FENCE.match(line):
            in_fence = not in_fence
            previous_blank = False
            continue
        if in_fence:
            yield number, line, True
            continue
        blank = not line.strip()
        if line.startswith("    ") and not blank and (previous_blank or in_indented) and not line.lstrip().startswith(("- ", "* ", "|")):
            in_indented = True
            yield number, line[4:], True
        else:
            if not blank:
                in_indented = False
            yield number, line, False
        previous_blank = blank


def anchors(path, cache={}):
    if path not in cache:
        found = set()
        counts = {}
        for _, line, in_code in prose_and_code(path.read_text(encoding="utf-8").splitlines()):
            match = None if in_code else HEADING.match(line)
            if match:
                base = slug(match.group(2))
                count = counts.get(base, 0)
                counts[base] = count + 1
                found.add(base if count == 0 else f"{base}-{count}")
            for explicit in re.finditer(r"<a\s+(?:id|name)=\"([^\"]+)\"", line):
                found.add(explicit.group(1))
        cache[path] = found
    return cache[path]


def prose_paragraphs(lines):
    """The prose of a page as (first line number, text) paragraphs, so that a
    link or a code span that wraps onto the next line is read whole."""
    paragraph, start = [], 0
    for number, line, in_code in prose_and_code(lines):
        if in_code or not line.strip() or HEADING.match(line):
            if paragraph:
                yield start, "\n".join(paragraph)
            paragraph = []
            if not in_code and HEADING.match(line):
                yield number, line
            continue
        if not paragraph:
            start = number
        paragraph.append(line)
    if paragraph:
        yield start, "\n".join(paragraph)


def line_of(start, text, offset):
    return start + text.count("\n", 0, offset)


def check_links(repo, page, faults):
    for start, text in prose_paragraphs(page.read_text(encoding="utf-8").splitlines()):
        # Code spans are blanked, not removed, so that offsets keep their lines.
        prose = CODE_SPAN.sub(lambda span: re.sub(r"[^\n]", " ", span.group(0)), text)
        targets = [(m.start(), m.group(1)) for m in LINK.finditer(prose)]
        for offset, line in enumerate(prose.split("\n")):
            definition = REFERENCE_DEFINITION.match(line)
            if definition:
                targets.append((prose.index(line), definition.group(1)))
        for offset, target in targets:
            if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # a URL, not a file of the repository
            path_part, _, anchor = target.partition("#")
            destination = (page.parent / path_part).resolve() if path_part else page
            where = f"{shown(page, repo)}:{line_of(start, prose, offset)}: link {target}"
            if repo.resolve() not in [destination, *destination.parents]:
                faults.append(f"{where}: points outside the repository")
            elif not destination.exists():
                faults.append(f"{where}: no such file")
            elif anchor and destination.suffix == ".md" and anchor not in anchors(destination):
                faults.append(f"{where}: no heading with that anchor in {shown(destination, repo)}")


def command_text(text):
    """The program's words of a shell command line, up to the first shell
    operator or comment; None when the line does not run the program."""
    text = text.strip()
    if text.startswith("$ "):
        text = text[2:]
    try:
        lexer = shlex.shlex(text, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        lexer.commenters = "#"
        words = list(lexer)
    except ValueError:
        return None
    if not words or not PROGRAM_WORD.match(words[0]):
        return None
    arguments = []
    for word in words[1:]:
        if word in SHELL_OPERATORS or re.fullmatch(r"[0-9]*[<>|&;()]+", word):
            break
        arguments.append(word)
    return shlex.join(["kestrune"] + arguments)


def command_lines(repo, page):
    """Every command line of the program a page shows, in code blocks (a
    trailing backslash continues one) and in code spans, with where it is."""
    found = []
    lines = page.read_text(encoding="utf-8").splitlines()
    pending = None
    for number, line, in_code in prose_and_code(lines):
        if not in_code:
            pending = None
            continue
        where = f"{shown(page, repo)}:{number}"
        pending = (pending[0], pending[1] + " " + line.strip()) if pending else (where, line.strip())
        if pending[1].endswith("\\"):
            pending = (pending[0], pending[1][:-1])
            continue
        command = command_text(pending[1])
        if command is not None:
            found.append((pending[0], command))
        pending = None
    for start, text in prose_paragraphs(lines):
        for span in CODE_SPAN.finditer(text):
            command = command_text(span.group(2).replace("\n", " "))
            if command is not None:
                found.append((f"{shown(page, repo)}:{line_of(start, text, span.start())}", command))
    return found


def check_command_lines(repo, parser, runner, faults):
    shown_lines = [entry for page in pages(repo) for entry in command_lines(repo, page)]
    if not shown_lines:
        faults.append("no `kestrune ...` command line found on any page")
        return
    commands = sorted({command for _, command in shown_lines})
    result = subprocess.run(runner + [str(parser)], input="".join(c + "\n" for c in commands),
                            capture_output=True, text=True, timeout=120)
    refused = {}
    lines = result.stdout.splitlines()
    for index, line in enumerate(lines):
        if line.startswith("refused: "):
            reason = lines[index + 1].strip() if index + 1 < len(lines) else ""
            refused[line[len("refused: "):]] = reason
    if result.returncode not in (0, 1) or (result.returncode == 1) != bool(refused):
        faults.append(f"the option parser's test program failed (exit {result.returncode}): "
                      f"{result.stdout}{result.stderr}")
        return
    for where, command in shown_lines:
        if command in refused:
            faults.append(f"{where}: the option parser refuses `{command}`: {refused[command]}")
    print(f"{len(commands)} distinct command lines shown, {len(refused)} refused")


def check_options(repo, binary, runner, faults):
    result = subprocess.run(runner + [str(binary), "--help"], capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        faults.append(f"kestrune --help failed (exit {result.returncode}): {result.stderr}")
        return
    options = []
    for line in result.stdout.splitlines():
        match = HELP_OPTION.match(line)
        if match and match.group(1) not in options:
            options.append(match.group(1))
    if not options:
        faults.append("kestrune --help lists no long option")
        return
    readme = (repo / "README.md").read_text(encoding="utf-8")
    docs = "\n".join(page.read_text(encoding="utf-8") for page in pages(repo)[1:])
    for option in options:
        spelled = re.compile(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])")
        if not spelled.search(readme):
            faults.append(f"{option} (kestrune --help) is not in README.md's option list")
        if not spelled.search(docs):
            faults.append(f"{option} (kestrune --help) is on no page of docs/")
    print(f"{len(options)} options of kestrune --help, each looked for in README.md and docs/")


def main():
    arguments = argparse.ArgumentParser(description=__doc__)
    arguments.add_argument("--repo", type=Path, required=True)
    arguments.add_argument("--binary", type=Path, required=True, help="the program, for its --help")
    arguments.add_argument("--parser", type=Path, required=True,
                           help="the test program that hands command lines to the option parser")
    arguments.add_argument("--runner", default="", help="emulator to run both programs under")
    options = arguments.parse_args()
    repo = options.repo.resolve()
    runner = shlex.split(options.runner)
    options.binary, options.parser = options.binary.resolve(), options.parser.resolve()
    faults = []
    for page in pages(repo):
        check_links(repo, page, faults)
    check_command_lines(repo, options.parser, runner, faults)
    check_options(repo, options.binary, runner, faults)
    for fault in faults:
        print(fault)
    print(f"{len(pages(repo))} pages: " + ("every link, command line and option holds" if not faults
                                           else f"{len(faults)} faults"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
