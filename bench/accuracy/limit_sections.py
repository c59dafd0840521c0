"""The sections that hold cells against the processor: the issue limit of the
4 KiB row, and the program's own bytes-per-cycle figures and core clock."""

from statistics import median

from . import issue_limits
from .judging import best_error, judge_issue, relative_error
from .runs import GIB, TableKey

LIMIT_BLOCK = 4 << 10
SIXTEEN_BYTE_TABLES = [TableKey("read", 16), TableKey("write", 16)]
PER_CYCLE_CLOCK_TARGET = 0.02


def _limits_legend(b, limits):
    by_source = {}
    for kind in issue_limits.KINDS:
        figure = limits.figures[kind]
        by_source.setdefault(figure.source, []).append(f"{kind} {figure.per_cycle:g}")
    for source, figures in by_source.items():
        b.say(f"  {', '.join(figures)}: from {source}")


def issue_limit(b, m, kernels):
    b.heading("2. Issue limit: the 4 KiB row of the 16-byte tables, per core cycle, every width")
    family, model = issue_limits.read_family_model()
    limits = issue_limits.limits_for(family, model)
    if limits is None:
        b.say(f"processor: family {family} model {model}: UNKNOWN LIMIT (no row in the bench's issue limits)")
    else:
        b.say(f"processor: family {family} model {model} = {limits.name}; accesses per cycle:")
        _limits_legend(b, limits)
    kinds = list(m.rounds[0].probe_before)
    probe = {kind: median([r.probe_around(kind) for r in m.rounds]) for kind in kinds}
    b.say("accesses per cycle the probe sustained around the runs (mean of before and after, median over runs): "
          + ", ".join(f"{kind} {rate:.2f}" for kind, rate in probe.items()))
    b.say("  (under the limit when a neighbour on the host shares the core)")
    for kind, rate in probe.items():
        b.record("limit", quantity=f"probe_{kind}", value=rate, unit="accesses/cycle")

    body, failures, by_probe, non_temporal = [], [], [], []
    for table in SIXTEEN_BYTE_TABLES:
        for column in m.rounds[0].run.columns[table]:
            kernel = kernels[(table.direction, column)]
            kind = issue_limits.issue_kind(kernel)
            # Judged by the bench's clock, the median of 15 chains before and 15 after the run: a
            # neighbour that delays the program's chains before a row (it keeps the best of five) makes that row's
            # clock read low and its bytes per cycle high, so the program's own figure could pass
            # on noise. Its figure is shown beside, and held against the bench's in section 3.
            by_bench = [r.run.cells[(table, LIMIT_BLOCK, column)] * GIB / (r.bench_core_mhz() * 1e6)
                        for r in m.rounds]
            per_cycle = [r.run.per_cycle[(table, LIMIT_BLOCK, column)] for r in m.rounds]
            b.record("limit", table.label(), "4KB", column, "bytes_per_cycle", median(per_cycle), "B/cycle")
            b.record("limit", table.label(), "4KB", column, "bytes_per_cycle_bench_clock", median(by_bench),
                     "B/cycle")
            if limits is None:
                body.append([table.label(), column, f"{kind} x{kernel.access_bytes}B", "unknown",
                             f"{median(per_cycle):.2f}", f"{median(by_bench):.2f}", "", "", "", "", "unknown limit"])
                continue
            accesses = limits.per_cycle(kind)
            limit = accesses * kernel.access_bytes
            probed = [r.probe_around(kind) * kernel.access_bytes for r in m.rounds]
            judged = judge_issue(by_bench, limit, probed, issue_limits.non_temporal(kernel))
            name = f"{table.direction} {column}"
            if judged.verdict.startswith("excepted"):
                non_temporal.append(f"{name} {judged.best_share:.0%}")
            elif judged.verdict == "ok of probe":
                by_probe.append(f"{name} {judged.best_share:.1%} of limit, {judged.probe_share:.1%} of probe")
            elif not judged.holds:
                failures.append(f"{name} best {judged.best_share:.1%} of limit, {judged.probe_share:.1%} of probe")
            body.append([table.label(), column, f"{kind} x{kernel.access_bytes}B", f"{accesses:g}/c = {limit:g} B",
                         f"{median(per_cycle):.2f}", f"{median(by_bench):.2f}",
                         f"{min(judged.shares):.1%}-{max(judged.shares):.1%}",
                         f"{judged.best_share:.1%} (#{judged.best_run + 1})",
                         f"{probed[judged.best_run] / kernel.access_bytes:.2f}", f"{judged.probe_share:.1%}",
                         judged.verdict])
            b.record("limit", table.label(), "4KB", column, "best_share_of_limit", judged.best_share, "fraction")
            b.record("limit", table.label(), "4KB", column, "median_share_of_limit", median(judged.shares),
                     "fraction")
            b.record("limit", table.label(), "4KB", column, "best_run_share_of_probe", judged.probe_share, "fraction")
    b.say("program: median over runs of the program's --per-cycle figure; bench: median over runs of the cell's")
    b.say("GiB/s over the bench's dependent-add clock around the run, which the rest of the row judges; runs: share")
    b.say("of the limit, lowest-highest; best: the best run; probe: accesses per cycle the probe sustained around")
    b.say("that run; of probe: the best run's share of that (\"ok of probe\" only where the probe itself was under")
    b.say("95% of the limit: the core held back)")
    b.table(["table", "column", "access", "limit", "program B/c", "bench B/c", "runs", "best", "probe", "of probe",
             "verdict"], body)
    target = ("4 KiB cells >= 95% of issue limit in the best run, or of what the probe sustained around it where the "
              "host held the probe back")
    if limits is None:
        b.judge(target, None, f"unknown limit for family {family} model {model}")
        return
    b.say(f"non-temporal cells (hardware-slowed on small blocks, not judged), best run: {', '.join(non_temporal)}")
    b.say("held back by the host (best run under 95% of the limit, at 95% or more of the probe): "
          + ("; ".join(by_probe) or "none"))
    b.judge(target, not failures,
            ("every other cell at or above 95% in its best run" if not by_probe else
             f"every other cell; {len(by_probe)} only of the probe: " + "; ".join(by_probe))
            if not failures else "below: " + "; ".join(failures))


def per_cycle(b, m):
    b.heading("3. Per-cycle figures: the program's core clock against the bench's, and every column at 4 KiB")
    b.say("program: the core clock each row was measured at (--per-cycle): the run's first row, the median and range")
    b.say("of its rows, its last row; bench: the same dependent-add chain, 15 times, just before and just after the")
    b.say("run. The last row and the bench's reading after the run are the closest in time and load (about 0.1 s")
    b.say("apart, both right after the kernels), so they judge; the first row follows the program's 3 s sleep")
    body, errors = [], []
    for i, r in enumerate(m.rounds):
        clocks = list(r.run.core_mhz.values())
        before = r.run.clock_mhz / r.clock_before.ticks_per_cycle
        after = r.run.clock_mhz / r.clock_after.ticks_per_cycle
        error = relative_error(clocks[-1], after)
        errors.append(error)
        body.append([str(i + 1), f"{clocks[0]:.0f}", f"{before:.0f}", f"{median(clocks):.0f}",
                     f"{min(clocks):.0f}-{max(clocks):.0f}", f"{clocks[-1]:.0f}", f"{after:.0f}", f"{error:+.2%}"])
        b.record("per_cycle", quantity=f"program_core_mhz_run{i + 1}", value=median(clocks), unit="MHz")
        b.record("per_cycle", quantity=f"program_last_row_core_mhz_run{i + 1}", value=clocks[-1], unit="MHz")
        b.record("per_cycle", quantity=f"bench_core_mhz_after_run{i + 1}", value=after, unit="MHz")
    b.table(["run", "first row", "bench before", "median row", "rows", "last row", "bench after",
             "last/after - 1"], body)
    b.say()
    b.say("bytes per core cycle at 4 KiB, median of the runs, every table and column:")
    first = m.rounds[0].run
    for table, columns in first.columns.items():
        values = [median([r.run.per_cycle[(table, LIMIT_BLOCK, column)] for r in m.rounds]) for column in columns]
        b.say(f"  {table.label()}: " + ", ".join(f"{column} {value:.1f}" for column, value in zip(columns, values)))
        for column, value in zip(columns, values):
            b.record("per_cycle", table.label(), "4KB", column, "bytes_per_cycle", value, "B/cycle")
    best = best_error(errors)
    b.judge(f"per-cycle core clock within {PER_CYCLE_CLOCK_TARGET:.0%} of the bench's",
            abs(best) <= PER_CYCLE_CLOCK_TARGET,
            f"best run {best:+.2%}, median {median(errors):+.2%}, worst {max(errors, key=abs):+.2%}")
