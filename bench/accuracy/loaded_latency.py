"""The loaded-latency table (--loaded-latency) against the program's own tables and the bench's
chase, in interleaved rounds at one block in main memory. Each round runs, back to back:

- `kestrune --loaded-latency --threads 2 --isa all --max-size BLOCK` (read loads), then the same
  with `--load copy`: the two curves of the note;
- `kestrune --latency --isa all --max-size BLOCK`: its RANDOM cell at BLOCK, and its read table's
  cell at BLOCK for the loaders' kernel, one processor alone;
- the bench's own chase (helpers/interleaved_chase.cpp, a plain C++ loop over a random cycle of
  its own) at BLOCK.

Judged on the best round, since another tenant of the host only ever slows a figure:
- the idle row within 5% of --latency RANDOM at the same block, and within 10% of the bench's chase;
- the 0 row's BANDWIDTH within 10% of the one-processor read of that block by the same kernel;
- latency not falling as bandwidth rises: the median latency of the quarter of a curve's rows with
  the most bandwidth no more than NOISE below that of the quarter with the least (which must be
  clearly lower, a fifth or more). Single rows move by more than that with the host's memory
  from one second to the next; a quarter's median does not.

`bench/run-accuracy --only loaded` measures this section alone; `--loaded-block 64MB` (say)
checks it quickly on a small block.
"""

from dataclasses import dataclass, field
from statistics import median
from typing import Dict, List, Optional

from kestrune_report.loader import parse_report
from kestrune_report.units import format_size as block_label

DEFAULT_BLOCK = 1 << 30
ROUNDS = 3
IDLE_TO_LATENCY = 0.05
IDLE_TO_CHASE = 0.10
ZERO_ROW_TO_READ = 0.10
# Two quarters' bandwidths this far apart are clearly apart; a latency this much lower is beyond
# the host's noise.
CLEARLY_HIGHER = 1.25
NOISE = 0.10
CHASE_LOADS = 4_000_000
LOADS = ("read", "copy")


@dataclass
class LoadedRound:
    tables: Dict[str, object] = field(default_factory=dict)  # load -> loaded.LoadedTable
    random_ns: Optional[float] = None     # --latency RANDOM at the block
    read_bytes_per_second: Optional[float] = None  # one processor's read of the block, the loaders' kernel
    read_kernel: Optional[str] = None
    chase_ns: Optional[float] = None      # the bench's own chase


@dataclass
class LoadedMeasurements:
    block: int
    rounds: List[LoadedRound] = field(default_factory=list)


def _reader(name):
    return lambda text: parse_report(text, name)


def collect(runner, helpers, cpu, block, progress, rounds=ROUNDS):
    from .latency import interleaved_chase
    size = block_label(block)
    found = LoadedMeasurements(block)
    for index in range(rounds):
        one = LoadedRound()
        for load in LOADS:
            progress(f"loaded latency {index + 1}/{rounds}: kestrune --loaded-latency --load {load} at {size}")
            options = ["--loaded-latency", "--threads", "2", "--isa", "all", "--max-size", size, "--load", load]
            report = runner.plain(options, f"loaded-{load}-{index + 1}", retries=0,
                                  reader=_reader(f"loaded-{load}")).run
            one.tables[load] = report.loaded
        progress(f"loaded latency {index + 1}/{rounds}: kestrune --latency at {size}, one processor")
        report = runner.plain(["--latency", "--isa", "all", "--max-size", size], f"loaded-alone-{index + 1}",
                              retries=0, reader=_reader("latency")).run
        for row in report.latency.rows if report.latency else ():
            if row.block_bytes == block:
                one.random_ns = row.cells[report.latency.columns.index("RANDOM")].ns_per_load
        kernel = one.tables["read"].kernel if one.tables.get("read") else None
        table = report.table("read", 16)
        if table is not None and kernel in table.columns:
            for row in table.rows:
                if row.block_bytes == block:
                    one.read_bytes_per_second = row.cells[table.columns.index(kernel)].bytes_per_second
                    one.read_kernel = kernel
        progress(f"loaded latency {index + 1}/{rounds}: the bench's chase at {size}")
        pair = interleaved_chase(helpers["interleaved_chase"], cpu, "random", block, False, CHASE_LOADS)
        one.chase_ns = min(pair.plain_ns)
        found.rounds.append(one)
    return found


def _idle(table):
    return next((row for row in table.rows if row.delay_cycles is None), None) if table else None


def _zero(table):
    return next((row for row in table.rows if row.delay_cycles == 0), None) if table else None


def latency_fall(table):
    """How far the latency of the rows of most traffic lies below that of the rows of least (0 when
    it does not), each side the median of a quarter of the curve's rows, so that one row the host
    slowed or sped decides nothing; and the two quarters' labels. A curve whose loaders add no
    clear traffic has nothing to judge: 0."""
    rows = sorted(table.rows, key=lambda row: row.bandwidth.bytes_per_second)
    quarter = max(1, (len(rows) + 3) // 4)
    low, high = rows[:quarter], rows[-quarter:]
    if not rows or median(r.bandwidth.bytes_per_second for r in high) < \
            CLEARLY_HIGHER * median(r.bandwidth.bytes_per_second for r in low):
        return 0.0, [], []
    fall = 1 - median(r.latency.ns_per_load for r in high) / median(r.latency.ns_per_load for r in low)
    return max(fall, 0.0), [r.label for r in high], [r.label for r in low]


def _best(ratios):
    """The ratio nearest 1 and the round it came from (1-based)."""
    found = [(abs(ratio - 1), index + 1, ratio) for index, ratio in enumerate(ratios) if ratio is not None]
    return min(found)[1:] if found else (None, None)


def section(b, found):
    size = block_label(found.block)
    b.heading(f"Loaded latency at {size}: a chase on one processor while the other streams")
    for load in LOADS:
        b.say()
        b.say(f"--load {load}: LATENCY ns per load / BANDWIDTH GiB/s, per round")
        labels = [row.label for row in found.rounds[0].tables[load].rows] if found.rounds else []
        body = []
        for label in labels:
            line = [label + ":"]
            for one in found.rounds:
                row = next((r for r in one.tables[load].rows if r.label == label), None)
                line.append("-" if row is None else
                            f"{row.latency.ns_per_load:.1f} / {row.bandwidth.bytes_per_second / 2 ** 30:.2f}")
                if row is not None:
                    b.record("loaded latency", load, size, label, "ns_per_load", row.latency.ns_per_load, "ns")
                    b.record("loaded latency", load, size, label, "bandwidth", row.bandwidth.bytes_per_second,
                             "B/s")
            body.append(line)
        b.table(["DELAY"] + [f"round {n + 1}" for n in range(len(found.rounds))], body)
    b.say()
    body, to_latency, to_chase, to_read = [], [], [], []
    for n, one in enumerate(found.rounds):
        idle, zero = _idle(one.tables["read"]), _zero(one.tables["read"])
        idle_ns = idle.latency.ns_per_load if idle else None
        to_latency.append(idle_ns / one.random_ns if idle_ns and one.random_ns else None)
        to_chase.append(idle_ns / one.chase_ns if idle_ns and one.chase_ns else None)
        zero_rate = zero.bandwidth.bytes_per_second if zero else None
        to_read.append(zero_rate / one.read_bytes_per_second if zero_rate and one.read_bytes_per_second else None)

        def show(value, unit=""):
            return "-" if value is None else f"{value:.1f}{unit}"

        body.append([str(n + 1), show(idle_ns), show(one.random_ns), show(one.chase_ns),
                     show(zero_rate and zero_rate / 2 ** 30), show(one.read_bytes_per_second and
                                                                   one.read_bytes_per_second / 2 ** 30)])
    b.table(["round", "idle ns", "--latency RANDOM ns", "bench chase ns", "0: GiB/s",
             f"--threads 1 read GiB/s ({found.rounds[0].read_kernel if found.rounds else '-'})"], body)
    for name, ratios, tolerance, target in (
            ("idle_over_latency_random", to_latency, IDLE_TO_LATENCY,
             f"idle row within {IDLE_TO_LATENCY:.0%} of --latency RANDOM at {size}"),
            ("idle_over_bench_chase", to_chase, IDLE_TO_CHASE,
             f"idle row within {IDLE_TO_CHASE:.0%} of the bench's chase at {size}"),
            ("zero_row_over_one_processor_read", to_read, ZERO_ROW_TO_READ,
             f"0 row's BANDWIDTH within {ZERO_ROW_TO_READ:.0%} of --threads 1 read at {size}")):
        for n, ratio in enumerate(ratios):
            if ratio is not None:
                b.record("loaded latency", "read", size, "", f"{name}_round{n + 1}", ratio, "ratio")
        best_round, best = _best(ratios)
        b.judge(target, None if best is None else abs(best - 1) <= tolerance,
                "no figure" if best is None else
                f"best round {best_round}: {best:.3f}; all: "
                + ", ".join("-" if r is None else f"{r:.3f}" for r in ratios))
    for load in LOADS:
        falls = [latency_fall(one.tables[load]) for one in found.rounds]
        best = min(falls, key=lambda fall: fall[0]) if falls else None
        b.judge(f"--load {load}: latency does not fall as bandwidth rises (the median of the quarter of rows of "
                f"most traffic at most {NOISE:.0%} below that of the quarter of least)",
                None if best is None else best[0] <= NOISE,
                "no figure" if best is None else
                f"best round's fall {best[0]:.1%}"
                + (f" (rows {', '.join(best[1])} against {', '.join(best[2])})" if best[1] else "")
                + "; all rounds: " + ", ".join(f"{fall[0]:.1%}" for fall in falls))
