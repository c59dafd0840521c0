"""Entry point: python3 -m accuracy --repo ROOT --binary KESTRUNE --helpers DIR --out DIR"""

import argparse
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from kestrune_report.kernel_table import read_table
from kestrune_report.units import format_size as block_label

from . import (copy_fill, kernel_tsc, latency, limit_sections, loaded_latency, reference_sections, same_width,
               sections, straight_frame)
from .measurements import collect, collect_copy_only, collect_loaded_only
from .report_builder import ReportBuilder

HELPERS = ["core_clock", "issue_rate_probe", "reference_loop", "interleaved_columns", "interleaved_chase"]
BENCH_SECONDS_TARGET = 600.0


def _model_name():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown processor"


def main(argv=None):
    parser = argparse.ArgumentParser(prog="run-accuracy")
    parser.add_argument("--repo", type=Path, required=True)
    parser.add_argument("--binary", type=Path, required=True)
    parser.add_argument("--helpers", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--rounds", type=int, default=5,
                        help="runs with --isa all --per-cycle; every other one, the first included, is followed by "
                             "one without options, each of the others by a reference pass")
    parser.add_argument("--started", type=float, default=None,
                        help="when bench/run-accuracy started (seconds since the epoch): the bench's time then "
                             "counts the build and installs too")
    parser.add_argument("--only", choices=["copy", "loaded"],
                        help="measure and print one section alone: copy, the copy and fill tables beside "
                             "likwid-bench's copy kernels (about a minute); loaded, the loaded-latency table "
                             "against --latency, one processor's read and the bench's chase (a few minutes)")
    parser.add_argument("--loaded-block", default=block_label(loaded_latency.DEFAULT_BLOCK),
                        help="the loaded section's block, as --max-size spells it (default %(default)s)")
    parser.add_argument("--loaded-rounds", type=int, default=loaded_latency.ROUNDS,
                        help="the loaded section's interleaved rounds (default %(default)s)")
    args = parser.parse_args(argv)

    started = time.monotonic() - (time.time() - args.started if args.started else 0.0)
    kernels = {(kernel.direction.lower(), kernel.column): kernel
               for kernel in read_table()}
    tsc_mhz, tsc_source = kernel_tsc.kernel_tsc_mhz()
    helpers = {name: args.helpers / name for name in HELPERS}
    if args.only == "copy":
        b = ReportBuilder()
        copy_fill.copy_fill(b, collect_copy_only(args.binary, helpers, args.out), kernels)
        sections.targets(b)
        sys.stdout.write(b.text())
        return
    if args.only == "loaded":
        b = ReportBuilder()
        loaded_latency.section(b, collect_loaded_only(args.binary, helpers, args.out, args.loaded_block,
                                                      args.loaded_rounds))
        sections.targets(b)
        sys.stdout.write(b.text())
        return
    m = collect(args.binary, helpers, args.out, args.rounds)

    b = ReportBuilder()
    b.say(f"Kestrune accuracy report, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC")
    b.say(f"{_model_name()}; measuring on processor {m.cpu}; {args.binary}: {len(m.rounds)} runs with --isa all "
          f"--per-cycle and {len(m.default_runs)} without options, {len(m.thread_runs)} with --threads 2, "
          f"{len(m.dram_runs)} with --max-size 512MB, {len(m.repeat_runs)} with --repeat, "
          f"{len(m.frame_runs)} with {' '.join(straight_frame.FRAME_OPTIONS)}")
    background = ", ".join(f"cpu{c} {share:.0%}" for c, share in sorted(m.background.items()))
    b.say(f"busy before the start (other users of this shared machine): {background}")
    for c, share in m.background.items():
        b.record("background", quantity=f"cpu{c}_busy_before_start", value=share, unit="fraction")
    sections.repeatability(b, m)
    limit_sections.issue_limit(b, m, kernels)
    limit_sections.per_cycle(b, m)
    reference_sections.independent_reference(b, m)
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
    b.judge("the whole bench < 10 min", bench_seconds < BENCH_SECONDS_TARGET,
            f"{bench_seconds:.0f} s" + (" with the build and installs" if args.started else ""))
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
