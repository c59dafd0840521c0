"""The one reader of the tables the build writes (tables.json): good rows read
whole, and every fault stops it, where a lenient reader would have left the row out."""

import copy
import os
import subprocess
import sys
import tempfile
import unittest

import support  # noqa: F401  (puts the package on the path)
from kestrune_report.kernel_table import (TABLES_VARIABLE, Extension, Kernel, RecordField, TableError, parse_tables,
                                          read_table, read_tables)

EXTENSIONS = [
    {"capability": "CAP_MMX", "name": "MMX", "option": "mmx", "cpuinfo": "mmx", "leaf": 1, "word": "EDX",
     "bit": 23, "osState": 0},
    {"capability": "CAP_AVX512F", "name": "AVX512F", "option": "avx512", "cpuinfo": "avx512f", "leaf": 7,
     "word": "EBX", "bit": 16, "osState": 230},
]
KERNELS = [
    {"function": "readMovq", "column": "MOVQ", "direction": "READ", "capability": "CAP_MMX", "alignedOnly": False,
     "instruction": "movq", "registers": "MMX", "frame": "CLASSIC", "linesPerPass": 1},
    {"function": "readVmovdqa64", "column": "VMOVDQA64(512)", "direction": "READ", "capability": "CAP_AVX512F",
     "alignedOnly": True, "instruction": "vmovdqa64", "registers": "ZMM", "frame": "STRAIGHT", "linesPerPass": 2,
     "aColumnOnlySomeReadersUse": 7},
    {"function": "writeMov16", "column": "MOV(16)", "direction": "WRITE", "capability": 0, "alignedOnly": False,
     "instruction": "mov", "registers": "GP16", "frame": "CLASSIC", "linesPerPass": 1},
]
FIELDS = [{"name": "direction", "cells": "ALL", "perCycle": False, "fromText": "ALWAYS"},
          {"name": "samples_ns_per_load", "cells": "LATENCY", "perCycle": False, "fromText": "NEVER"}]
DIRECTIONS = [{"kind": "READ", "name": "read", "busBytesPerByte": 1},
              {"kind": "WRITE", "name": "write", "busBytesPerByte": 1},
              {"kind": "COPY", "name": "copy", "busBytesPerByte": 2}]
REGISTERS = [{"kind": "GP16", "accessBytes": 2}, {"kind": "MMX", "accessBytes": 8}, {"kind": "ZMM", "accessBytes": 64}]
DOCUMENT = {"kernels": KERNELS, "extensions": EXTENSIONS, "recordFields": FIELDS, "directions": DIRECTIONS,
            "registers": REGISTERS, "chaseLoadsPerPass": 16, "copyDestinationSkewBytes": 2048,
            "classicExtensions": ["MMX"]}


def changed(change):
    document = copy.deepcopy(DOCUMENT)
    change(document)
    return document


class GoodTables(unittest.TestCase):
    def test_each_row_reads_into_its_kernel_and_extension(self):
        tables = parse_tables(DOCUMENT)
        self.assertEqual(list(tables.kernels), [
            Kernel("readMovq", "MOVQ", "READ", "CAP_MMX", False, "movq", "MMX", "CLASSIC", 1, "MMX", 8),
            Kernel("readVmovdqa64", "VMOVDQA64(512)", "READ", "CAP_AVX512F", True, "vmovdqa64", "ZMM", "STRAIGHT",
                   2, "AVX512F", 64),
            Kernel("writeMov16", "MOV(16)", "WRITE", "0", False, "mov", "GP16", "CLASSIC", 1, None, 2),
        ])
        self.assertEqual(list(tables.extensions), [Extension("CAP_MMX", "MMX", "mmx", "mmx", True),
                                                   Extension("CAP_AVX512F", "AVX512F", "avx512", "avx512f", False)])
        self.assertEqual(tables.classic_extensions, ("MMX",))
        self.assertEqual(list(tables.record_fields), [RecordField("direction", "ALL", False, "ALWAYS"),
                                                      RecordField("samples_ns_per_load", "LATENCY", False, "NEVER")])
        self.assertEqual([tables.bus_bytes_per_byte(name) for name in ("read", "copy", "fill")], [1, 2, None])
        self.assertEqual((tables.chase_loads_per_pass, tables.copy_destination_skew_bytes), (16, 2048))

    def test_the_project_tables_read_and_every_column_has_one_kernel_per_direction(self):
        kernels = read_table()
        pairs = [(kernel.direction, kernel.column) for kernel in kernels]
        self.assertEqual(len(set(pairs)), len(pairs))
        self.assertIn(("READ", "VMOVDQU64(512)"), pairs)
        self.assertIn(("WRITE", "MOVNTQ"), pairs)
        self.assertEqual(read_tables().classic_extensions, ("MMX", "SSE", "SSE2", "SSE3"))

    def test_the_project_table_keeps_the_classic_loop_for_the_classic_columns_alone(self):
        """The read and write tables' classic columns keep their loop; every other vector
        loop is straight, and the string instructions and library calls have frames of their own."""
        classic_extensions = read_tables().classic_extensions
        own_frames = {"STR8": "STRING", "STR32": "STRING", "LIB": "LIBRARY"}
        for kernel in read_table():
            with self.subTest(kernel.function):
                classic = (kernel.direction in ("READ", "WRITE")
                           and (kernel.extension is None or kernel.extension in classic_extensions))
                self.assertEqual(kernel.frame, "CLASSIC" if classic else own_frames.get(kernel.registers, "STRAIGHT"))


class MalformedTables(unittest.TestCase):
    def test_each_fault_stops_the_reader_and_names_it(self):
        cases = [
            # (what is wrong, the document, phrase of the message)
            ("a kernel lacking a column", changed(lambda d: d["kernels"][1].pop("frame")),
             "tables.json: kernels row 2 lacks frame"),
            ("an extension lacking a column", changed(lambda d: d["extensions"][0].pop("option")),
             "tables.json: extensions row 1 lacks option"),
            ("an unknown register kind", changed(lambda d: d["kernels"][0].update(registers="QMM")),
             "tables.json: kernels row 1: unknown registers QMM"),
            ("an unknown direction", changed(lambda d: d["kernels"][2].update(direction="FILL")),
             "tables.json: kernels row 3: unknown direction FILL"),
            ("a direction lacking its bus bytes", changed(lambda d: d["directions"][0].pop("busBytesPerByte")),
             "tables.json: directions row 1 lacks bus_bytes_per_byte"),
            ("no chase count", changed(lambda d: d.pop("chaseLoadsPerPass")), "tables.json: no chaseLoadsPerPass"),
            ("a skew of no bytes", changed(lambda d: d.update(copyDestinationSkewBytes=0)),
             "tables.json: no copyDestinationSkewBytes count"),
            ("a classic loop of two lines", changed(lambda d: d["kernels"][0].update(linesPerPass=2)),
             "tables.json: kernels row 1: the classic loop moves one line per pass"),
            ("an unknown capability", changed(lambda d: d["kernels"][1].update(capability="CAP_AVX10")),
             "tables.json: kernels row 2: unknown capability CAP_AVX10"),
            ("a duplicated function", changed(lambda d: d["kernels"].append(dict(d["kernels"][0], column="MOVQ2"))),
             "tables.json: a function is named twice"),
            ("no kernels", changed(lambda d: d.update(kernels=[])), "tables.json: no kernels table"),
            ("no extensions", changed(lambda d: d.pop("extensions")), "tables.json: no extensions table"),
            ("a field lacking a column", changed(lambda d: d["recordFields"][1].pop("cells")),
             "tables.json: recordFields row 2 lacks cells"),
            ("no classic list", changed(lambda d: d.pop("classicExtensions")), "tables.json: no classicExtensions"),
            ("not an object", [], "tables.json: no classicExtensions"),
        ]
        for name, document, phrase in cases:
            with self.subTest(name):
                with self.assertRaises(TableError) as raised:
                    parse_tables(document)
                self.assertIn(phrase, str(raised.exception))

    def test_a_file_that_is_not_json_is_named_in_the_fault(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as broken:
            broken.write('{"kernels": [')
            broken.flush()
            with self.assertRaises(TableError) as raised:
                read_tables(broken.name)
            self.assertTrue(str(raised.exception).startswith(broken.name + ": "), raised.exception)

    def test_nothing_is_read_at_import(self):
        environment = {name: value for name, value in os.environ.items() if name != TABLES_VARIABLE}
        done = subprocess.run([sys.executable, "-c", "import kestrune_report.cli, kestrune_report.chart"],
                              cwd=support.TOOLS_DIR,
                              env=environment, capture_output=True, text=True, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
