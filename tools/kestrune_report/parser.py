"""Reads a saved report back into a Report.

The reader is strict, so that a damaged file is named rather than half-drawn, with
one exception: a run that was interrupted stops anywhere, even mid-line, and that
is a report worth drawing. Whatever such a run left out goes into Report.gaps.

Options add lines to the classic report (a wider capability line, the AVX line,
Threads:, Repeat:, Pages:, a core clock under each title), bytes per cycle instead
of a rate, other columns, fewer or more rows, six copy and fill tables after the
six throughput tables, a load-latency table after those and a parallel-chains table last (read in
parallel_chains.py); a run without options prints none of that, so every such line is read when present and never required.
"""

import codecs
import re

from . import loaded

from .model import (ALL_BLOCK_SIZES, BLOCK_SIZES, COPY_TABLE_ORDER, LATENCY_COLUMNS, LATENCY_TITLE, TABLE_ORDER,
                    LatencyRow, LatencyTable, Report, ReportError, Row, Table, classic_extensions,
                    direction_columns, simd_extensions, table_columns, table_title)
from . import parallel_chains
from .parallel_chains import PARALLEL_CHAINS_TITLE
from .units import (NUMBER, UnitError, could_be_cut_latency, could_be_cut_throughput, format_size,
                    number_value, parse_latency, parse_per_cycle, parse_size_label, parse_throughput)

BANNER = "Kestrune ver"
TITLES = {table_title(direction, alignment) for direction, alignment in TABLE_ORDER + COPY_TABLE_ORDER}


class _Mismatch(Exception):
    pass


def decode_report(data):
    # Windows PowerShell's tee saves UTF-16 with a byte order mark.
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return data.decode("utf-16")
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ReportError(line, "expected text, found bytes that are not UTF-8; "
                                "this is not a Kestrune report") from None


def _show(text):
    return repr(text if len(text) <= 60 else text[:57] + "...")


def _starts_alike(text, literal):
    """Whether text could be literal (or a longer line beginning with it) cut short."""
    return literal.startswith(text) or text.startswith(literal)


class _Lines:
    def __init__(self, text):
        pieces = text.split("\n")
        last_ended = pieces[-1] == ""
        if last_ended:
            pieces.pop()
        self.items = []
        for index, piece in enumerate(pieces):
            ended = index < len(pieces) - 1 or last_ended
            self.items.append((index + 1, piece[:-1] if piece.endswith("\r") else piece, ended))
        # Blank lines at the end carry nothing; editors and shells add them.
        while self.items and not self.items[-1][1].strip():
            self.items.pop()
        self.position = 0
        self.cut_note = None

    @property
    def last_read(self):
        return self.items[self.position - 1][0] if self.position else 0

    def peek(self):
        if self.position < len(self.items) and self.cut_note is None:
            return self.items[self.position][1]
        return None

    def take(self, accept, could_be_cut):
        """accept(text) gives the line's meaning or raises _Mismatch; None means the input ended."""
        if self.peek() is None:
            return None
        number, text, ended = self.items[self.position]
        try:
            result = accept(text)
        except _Mismatch as mismatch:
            if not ended and could_be_cut(text):
                self.cut_note = f"line {number} stops mid-way and was left out: {_show(text)}"
                return None
            raise ReportError(number, str(mismatch)) from None
        self.position += 1
        return result


def _literal(expected, description):
    def accept(text):
        if text != expected:
            raise _Mismatch(f"expected {description}, got {_show(text)}")
        return (text,)
    return accept, lambda text: _starts_alike(text, expected)


def _prefixed(prefix, description, pattern=".+", convert=str, suffix=""):
    compiled = re.compile(re.escape(prefix) + "(" + pattern + ")" + re.escape(suffix))

    def accept(text):
        match = compiled.fullmatch(text)
        if match is None:
            raise _Mismatch(f"expected {description}, got {_show(text)}")
        return text, convert(match.group(1))
    return accept, lambda text: _starts_alike(text, prefix)


def _clock(prefix, description):
    return _prefixed(prefix, description, NUMBER, number_value, "MHz")


def _count(prefix, what):
    """A 'Threads:N' or 'Repeat:N' line, which the program prints only for N of 2 or more."""
    description = f"'{prefix}N', N {what} of 2 or more (the line is left out for 1)"
    accept_number, could_be_cut = _prefixed(prefix, description, "[0-9]+", int)

    def accept(text):
        taken = accept_number(text)
        if taken[1] < 2:
            raise _Mismatch(f"expected {description}, got {_show(text)}")
        return taken
    return accept, could_be_cut


PAGES_PREFIX = "Pages:"
_PAGES = re.compile(r"4KB|2MB \(([1-9][0-9]?|100)%\)")


def _pages(text):
    """'Pages:4KB', or 'Pages:2MB (N%)' with N the whole percent obtained, 1 to 100."""
    match = _PAGES.fullmatch(text[len(PAGES_PREFIX):]) if text.startswith(PAGES_PREFIX) else None
    if match is None:
        raise _Mismatch(f"expected '{PAGES_PREFIX}4KB' or '{PAGES_PREFIX}2MB (N%)', got {_show(text)}")
    return text, int(match.group(1)) / 100 if match.group(1) else 0.0


def _accept_simd(text):
    prefix = "Supported SIMD Inst:"
    if not text.startswith(prefix):
        raise _Mismatch(f"expected the capability line '{prefix}...', got {_show(text)}")
    names = tuple(text[len(prefix):].split())
    known, classic = simd_extensions(), classic_extensions()
    positions = [known.index(name) if name in known else -1 for name in names]
    if -1 in positions or positions != sorted(set(positions)):
        later = [name for name in known if name not in classic]
        raise _Mismatch(f"expected '{prefix}' followed by some of {' '.join(classic)} "
                        f"in that order, then some of {' '.join(later)} in that order, "
                        f"got {_show(text)}")
    return text, names


def _keep(*attributes):
    """Stores what a line's rule returned on the report, under these names in order."""
    def store(report, taken):
        for attribute, value in zip(attributes, taken):
            setattr(report, attribute, value)
    return store


_BANNER_RULES = (
    _prefixed(BANNER, f"the banner '{BANNER}...' on the first line; "
                      f"this is not a Kestrune report")[0],
    # A first line that is not the whole banner leaves nothing to tell this is a report.
    lambda text: False)

SPEED_CHECK = "Speed check start."

# (rules, printed only sometimes, what to keep)
_PREAMBLE = (
    (_BANNER_RULES, False, _keep("version_line")),
    (_prefixed("OS:", "the line 'OS:NT based' or 'OS:9X based'"), False, _keep("os_line")),
    ((_accept_simd, lambda text: _starts_alike(text, "Supported SIMD Inst:")), False,
     _keep("simd_line", "simd")),
    # Printed only when the capability line reports SSE.
    (_prefixed("SSE supported by OS:", "'SSE supported by OS:yes' or ':no'", "yes|no"), True,
     _keep("sse_os_line")),
    # Printed only when a run looks for the wider extensions and the processor has one.
    (_prefixed("AVX supported by OS:", "'AVX supported by OS:yes', ':no' or ':yes (AVX512F no)'",
               r"yes|no|yes \(AVX512F no\)"), True, _keep("avx_os_line")),
    (_prefixed("measuring CPU clock.", "the line 'measuring CPU clock. please wait ...'", ".*"),
     False, _keep("wait_line")),
    (_clock("CPU clock:", "the line 'CPU clock:<number>MHz'"), False, _keep("clock_line", "clock_mhz")),
    (_count("Threads:", "threads"), True, _keep("threads_line", "threads")),
    (_count("Repeat:", "runs per cell"), True, _keep("repeat_line", "repeat")),
    # Printed only with --huge-pages.
    ((_pages, lambda text: _starts_alike(text, PAGES_PREFIX)), True, _keep("pages_line", "huge_page_share")),
    (_literal(SPEED_CHECK, f"the line '{SPEED_CHECK}'"), False, _keep()),
)


def _read_preamble(lines, report, rules=_PREAMBLE):
    """Reads the lines before the tables; False when the input ends among them."""
    for (accept, could_be_cut), optional, keep in rules:
        upcoming = lines.peek()
        # A blank line is no optional line: the next rule that must be there names it.
        if optional and not (upcoming and could_be_cut(upcoming)):
            continue
        taken = lines.take(accept, could_be_cut)
        if taken is None:
            return False
        keep(report, taken)
    return True


def read_machine_lines(texts, report):
    """Reads the machine lines a JSON report lists (the text's lines before 'Speed check start.');
    ReportError's line is then 1 + the index in texts."""
    lines = _Lines("".join(text + "\n" for text in texts))
    rules = _PREAMBLE[:-1]
    if not _read_preamble(lines, report, rules):
        raise ReportError(lines.last_read + 1, f"the lines end after {lines.last_read}; expected "
                                               f"them to reach 'CPU clock:<number>MHz'")
    extra = lines.peek()
    if extra is not None:
        raise ReportError(lines.position + 1, f"expected 'Threads:N', 'Repeat:N', 'Pages:...' or "
                                              f"no more lines, got {_show(extra)}")


def column_problem(table, columns, where):
    """What is wrong with a table's columns, or None: they must be some of the columns that
    table may show, in table order."""
    allowed = table_columns(table.direction, table.alignment)
    rule = f"some of {', '.join(allowed)} in that order"
    for column in columns:
        if column not in allowed:
            if column in direction_columns(table.direction):
                return (f"{column} {where} needs 16-byte alignment, which '{table.title}' lacks; "
                        f"expected {rule}")
            return f"unknown {table.direction} instruction {column!r} {where}; expected {rule}"
    positions = [allowed.index(column) for column in columns]
    if not columns or positions != sorted(set(positions)):
        return f"expected {rule}, got {', '.join(columns) or 'none'}"
    return None


def _header_rules(table):
    def accept(text):
        fields = text.split("\t")
        if fields[0] != "SIZE:":
            raise _Mismatch(f"expected the header 'SIZE:' then, tab-separated, the instructions "
                            f"of '{table.title}'; got {_show(text)}")
        problem = column_problem(table, tuple(fields[1:]), "in the header")
        if problem:
            raise _Mismatch(problem)
        return tuple(fields[1:])
    return accept, lambda text: _starts_alike(text, "SIZE:")


def _row_rules(table, block, header_line, per_cycle):
    label = format_size(block) + ":"
    where = f"of table '{table.title}'"

    def cell(text):
        return parse_per_cycle(text, table.core_mhz) if per_cycle else parse_throughput(text)

    def accept(text):
        fields = text.split("\t")
        size = parse_size_label(fields[0])
        if size is None:
            raise _Mismatch(f"expected the row '{label}' {where}, got {_show(text)}")
        if size != block:
            raise _Mismatch(f"expected the row '{label}' {where}, got the row {fields[0]!r}")
        if len(fields) != len(table.columns) + 1:
            raise _Mismatch(f"row '{label}' has {len(fields) - 1} values, expected "
                            f"{len(table.columns)}: one per instruction in the header "
                            f"on line {header_line}")
        return _row_cells(fields, table.columns, cell, f"row '{label}'")

    def could_be_cut(text):
        return _row_could_be_cut(text, label, block, table.columns, cell,
                                 lambda last: could_be_cut_throughput(last, per_cycle))

    return accept, could_be_cut


def _row_cells(fields, columns, cell, row):
    """A row's cells read one per column, a fault named with the row and its column."""
    cells = []
    for column, field in zip(columns, fields[1:]):
        try:
            cells.append(cell(field))
        except UnitError as error:
            raise _Mismatch(f"{row}, {column}: {error}") from None
    return tuple(cells)


def _row_could_be_cut(text, label, block, columns, cell, last_could_be_cut):
    """Whether text may be the start of the row a run stopped printing: its label, whole cells,
    then the start of one more."""
    fields = text.split("\t")
    if len(fields) == 1:
        return label.startswith(fields[0])
    if parse_size_label(fields[0]) != block or len(fields) > len(columns) + 1:
        return False
    try:
        for field in fields[1:-1]:
            cell(field)
    except UnitError:
        return False
    return last_could_be_cut(fields[-1])


def run_blocks(complete_counts, last_count):
    """The rows every table of a run has, from the row counts of its complete tables: the count
    most of them share (on a tie the larger, as a row lost is likelier than one made up). Without
    a complete table, the rows of a run without options unless the one table goes past them."""
    if complete_counts:
        count = max(set(complete_counts), key=lambda c: (complete_counts.count(c), c))
    else:
        count = max(last_count, len(BLOCK_SIZES))
    return ALL_BLOCK_SIZES[:min(max(count, 1), len(ALL_BLOCK_SIZES))]


def _text_blocks(items):
    """run_blocks for a text report: a table is complete when another title follows it."""
    counts, current = [], None
    for _, text, _ in items:
        if text in (LATENCY_TITLE, PARALLEL_CHAINS_TITLE):
            break
        if text in TITLES:
            if current is not None:
                counts.append(current)
            current = 0
        elif current is not None and parse_size_label(text.split("\t")[0]) is not None:
            current += 1
    return run_blocks(counts, current or 0)


def missing_tables_note(keys):
    titles = [table_title(direction, alignment) for direction, alignment in keys]
    if tuple(keys) == TABLE_ORDER:
        return "none of the 6 tables is there"
    return f"missing table{'s' if len(titles) > 1 else ''}: {', '.join(titles)}"


def missing_rows_note(table, blocks):
    reached = len(table.rows)
    return (f"table '{table.title}' has {reached} of {len(blocks)} rows; "
            f"missing {format_size(blocks[reached])}: to {format_size(blocks[-1])}:")


def _read_core_clock(lines, report, table, first):
    """The core clock under a per-cycle table's title; the first table tells whether the run is
    per-cycle. False when the input ends before it."""
    accept, could_be_cut = _clock("core clock:", "the line 'core clock:<number>MHz' under the "
                                                 "title of a per-cycle report")
    if first:
        upcoming = lines.peek()
        report.per_cycle = bool(upcoming) and could_be_cut(upcoming)
    if not report.per_cycle:
        return True
    taken = lines.take(accept, could_be_cut)
    if taken is None:
        return False
    table.core_clock_line, table.core_mhz = taken
    return True


def _read_tables(lines, report):
    blocks = report.block_sizes = _text_blocks(lines.items)
    if not _read_table_set(lines, report, TABLE_ORDER, blocks):
        return
    copy_title = table_title(*COPY_TABLE_ORDER[0])
    if lines.peek() == copy_title and not _read_table_set(lines, report, COPY_TABLE_ORDER, blocks):
        return
    if lines.peek() == LATENCY_TITLE:
        _read_latency(lines, report, blocks)
        return
    if lines.peek() == PARALLEL_CHAINS_TITLE:
        parallel_chains.read_text(lines, report, blocks)
        return
    extra = lines.peek()
    if extra is not None:
        number = lines.items[lines.position][0]
        raise ReportError(number, f"expected the end of the report after the last row of "
                                  f"'{report.tables[-1].title}' (or the '{copy_title}' or "
                                  f"'{LATENCY_TITLE}' or '{PARALLEL_CHAINS_TITLE}' table), got {_show(extra)}")


def _read_table_set(lines, report, keys, blocks):
    """The tables of `keys` in order; False, with the gaps noted, when the input ends among them."""
    for index, (direction, alignment) in enumerate(keys):
        later = keys[index + 1:]
        table = Table(direction, alignment)
        title = lines.take(*_literal(table.title, f"the table title '{table.title}'"))
        if title is None:
            report.gaps.append(missing_tables_note(keys[index:]))
            return False
        report.tables.append(table)
        columns = None
        if _read_core_clock(lines, report, table, len(report.tables) == 1):
            columns = lines.take(*_header_rules(table))
        if columns is None:
            report.gaps.append(f"table '{table.title}' stops after its title: no header, no rows")
            if later:
                report.gaps.append(missing_tables_note(later))
            return False
        table.columns = columns
        header_line = lines.last_read
        for block in blocks:
            cells = lines.take(*_row_rules(table, block, header_line, report.per_cycle))
            if cells is None:
                report.gaps.append(missing_rows_note(table, blocks))
                if later:
                    report.gaps.append(missing_tables_note(later))
                return False
            table.rows.append(Row(block, cells, lines.last_read))
    return True


LATENCY_HEADER = "\t".join(("SIZE:",) + LATENCY_COLUMNS)


def _latency_row_rules(table, block, per_cycle):
    label = format_size(block) + ":"
    where = f"of table '{LATENCY_TITLE}'"

    def cell(text):
        return parse_latency(text, table.core_mhz if per_cycle else None)

    def accept(text):
        fields = text.split("\t")
        if parse_size_label(fields[0]) != block:
            raise _Mismatch(f"expected the row '{label}' {where}, got {_show(text)}")
        if len(fields) != len(LATENCY_COLUMNS) + 1:
            raise _Mismatch(f"row '{label}' {where} has {len(fields) - 1} values, expected "
                            f"{len(LATENCY_COLUMNS)}: {', '.join(LATENCY_COLUMNS)}")
        return _row_cells(fields, LATENCY_COLUMNS, cell, f"row '{label}' {where}")

    def could_be_cut(text):
        return _row_could_be_cut(text, label, block, LATENCY_COLUMNS, cell,
                                 lambda last: could_be_cut_latency(last) or (per_cycle and last.replace("c", "") == ""))

    return accept, could_be_cut


def _read_latency(lines, report, blocks):
    """The load-latency table after the six throughput tables: title, the core clock in a
    per-cycle run, header, then a row per block size of the run."""
    table = LatencyTable()
    lines.take(*_literal(LATENCY_TITLE, f"the table title '{LATENCY_TITLE}'"))
    report.latency = table
    if report.per_cycle:
        taken = lines.take(*_clock("core clock:", "the line 'core clock:<number>MHz' under the "
                                                  "latency table's title in a per-cycle report"))
        if taken is None:
            report.gaps.append(f"table '{LATENCY_TITLE}' stops after its title: no header, no rows")
            return
        table.core_clock_line, table.core_mhz = taken
    if lines.take(*_literal(LATENCY_HEADER, "the header 'SIZE:' then, tab-separated, "
                                            + ", ".join(LATENCY_COLUMNS))) is None:
        report.gaps.append(f"table '{LATENCY_TITLE}' stops after its title: no header, no rows")
        return
    for block in blocks:
        cells = lines.take(*_latency_row_rules(table, block, report.per_cycle))
        if cells is None:
            report.gaps.append(missing_rows_note(table, blocks))
            return
        table.rows.append(LatencyRow(block, cells, lines.last_read))
    if lines.peek() == PARALLEL_CHAINS_TITLE:
        parallel_chains.read_text(lines, report, blocks)
        return
    extra = lines.peek()
    if extra is not None:
        number = lines.items[lines.position][0]
        raise ReportError(number, f"expected the end of the report after the last row of "
                                  f"'{LATENCY_TITLE}' (or the '{PARALLEL_CHAINS_TITLE}' table), got "
                                  f"{_show(extra)}")


def parse_text_report(text, source="report"):
    """A Report from the text the program printed."""
    text, loaded_lines, loaded_first_line = loaded.split_text(text)
    lines = _Lines(text)
    report = Report(source)
    if not lines.items:
        raise ReportError(1, f"the input is empty; expected a Kestrune report "
                             f"starting with '{BANNER}'")
    if _read_preamble(lines, report):
        _read_tables(lines, report)
    else:
        report.gaps.append(f"the report stops after line {lines.last_read}, before the speed "
                           f"check: none of the 6 tables is there")
    if loaded_lines is not None:
        if report.gaps:
            raise ReportError(loaded_first_line, f"the '{loaded.TITLE}' table after an incomplete report")
        report.loaded = loaded.parse_text(loaded_lines, loaded_first_line, report.per_cycle, report.gaps)
    if lines.cut_note:
        report.gaps.insert(0, lines.cut_note)
    return report
