"""The one reader of kernels/kernel_list.def: good rows read whole, and every fault
stops it with the line, where a lenient reader would have left the row out."""

import unittest

import support  # noqa: F401  (puts the package on the path)
from kestrune_report.kernel_table import CLASSIC_EXTENSIONS, Kernel, TableError, parse_table, read_table

HEADER = "// a comment that mentions KERNEL_ROW( is not a row\n#pragma once\n"
ROWS = [
    'KERNEL_ROW(readMovq,          "MOVQ",           READ,     CAP_MMX,     false,      "movq",       MMX,  CLASSIC,  1)',
    'KERNEL_ROW(readVmovdqa64,     "VMOVDQA64(512)", READ,     CAP_AVX512F, true,       "vmovdqa64",  ZMM,  STRAIGHT, 2)',
    'KERNEL_ROW(writeMov16,        "MOV(16)",        WRITE,    0,           false,      "mov",        GP16, CLASSIC,  1)',
]


def table(*rows):
    return HEADER + "\n".join(rows) + "\n"


class GoodTables(unittest.TestCase):
    def test_each_row_reads_into_its_kernel(self):
        kernels = parse_table(table(*ROWS))
        self.assertEqual(kernels, [
            Kernel("readMovq", "MOVQ", "READ", "CAP_MMX", False, "movq", "MMX", "CLASSIC", 1),
            Kernel("readVmovdqa64", "VMOVDQA64(512)", "READ", "CAP_AVX512F", True, "vmovdqa64", "ZMM", "STRAIGHT", 2),
            Kernel("writeMov16", "MOV(16)", "WRITE", "0", False, "mov", "GP16", "CLASSIC", 1),
        ])
        cases = [
            # (row, extension on the capability line, bytes per access)
            (0, "MMX", 8),
            (1, "AVX512F", 64),
            (2, None, 2),
        ]
        for index, extension, access_bytes in cases:
            with self.subTest(kernels[index].function):
                self.assertEqual(kernels[index].extension, extension)
                self.assertEqual(kernels[index].access_bytes, access_bytes)

    def test_the_project_table_reads_and_every_column_has_one_kernel_per_direction(self):
        kernels = read_table()
        pairs = [(kernel.direction, kernel.column) for kernel in kernels]
        self.assertEqual(len(set(pairs)), len(pairs))
        self.assertIn(("READ", "VMOVDQU64(512)"), pairs)
        self.assertIn(("WRITE", "MOVNTQ"), pairs)

    def test_the_project_table_keeps_the_classic_loop_for_the_classic_columns_alone(self):
        """The read and write tables' classic columns keep their loop; every other vector
        loop is straight, and the string instructions and library calls have frames of their own."""
        own_frames = {"STR8": "STRING", "STR32": "STRING", "LIB": "LIBRARY"}
        for kernel in read_table():
            with self.subTest(kernel.function):
                classic = (kernel.direction in ("READ", "WRITE")
                           and (kernel.extension is None or kernel.extension in CLASSIC_EXTENSIONS))
                self.assertEqual(kernel.frame, "CLASSIC" if classic else own_frames.get(kernel.registers, "STRAIGHT"))


class MalformedTables(unittest.TestCase):
    def test_each_fault_stops_the_reader_and_names_it(self):
        bad_row = ROWS[1].replace("true", "maybe")
        cases = [
            # (what is wrong, table text, phrase of the message)
            ("a row out of form", table(ROWS[0], bad_row),
             f"kernel_list.def:4: KERNEL_ROW out of form: {bad_row}"),
            ("a row cut short", table(ROWS[0], ROWS[2][:60]), "kernel_list.def:4: KERNEL_ROW out of form"),
            ("an unknown register kind", table(ROWS[0].replace(" MMX,", " QMM,")),
             "kernel_list.def:3: KERNEL_ROW out of form"),
            ("an unknown frame", table(ROWS[1].replace("STRAIGHT", "UNROLLED")),
             "kernel_list.def:3: KERNEL_ROW out of form"),
            ("three lines per pass", table(ROWS[1].replace(" 2)", " 3)")), "kernel_list.def:3: KERNEL_ROW out of form"),
            ("a classic loop of two lines", table(ROWS[0].replace(" 1)", " 2)")),
             "kernel_list.def:3: the classic loop moves one line per pass"),
            ("an unknown capability", table(ROWS[0], ROWS[1].replace("CAP_AVX512F", "CAP_AVX10")),
             "kernel_list.def:4: unknown capability CAP_AVX10"),
            ("a duplicated function", table(ROWS[0], ROWS[2], ROWS[0].replace('"MOVQ"', '"MOVQ2"')),
             "kernel_list.def: a function is named twice"),
            ("no rows", HEADER, "kernel_list.def: no KERNEL_ROW"),
            ("an empty file", "", "kernel_list.def: no KERNEL_ROW"),
        ]
        for name, text, phrase in cases:
            with self.subTest(name):
                with self.assertRaises(TableError) as raised:
                    parse_table(text)
                self.assertIn(phrase, str(raised.exception))

    def test_the_source_named_in_a_fault_is_the_one_given(self):
        with self.assertRaises(TableError) as raised:
            parse_table(HEADER, "/somewhere/kernels/kernel_list.def")
        self.assertEqual(str(raised.exception), "/somewhere/kernels/kernel_list.def: no KERNEL_ROW")


if __name__ == "__main__":
    unittest.main()
