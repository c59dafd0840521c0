"""Checks the bench's arithmetic and parsing on made-up reports; no timing.
Run: cd bench && /usr/bin/python3 -m unittest discover -s tests -t ."""

import json
import re
import tempfile
import unittest
import unittest.mock
from types import SimpleNamespace
from pathlib import Path

from accuracy import (copy_fill, issue_limits, judging, latency, overhead, reference, reference_sections, same_width,
                      straight_frame)
from accuracy.pairs import CANNOT_JUDGE, FAILS, HOLDS, judge_ratios
from accuracy.helper_programs import CycleReading
from accuracy.report_builder import ReportBuilder
from accuracy.measurements import Round
from accuracy.runs import OutputError, Run, TableKey, read_run
from kestrune_report.kernel_table import read_table

REPO = Path(__file__).resolve().parents[2]
FIXTURES = REPO / "tools" / "tests" / "fixtures"
BLOCKS = [128 << k for k in range(19)]
TABLES = [("read", "128bit(16byte)", ["LDDQU", "MOV(32)"]), ("read", "64bit(8byte)", ["MOV(32)"]),
          ("read", "32bit(4byte)", ["MOV(32)"]), ("write", "128bit(16byte)", ["MOVNTDQ", "MOV(32)"]),
          ("write", "64bit(8byte)", ["MOV(32)"]), ("write", "32bit(4byte)", ["MOV(32)"])]


def size_label(size):
    return f"{size >> 20}MB:" if size >= 1 << 20 else f"{size >> 10}KB:" if size >= 1 << 10 else f"{size}B:"


def per_cycle_json():
    """The tool's JSON fixture (two threads, five repetitions) as a --per-cycle run whose every
    row has a clock of its own: 3000 MHz plus the block's count of 128-byte lines."""
    document = json.loads((FIXTURES / "threads-256B.json").read_text())
    document["report"]["per_cycle"] = True
    for cell in document["cells"]:
        mhz = 3000.0 + cell["block_bytes"] / 128
        per_cycle = cell["bytes_per_second"] / (mhz * 1e6)
        cell.update(core_mhz=mhz, bytes_per_cycle=per_cycle, value=f"{per_cycle:.6g}", unit="B/c")
    return document


PREAMBLE = ["Kestrune ver1.0", "OS:NT based", "Supported SIMD Inst:MMX SSE SSE2 SSE3", "SSE supported by OS:yes",
            "measuring CPU clock. please wait 3 seconds.", "CPU clock:2096.5MHz", "Speed check start."]


def report(cell="64GB/s", first_cell=None, blocks=BLOCKS):
    lines = list(PREAMBLE)
    for direction, title, columns in TABLES:
        lines.append(f"{title} aligned {direction}")
        lines.append("SIZE:\t" + "\t".join(columns))
        for size in blocks:
            cells = [cell] * len(columns)
            if first_cell and size == 128 and title.startswith("128") and direction == "read":
                cells[0] = first_cell
            lines.append(size_label(size) + "\t" + "\t".join(cells))
    return "\n".join(lines) + "\n"


class ParsingTest(unittest.TestCase):
    def test_units_are_powers_of_1024(self):
        for cell, gib in (("2GB/s", 2.0), ("512MB/s", 0.5), ("1024KB/s", 2.0 ** -10)):
            with self.subTest(cell):
                self.assertEqual(read_run(report(cell=cell)).cells[(TableKey("read", 8), 4096, "MOV(32)")], gib)

    def test_block_labels(self):
        self.assertEqual(read_run(report()).blocks[TableKey("write", 4)], BLOCKS)

    def test_whole_report(self):
        run = read_run(report())
        self.assertEqual(run.clock_mhz, 2096.5)
        self.assertEqual(run.columns[TableKey("write", 16)], ["MOVNTDQ", "MOV(32)"])
        self.assertEqual(run.cells[(TableKey("read", 4), 32 << 20, "MOV(32)")], 64.0)

    def test_windows_line_ends(self):
        self.assertEqual(read_run(report().replace("\n", "\r\n")).clock_mhz, 2096.5)

    def test_runs_with_options_keep_threads_repeat_and_per_cycle_figures(self):
        document = per_cycle_json()
        first = document["cells"][0]
        key = (TableKey(first["direction"], first["alignment_bytes"]), first["block_bytes"], first["instruction"])
        cases = [
            # (input, threads, repeat, exact GiB/s of the first cell, its bytes per cycle, its row's clock)
            ("per-cycle text", (FIXTURES / "per-cycle-1KB.txt").read_text(), 2, 3,
             54.5668 * 3650.12e6 / 2 ** 30, 54.5668, 3650.12),
            ("JSON of a per-cycle run", json.dumps(document), 2, 5, first["bytes_per_second"] / 2 ** 30,
             first["bytes_per_cycle"], 3001.0),
        ]
        for name, text, threads, repeat, gib, per_cycle, mhz in cases:
            with self.subTest(name):
                run = read_run(text)
                self.assertEqual((run.threads, run.repeat), (threads, repeat))
                self.assertAlmostEqual(run.cells[key], gib, places=9)
                self.assertAlmostEqual(run.per_cycle[key], per_cycle, places=9)
                self.assertEqual(run.core_mhz[key[:2]], mhz)

    def test_rates_only_runs_have_no_per_cycle_figures(self):
        run = read_run((FIXTURES / "threads-256B.json").read_text())
        self.assertEqual((run.per_cycle, run.core_mhz), ({}, {}))
        self.assertEqual(run.blocks[TableKey("write", 4)], [128, 256])

    def test_runs_cut_short_or_out_of_form_are_refused(self):
        cases = [
            ("cut before the clock", "\n".join(PREAMBLE[:5]) + "\n", "cut short"),
            ("cut in the last table", report()[:-200], "cut short"),
            ("a cell out of form", report(first_cell="64TB/s"), "out of form: line 10: row '128B:', LDDQU"),
        ]
        for name, text, phrase in cases:
            with self.subTest(name):
                with self.assertRaises(OutputError) as raised:
                    read_run(text)
                self.assertIn(phrase, str(raised.exception))


class ArithmeticTest(unittest.TestCase):
    def test_spread(self):
        cases = [([2, 4, 3], 2.0), ([5.0], 1.0), ([0.0, 1.0], float("inf"))]
        for values, expected in cases:
            with self.subTest(values):
                self.assertEqual(judging.spread(values), expected)

    def test_kernel_time_counts_each_rows_warm_up(self):
        run = read_run(report(cell="1GB/s"))
        cells = 19 * (2 + 1 + 1 + 2 + 1 + 1)
        warm_ups = 19 * 6
        # 64 MiB at 1 GiB/s is 1/16 s.
        self.assertAlmostEqual(overhead.seconds_in_kernels(run), (cells + warm_ups) / 16)
        result = overhead.overhead(run, 20.0)
        self.assertAlmostEqual(result.other, 20.0 - 3.0 - (cells + warm_ups) / 16)

    def test_kernel_time_of_a_row_past_64_mib_counts_its_whole_block(self):
        # Up to 64 MiB a cell moves 64 MiB, 1/16 s at 1 GiB/s; the 128 MiB row moves its block, 1/8 s.
        run = read_run(report(cell="1GB/s", blocks=[128 << k for k in range(21)]))
        per_row = 2 + 1 + 1 + 2 + 1 + 1 + 6  # cells and warm-ups
        self.assertAlmostEqual(overhead.seconds_in_kernels(run), 20 * per_row / 16 + per_row / 8)


def kernels_by_column():
    return {(kernel.direction.lower(), kernel.column): kernel
            for kernel in read_table()}


def agreement_run(rates):
    """A run whose 16-byte-aligned write table holds the given GiB/s in every row."""
    table = TableKey("write", 16)
    run = Run(clock_mhz=2000.0)
    run.columns[table] = list(rates)
    run.blocks[table] = list(same_width.AGREEMENT_BLOCKS)
    for block in same_width.AGREEMENT_BLOCKS:
        for column, rate in rates.items():
            run.cells[(table, block, column)] = rate
    return run


class SameWidthTest(unittest.TestCase):
    def test_groups_are_one_direction_and_width_without_the_streaming_stores(self):
        kernels = kernels_by_column()
        write_columns = [kernel.column for kernel in kernels.values() if kernel.direction == "WRITE"]
        read_columns = [kernel.column for kernel in kernels.values() if kernel.direction == "READ"]
        self.assertEqual(same_width.width_groups(kernels, "write", write_columns), {
            "64-byte stores": ["VMOVDQU64(512)", "VMOVDQA64(512)"],
            "32-byte stores": ["VMOVDQU(256)", "VMOVDQA(256)"],
            "16-byte stores": ["MOVDQU", "MOVDQA", "MOVUPS", "MOVAPS"],
        })
        # The streaming load reads the cache like any load: it belongs to its width.
        self.assertEqual(same_width.width_groups(kernels, "read", read_columns)["16-byte loads"],
                         ["MOVNTDQA", "LDDQU", "MOVDQU", "MOVDQA", "MOVUPS", "MOVAPS"])
        self.assertNotIn("4-byte loads", same_width.width_groups(kernels, "read", read_columns))

    def test_the_trailing_column_is_judged_on_its_median_over_the_runs(self):
        kernels = kernels_by_column()
        cases = [
            # (MOVDQA's GiB/s in three runs, MOVDQU's being 100, share, holds)
            ([97.0, 99.0, 50.0], 0.97, True),
            ([96.0, 120.0, 90.0], 0.96, False),
            ([100.0, 104.0, 103.0], 100 / 103, True),
        ]
        for movdqa, share, holds in cases:
            with self.subTest(movdqa=movdqa):
                runs = [agreement_run({"MOVDQU": 100.0, "MOVDQA": rate, "MOVNTDQ": 10.0}) for rate in movdqa]
                found = same_width.agreements(runs, kernels)
                self.assertEqual([(a.group, a.block) for a in found],
                                 [("16-byte stores", block) for block in same_width.AGREEMENT_BLOCKS])
                self.assertAlmostEqual(found[0].lowest_share, share)
                self.assertEqual(found[0].holds, holds)


    def test_each_column_is_paired_turn_by_turn_with_the_others_of_its_group(self):
        turns = {("read", "MOVDQU", 4096): [1000.0, 1000.0, 1200.0, 1000.0, 1000.0],
                 ("read", "MOVUPS", 4096): [1010.0, 990.0, 1190.0, 1005.0, 995.0],
                 ("read", "MOVDQA", 4096): [990.0, 1005.0, 1210.0, 1000.0, 1002.0],
                 ("read", "MOVAPS", 4096): [1120.0, 1125.0, 1340.0, 1118.0, 1130.0],
                 ("read", "MOV(32)", 4096): [4000.0] * 5,
                 ("read", "MOVDQU", 16384): [1000.0] * 5,
                 ("copy", "MOVDQU", 4096): [1.0] * 5}
        found = same_width.paired_judgements(turns, kernels_by_column())
        # 16 KiB has one 16-byte load alone: no group there rather than a group of one; a slow turn slows the
        # others' runs as much as the column's, so the pair keeps the loop's own ratio. The slow column fails and
        # the others hold: their yardstick is the others' median, which one slow column does not move.
        self.assertEqual({j.subject[1]: j.verdict for j in found},
                         {"MOVDQU": HOLDS, "MOVUPS": HOLDS, "MOVDQA": HOLDS, "MOVAPS": FAILS})
        movaps = next(j for j in found if j.subject == ("read", "MOVAPS"))
        self.assertEqual(movaps.label, "read MOVAPS / the others 4KB (16-byte loads)")
        self.assertAlmostEqual(movaps.median, 1000 / 1120)


class StraightFrameTest(unittest.TestCase):
    def test_an_invocation_is_judged_on_its_slowest_wide_read_of_the_judged_rows(self):
        table = TableKey("read", 16)
        run = Run(clock_mhz=2000.0)
        for block in straight_frame.READ_BLOCKS + (64 << 10,):
            for column in straight_frame.WIDE_READS + ("MOVDQU",):
                run.per_cycle[(table, block, column)] = 120.0
        run.per_cycle[(table, 16 << 10, "VMOVDQA64(512)")] = 101.0
        run.per_cycle[(table, 64 << 10, "VMOVDQU64(512)")] = 50.0  # past the judged rows
        run.per_cycle[(table, 4 << 10, "MOVDQU")] = 30.0           # not a wide read
        self.assertEqual(straight_frame.lowest_wide_read(run), (101.0, "VMOVDQA64(512)", 16 << 10))
        self.assertIsNone(straight_frame.lowest_wide_read(Run(clock_mhz=2000.0)))

    def test_an_invocation_fails_only_when_a_column_is_slow_in_every_block_and_nothing_held_the_core(self):
        limits = issue_limits.limits_for(26, 2)       # two 64-byte loads and two 16-byte loads a cycle
        kernels = {(k.direction.lower(), k.column): k for k in read_table()}
        table = TableKey("read", 16)

        def shares(wide, slow_blocks=(), slow=0.80, row=0.95, fastest=None, probes=(1.84, 1.84)):
            run = Run(clock_mhz=2000.0, columns={table: ["MOVDQU", *straight_frame.WIDE_READS]})
            for block in straight_frame.READ_BLOCKS:
                run.per_cycle[(table, block, "MOVDQU")] = row * 32.0
                for column in straight_frame.WIDE_READS:
                    run.per_cycle[(table, block, column)] = 128.0 * (slow if block in slow_blocks and
                                                                      column == "VMOVDQA64(512)" else wide)
            quickest = {cell: value * (fastest or wide) / wide for cell, value in run.per_cycle.items()
                        if cell[2] != "MOVDQU"}
            return straight_frame.invocation_shares(run, quickest, probes, kernels, limits).verdict()

        every_block = straight_frame.READ_BLOCKS
        cases = [
            (dict(wide=0.94), "ok"),
            (dict(wide=0.94, slow_blocks=every_block[:1]), "ok"),        # a moment of the host takes one cell
            (dict(wide=0.94, slow_blocks=every_block), "BELOW"),         # a slow mode holds for every block
            (dict(wide=0.85, fastest=0.93), "ok in its fastest runs"),
            (dict(wide=0.80, probes=(1.70, 1.72)), "ok of probe"),        # the probe held back too
            (dict(wide=0.80, probes=(1.84, 1.84)), "BELOW"),              # a quiet probe excuses nothing
            (dict(wide=0.80, row=0.85), "ok of row"),
        ]
        for arguments, verdict in cases:
            with self.subTest(**arguments):
                self.assertEqual(shares(**arguments), verdict)

    def test_a_wide_read_cell_keeps_the_fastest_of_its_runs_from_the_json_file(self):
        def cell(block, column, samples, direction="read"):
            return {"direction": direction, "alignment_bytes": 16, "block_bytes": block, "instruction": column,
                    "core_mhz": 1000.0, "samples_bytes_per_second": samples,
                    "bytes_per_second": sorted(samples)[len(samples) // 2]}
        cells = [cell(4 << 10, "VMOVDQU64(512)", [100e9, 120e9, 110e9]),
                 cell(4 << 10, "MOVDQU", [200e9]),                        # not a wide read
                 cell(64 << 10, "VMOVDQA64(512)", [300e9]),               # past the judged rows
                 cell(4 << 10, "VMOVDQA64(512)", [300e9], direction="write")]
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "run.json"
            path.write_text(json.dumps({"complete": True, "report": "", "cells": cells}))
            found = straight_frame.fastest_wide_read_runs(path)
        self.assertEqual(found, {(TableKey("read", 16), 4 << 10, "VMOVDQU64(512)"): 120.0})

    def test_two_threads_are_held_to_the_slower_processor_alone_in_pairs_run_in_turn(self):
        # (first processor, threads) -> ticks: both processors together 100 ticks for 1000 bytes each; alone, the
        # second processor is the slower (190 against 180 ticks)
        ticks = {("0", "2"): 100, ("0", "1"): 180, ("1", "1"): 190}
        order = []

        def run(command, **_):
            order.append((command[1], command[2]))
            return SimpleNamespace(stdout=f"read\tVMOVDQU64(512)\t4096\t1000\t{ticks[(command[1], command[2])]}\n")

        with unittest.mock.patch("subprocess.run", side_effect=run):
            found = straight_frame.thread_scaling_pairs("helper", 0, ["VMOVDQU64(512)"], 3, 1 << 30)
        both, first, second = ("0", "2"), ("0", "1"), ("1", "1")
        self.assertEqual(order, [both, first, second, first, second, both, both, first, second])
        self.assertEqual([round(p.ratio, 4) for p in found["VMOVDQU64(512)"]], [round(20 / (1000 / 190), 4)] * 3)


class CopyFillTest(unittest.TestCase):
    def test_rates_count_each_copied_byte_once_over_the_fastest_run(self):
        key = ("copy", "REP MOVSB", 256 << 20)
        m = SimpleNamespace(copy_run=SimpleNamespace(run=Run(clock_mhz=1.0)),
                            copy_turns={key: (256 << 20, [1024.0, 512.0, 700.0])})
        # The whole 256 MiB block in 512 ticks of a 1 MHz counter.
        self.assertAlmostEqual(copy_fill.best_rate(m, *key), (256 << 20) / 512 * 1e6 / (1 << 30))
        self.assertIsNone(copy_fill.best_rate(m, "fill", "memset", 256 << 20))

    def test_the_fill_columns_reference_is_the_widest_ordinary_store(self):
        kernels = {(k.direction.lower(), k.column): k for k in read_table()}
        columns = ["MOVDQU", "VMOVDQU(256)", "VMOVDQA64(512)", "VMOVNTDQ(512)", "MOV(32)"]
        m = SimpleNamespace(shown=[("write", c) for c in columns] + [("read", "VMOVDQU64(512)")])
        self.assertEqual(copy_fill.widest_store(m, kernels), "VMOVDQU(256)")


class LatencySectionTest(unittest.TestCase):
    GIB = 1 << 30

    def measurements(self, l1_cycles, l2_cycles, ours_ns):
        # The table's own main-memory cell is far off: what is judged is the
        # program's chase run turn about with the bench's.
        cells = {(4 << 10, "RANDOM"): (1.0, l1_cycles), (256 << 10, "RANDOM"): (4.0, l2_cycles),
                 (256 << 10, "IN-PAGE"): (3.0, 10.0), (self.GIB, "RANDOM"): (400.0, 1000.0)}
        return SimpleNamespace(latency_runs={False: latency.LatencyRun(cells, None)}, latency_cache_runs=[],
                               chase_pairs={(False, self.GIB, "RANDOM"): latency.ChasePair(
                                   [300.0] * 5, [ours_ns * k for k in (1.0, 0.998, 1.002, 1.001, 0.999)], 0.0, 0.0)})

    def test_each_target_holds_inside_its_bound_and_fails_past_it(self):
        cases = [
            # (4 KiB cycles, 256 KiB cycles, ours ns against the plain chase's 300 in five turns: what holds),
            # inside each bound, then past it, then the turns straddling the bound
            (4.09, 15.39, 314.0, [True, True, True]),
            (4.15, 15.5, 317.0, [False, False, False]),
            (3.95, 12.7, 286.0, [True, True, True]),
            (4.0, 14.0, 315.0, [True, True, None]),
        ]
        for l1, l2, ours, holds in cases:
            with self.subTest(l1=l1, l2=l2, ours=ours):
                b = ReportBuilder()
                m = self.measurements(l1, l2, ours)
                latency._cache_rows(b, m, issue_limits.ZEN5)
                latency._memory_rows(b, m)
                self.assertEqual([verdict.holds for verdict in b.verdicts], holds)

    def test_the_cache_targets_are_judged_on_the_fastest_run(self):
        cases = [
            # (256 KiB cycles of the long runs on 4 KiB and on 2 MiB pages, of the short runs: what the target says)
            ((14.2, 14.4), (), True),
            ((15.4, 14.2), (), True),              # one run the host slowed
            ((15.6, 15.8), (15.5, 15.7), False),   # every run past the bound
            ((15.6, 15.8), (15.5, 14.1), True),    # the host left one short run alone
            ((12.4, 12.5), (), False),             # too fast is as wrong as too slow
        ]
        for (small_pages, huge_pages), short, holds in cases:
            with self.subTest(small_pages=small_pages, huge_pages=huge_pages, short=short):
                def run(cycles):
                    return self.measurements(4.0, cycles, 300.0).latency_runs[False]
                m = SimpleNamespace(latency_runs={False: run(small_pages), True: run(huge_pages)},
                                    latency_cache_runs=[run(cycles) for cycles in short])
                b = ReportBuilder()
                latency._cache_rows(b, m, issue_limits.ZEN5)
                self.assertEqual([verdict.holds for verdict in b.verdicts], [True, holds])

    def test_in_page_at_256_kib_is_shown_but_not_judged(self):
        b = ReportBuilder()
        latency._cache_rows(b, self.measurements(4.0, 14.0, 300.0), issue_limits.ZEN5)
        self.assertIn("10.00c", b.text())
        self.assertTrue(all(verdict.holds for verdict in b.verdicts))


class KernelFactsTest(unittest.TestCase):
    def test_columns_come_from_the_kernel_list(self):
        columns = {(kernel.direction.lower(), kernel.column): kernel
                   for kernel in read_table()}
        self.assertEqual(columns[("read", "MOVZX(16)")].access_bytes, 2)
        cases = [
            # (column, kind of access, non-temporal)
            (("write", "MOVNTQ"), "mmx_store", True),
            (("write", "MOVNTI"), "scalar_store", True),
            (("write", "MOVDQA"), "xmm_store", False),
            (("read", "MOV(32)"), "scalar_load", False),
            (("read", "VMOVDQU64(512)"), "zmm_load", False),
            (("write", "VMOVNTDQ(256)"), "ymm_store", True),
        ]
        for column, kind, streaming in cases:
            with self.subTest(column):
                self.assertEqual(issue_limits.issue_kind(columns[column]), kind)
                self.assertEqual(issue_limits.non_temporal(columns[column]), streaming)

    def test_every_column_has_a_kind_with_a_limit_on_each_known_processor(self):
        kinds = {issue_limits.issue_kind(kernel) for kernel in read_table()}
        self.assertEqual(kinds, set(issue_limits.KINDS))
        for limits in issue_limits.LIMITS:
            with self.subTest(limits.name):
                self.assertEqual(set(limits.figures), kinds)

    def test_limits_by_processor_and_width(self):
        cases = [
            # (family, model, kind, accesses per cycle; None: unknown limit)
            (26, 0x02, "zmm_load", 2),
            (26, 0x02, "zmm_store", 1),
            (26, 0x02, "ymm_store", 2),
            (26, 0x44, "scalar_load", 4),
            (26, 0x24, "xmm_load", None),   # a mobile Zen 5: AVX-512 on 256-bit paths, not measured
            (25, 0x11, "xmm_store", 1),
            (25, 0x61, "ymm_load", 2),
            (25, 0x61, "zmm_store", 0.5),
            (25, 0x01, "xmm_load", None),   # a Zen 3
            (6, 15, "scalar_load", None),
        ]
        for family, model, kind, expected in cases:
            with self.subTest(family=family, model=model, kind=kind):
                limits = issue_limits.limits_for(family, model)
                self.assertEqual(limits and limits.per_cycle(kind), expected)

    def test_every_figure_names_its_source_in_words(self):
        for limits in issue_limits.LIMITS:
            for kind, figure in limits.figures.items():
                with self.subTest(processor=limits.name, kind=kind):
                    self.assertRegex(figure.source, r"^(the issue-rate probe on|AMD's software optimisation guide)")
                    self.assertNotRegex(figure.source, r"\w/\w|\.(md|txt|cpp|py)\b")


def judged(per_cycle, probe, non_temporal=False):
    return judging.judge_issue(per_cycle, 32.0, probe, non_temporal)


class JudgingTest(unittest.TestCase):
    def test_issue_limit_is_judged_on_the_best_run_then_on_the_probe_around_it(self):
        cases = [
            # (bytes per cycle per run, probe around each run, verdict, best run, its share of the probe)
            ([24.0, 31.0, 28.0], [32.0, 32.0, 32.0], "ok", 1, 31.0 / 32.0),
            ([30.4, 20.0], [32.0, 32.0], "ok", 0, 0.95),
            ([29.0, 20.0], [30.0, 32.0], "ok of probe", 0, 29.0 / 30.0),
            # A probe at the target says the core was not held back: nothing to excuse.
            ([30.0, 20.0], [31.2, 32.0], "BELOW 95%", 0, 30.0 / 31.2),
            # The probe around a worse run does not rescue the best one.
            ([29.0, 20.0], [32.0, 20.0], "BELOW 95%", 0, 29.0 / 32.0),
            ([16.0, 16.5], [32.0, 32.0], "BELOW 95%", 1, 16.5 / 32.0),
        ]
        for per_cycle, probe, verdict, best, probe_share in cases:
            with self.subTest(per_cycle=per_cycle, probe=probe):
                result = judged(per_cycle, probe)
                self.assertEqual(result.verdict, verdict)
                self.assertEqual(result.holds, verdict != "BELOW 95%")
                self.assertEqual(result.best_run, best)
                self.assertAlmostEqual(result.best_share, per_cycle[best] / 32.0)
                self.assertAlmostEqual(result.probe_share, probe_share)

    def test_non_temporal_cells_are_excepted_whatever_their_share(self):
        result = judged([3.0, 4.0], [32.0, 32.0], non_temporal=True)
        self.assertEqual((result.verdict, result.holds, result.best_run), ("excepted: non-temporal", True, 1))

    def test_repeat_is_judged_on_what_it_printed_against_its_own_first_runs(self):
        def invocations(printed, first):
            # a cell per position: its printed rate and its first run's, in each invocation
            return [{cell: judging.RepeatedCell(p, f) for cell, (p, f) in enumerate(zip(ps, fs))}
                    for ps, fs in zip(printed, first)]

        # The third invocation ran 10% faster throughout, on both sides; what --repeat printed is steady otherwise,
        # its first runs are not.
        firsts = [[100.0, 82.0, 60.0, 40.0, 30.0], [97.0, 80.0, 63.0, 40.0, 30.0], [110.0, 88.0, 66.0, 45.3, 33.0]]
        printed = [[100.0, 80.0, 60.0, 40.0, 30.0], [100.0, 80.0, 60.0, 40.0, 30.0], [110.0, 88.0, 66.0, 44.0, 33.0]]
        self.assertEqual(judging.invocation_levels(invocations(printed, firsts), "printed"), [1.0, 1.0, 1.1])
        self.assertEqual(judging.repeat_narrowing_ratios(invocations(firsts, firsts)), [1.0] * 4)  # agreed: left out
        ratios = judging.repeat_narrowing_ratios(invocations(printed, firsts))
        self.assertEqual(len(ratios), 4)
        self.assertTrue(all(r < 0.5 for r in ratios), ratios)
        cases = [
            # (per-cell ratios, verdict): a --repeat that printed its first run is no narrower, and fails
            ([0.90, 0.85, 0.95, 0.92, 0.88, 0.91, 0.93], HOLDS),
            ([1.0] * 7, FAILS),
            ([0.90, 1.05, 0.95, 1.02, 0.88, 1.10, 0.93], CANNOT_JUDGE),
        ]
        for ratios, verdict in cases:
            with self.subTest(ratios=ratios):
                self.assertEqual(judge_ratios("repeat", ratios, reference_sections.REPEAT_NARROWING).verdict, verdict)

    def test_best_error_keeps_its_sign(self):
        self.assertEqual(judging.best_error([0.02, -0.001, 0.0015]), -0.001)
        self.assertAlmostEqual(judging.relative_error(3430.0, 3500.0), -0.02)

    def test_the_probe_around_a_run_is_the_mean_of_its_two_readings(self):
        reading = CycleReading(0.6, 0.6, 0.6)
        round_ = Round(read_run(report()), 7.0, reading, reading, 0, 0, 0.0,
                       {"xmm_load": 2.0, "zmm_store": 0.9}, {"xmm_load": 1.8, "zmm_store": 1.0})
        self.assertAlmostEqual(round_.probe_around("xmm_load"), 1.9)
        self.assertAlmostEqual(round_.probe_around("zmm_store"), 0.95)
        # 2096.5 MHz of TSC at 0.6 ticks per core cycle.
        self.assertAlmostEqual(round_.bench_core_mhz(), 2096.5 / 0.6)


class ReferenceTest(unittest.TestCase):
    def test_likwid_commands_give_each_thread_a_block_of_the_size_and_64_mib(self):
        likwid = reference.LikwidReference(0)
        cases = [
            # (kernel, block, threads, working set given to likwid-bench, sweeps per thread)
            ("load_avx512", 4 << 10, 1, "N:4096B:1", 16384),
            ("store_mem", 32 << 20, 1, "N:33554432B:1", 2),
            ("store_avx", 4 << 10, 2, "S0:8192B:2", 16384),
            ("load", 32 << 20, 2, "S0:67108864B:2", 2),
            ("load_sse", 256 << 20, 1, "N:268435456B:1", 1),
        ]
        for kernel, size, threads, domain, sweeps in cases:
            with self.subTest(kernel=kernel, size=size, threads=threads):
                self.assertEqual(likwid.command(kernel, size, threads),
                                 ["likwid-bench", "-t", kernel, "-w", domain, "-i", str(sweeps)])

    def test_likwid_rates_are_powers_of_ten_turned_into_gib(self):
        output = "Data volume (Byte):\t67108864\nMByte/s:\t\t255738.85\nCycles per update:\t0.065566\n"
        self.assertAlmostEqual(reference.likwid_rate(output), 255738.85e6 / 2 ** 30)
        self.assertIsNone(reference.likwid_rate("ERROR: AVX512 not supported\n"))

    def test_pairings_follow_the_columns_the_run_shows(self):
        classic = {("read", "MOVQ"), ("read", "MOVAPS"), ("write", "MOVQ"), ("write", "MOVAPS"),
                   ("write", "MOVNTDQ"), ("write", "MOVNTPS"), ("read", "LDDQU")}
        avx = classic | {("read", "VMOVDQA(256)"), ("write", "VMOVDQA(256)"), ("write", "VMOVNTDQ(256)")}
        cases = [
            (classic, ["load", "load_sse", "store", "store_sse", "store_mem", "store_mem_sse"]),
            (avx, ["load", "load_sse", "load_avx", "store", "store_sse", "store_avx", "store_mem", "store_mem_sse",
                   "store_mem_avx"]),
        ]
        for columns, kernels in cases:
            with self.subTest(len(columns)):
                self.assertEqual([p.kernel for p in reference.pairings_for(columns)], kernels)

    def test_every_pairing_faces_a_column_of_its_width(self):
        kernels = {(kernel.direction.lower(), kernel.column): kernel
                   for kernel in read_table()}
        for pairing in reference.PAIRINGS:
            with self.subTest(pairing.kernel):
                width = int(re.match(r"(\d+)-byte", pairing.width).group(1))
                self.assertEqual(kernels[pairing.ours].access_bytes, width)
                self.assertEqual(issue_limits.non_temporal(kernels[pairing.ours]), "NT" in pairing.width)


if __name__ == "__main__":
    unittest.main()
