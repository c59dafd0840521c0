"""Entry point: python3 -m accuracy --repo ROOT --binary KESTRUNE --helpers DIR --out DIR"""

import argparse
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from kestrune_report.kernel_table import read_table

from . import kernel_tsc, sections
from .measurements import collect
from .report_builder import ReportBuilder

HELPERS = ["core_clock", "issue_rate_probe", "reference_loop", "nt_store_ordering", "mmx_store_loop",
           "first_rows_after_wait"]


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
    parser.add_argument("--rounds", type=int, default=5, help="Kestrune runs, each followed by a reference pass")
    parser.add_argument("--first-rows-repetitions", type=int, default=3,
                        help="repetitions of the first-rows experiment (two 3 s waits each; 0 skips it)")
    args = parser.parse_args(argv)

    started = time.monotonic()
    kernels = {(kernel.direction.lower(), kernel.column): kernel
               for kernel in read_table(str(args.repo / "kernels" / "kernel_list.def"))}
    tsc_mhz, tsc_source = kernel_tsc.kernel_tsc_mhz()
    helpers = {name: args.helpers / name for name in HELPERS}
    m = collect(args.binary, helpers, args.out, args.rounds, args.first_rows_repetitions, tsc_mhz)

    b = ReportBuilder()
    b.say(f"Kestrune accuracy report, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC")
    b.say(f"{_model_name()}; measuring on processor {m.cpu}; {len(m.rounds)} runs of {args.binary}")
    background = ", ".join(f"cpu{c} {share:.0%}" for c, share in sorted(m.background.items()))
    b.say(f"busy before the start (other users of this shared machine): {background}")
    for c, share in m.background.items():
        b.record("background", quantity=f"cpu{c}_busy_before_start", value=share, unit="fraction")
    sections.repeatability(b, m)
    sections.issue_limit(b, m, kernels)
    sections.independent_reference(b, m)
    sections.clock(b, m, tsc_mhz, tsc_source)
    sections.run_overhead(b, m)
    sections.non_temporal(b, m)
    sections.first_rows(b, m)
    sections.targets(b)
    b.say()
    b.say(f"bench time {time.monotonic() - started:.0f} s; raw runs in {args.out / 'runs'}")

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "accuracy.txt").write_text(b.text())
    b.write_csv(args.out / "accuracy.csv")
    sys.stdout.write(b.text())
    print(f"saved {args.out / 'accuracy.txt'} and {args.out / 'accuracy.csv'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
