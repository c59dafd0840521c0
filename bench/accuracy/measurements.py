"""Collects every figure the report needs, in one pass over the machine:
Kestrune runs interleaved with the reference, then the runs with options that
need their own reference (two threads, main memory), the --repeat runs and the
helper experiments."""

import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from kestrune_report.units import format_size, parse_size_label

from . import child_process, copy_fill, helper_programs, host_load, latency, loaded_latency, reference, straight_frame
from .runs import read_run
from .same_width import AGREEMENT_BLOCKS, INTERLEAVED_TURNS

# A run pushed off its processor more often than this is run once more, while
# the bench's ration of retries lasts; the report counts the runs set aside.
# Targets are judged on the best run, so a retry only buys a better chance.
MAX_SWITCHES_PER_RUN = 50
RETRIES = 1
RETRY_BUDGET = 3
# The whole bench must finish in ten minutes, so waiting for a quiet host is
# rationed: once this much has gone on waiting, runs start at once.
QUIET_BUDGET_SECONDS = 30.0

# Every column, in bytes per cycle; the JSON carries the exact rates beside them.
MAIN_OPTIONS = ["--isa", "all", "--per-cycle"]
THREAD_OPTIONS = ["--isa", "all", "--threads", "2"]
DRAM_OPTIONS = ["--isa", "all", "--max-size", "512MB"]
REPEAT_COUNT = 5
REPEAT_MAX_BLOCK = 64 << 10
REPEAT_OPTIONS = MAIN_OPTIONS + ["--repeat", str(REPEAT_COUNT), "--max-size", format_size(REPEAT_MAX_BLOCK)]
# The run without options follows every other main round, the first included
# (three of five); a single-thread reference pass follows each of the others
# (two of five). Each likwid-bench call spends a second calibrating its timer,
# so a pass per round would not fit the ten minutes.
DEFAULT_EVERY = 2
THREAD_ROUNDS = 2
# Main memory is shared with every other guest on the host, whose traffic comes
# and goes over tens of seconds: ours and the reference alternate, twice each.
DRAM_ROUNDS = 2


@dataclass
class Round:
    run: object          # runs.Run of `kestrune --isa all --per-cycle`
    wall_seconds: float
    clock_before: object  # helper_programs.CycleReading
    clock_after: object
    involuntary_switches: int
    discarded_runs: int
    seconds_waited_for_quiet: float
    probe_before: dict  # accesses per cycle by kind, read just before the run
    probe_after: dict   # and just after it

    @property
    def ticks_per_cycle(self):
        return (self.clock_before.ticks_per_cycle + self.clock_after.ticks_per_cycle) / 2

    def bench_core_mhz(self):
        """The core clock by the bench's own reading: the mean of the two around the run."""
        return self.run.clock_mhz / self.ticks_per_cycle

    def probe_around(self, kind):
        """What the probe sustained around the run: the mean of its readings before and after."""
        return (self.probe_before[kind] + self.probe_after[kind]) / 2


@dataclass
class PlainRun:
    """A run measured for itself: its cells, wall time and how often it was pushed off."""
    run: object
    wall_seconds: float
    involuntary_switches: int
    discarded_runs: int
    seconds_waited_for_quiet: float


@dataclass
class Measurements:
    cpu: int
    rounds: list = field(default_factory=list)
    # the run without options, one after each round: clock, overhead, wall time
    default_runs: list = field(default_factory=list)
    # (kernel, size) -> [GiB/s per reference pass]
    reference: dict = field(default_factory=dict)
    reference_source: object = None
    pairings: list = field(default_factory=list)
    thread_runs: list = field(default_factory=list)
    thread_reference: dict = field(default_factory=dict)
    dram_runs: list = field(default_factory=list)
    dram_reference: dict = field(default_factory=dict)
    repeat_runs: list = field(default_factory=list)
    # every kernel run in turn in one process: helper_programs.InterleavedColumns
    interleaved: object = None
    # the straight frame's section: runs with FRAME_OPTIONS, and the program's
    # kernels interleaved with likwid-bench
    frame_runs: list = field(default_factory=list)
    # per frame run: (table, block, column) -> the fastest of the cell's runs, bytes per core cycle
    frame_fastest: list = field(default_factory=list)
    frame_interleaved: list = field(default_factory=list)
    frame_reference: dict = field(default_factory=dict)
    # huge pages (bool) -> latency.LatencyRun; (huge, block, column) -> latency.ChasePair
    latency_runs: dict = field(default_factory=dict)
    chase_pairs: dict = field(default_factory=dict)
    # the copy and fill section: a --copy run, the program's kernels interleaved with
    # likwid-bench's copy kernels; (kernel, block) -> [copied GiB/s per pass]
    copy_run: object = None
    copy_interleaved: list = field(default_factory=list)
    copy_reference: dict = field(default_factory=dict)
    # processor -> busy share over one second before the first run
    background: dict = field(default_factory=dict)
    seconds_waited_for_quiet: float = 0.0
    retries: int = 0


def lowest_online_cpu():
    text = Path("/sys/devices/system/cpu/online").read_text().strip()
    return int(text.split(",")[0].split("-")[0])


_STARTED = time.monotonic()


def _progress(message):
    print(f"[{time.monotonic() - _STARTED:4.0f} s] {message}", file=sys.stderr, flush=True)


class _Runner:
    """Starts each Kestrune run once the host is quiet, within the bench's ration of waiting."""

    def __init__(self, binary, runs_dir, m):
        self.binary = binary
        self.runs_dir = runs_dir
        self.m = m

    def quiet(self):
        waited = child_process.wait_for_quiet(max(0.0, QUIET_BUDGET_SECONDS - self.m.seconds_waited_for_quiet))
        self.m.seconds_waited_for_quiet += waited
        return waited

    def run(self, options, name, retries=RETRIES, reader=read_run):
        """The kept attempt (read by `reader`, from the JSON where the options allow one), its result,
        and how many noisier attempts were set aside."""
        json_path = self.runs_dir / f"{name}.json"
        command = [str(self.binary)] + options + (["--json", str(json_path)] if "--per-cycle" in options else [])
        for attempt in range(retries + 1):
            result = child_process.run_counting_switches(command)
            (self.runs_dir / f"{name}.txt").write_text(result.stdout)
            if result.returncode != 0:
                raise RuntimeError(f"{' '.join(command)} exited with {result.returncode}")
            if result.involuntary_switches <= MAX_SWITCHES_PER_RUN or attempt == retries \
                    or self.m.retries >= RETRY_BUDGET:
                break
            self.m.retries += 1
            _progress(f"  {result.involuntary_switches} forced switches: another process shared the processor; "
                      f"once more")
        text = json_path.read_text() if json_path.exists() else result.stdout
        return reader(text), result, attempt

    def plain(self, options, name, retries=RETRIES, reader=read_run):
        waited = self.quiet()
        run, result, discarded = self.run(options, name, retries, reader)
        return PlainRun(run, result.wall_seconds, result.involuntary_switches, discarded, waited)


def _reference_pass(source, pairings, sizes, threads, into):
    for size in sizes:
        for pairing in pairings:
            into.setdefault((pairing.kernel, size), []).append(source.measure(pairing.kernel, size, threads))


def _start(binary, helpers, out_dir):
    cpu = lowest_online_cpu()
    runs_dir = out_dir / "runs"
    runs_dir.mkdir(parents=True, exist_ok=True)
    m = Measurements(cpu=cpu)
    m.reference_source = reference.choose_reference(helpers["reference_loop"], cpu)
    return m, _Runner(binary, runs_dir, m)


def collect_copy_only(binary, helpers, out_dir):
    """The copy and fill section's figures alone."""
    m, runner = _start(binary, helpers, out_dir)
    copy_fill.collect(m, runner, helpers, _progress)
    return m


def collect_loaded_only(binary, helpers, out_dir, block, rounds):
    """The loaded-latency section's figures alone, at `block` (as --max-size spells it)."""
    m, runner = _start(binary, helpers, out_dir)
    return loaded_latency.collect(runner, helpers, m.cpu, parse_size_label(block + ":"), _progress, rounds)


def collect(binary, helpers, out_dir, rounds):
    m, runner = _start(binary, helpers, out_dir)
    cpu = m.cpu
    before = host_load.read_cpu_times()
    time.sleep(1.0)
    after = host_load.read_cpu_times()
    m.background = {c: host_load.busy_share(before, after, c) for c in before}

    for index in range(rounds):
        _progress(f"round {index + 1}/{rounds}: kestrune {' '.join(MAIN_OPTIONS)}")
        waited = runner.quiet()
        probe_before = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
        clock_before = helper_programs.read_core_clock(helpers["core_clock"], cpu)
        run, result, discarded = runner.run(MAIN_OPTIONS, f"run-{index + 1}")
        clock_after = helper_programs.read_core_clock(helpers["core_clock"], cpu)
        probe_after = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
        m.rounds.append(Round(run, result.wall_seconds, clock_before, clock_after,
                              result.involuntary_switches, discarded, waited, probe_before, probe_after))
        if index == 0:
            sixteen = {(key.direction, column) for key, columns in run.columns.items() if key.alignment == 16
                       for column in columns}
            m.pairings = reference.pairings_for(sixteen)

        if index % DEFAULT_EVERY == 0:
            _progress(f"round {index + 1}/{rounds}: kestrune without options")
            m.default_runs.append(runner.plain([], f"default-{index + 1}"))
        if index % DEFAULT_EVERY == 1 or rounds == 1:
            _progress(f"round {index + 1}/{rounds}: reference ({m.reference_source.name})")
            _reference_pass(m.reference_source, m.pairings, reference.SIZES, 1, m.reference)

    for index in range(THREAD_ROUNDS):
        _progress(f"two threads {index + 1}/{THREAD_ROUNDS}: kestrune {' '.join(THREAD_OPTIONS)}, reference")
        # Both processors are busy by design: a neighbour's share is counted, never retried.
        m.thread_runs.append(runner.plain(THREAD_OPTIONS, f"threads-{index + 1}", retries=0))
        _reference_pass(m.reference_source, m.pairings, reference.THREAD_SIZES, 2, m.thread_reference)

    for index in range(DRAM_ROUNDS):
        _progress(f"main memory {index + 1}/{DRAM_ROUNDS}: kestrune {' '.join(DRAM_OPTIONS)}")
        m.dram_runs.append(runner.plain(DRAM_OPTIONS, f"dram-{index + 1}", retries=0))
        _progress("main memory: reference at 256 MiB")
        _reference_pass(m.reference_source, m.pairings, [reference.DRAM_SIZE], 1, m.dram_reference)

    for index in range(REPEAT_COUNT):
        _progress(f"repeat {index + 1}/{REPEAT_COUNT}: kestrune {' '.join(REPEAT_OPTIONS)}")
        m.repeat_runs.append(runner.plain(REPEAT_OPTIONS, f"repeat-{index + 1}", retries=0))

    straight_frame.collect(m, runner, helpers, _progress)
    latency.collect(m, runner, helpers, _progress)
    copy_fill.collect(m, runner, helpers, _progress)

    _progress("interleaved columns")
    runner.quiet()
    m.interleaved = helper_programs.read_interleaved_columns(helpers["interleaved_columns"], cpu,
                                                             INTERLEAVED_TURNS, AGREEMENT_BLOCKS)

    return m
