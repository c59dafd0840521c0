"""Entry point: python3 -m accuracy --repo ROOT --binary KESTRUNE --helpers DIR --out DIR [--full | --plant-fault]"""

import argparse
import dataclasses
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from kestrune_report.kernel_table import read_table
from kestrune_report.units import format_size as block_label

from . import (copy_fill, core_to_core, host_state, kernel_tsc, latency, limit_sections, loaded_latency,
               measurements, paired_sections, pairs, parallel_chains, plan, reference_sections, same_width,
               sections, straight_frame)
from .report_builder import ReportBuilder

HELPERS = ["core_clock", "issue_rate_probe", "reference_loop", "interleaved_chase", "kernel_turns",
           "core_to_core_ping_pong"]
BENCH_SECONDS_TARGET = 600.0
# The column the planted-fault build slows (the KESTRUNE_PLANTED_FAULT build option).
PLANTED_COLUMN = ("read", "MOVAPS")


def _model_name():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown processor"


def _plan_lines(b, chosen):
    planned = plan.planned_seconds(chosen)
    other = plan.DEFAULT if chosen.name == plan.FULL.name else plan.FULL
    b.say(f"plan: {chosen.name} run{' (--full)' if chosen.name == plan.FULL.name else ''}: {chosen.rounds} rounds, "
          f"{chosen.pairs} pairs per comparison ({chosen.memory_pairs} in main memory), latency to "
          f"{block_label(chosen.latency_max_block)}; the "
          f"{other.name} run: {other.rounds} rounds, {other.pairs} pairs, latency to "
          f"{block_label(other.latency_max_block)}, {'more' if other is plan.FULL else 'fewer'} sizes; planned "
          f"{sum(planned.values()):.0f} s with the build")
    b.say("planned seconds by step: " + ", ".join(f"{step} {seconds:.0f}" for step, seconds in planned.items()))


def _planted_sections(b, m, kernels):
    return {"same width": same_width.same_width(b, m, kernels),
            "one thread": paired_sections.reference_section(b, m, paired_sections.ONE_THREAD)}


def _planted(args, kernels, tsc_mhz):
    """Runs the sections that judge the planted column on the normal build, then on the planted build; passes
    when the planted build's fail that column and nothing the normal build's do not fail as well."""
    normal = None
    if args.normal_helpers:
        measurements.progress("planted fault: the normal build first, for what it fails without the plant")
        measured = measurements.collect_planted({name: args.normal_helpers / name for name in HELPERS}, args.out,
                                                args.plan, tsc_mhz, kernels, PLANTED_COLUMN)
        normal_report = ReportBuilder()
        normal = _planted_sections(normal_report, measured, kernels)
    measurements.progress("planted fault: the planted build")
    helpers = {name: args.helpers / name for name in HELPERS}
    m = measurements.collect_planted(helpers, args.out, args.plan, tsc_mhz, kernels, PLANTED_COLUMN)
    b = ReportBuilder()
    b.say(f"Kestrune accuracy bench, planted fault: {PLANTED_COLUMN[0]} {PLANTED_COLUMN[1]} slowed by one extra load "
          f"a line (the build option KESTRUNE_PLANTED_FAULT); {_model_name()}; plan {args.plan.name}")
    found = _planted_sections(b, m, kernels)
    sections.targets(b)
    outcome = pairs.planted_fault_outcome(found, PLANTED_COLUMN, normal)
    if outcome.false_alarms:
        # What the plant causes comes back in every process; a mode of one process does not.
        measurements.progress("planted fault: other columns fail; the planted build once more, to see whether it "
                              "repeats")
        again = measurements.collect_planted(helpers, args.out, args.plan, tsc_mhz, kernels, PLANTED_COLUMN)
        outcome = pairs.planted_fault_outcome(found, PLANTED_COLUMN, normal,
                                              _planted_sections(ReportBuilder(), again, kernels))
    b.say()
    column = " ".join(PLANTED_COLUMN)
    b.say(f"planted fault: {column} " + ("FAILS in every section that judges it" if outcome.found else
                                         "NOT FOUND in: " + ", ".join(outcome.missed or ["any section"])))
    b.say("other columns: " + ("none FAILS" if not outcome.false_alarms else
                               "FAILS (false alarms): " + "; ".join(j.label for j in outcome.false_alarms)))
    if normal is not None:
        failing = [j.label for judged in normal.values() for j in judged if j.verdict == pairs.FAILS]
        b.say("the normal build, the same sections just before: " +
              ("none FAILS" if not failing else "FAILS: " + "; ".join(failing)))
    if outcome.standing:
        b.say("failing in both builds, so not the plant's doing: " + "; ".join(j.label for j in outcome.standing))
    if outcome.unrepeated:
        b.say("failing in the planted build once and not when measured again, so a mode of one process and not the "
              "plant's doing: " + "; ".join(j.label for j in outcome.unrepeated))
    b.say(f"PLANTED FAULT {'PASS' if outcome.passes else 'FAIL'}")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "planted-fault.txt").write_text(b.text())
    sys.stdout.write(b.text())
    print(f"saved {args.out / 'planted-fault.txt'}")
    return 0 if outcome.passes else 1


def main(argv=None):
    parser = argparse.ArgumentParser(prog="run-accuracy")
    parser.add_argument("--repo", type=Path, required=True)
    parser.add_argument("--binary", type=Path, required=True)
    parser.add_argument("--helpers", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--full", dest="plan", action="store_const", const=plan.FULL, default=plan.DEFAULT,
                        help="more rounds and pairs, every size, and the 1 GiB latency rows (about half an hour)")
    parser.add_argument("--rounds", type=int, default=None,
                        help="runs with --isa all --per-cycle, in place of the plan's (3, or 5 with --full)")
    parser.add_argument("--started", type=float, default=None,
                        help="when bench/run-accuracy started (seconds since the epoch): the bench's time then "
                             "counts the build and installs too")
    parser.add_argument("--only", choices=["copy", "chains", "core-to-core", "loaded"],
                        help="measure and print one section alone: copy, the copy and fill tables beside "
                             "likwid-bench's copy kernels; chains, the parallel-chains table (a few minutes, "
                             "not part of the default run); core-to-core, the core-to-core table beside an "
                             "independent ping-pong (under a minute, not part of the default run); loaded, the "
                             "loaded-latency table against --latency, one processor's read and the bench's chase "
                             "(a few minutes, not part of the default run)")
    parser.add_argument("--loaded-block", default=block_label(loaded_latency.DEFAULT_BLOCK),
                        help="the loaded section's block, as --max-size spells it (default %(default)s)")
    parser.add_argument("--loaded-rounds", type=int, default=loaded_latency.ROUNDS,
                        help="the loaded section's interleaved rounds (default %(default)s)")
    parser.add_argument("--normal-helpers", type=Path, default=None,
                        help="with --plant-fault: the normal build's helpers, whose verdicts in the same sections "
                             "tell a finding that stands without the plant from a false alarm")
    parser.add_argument("--plant-fault", action="store_true",
                        help="the binary and helpers are the planted-fault build: run the sections that judge the "
                             "planted column and pass only if they fail it and nothing else")
    args = parser.parse_args(argv)
    if args.rounds:
        args.plan = dataclasses.replace(args.plan, rounds=args.rounds)

    started = time.monotonic() - (time.time() - args.started if args.started else 0.0)
    kernels = {(kernel.direction.lower(), kernel.column): kernel
               for kernel in read_table()}
    tsc_mhz, tsc_source = kernel_tsc.kernel_tsc_mhz()
    if args.plant_fault:
        return _planted(args, kernels, tsc_mhz)
    helpers = {name: args.helpers / name for name in HELPERS}
    if args.only == "copy":
        b = ReportBuilder()
        copy_fill.copy_fill(b, measurements.collect_copy_only(args.binary, helpers, args.out, args.plan, tsc_mhz,
                                                              kernels), kernels)
        sections.targets(b)
        sys.stdout.write(b.text())
        return 0
    if args.only == "chains":
        b = ReportBuilder()
        parallel_chains.parallel_chains(b, measurements.collect_chains_only(args.binary, args.out, args.plan))
        sections.targets(b)
        sys.stdout.write(b.text())
        return 0
    if args.only == "core-to-core":
        b = ReportBuilder()
        core_to_core.core_to_core(b, args.binary, helpers["core_to_core_ping_pong"])
        sections.targets(b)
        sys.stdout.write(b.text())
        return 0
    if args.only == "loaded":
        b = ReportBuilder()
        loaded_latency.section(b, measurements.collect_loaded_only(args.binary, helpers, args.out, args.plan, tsc_mhz,
                                                                   args.loaded_block, args.loaded_rounds))
        sections.targets(b)
        sys.stdout.write(b.text())
        return 0
    m = measurements.collect(args.binary, helpers, args.out, args.plan, tsc_mhz, kernels)

    b = ReportBuilder()
    b.say(f"Kestrune accuracy report, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC")
    b.say(f"{_model_name()}; measuring on processor {m.cpu}; {args.binary}: {len(m.rounds)} runs with --isa all "
          f"--per-cycle and {len(m.default_runs)} without options, {len(m.thread_runs)} with --threads 2, "
          f"{len(m.dram_runs)} with --max-size 512MB, {len(m.repeat_runs)} with --repeat, "
          f"{len(m.frame_runs)} with {' '.join(straight_frame.FRAME_OPTIONS)}")
    _plan_lines(b, args.plan)
    background = ", ".join(f"cpu{c} {share:.0%}" for c, share in sorted(m.background.items()))
    b.say(f"busy before the start (other users of this shared machine): {background}")
    for c, share in m.background.items():
        b.record("background", quantity=f"cpu{c}_busy_before_start", value=share, unit="fraction")
    b.say("host state of the runs of sections 1-3 and 7-9:")
    host_state.report(b, "rounds", m.host_states.get("rounds"))
    sections.repeatability(b, m)
    limit_sections.issue_limit(b, m, kernels)
    limit_sections.per_cycle(b, m)
    paired_sections.reference_section(b, m, paired_sections.ONE_THREAD)
    reference_sections.two_threads(b, m)
    reference_sections.main_memory(b, m)
    reference_sections.repeat_spread(b, m)
    sections.clock(b, m, tsc_mhz, tsc_source)
    sections.run_overhead(b, m)
    same_width.same_width(b, m, kernels)
    straight_frame.straight_frame(b, m, kernels)
    latency.latency(b, m)
    copy_fill.copy_fill(b, m, kernels)
    bench_seconds = time.monotonic() - started
    default = args.plan.name == plan.DEFAULT.name
    b.judge("the whole bench < 10 min", bench_seconds < BENCH_SECONDS_TARGET if default else None,
            f"{bench_seconds:.0f} s" + (" with the build and installs" if args.started else "")
            + ("" if default else " (--full: not held to ten minutes)"))
    sections.targets(b)
    b.say()
    b.say(f"raw runs in {args.out / 'runs'}")

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "accuracy.txt").write_text(b.text())
    b.write_csv(args.out / "accuracy.csv")
    sys.stdout.write(b.text())
    print(f"saved {args.out / 'accuracy.txt'} and {args.out / 'accuracy.csv'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
