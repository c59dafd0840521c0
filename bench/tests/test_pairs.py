"""The paired judging: the interval for the median, the verdicts on made-up pairs, and the planted fault's
pass or fail. Run: cd bench && /usr/bin/python3 -m unittest discover -s tests -t ."""

import random
import unittest

from accuracy import pairs
from accuracy.pairs import CANNOT_JUDGE, FAILS, HOLDS, AtLeast, Pair, Within
from accuracy.report_builder import ReportBuilder


def ratios_judged(ratios, target, subject=None):
    return pairs.judge_ratios("made-up", ratios, target, subject)


class IntervalTest(unittest.TestCase):
    def test_coverage_is_the_binomial_probability_of_enclosing_the_median(self):
        cases = [
            # (pairs, rank, probability that the rank-th lowest and highest enclose the median)
            (5, 1, 1 - 2 / 32),
            (8, 2, 1 - 2 * 9 / 256),
            (9, 3, 1 - 2 * 46 / 512),
            (4, 1, 1 - 2 / 16),
        ]
        for n, rank, expected in cases:
            with self.subTest(n=n, rank=rank):
                self.assertAlmostEqual(pairs.coverage(n, rank), expected)

    def test_the_narrowest_interval_that_still_holds_the_median_with_the_confidence(self):
        cases = [
            # (values, confidence, (low, high, rank)) or None where too few values give none
            ([5, 1, 3, 2, 4], 0.90, (1, 5, 1)),
            ([1, 2, 3, 4], 0.90, None),
            ([8, 1, 7, 2, 6, 3, 5, 4], 0.90, (2, 7, 2)),        # rank 2: 93%; rank 3: 71%
            (list(range(1, 12)), 0.90, (3, 9, 3)),              # rank 3 of 11: 93.5%; rank 4: 77%
            (list(range(1, 12)), 0.98, (2, 10, 2)),             # rank 2: 98.8%
        ]
        for values, confidence, expected in cases:
            with self.subTest(values=values, confidence=confidence):
                interval = pairs.median_interval(values, confidence)
                if expected is None:
                    self.assertIsNone(interval)
                    continue
                self.assertEqual((interval.low, interval.high, interval.rank), expected)
                self.assertGreaterEqual(interval.coverage, confidence)
        self.assertEqual(pairs.pairs_needed(0.90), 5)

    def test_the_interval_holds_the_median_as_often_as_it_claims(self):
        # Skewed ratios, as a host that only ever takes speed away gives: the interval is free of the shape.
        generator = random.Random(29)
        true_median = 0.9 * 2 ** -1  # median of 0.9 * 2^-Exp(ln 2): 0.9 * 2^-1
        trials, held = 4000, 0
        for _ in range(trials):
            values = [0.9 * 2 ** -generator.expovariate(0.6931471805599453) for _ in range(9)]
            interval = pairs.median_interval(values)
            held += interval.low <= true_median <= interval.high
        claimed = pairs.coverage(9, pairs.median_interval(list(range(9))).rank)
        self.assertAlmostEqual(held / trials, claimed, delta=0.02)


class VerdictTest(unittest.TestCase):
    def test_verdicts_on_made_up_pairs(self):
        quiet = [1.00, 1.01, 0.99, 1.02, 1.00]
        cases = [
            # (ratios, target, verdict)
            ("quiet host, at par", quiet, AtLeast(0.97), HOLDS),
            ("a slow moment on either side does not decide", [1.00, 0.88, 1.01, 1.12, 0.99, 1.00, 1.01, 1.00],
             AtLeast(0.97), HOLDS),
            ("slowed by 12% in every pair", [0.88, 0.89, 0.87, 0.90, 0.88], AtLeast(0.97), FAILS),
            ("the pairs disagree across the target", [0.93, 1.02, 0.95, 1.00, 0.99], AtLeast(0.97), CANNOT_JUDGE),
            ("too few pairs for an interval", [1.0, 1.0, 1.0, 1.0], AtLeast(0.97), CANNOT_JUDGE),
            ("within 5% either way", [1.03, 0.98, 1.01, 1.04, 0.97], Within(0.05), HOLDS),
            ("15% slower than the other chase", [1.15, 1.17, 1.12, 1.16, 1.20], Within(0.05), FAILS),
            ("15% faster than it, also out", [0.85, 0.84, 0.86, 0.85, 0.83], Within(0.05), FAILS),
            ("straddling the upper bound", [1.03, 1.06, 1.04, 1.08, 1.05], Within(0.05), CANNOT_JUDGE),
        ]
        for name, ratios, target, verdict in cases:
            with self.subTest(name):
                judgement = ratios_judged(ratios, target)
                self.assertEqual(judgement.verdict, verdict)
                self.assertEqual(judgement.holds, {HOLDS: True, FAILS: False, CANNOT_JUDGE: None}[verdict])

    def test_a_pair_is_judged_on_its_ratio_and_the_judgement_keeps_median_and_spread(self):
        judgement = pairs.judge("ours/theirs", [Pair(90.0, 100.0), Pair(50.0, 50.0), Pair(99.0, 90.0),
                                                Pair(97.0, 100.0), Pair(100.0, 100.0)], AtLeast(0.95))
        self.assertAlmostEqual(judgement.median, 1.0)
        self.assertEqual(judgement.spread, (0.9, 1.1))
        self.assertEqual((judgement.interval.low, judgement.interval.high), (0.9, 1.1))
        self.assertEqual(judgement.verdict, CANNOT_JUDGE)

    def test_the_sides_take_turns_going_first(self):
        order = []

        def side(name, value):
            def measure():
                order.append(name)
                return value
            return measure

        found = pairs.measure_pairs(3, side("ours", 2.0), side("theirs", 4.0))
        self.assertEqual(order, ["ours", "theirs", "theirs", "ours", "ours", "theirs"])
        self.assertEqual([p.ratio for p in found], [0.5, 0.5, 0.5])

    def test_a_target_fails_on_any_failure_and_holds_only_when_all_hold(self):
        held = ratios_judged([1.0] * 5, AtLeast(0.97))
        failed = ratios_judged([0.8] * 5, AtLeast(0.97))
        open_ = ratios_judged([0.9, 1.0, 1.1, 0.95, 1.05], AtLeast(0.97))
        cases = [([held, held], HOLDS), ([held, open_], CANNOT_JUDGE), ([open_, failed, held], FAILS),
                 ([], CANNOT_JUDGE)]
        for judgements, verdict in cases:
            with self.subTest([j.verdict for j in judgements]):
                self.assertEqual(pairs.target_verdict(judgements), verdict)

    def test_the_report_shows_each_comparisons_interval_and_the_target(self):
        b = ReportBuilder()
        judgements = [pairs.judge_ratios("MOVAPS 4KB", [0.88, 0.89, 0.87, 0.90, 0.88], AtLeast(0.97)),
                      pairs.judge_ratios("MOVQ 4KB", [1.0, 1.01, 0.99, 1.0, 1.0], AtLeast(0.97))]
        pairs.show_judgements(b, "reference", judgements, "likwid-bench once, then ours")
        pairs.judge_target(b, "ours/reference >= 0.97", judgements)
        text = b.text()
        self.assertIn("likwid-bench once, then ours", text)
        self.assertRegex(text, r"MOVAPS 4KB\s+>= 0.97\s+5\s+0.880\s+0.870-0.900 \(94%\)\s+0.870-0.900\s+FAILS")
        self.assertEqual(b.verdicts[0].mark(), "FAILS")
        self.assertIn("FAILS: MOVAPS 4KB 0.870-0.900", b.verdicts[0].detail)


class PlantedFaultTest(unittest.TestCase):
    PLANTED = ("read", "MOVAPS")

    def judged(self, subject, verdict):
        ratios = {HOLDS: [1.0] * 5, FAILS: [0.88] * 5, CANNOT_JUDGE: [0.9, 1.0, 1.1, 0.95, 1.05]}[verdict]
        judgement = ratios_judged(ratios, AtLeast(0.97), subject)
        self.assertEqual(judgement.verdict, verdict)
        return judgement

    def test_passes_only_when_the_planted_column_fails_in_every_section_and_nothing_else_fails(self):
        other = ("read", "MOVDQU")
        cases = [
            ("found, the rest holds or cannot be judged",
             {"same width": [(self.PLANTED, FAILS), (other, HOLDS)],
              "reference": [(self.PLANTED, FAILS), (self.PLANTED, HOLDS), (other, CANNOT_JUDGE)]}, True),
            ("found, but another column fails too",
             {"same width": [(self.PLANTED, FAILS), (other, FAILS)]}, False),
            ("one section misses it",
             {"same width": [(self.PLANTED, FAILS)], "reference": [(self.PLANTED, CANNOT_JUDGE), (other, HOLDS)]},
             False),
            ("no section judges it", {"same width": [(other, HOLDS)]}, False),
        ]
        for name, sections, passes in cases:
            with self.subTest(name):
                found = pairs.planted_fault_outcome(
                    {section: [self.judged(subject, verdict) for subject, verdict in judged]
                     for section, judged in sections.items()}, self.PLANTED)
                self.assertEqual(found.passes, passes)

    def test_a_column_the_normal_build_fails_in_the_same_section_is_no_false_alarm(self):
        other = ("read", "LDDQU")
        planted = {"same width": [self.judged(self.PLANTED, FAILS), self.judged(other, FAILS)],
                   "reference": [self.judged(self.PLANTED, FAILS), self.judged(other, FAILS)]}
        cases = [
            ("failing in both sections of the normal build", {"same width": [(other, FAILS)],
                                                              "reference": [(other, FAILS)]}, True),
            ("failing in one section of the normal build only", {"same width": [(other, FAILS)],
                                                                 "reference": [(other, HOLDS)]}, False),
            ("holding in the normal build", {"same width": [(other, HOLDS)]}, False),
            ("no normal build measured", {}, False),
        ]
        for name, normal, passes in cases:
            with self.subTest(name):
                found = pairs.planted_fault_outcome(
                    planted, self.PLANTED, {section: [self.judged(subject, verdict) for subject, verdict in judged]
                                            for section, judged in normal.items()})
                self.assertEqual(found.passes, passes)
                self.assertEqual(len(found.standing) + len(found.false_alarms), 2)

    def test_a_failure_that_the_planted_builds_second_measurement_does_not_repeat_is_no_false_alarm(self):
        other = ("write", "MOVDQA")
        planted = {"same width": [self.judged(self.PLANTED, FAILS), self.judged(other, FAILS)]}
        normal = {"same width": [self.judged(other, HOLDS)]}
        cases = [
            ("not measured again", None, False),
            ("holding the second time", {"same width": [self.judged(self.PLANTED, FAILS), self.judged(other, HOLDS)]},
             True),
            ("failing again", {"same width": [self.judged(self.PLANTED, FAILS), self.judged(other, FAILS)]}, False),
        ]
        for name, again, passes in cases:
            with self.subTest(name):
                found = pairs.planted_fault_outcome(planted, self.PLANTED, normal, again)
                self.assertEqual(found.passes, passes)
                self.assertEqual(len(found.unrepeated) + len(found.false_alarms), 1)


if __name__ == "__main__":
    unittest.main()
