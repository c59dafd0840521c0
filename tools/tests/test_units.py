import math
import os
import tempfile
import unittest

import support  # noqa: F401  (puts the package on the path)
from kestrune_report.caches import CacheSize, parse_cache_list, read_sysfs_caches
from kestrune_report.units import (UnitError, format_size, parse_per_cycle, parse_size_label,
                                   parse_throughput)


class ThroughputCells(unittest.TestCase):
    def test_printed_values_convert_exactly_with_powers_of_1024(self):
        cases = [
            ("1.5GB/s", 1.5 * 2 ** 30),
            ("1024KB/s", 1048576),
            ("52.3301GB/s", 52.3301 * 2 ** 30),
            ("0.5MB/s", 524288),
            ("921.6MB/s", 921.6 * 2 ** 20),
            ("1e+06B/s", 1000000),
            ("2.5e-05GB/s", 2.5e-05 * 2 ** 30),
            ("7B/s", 7),
        ]
        for printed, expected in cases:
            with self.subTest(printed):
                cell = parse_throughput(printed)
                self.assertEqual(cell.bytes_per_second, expected)
                self.assertEqual(cell.printed, printed)

    def test_unit_is_kept_as_printed(self):
        cell = parse_throughput("1024KB/s")
        self.assertEqual((cell.value, cell.unit), ("1024", "KB/s"))

    def test_infinity_and_nan_spellings_are_read_as_non_finite(self):
        self.assertEqual(parse_throughput("infGB/s").bytes_per_second, math.inf)
        for printed in ("nanGB/s", "-nanMB/s", "-nan(ind)GB/s"):
            with self.subTest(printed):
                self.assertTrue(math.isnan(parse_throughput(printed).bytes_per_second))

    def test_negative_rates_as_the_benchmark_prints_them(self):
        # A rate is scaled only above 1 KB/s, so a negative one stays in B/s.
        cases = [("-1.23457e+10B/s", -1.23457e+10), ("-512B/s", -512.0), ("-infB/s", -math.inf),
                 ("-0B/s", 0.0)]
        for printed, expected in cases:
            with self.subTest(printed):
                cell = parse_throughput(printed)
                self.assertEqual(cell.bytes_per_second, expected)
                self.assertEqual(cell.printed, printed)
        self.assertEqual(parse_per_cycle("-0.5B/c", 3000.0).bytes_per_second, -0.5 * 3000e6)

    def test_cells_the_benchmark_cannot_print_are_rejected(self):
        cases = [
            ("52.3TB/s", "unknown unit 'TB/s'"),
            ("52.3GiB/s", "unknown unit 'GiB/s'"),
            ("52.3 GB/s", "unknown unit ' GB/s'"),
            ("52.3", "no unit after '52.3'"),
            ("fastGB/s", "expected a number"),
            ("-3GB/s", "expected a number"),
            ("-infGB/s", "a negative rate is printed in B/s"),
            ("--3B/s", "expected a number"),
            ("1,5GB/s", "unknown unit ',5GB/s'"),
            ("", "expected a number"),
        ]
        for printed, message in cases:
            with self.subTest(printed):
                with self.assertRaises(UnitError) as raised:
                    parse_throughput(printed)
                self.assertIn(message, str(raised.exception))


class PerCycleCells(unittest.TestCase):
    def test_bytes_per_cycle_and_the_rate_they_mean_at_the_core_clock(self):
        cell = parse_per_cycle("31.8123B/c", 3650.12)
        self.assertEqual((cell.value, cell.unit, cell.printed), ("31.8123", "B/c", "31.8123B/c"))
        self.assertEqual(cell.bytes_per_cycle, 31.8123)
        self.assertEqual(cell.core_mhz, 3650.12)
        self.assertEqual(cell.bytes_per_second, 31.8123 * 3650.12e6)

    def test_rates_and_damaged_cells_are_refused_in_a_per_cycle_report(self):
        for printed in ("31.8GB/s", "31.8", "31.8B/cycle", "B/c", "31.8 B/c"):
            with self.subTest(printed):
                with self.assertRaises(UnitError) as raised:
                    parse_per_cycle(printed, 3000.0)
                self.assertIn("followed by B/c (bytes per core cycle)", str(raised.exception))

    def test_bytes_per_cycle_are_not_a_rate(self):
        with self.assertRaises(UnitError) as raised:
            parse_throughput("31.8B/c")
        self.assertIn("unknown unit 'B/c'", str(raised.exception))


class BlockSizes(unittest.TestCase):
    def test_size_labels(self):
        cases = [("128B:", 128), ("1KB:", 1024), ("512KB:", 524288), ("32MB:", 33554432),
                 ("1GB:", 2 ** 30), ("4GB:", 2 ** 32),
                 ("1 KB:", None), ("1KB", None), ("1TB:", None), ("KB:", None)]
        for label, expected in cases:
            with self.subTest(label):
                self.assertEqual(parse_size_label(label), expected)

    def test_sizes_are_labelled_with_the_largest_even_unit(self):
        cases = [(128, "128B"), (1024, "1KB"), (1536, "1536B"), (49152, "48KB"),
                 (1048576, "1MB"), (1310720, "1280KB"), (33554432, "32MB"),
                 (2 ** 30, "1GB"), (2 ** 32, "4GB"), (1536 * 2 ** 20, "1536MB")]
        for size, label in cases:
            with self.subTest(size):
                self.assertEqual(format_size(size), label)


class CacheSizes(unittest.TestCase):
    def test_explicit_lists_name_levels_in_order(self):
        self.assertEqual(parse_cache_list("32K,1M,32M"),
                         [CacheSize("L1", 32768), CacheSize("L2", 1048576),
                          CacheSize("L3", 33554432)])
        self.assertEqual(parse_cache_list("48KB, 1280KiB,32768"),
                         [CacheSize("L1", 49152), CacheSize("L2", 1310720), CacheSize("L3", 32768)])

    def test_labels_use_report_units(self):
        self.assertEqual([cache.label for cache in parse_cache_list("32K,1M")],
                         ["L1 32KB", "L2 1MB"])

    def test_bad_sizes_are_refused_with_the_offending_text(self):
        for text in ("32X", "", "1M,,2M", "0", "K32", "1.5M"):
            with self.subTest(text):
                with self.assertRaises(ValueError):
                    parse_cache_list(text)

    def test_sysfs_keeps_data_and_unified_caches_one_per_level(self):
        entries = [("index0", "1", "Data", "48K"), ("index1", "1", "Instruction", "32K"),
                   ("index2", "2", "Unified", "1280K"), ("index3", "3", "Unified", "30720K")]
        with tempfile.TemporaryDirectory() as root:
            for entry, level, kind, size in entries:
                os.mkdir(os.path.join(root, entry))
                for name, content in (("level", level), ("type", kind), ("size", size)):
                    with open(os.path.join(root, entry, name), "w") as file:
                        file.write(content + "\n")
            os.mkdir(os.path.join(root, "power"))
            self.assertEqual(read_sysfs_caches(root),
                             [CacheSize("L1", 49152), CacheSize("L2", 1310720),
                              CacheSize("L3", 31457280)])

    def test_sysfs_without_cache_information_gives_no_caches(self):
        with tempfile.TemporaryDirectory() as root:
            self.assertEqual(read_sysfs_caches(os.path.join(root, "missing")), [])


if __name__ == "__main__":
    unittest.main()
