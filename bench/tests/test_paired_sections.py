"""The pairs against likwid-bench and the plan of a run: the commands each side runs, how their output becomes
bytes per tick, which comparisons a plan makes, the host's state, and the plan's time. No timing.
Run: cd bench && /usr/bin/python3 -m unittest discover -s tests -t ."""

import sys
import time
import unittest
import unittest.mock
from types import SimpleNamespace

from accuracy import child_process, host_state, latency, paired_reference, paired_sections, plan, reference
from accuracy.paired_reference import Group, PairSides
from accuracy.pairs import FAILS, HOLDS
from accuracy.report_builder import ReportBuilder

LIKWID_OUTPUT = """Cycles:\t\t\t711816
CPU Clock:\t\t2096027236
Data volume (Byte):\t67108864
MByte/s:\t\t197610.07
"""


def shown_everything():
    return {pairing.ours for pairing in reference.PAIRINGS} | \
        {("read", "VMOVDQU64(512)"), ("write", "VMOVDQU64(512)"), ("write", "VMOVDQU(256)")} | \
        {("copy", column) for column in ("MOVDQU", "VMOVDQU(256)", "VMOVDQU64(512)", "VMOVNTDQ(256)")}


class LikwidSideTest(unittest.TestCase):
    def test_each_reference_run_gets_the_block_threads_and_run_length_of_ours(self):
        gib = 1 << 30
        cases = [
            # (group, working set given to likwid-bench, sweeps: a GiB or the block once)
            (Group("load_avx512", 4 << 10, 1, ()), "N:4096B:1", gib // 4096),
            (Group("store", 256 << 20, 1, ()), "N:268435456B:1", 4),
            (Group("store_avx", 4 << 10, 2, ()), "S0:8192B:2", gib // 4096),
            (Group("load", 2 << 30, 1, ()), "N:2147483648B:1", 1),
            # a copy: both arrays, the destination half a page past a page (256 doubles) or on one
            (Group("copy_avx", 4 << 10, 1, (), paired_reference.AS_OURS), "N:8192B:1-0:N,1:N:256", gib // 4096),
            (Group("copy_mem_avx", 4 << 10, 1, (), paired_reference.ITS_OWN), "N:8192B:1", gib // 4096),
        ]
        for group, domain, sweeps in cases:
            with self.subTest(group=group):
                self.assertEqual(paired_reference.likwid_command(group),
                                 ["likwid-bench", "-t", group.kernel, "-w", domain, "-i", str(sweeps)])

    def test_likwid_bench_is_read_in_bytes_per_tick_a_copy_counting_each_byte_once(self):
        self.assertAlmostEqual(paired_reference.likwid_bytes_per_tick(LIKWID_OUTPUT), 67108864 / 711816)
        self.assertAlmostEqual(paired_reference.likwid_bytes_per_tick(LIKWID_OUTPUT, 2), 67108864 / 2 / 711816)
        self.assertIsNone(paired_reference.likwid_bytes_per_tick("ERROR: AVX512 not supported\n"))

    def test_a_failed_reference_run_drops_its_pair_and_is_reported(self):
        sides = PairSides(0, "kernel_turns", reference.LikwidReference(0), 2000.0)
        group = Group("load_avx512", 4096, 1, (("read", "VMOVDQA64(512)"),))
        ours = SimpleNamespace(stdout="read\tVMOVDQA64(512)\t4096\t1073741824\t5000000\n", returncode=0)
        runs = iter([SimpleNamespace(stdout=LIKWID_OUTPUT, returncode=0, involuntary_switches=1),
                     SimpleNamespace(stdout="killed", returncode=1, involuntary_switches=0)])
        with unittest.mock.patch("subprocess.run", return_value=ours), \
                unittest.mock.patch("accuracy.child_process.run_counting_switches", side_effect=lambda _: next(runs)):
            found = paired_reference.measure_group(sides, group, 2)
        self.assertEqual(found, [({("read", "VMOVDQA64(512)"): (1 << 30) / 5e6}, 67108864 / 711816)])
        self.assertEqual(len(sides.failures), 1)

    def test_the_helpers_runs_are_read_per_column_and_turn(self):
        found = paired_reference.read_kernel_turns("copy\tREP MOVSB\t4096\t67108864\t120\t100\n"
                                                   "write\tMOV(32)\t4096\t67108864\t90\n")
        self.assertEqual(found, {("copy", "REP MOVSB"): (67108864, [120.0, 100.0]),
                                 ("write", "MOV(32)"): (67108864, [90.0])})


# A stand-in for likwid-bench's start: two sleeps, then the "run", which prints when it began. Its sleeps are
# longer than likwid-bench's half seconds, so that a machine busy with other tests still looks in time.
SLEEP_SECONDS = 1.0
CALIBRATES_THEN_RUNS = [sys.executable, "-c", f"import time; time.sleep({SLEEP_SECONDS}); time.sleep({SLEEP_SECONDS}); "
                                              "print(time.monotonic(), flush=True)"]


@unittest.skipUnless(child_process.can_hold(), "this system does not show what a child process waits in")
class HeldRunTest(unittest.TestCase):
    def test_each_held_run_starts_only_when_its_pair_continues_it(self):
        children = child_process.hold_runs([CALIBRATES_THEN_RUNS] * 3, SLEEP_SECONDS)
        self.assertEqual([(c.held, c.escaped) for c in children], [(True, False)] * 3)
        time.sleep(SLEEP_SECONDS)  # past every calibration: a run that was not held would have begun by now
        for child in children:
            continued = time.monotonic()
            result = child.finish()
            self.assertEqual(result.returncode, 0)
            self.assertGreaterEqual(float(result.stdout), continued)

    def test_a_run_that_never_sleeps_is_not_held_and_its_pair_is_left_out(self):
        sides = PairSides(0, "kernel_turns", reference.LikwidReference(0), 2000.0, hold=True)
        group = Group("load_avx512", 4096, 1, (("read", "VMOVDQA64(512)"),))
        ours = SimpleNamespace(stdout="read\tVMOVDQA64(512)\t4096\t1073741824\t5000000\n", returncode=0)
        with unittest.mock.patch("subprocess.run", return_value=ours), \
                unittest.mock.patch("accuracy.paired_reference.likwid_command",
                                    return_value=[sys.executable, "-c", f"print({LIKWID_OUTPUT!r})"]):
            found = paired_reference.measure_group(sides, group, 2)
        self.assertEqual((found, sides.unheld, sides.pending), ([], 2, []))


class ExtensionTest(unittest.TestCase):
    class Sides:
        """Pairs of 1.0 against 1.0, counted per group."""
        def __init__(self):
            self.made = {}

        def held_theirs(self, group, count):
            self.made[group] = self.made.get(group, 0) + count
            return [lambda: 1.0] * count

        def ours(self, group):
            return {column: 1.0 for column in group.ours}

        def discard_pending(self):
            pass

    def test_only_a_comparison_its_first_pairs_cannot_judge_gets_more_while_the_time_lasts(self):
        open_, decided = (Group(kernel, 4096, 1, (("read", "MOVQ"),)) for kernel in ("load", "load_sse"))
        for seconds, extended in ((60.0, [open_]), (0.0, [])):
            with self.subTest(seconds=seconds):
                sides = self.Sides()
                extension = paired_reference.Extension(lambda block: 4, seconds)
                found = paired_reference.measure_groups(sides, [open_, decided], lambda block: 5, None,
                                                        lambda group, pairs: group == open_, extension)
                self.assertEqual(extension.extended, extended)
                self.assertEqual({g: len(p) for g, p in found.items()},
                                 {open_: 9 if extended else 5, decided: 5})

    def test_a_group_is_undecided_while_a_judged_comparison_on_it_cannot_be_judged(self):
        shown = {("read", "MOVAPS")}
        planned = paired_sections.plan_pairs(plan.DEFAULT, reference.pairings_for(shown), shown)
        group = next(g for g in planned.groups() if g.block == 4096 and g.threads == 1)
        column = group.ours[0]
        tight = [({column: k}, 1.0) for k in (1.0, 1.01, 0.99, 1.005, 0.995)]
        straddling = [({column: k}, 1.0) for k in (1.0, 0.90, 1.05, 0.95, 1.02)]
        self.assertFalse(planned.undecided(group, tight))
        self.assertTrue(planned.undecided(group, straddling))


class PlanTest(unittest.TestCase):
    def test_the_default_plan_fits_ten_minutes_with_the_build(self):
        seconds = plan.planned_seconds(plan.DEFAULT)
        self.assertLessEqual(sum(seconds.values()), 600 * 0.92, seconds)  # a margin for what the plan leaves out
        self.assertGreater(sum(plan.planned_seconds(plan.FULL).values()), sum(seconds.values()))

    def test_the_full_plan_measures_all_the_default_does_and_more(self):
        for name in ("one_thread_sizes", "two_thread_sizes", "main_memory_sizes", "frame_read_blocks",
                     "frame_write_blocks", "copy_blocks"):
            with self.subTest(name):
                self.assertLessEqual(set(getattr(plan.DEFAULT, name)), set(getattr(plan.FULL, name)))
        self.assertGreater(plan.FULL.rounds, plan.DEFAULT.rounds)
        self.assertGreater(plan.FULL.pairs, plan.DEFAULT.pairs)
        self.assertEqual(plan.FULL.latency_max_block, 1 << 30)

    def test_every_target_is_judged_in_the_default_plan_and_one_reference_run_serves_every_section(self):
        planned = paired_sections.plan_pairs(plan.DEFAULT, reference.PAIRINGS, shown_everything())
        for section in paired_sections.SECTIONS:
            with self.subTest(section):
                self.assertTrue([c for c in planned.comparisons[section] if c.judged])
        # The one-thread table's 4 KiB load_avx512 run also judges the straight loop's other 512-bit read.
        shared = [g for g in planned.groups() if g.kernel == "load_avx512" and g.block == 4096 and g.threads == 1]
        self.assertEqual(len(shared), 1)
        self.assertEqual(set(shared[0].ours), {("read", "VMOVDQA64(512)"), ("read", "VMOVDQU64(512)")})
        cached, in_memory = plan.planned_pairs(plan.DEFAULT)
        measured = [g for g in planned.groups()]
        self.assertEqual(sum(plan.DEFAULT.pairs_for(g.block) for g in measured), cached + in_memory)

    def test_two_threads_and_main_memory_take_the_widest_of_each_kind_unless_full(self):
        pairings = reference.PAIRINGS
        self.assertEqual([p.kernel for p in paired_sections.widest_of_each_kind(pairings)],
                         ["load_avx512", "store_avx512", "store_mem_avx512"])
        full = paired_sections.plan_pairs(plan.FULL, pairings, shown_everything())
        self.assertEqual(len(full.comparisons[paired_sections.MAIN_MEMORY]), len(pairings) * 2)

    def test_a_column_the_processor_lacks_is_not_compared(self):
        shown = {p.ours for p in reference.PAIRINGS if "512" not in p.ours[1]}
        planned = paired_sections.plan_pairs(plan.DEFAULT, reference.pairings_for(shown), shown)
        columns = {c.column for comparisons in planned.comparisons.values() for c in comparisons}
        self.assertFalse([column for column in columns if "512" in column[1]])


class JudgedSectionTest(unittest.TestCase):
    def test_a_slowed_column_fails_and_the_others_hold(self):
        shown = {("read", "MOVAPS"), ("read", "MOVQ")}
        planned = paired_sections.plan_pairs(plan.DEFAULT, reference.pairings_for(shown), shown)
        measured = {}
        for group in planned.groups():
            slowed = group.kernel == "load_sse"
            measured[group] = [({column: (0.88 if slowed else 1.0) * k for column in group.ours}, 1.0)
                               for k in (1.0, 1.01, 0.99, 1.005, 0.995)]
        m = SimpleNamespace(paired_plan=planned, paired=measured, host_states={}, pair_failures=[],
                            reference_source=reference.LikwidReference(0), pairs_held=True, pairs_unheld=0,
                            extension=None)
        b = ReportBuilder()
        found = paired_sections.reference_section(b, m, paired_sections.ONE_THREAD)
        self.assertEqual({(j.subject, j.verdict) for j in found}, {(("read", "MOVAPS"), FAILS),
                                                                   (("read", "MOVQ"), HOLDS)})
        self.assertEqual(b.verdicts[-1].mark(), "FAILS")


class HostStateTest(unittest.TestCase):
    def test_the_sentence_says_how_much_sustained_stores_were_throttled(self):
        cases = [
            (200.0, 144.0, "the host throttled sustained stores by 28% during this section"),
            (200.0, 199.0, "no throttling of sustained stores during this section"),
            (150.0, 200.0, "sustained stores ran 33% faster than a 64 MiB burst"),
        ]
        for burst, sustained, phrase in cases:
            with self.subTest(burst=burst, sustained=sustained):
                state = host_state.HostState({"xmm_load": 2.0}, {"xmm_load": 1.9}, "VMOVDQU64(512)", burst, sustained)
                self.assertIn(phrase, state.sentence())
                self.assertIn("xmm_load 2.00 -> 1.90", state.probe_sentence())

    def test_the_widest_ordinary_store_is_chosen(self):
        kernels = {(k.direction.lower(), k.column): k for k in __import__(
            "kestrune_report.kernel_table", fromlist=["read_table"]).read_table()}
        shown = [("write", "MOVDQU"), ("write", "VMOVNTDQ(512)"), ("write", "VMOVDQA(256)"), ("read", "VMOVDQU64(512)")]
        self.assertEqual(host_state.widest_store(kernels, shown), "VMOVDQA(256)")
        self.assertIsNone(host_state.widest_store(kernels, [("read", "MOVDQU")]))

    def test_the_sustained_run_lasts_about_a_second_in_whole_sweeps(self):
        rates = iter([200.0, 150.0])  # bytes per tick: the burst, then the sustained run
        with unittest.mock.patch("accuracy.host_state._store_rate", side_effect=lambda *_: next(rates)) as run:
            burst, sustained, run_bytes = host_state.burst_and_sustained("helper", 0, "MOVDQU", 2000.0)
        self.assertEqual((burst, sustained), (200.0, 150.0))
        # 200 bytes a tick at 2 GHz: 400 GB in a second, more than a run's 32-bit count of lines holds.
        self.assertEqual(run_bytes, host_state.MOST_RUN_BYTES // host_state.STORE_BLOCK * host_state.STORE_BLOCK)
        self.assertEqual(run.call_args_list[1].args[3], run_bytes)
        self.assertLess(run_bytes // 128, 1 << 31)
        rates = iter([50.0, 40.0])
        with unittest.mock.patch("accuracy.host_state._store_rate", side_effect=lambda *_: next(rates)):
            _, _, run_bytes = host_state.burst_and_sustained("helper", 0, "MOVDQU", 2000.0)
        self.assertEqual(run_bytes, int(50.0 * 2e9) // host_state.STORE_BLOCK * host_state.STORE_BLOCK)


class ChaseTest(unittest.TestCase):
    def test_the_helpers_turns_are_pairs_of_ours_over_the_plain_chase(self):
        pair = latency.read_chase_pairs("1.000 0.950\n300.0 310.0\n290.0 300.0\n")
        self.assertEqual((pair.plain_huge_share, pair.program_huge_share), (1.0, 0.95))
        self.assertEqual([round(p.ratio, 4) for p in pair.pairs()], [round(310 / 300, 4), round(300 / 290, 4)])


if __name__ == "__main__":
    unittest.main()
