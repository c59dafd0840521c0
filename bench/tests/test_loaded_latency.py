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
    def test_a_fall_is_the_quarter_of_most_traffic_against_the_quarter_of_least(self):
        quiet = [row(str(d), 100, 0.1) for d in (1000, 2000, 5000)] + [row("idle", 100, 0)]
        busy = [row(str(d), 150, 20) for d in (0, 2, 8, 15)]
        cases = [
            # The hockey stick: latency rises with bandwidth.
            (table(*busy, row("100", 110, 5), *quiet), 0.0),
            # One row the host slowed in the quiet end decides nothing.
            (table(*busy[:3], row("50", 150, 10), row("700", 250, 0.05), *quiet), 0.0),
            # The busy quarter a fifth faster than the quiet one.
            (table(*[row(r.label, 80, 20) for r in busy], *quiet), 0.2),
            # Loaders that add no clear traffic leave nothing to judge.
            (table(row("0", 50, 0.1), row("idle", 100, 0.1)), 0.0),
        ]
        for curve, fall in cases:
            self.assertAlmostEqual(loaded_latency.latency_fall(curve)[0], fall)

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
