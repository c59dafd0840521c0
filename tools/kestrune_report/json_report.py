"""Reads the program's own JSON (kestrune --json FILE) into the Report its text makes.

The JSON carries what the text prints, and the exact numbers behind it: each cell's
rate (and bytes per cycle) to the last bit, where the text shows six digits. Its
machine lines go through the text's own rules. As with the text, a fault is one
error naming the line where the faulty value starts.
"""

import dataclasses
import json
import json.scanner

from . import core_to_core
from . import loaded
from .machine import CACHE_TYPES, Cache, Machine
from .model import (ALL_BLOCK_SIZES, COPY_TABLE_ORDER, LATENCY_COLUMNS, LATENCY_TITLE, TABLE_ORDER,
                    LatencyRow, LatencyTable, Report, ReportError, Row, Table, table_title)
from .parser import (column_problem, missing_rows_note, missing_tables_note, read_machine_lines,
                     run_blocks)
from . import parallel_chains
from .units import UnitError, format_size, parse_latency, parse_per_cycle, parse_throughput

LATENCY = "latency"
# The tables in the order their cells come: the six, then those of --copy.
ALL_TABLES = TABLE_ORDER + COPY_TABLE_ORDER
DIRECTIONS = tuple(dict.fromkeys(direction for direction, _ in ALL_TABLES))

NOT_A_REPORT = "this is not a Kestrune report"


class _LocatingDecoder(json.JSONDecoder):
    """The standard library's decoder, which also keeps where the value of every member of
    every object and array starts, so that a fault found later names its line: one walk."""

    def __init__(self):
        super().__init__()
        self.starts = {}  # id(object or list) -> {key or index: where its value starts}
        parse_object, parse_array = self.parse_object, self.parse_array

        def located_object(state, strict, scan_once, object_hook, object_pairs_hook, memo):
            starts = []

            def keep(pairs):
                members = dict(pairs)
                self.starts[id(members)] = {key: start for (key, _), start in zip(pairs, starts)}
                return members
            return parse_object(state, strict, self._recording(scan_once, starts), object_hook, keep, memo)

        def located_array(state, scan_once):
            starts = []
            values, end = parse_array(state, self._recording(scan_once, starts))
            self.starts[id(values)] = dict(enumerate(starts))
            return values, end

        self.parse_object, self.parse_array = located_object, located_array
        # The Python scanner, which calls the two parsers above; the C one has its own.
        self.scan_once = json.scanner.py_make_scanner(self)

    @staticmethod
    def _recording(scan_once, starts):
        def scan(text, index):
            starts.append(index)
            return scan_once(text, index)
        return scan


class _Source:
    def __init__(self, text, starts):
        self.text = text
        self.starts = starts

    def fail(self, index, message):
        raise ReportError(self.text.count("\n", 0, index) + 1, message)

    def members(self, container):
        """Where the value of each member of an object or array of the document starts."""
        return self.starts[id(container)]


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_count(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _read_machine(source, machine, start, report):
    members = source.members(machine)

    def fail(name, message, index=None):
        source.fail(members.get(name, start) if index is None else index, f"report.{name}: {message}")

    lines = machine.get("lines")
    if not isinstance(lines, list) or not lines or not all(isinstance(line, str) for line in lines):
        fail("lines", "expected the list of machine lines the run printed, from "
                      "'Kestrune ver...' to 'CPU clock:...' and any 'Threads:' and 'Repeat:'")
    try:
        read_machine_lines(lines, report)
    except ReportError as error:
        where = source.members(lines).get(error.line - 1, members["lines"])
        fail("lines", f"item {error.line - 1}: {error.message}", where)

    per_cycle = machine.get("per_cycle", False)
    if not isinstance(per_cycle, bool):
        fail("per_cycle", f"expected true or false, got {json.dumps(per_cycle)}")
    report.per_cycle = per_cycle
    clock = machine.get("cpu_clock_mhz")
    if clock is not None and not _is_number(clock):
        fail("cpu_clock_mhz", f"expected a number or null, got {json.dumps(clock)}")
    if clock is not None:
        report.clock_mhz = clock  # the exact figure; the line shows six digits

    # What the lines already say, the fields must repeat.
    said = {
        "version": report.version_line,
        "os": report.os_line[len("OS:"):],
        "simd": list(report.simd),
        "sse_supported_by_os": None if report.sse_os_line is None else report.sse_os_line.endswith(":yes"),
        "avx_supported_by_os": None if report.avx_os_line is None else report.avx_os_line.split(":", 1)[1],
        "threads": report.threads,
        "repeat": report.repeat,
    }
    for name, value in said.items():
        given = machine.get(name, value)
        if given != value or isinstance(given, bool) != isinstance(value, bool):
            fail(name, f"is {json.dumps(given)}, but report.lines say {json.dumps(value)}")


def _getter(cell, fail):
    """Reads one field of a cell, failing with what the field should have been."""
    def get(name, accept, description):
        value = cell.get(name)
        if name not in cell or not accept(value):
            fail(f"expected '{name}' to be {description}, got "
                 f"{json.dumps(value) if name in cell else 'none'}")
        return value
    return get


def _printed(get, fail, report, parse, parse_per_cycle, exact_name, per_cycle_name, measured):
    """The cell as printed ('value' and 'unit'), with the exact figures the JSON carries beside it:
    `exact_name` always, and in a per-cycle report `per_cycle_name` and the core clock the `measured`
    was measured at."""
    value = get("value", lambda value: isinstance(value, str), "the number as printed")
    unit = get("unit", lambda value: isinstance(value, str), "the unit as printed")
    exact = get(exact_name, lambda value: value is None or _is_number(value), "a number or null")
    try:
        if report.per_cycle:
            core_mhz = get("core_mhz", _is_number, f"a number: the core clock the {measured} was measured at")
            per_cycle = get(per_cycle_name, lambda value: value is None or _is_number(value), "a number or null")
            printed = parse_per_cycle(value + unit, core_mhz)
            if per_cycle is not None:
                printed = dataclasses.replace(printed, **{per_cycle_name: per_cycle})
        else:
            printed = parse(value + unit)
    except UnitError as error:
        fail(f"'value' and 'unit': {error}")
    return dataclasses.replace(printed, **{exact_name: exact}) if exact is not None else printed


def _read_cell(cell, report, fail):
    """(table key, block bytes, column, Throughput) of one cell."""
    if not isinstance(cell, dict):
        fail(f"expected a cell object, got {json.dumps(cell)}")
    get = _getter(cell, fail)
    direction = get("direction", lambda value: value in DIRECTIONS,
                    ", ".join(f"'{name}'" for name in DIRECTIONS[:-1]) + f" or '{DIRECTIONS[-1]}'")
    alignment = get("alignment_bytes", lambda value: _is_count(value) and value in (16, 8, 4), "16, 8 or 4")
    block = get("block_bytes", lambda value: _is_count(value) and value in ALL_BLOCK_SIZES,
                "a power of two from 128 to 4294967296")
    get("block", lambda value: value == format_size(block), json.dumps(format_size(block)))
    column = get("instruction", lambda value: isinstance(value, str), "a column label")
    if "threads" in cell:
        get("threads", lambda value: value == report.threads and _is_count(value),
            f"{report.threads}, as the report says")
    printed = _printed(get, fail, report, parse_throughput, parse_per_cycle, "bytes_per_second", "bytes_per_cycle",
                       "cell")
    return (direction, alignment), block, column, printed


def _collect(source, cells, starts, report):
    """[(Table, [(block, [(column, Throughput, where)])])] in the order the cells come."""
    tables = []
    for number, (where, cell) in enumerate(zip(starts, cells)):
        def fail(message, where=where, number=number):
            source.fail(where, f"cells[{number}]: {message}")

        key, block, column, printed = _read_cell(cell, report, fail)
        if not tables or tables[-1][0].key != key:
            following = ALL_TABLES.index(tables[-1][0].key) + 1 if tables else 0
            if following >= len(ALL_TABLES) or ALL_TABLES[following] != key:
                expected = "no table after it" if following >= len(ALL_TABLES) else \
                    f"'{table_title(*ALL_TABLES[following])}'"
                after = f" after those of '{tables[-1][0].title}'" if tables else ""
                fail(f"a cell of '{table_title(*key)}'{after}; cells come in report order, "
                     f"expected {expected}" + (" or more of the table before" if tables else ""))
            tables.append((Table(*key), []))
        table, rows = tables[-1]
        if not rows or rows[-1][0] != block:
            following = rows[-1][0] * 2 if rows else ALL_BLOCK_SIZES[0]
            if block != following:
                fail(f"a cell of the row '{format_size(block)}:' of '{table.title}'; expected the "
                     f"row '{format_size(following)}:'" + (" or more of the row before" if rows else ""))
            rows.append((block, []))
        rows[-1][1].append((column, printed, where))
    return tables


def _build_table(source, table, rows, block_count):
    columns = tuple(column for column, _, _ in rows[0][1])
    problem = column_problem(table, columns, "in the cells")
    if problem:
        source.fail(rows[0][1][0][2], f"the first row of '{table.title}': {problem}")
    table.columns = columns
    for block, cells in rows[:block_count]:
        found = tuple(column for column, _, _ in cells)
        if found != columns:
            where = next((cell[2] for cell, expected in zip(cells, columns) if cell[0] != expected),
                         cells[-1][2])
            source.fail(where, f"the row '{format_size(block)}:' of '{table.title}' has the columns "
                               f"{', '.join(found)}; expected those of its first row: {', '.join(columns)}")
        table.rows.append(Row(block, tuple(printed for _, printed, _ in cells),
                              source.text.count("\n", 0, cells[0][2]) + 1))
    clocks = {cell.core_mhz for row in table.rows for cell in row.cells}
    # Each cell keeps the clock of its row; a table has one only when all its rows agree.
    table.core_mhz = clocks.pop() if len(clocks) == 1 else None


def _unfinished_row(tables):
    """The last row when an interrupted run stopped in the middle of it: fewer cells than the
    first row of its table, the columns they have in the same order. None otherwise."""
    rows = tables[-1][1] if tables else []
    if len(rows) < 2:
        return None  # a first row alone shows no more columns than it has
    columns = [column for column, _, _ in rows[0][1]]
    found = [column for column, _, _ in rows[-1][1]]
    return rows[-1] if len(found) < len(columns) and columns[:len(found)] == found else None


def _is_latency(cell):
    return isinstance(cell, dict) and cell.get("direction") == LATENCY


def _read_latency_cell(cell, report, fail):
    """(block bytes, column, Latency) of one latency cell."""
    get = _getter(cell, fail)
    block = get("block_bytes", lambda value: _is_count(value) and value in ALL_BLOCK_SIZES,
                "a power of two from 128 to 4294967296")
    get("block", lambda value: value == format_size(block), json.dumps(format_size(block)))
    column = get("column", lambda value: value in LATENCY_COLUMNS, " or ".join(LATENCY_COLUMNS))
    printed = _printed(get, fail, report, parse_latency, parse_latency, "ns_per_load", "cycles_per_load", "row")
    return block, column, printed


def _read_latency_cells(source, cells, starts, first, report):
    """The latency table from the cells after the throughput ones, row by row."""
    table = report.latency = LatencyTable()
    blocks = report.block_sizes
    row = []
    for number in range(first, len(cells)):
        where = starts[number]

        def fail(message, where=where, number=number):
            source.fail(where, f"cells[{number}]: {message}")

        if not _is_latency(cells[number]):
            fail(f"a throughput cell after the '{LATENCY_TITLE}' cells; those come last")
        block, column, printed = _read_latency_cell(cells[number], report, fail)
        expected_block = blocks[len(table.rows)] if len(table.rows) < len(blocks) else None
        expected_column = LATENCY_COLUMNS[len(row)]
        if block != expected_block or column != expected_column:
            expected = ("no more cells" if expected_block is None else
                        f"{expected_column} of the row '{format_size(expected_block)}:'")
            fail(f"the {column} cell of the row '{format_size(block)}:' of '{LATENCY_TITLE}'; cells come "
                 f"in report order, expected {expected}")
        row.append(printed)
        if len(row) == len(LATENCY_COLUMNS):
            table.rows.append(LatencyRow(block, tuple(row), source.text.count("\n", 0, where) + 1))
            row = []
    if len(table.rows) < len(blocks):
        report.gaps.append(missing_rows_note(table, blocks))
    clocks = {cell.core_mhz for latency_row in table.rows for cell in latency_row.cells}
    table.core_mhz = clocks.pop() if len(clocks) == 1 else None


def _read_cells(source, cells, report, complete=True):
    starts = [source.members(cells)[number] for number in range(len(cells))]
    # The core-to-core cells, when the run measured them, come last of all.
    first_matrix = next((number for number, cell in enumerate(cells) if core_to_core.is_core_to_core(cell)),
                        len(cells))
    if first_matrix < len(cells):
        report.core_to_core = core_to_core.from_records(cells[first_matrix:], report.per_cycle, complete)
        cells = cells[:first_matrix]
    # The loaded-latency cells, when the run measured them, come after every other cell.
    first_loaded = next((number for number, cell in enumerate(cells) if loaded.is_cell(cell)), len(cells))
    if first_loaded < len(cells):
        report.loaded = loaded.from_cells(cells[first_loaded:], report.per_cycle, starts[first_loaded])
        cells = cells[:first_loaded]
    # The parallel chains' cells, when the run measured them, come after every other cell.
    first_chains = next((number for number, cell in enumerate(cells) if parallel_chains.is_chains_cell(cell)),
                        len(cells))
    all_cells, cells = cells, cells[:first_chains]
    # The latency cells, when the run measured latency, follow every throughput cell.
    first_latency = next((number for number, cell in enumerate(cells) if _is_latency(cell)), len(cells))
    latency_cells = cells[first_latency:]
    cells = cells[:first_latency]
    tables = _collect(source, cells, starts, report)
    unfinished = None if complete else _unfinished_row(tables)
    if unfinished is not None:
        tables[-1][1].pop()
        report.gaps.append(f"the row '{format_size(unfinished[0])}:' of '{tables[-1][0].title}' was "
                           f"stopped after {len(unfinished[1])} cells and was left out")
    counts = [len(rows) for _, rows in tables]
    blocks = report.block_sizes = run_blocks(counts[:-1], counts[-1] if counts else 0)
    for index, (table, rows) in enumerate(tables):
        last = index == len(tables) - 1
        if len(rows) > len(blocks) or (len(rows) < len(blocks) and not last):
            source.fail(rows[0][1][0][2],
                        f"'{table.title}' ends at the row '{format_size(rows[-1][0])}:', the run's "
                        f"tables at '{format_size(blocks[-1])}:'")
        _build_table(source, table, rows, len(blocks))
        report.tables.append(table)
    # An interrupted run writes the cells it measured, saying "complete": false;
    # otherwise only a file cut short by hand lacks cells.
    if tables and len(tables[-1][1]) < len(blocks):
        report.gaps.append(missing_rows_note(report.tables[-1], blocks))
    if len(tables) < len(TABLE_ORDER):
        report.gaps.append(missing_tables_note(TABLE_ORDER[len(tables):]))
    elif len(TABLE_ORDER) < len(tables) < len(ALL_TABLES):
        report.gaps.append(missing_tables_note(ALL_TABLES[len(tables):]))
    if latency_cells:
        if report.gaps:
            source.fail(starts[first_latency], f"cells[{first_latency}]: a '{LATENCY_TITLE}' cell after "
                                               f"incomplete throughput tables")
        _read_latency_cells(source, cells + latency_cells, starts, first_latency, report)
    if first_chains < len(all_cells):
        if report.gaps:
            source.fail(starts[first_chains], f"cells[{first_chains}]: a '{parallel_chains.PARALLEL_CHAINS_TITLE}' "
                                              f"cell after incomplete tables")
        parallel_chains.read_json_cells(source, all_cells, starts, first_chains, report)


def _read_described(source, document, top):
    """The Machine of the top-level "machine" and "run" objects; None when the report has
    neither (written before the program recorded them)."""
    if "machine" not in document and "run" not in document:
        return None

    def member(container, name, accept, description, path, default=None):
        """container[name] when it is acceptable (absent counts as null), else a fault at its value."""
        value = container.get(name)
        if value is not None and not accept(value):
            where = source.members(container).get(name, top)
            source.fail(where, f"{path}.{name}: expected {description}, got {json.dumps(value)}")
        return default if value is None else value

    def an_object(container, name, path):
        return member(container, name, lambda value: isinstance(value, dict), "an object or null", path, {})

    def text(value):
        return isinstance(value, str)

    def count(value):
        return _is_count(value) and value >= 0

    machine = an_object(document, "machine", "")
    run = an_object(document, "run", "")
    processor = an_object(machine, "processor", "machine")
    system = an_object(machine, "system", "machine")
    caches = member(machine, "caches", lambda value: isinstance(value, list), "a list or null", "machine", None)
    read = None
    if caches is not None:
        read = []
        for index, cache in enumerate(caches):
            path = f"machine.caches[{index}]"
            if not isinstance(cache, dict):
                source.fail(source.members(caches)[index], f"{path}: expected a cache object, got {json.dumps(cache)}")
            level = member(cache, "level", lambda value: count(value) and value > 0, "a level from 1", path)
            if level is None:
                source.fail(source.members(caches)[index], f"{path}: expected its 'level'")
            read.append(Cache(
                level=level,
                type=member(cache, "type", lambda value: value in CACHE_TYPES,
                            "'data', 'instruction' or 'unified'", path, "unified"),
                size=member(cache, "size", lambda value: count(value) and value > 0, "bytes, above 0", path),
                num_sharing=member(cache, "num_sharing", lambda value: count(value) and value > 0,
                                   "a count from 1", path),
                doubtful=member(cache, "doubtful", lambda value: isinstance(value, bool), "true or false", path,
                                False),
                doubt=member(cache, "doubt", text, "a sentence", path)))
    return Machine(
        vendor=member(processor, "vendor", text, "a string", "machine.processor"),
        brand=member(processor, "brand", text, "a string", "machine.processor"),
        family=member(processor, "family", count, "a number", "machine.processor"),
        model=member(processor, "model", count, "a number", "machine.processor"),
        host=member(run, "host_name", text, "a string", "run")
        or member(system, "host_name", text, "a string", "machine.system"),
        date=member(run, "date", text, "a date", "run"),
        caches=None if read is None else tuple(read))


def parse_json_report(text, source="report"):
    decoder = _LocatingDecoder()
    try:
        document = decoder.decode(text)
    except json.JSONDecodeError as error:
        raise ReportError(error.lineno, f"expected JSON ({error.msg}, column {error.colno}); "
                                        f"{NOT_A_REPORT}") from None
    top = len(text) - len(text.lstrip(" \t\n\r"))
    where = _Source(text, decoder.starts)
    if not isinstance(document, dict) or not isinstance(document.get("report"), dict) \
            or not isinstance(document.get("cells"), list):
        where.fail(top, f"expected an object with a 'report' object and a 'cells' list, as "
                        f"'kestrune --json' writes; {NOT_A_REPORT}")
    starts = where.members(document)
    report = Report(source, input_format="json")
    report.machine = _read_described(where, document, top)
    _read_machine(where, document["report"], starts["report"], report)
    complete = document.get("complete", True)
    if not isinstance(complete, bool):
        where.fail(starts["complete"], f"expected 'complete' to be true or false, got {json.dumps(complete)}")
    _read_cells(where, document["cells"], report, complete)
    if not complete:
        report.gaps.insert(0, "the run was interrupted (\"complete\": false)")
    return report
