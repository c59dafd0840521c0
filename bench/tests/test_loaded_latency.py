"""The loaded-latency section's arithmetic on made-up rows; no timing.
Run: cd bench && /usr/bin/python3 -m unittest discover -s tests -t ."""

import unittest
from types import SimpleNamespace

from accuracy import loaded_latency
from accuracy.report_builder import ReportBuilder


def row(label, ns, gib_per_second):
    return SimpleNamespace(label=label, delay_cycles=None if label == "idle" else int(label),
                           latency=SimpleNamespace(ns_per_load=ns),
                           bandwidth=SimpleNamespace(bytes_per_second=gib_per_second * 2 ** 30))


def table(*rows):
    return SimpleNamespace(rows=list(rows), kernel="VMOVDQU64(512)")


class LoadedLatencyTest(unittest.TestCase):
    def test_a_fall_counts_only_against_clearly_lower_bandwidth(self):
        cases = [
            # The hockey stick: latency rises with bandwidth.
            (table(row("0", 150, 20), row("100", 110, 5), row("idle", 100, 0)), 0.0),
            # Two rows of nearly the same bandwidth may swap: the host's noise.
            (table(row("0", 150, 20), row("2", 160, 19), row("idle", 100, 0)), 0.0),
            # A row of clearly more traffic a fifth faster than one of less.
            (table(row("0", 120, 20), row("100", 150, 5), row("idle", 100, 0)), 0.2),
        ]
        for curve, fall in cases:
            self.assertAlmostEqual(loaded_latency.worst_fall(curve)[0], fall)

    def test_the_section_judges_the_best_round(self):
        good = loaded_latency.LoadedRound(
            tables={"read": table(row("0", 150, 20), row("idle", 100, 0)),
                    "copy": table(row("0", 170, 25), row("idle", 101, 0))},
            random_ns=98.0, read_bytes_per_second=21 * 2 ** 30, read_kernel="VMOVDQU64(512)", chase_ns=95.0)
        slow = loaded_latency.LoadedRound(
            tables={"read": table(row("0", 300, 10), row("idle", 200, 0)),
                    "copy": table(row("0", 170, 25), row("idle", 101, 0))},
            random_ns=100.0, read_bytes_per_second=21 * 2 ** 30, read_kernel="VMOVDQU64(512)", chase_ns=100.0)
        b = ReportBuilder()
        loaded_latency.section(b, loaded_latency.LoadedMeasurements(1 << 30, [slow, good]))
        verdicts = {verdict.target: verdict for verdict in b.verdicts}
        self.assertEqual(len(verdicts), 5)
        self.assertTrue(all(verdict.holds for verdict in verdicts.values()), b.text())
        details = " ".join(verdict.detail for verdict in verdicts.values())
        self.assertIn("best round 2: 1.020", details)  # 100 ns idle over 98 ns RANDOM


if __name__ == "__main__":
    unittest.main()
