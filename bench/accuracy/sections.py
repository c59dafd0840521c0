"""The report's sections about the run as a whole, each printing its table,
recording its CSV rows and judging its target; the sections that hold cells
against a limit or a reference are in limit_sections and reference_sections."""

from statistics import median

from kestrune_report.units import format_size as block_label

from .judging import best_error, relative_error, spread
from .measurements import MAX_SWITCHES_PER_RUN, RETRY_BUDGET
from .overhead import WAIT_SECONDS, overhead
from .runs import cell_samples

CLOCK_ERROR_TARGET = 0.0005
OVERHEAD_SHARE_TARGET = 0.05
WALL_SECONDS_TARGET = 8.0


def repeatability(b, m):
    runs = [r.run for r in m.rounds]
    b.heading(f"1. Repeatability: every column of --isa all, GiB/s, median of {len(runs)} runs, then spread "
              f"(max/min over the runs)")
    first = runs[0]
    for table, columns in first.columns.items():
        b.say()
        b.say(table.label())
        body = []
        for block in first.blocks[table]:
            row = [block_label(block)]
            for column in columns:
                samples = cell_samples(runs, table, block, column)
                mid, wide = median(samples), spread(samples)
                row.append(f"{mid:.1f} x{wide:.2f}")
                b.record("repeatability", table.label(), block_label(block), column, "median", mid, "GiB/s")
                b.record("repeatability", table.label(), block_label(block), column, "spread", wide, "max/min")
            body.append(row)
        b.table(["SIZE"] + columns, body)


def clock(b, m, tsc_mhz, tsc_source):
    b.heading("8. Clock: the printed CPU clock against the kernel's TSC rate")
    if tsc_mhz is None:
        b.say(f"kernel TSC rate unknown: {tsc_source}")
        b.judge("clock within 0.05% of kernel TSC", None, tsc_source)
        return
    b.say(f"kernel: {tsc_mhz:.3f} MHz, from {tsc_source}")
    runs = [("--isa all --per-cycle", i + 1, r.run) for i, r in enumerate(m.rounds)] + \
           [("without options", i + 1, r.run) for i, r in enumerate(m.default_runs)]
    errors = [relative_error(run.clock_mhz, tsc_mhz) for _, _, run in runs]
    b.table(["run", "options", "printed MHz", "error"],
            [[str(n), options, f"{run.clock_mhz:.2f}", f"{e:+.4%}"] for (options, n, run), e in zip(runs, errors)])
    for (options, n, _), e in zip(runs, errors):
        b.record("clock", options, quantity=f"relative_error_run{n}", value=e, unit="fraction")
    best, worst = best_error(errors), max(errors, key=abs)
    b.say(f"best {best:+.4%}, median {median(errors):+.4%}, worst {worst:+.4%}")
    b.judge("clock within 0.05% of kernel TSC", abs(best) <= CLOCK_ERROR_TARGET,
            f"best of {len(errors)} runs {best:+.4%}; median {median(errors):+.4%}, worst {worst:+.4%}")


def run_overhead(b, m):
    b.heading("9. Overhead of the run without options: wall time outside the 3 s wait and the kernels' windows")
    b.say("time in kernels = sum over cells of 2^26 B / rate, plus each row's warm-up MOV(32) run")
    shares, walls, body = [], [], []
    for i, r in enumerate(m.default_runs):
        o = overhead(r.run, r.wall_seconds)
        shares.append(o.other_share)
        walls.append(o.wall)
        body.append([str(i + 1), f"{o.wall:.3f}", f"{WAIT_SECONDS:.3f}", f"{o.kernels:.3f}", f"{o.other:.3f}",
                     f"{o.other_share:.1%}", str(r.involuntary_switches), str(r.discarded_runs),
                     f"{r.seconds_waited_for_quiet:.0f}"])
        b.record("overhead", quantity=f"wall_run{i + 1}", value=o.wall, unit="s")
        b.record("overhead", quantity=f"other_share_run{i + 1}", value=o.other_share, unit="fraction")
        b.record("overhead", quantity=f"involuntary_switches_run{i + 1}", value=r.involuntary_switches, unit="count")
    b.table(["run", "wall s", "wait s", "kernels s", "other s", "other share", "forced switches", "set aside",
             "waited s"], body)
    b.say("forced switches: involuntary context switches of the kept run; more than a handful means another")
    b.say("process shared its processor (every copy of Kestrune pins itself to the lowest one). Each run starts")
    b.say(f"once the machine has been quiet for a second (the whole bench waited {m.seconds_waited_for_quiet:.0f} s "
          f"in all, {m.plan.quiet_budget_seconds:.0f} s at most); a single-thread run with over {MAX_SWITCHES_PER_RUN} "
          f"forced switches is run once more, {RETRY_BUDGET} times in the whole bench at most ('set aside')")
    b.say(f"best: wall {min(walls):.3f} s, other {min(shares):.1%}; median: wall {median(walls):.3f} s, other "
          f"{median(shares):.1%}; worst: wall {max(walls):.3f} s, other {max(shares):.1%}")
    b.judge("overhead outside wait and kernels < 5% of the run", min(shares) < OVERHEAD_SHARE_TARGET,
            f"best {min(shares):.1%}, median {median(shares):.1%}, worst {max(shares):.1%}")
    b.judge("whole run < 8 s", min(walls) < WALL_SECONDS_TARGET,
            f"best {min(walls):.2f} s, median {median(walls):.2f} s, worst {max(walls):.2f} s")


def targets(b):
    b.heading("Targets")
    for verdict in b.verdicts:
        b.say(f"[{verdict.mark():12}] {verdict.target}: {verdict.detail}")
