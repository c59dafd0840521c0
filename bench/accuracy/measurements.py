"""Collects every figure the report needs, in one pass over the machine, as the
run's plan (plan.py) says: section by section, each between two readings of
the host's state (host_state), the program's own runs, then the pairs that
judge its kernels against the reference (paired_reference) and against each
other."""

import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from kestrune_report.units import format_size, parse_size_label

from . import (child_process, copy_fill, helper_programs, host_load, host_state, latency, loaded_latency,
               paired_sections, parallel_chains, reference, straight_frame)
from .paired_reference import PAIR_RUN_BYTES, Extension, PairSides, measure_groups, read_kernel_turns
from .runs import read_cell_runs, read_run
from .same_width import AGREEMENT_BLOCKS, INTERLEAVED_TURNS, TURN_RUN_BYTES, width_groups

# A run pushed off its processor more often than this is run once more, while
# the bench's ration of retries lasts; the report counts the runs set aside.
# Targets are judged on the best run, so a retry only buys a better chance.
MAX_SWITCHES_PER_RUN = 50
RETRIES = 1
RETRY_BUDGET = 3

# Every column, in bytes per cycle; the JSON carries the exact rates beside them.
MAIN_OPTIONS = ["--isa", "all", "--per-cycle"]
THREAD_OPTIONS = ["--isa", "all", "--threads", "2"]
DRAM_OPTIONS = ["--isa", "all", "--max-size", "512MB"]
REPEAT_COUNT = 5
REPEAT_MAX_BLOCK = 64 << 10
REPEAT_OPTIONS = MAIN_OPTIONS + ["--repeat", str(REPEAT_COUNT), "--max-size", format_size(REPEAT_MAX_BLOCK)]


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
    plan: object = None  # plan.Plan
    rounds: list = field(default_factory=list)
    # the run without options, after every other round: clock, overhead, wall time
    default_runs: list = field(default_factory=list)
    reference_source: object = None
    pairings: list = field(default_factory=list)
    # (direction, column) of every kernel the processor runs
    shown: list = field(default_factory=list)
    tsc_mhz: object = None
    # the paired comparisons against the reference: paired_sections.PairedPlan, and per
    # paired_reference.Group its pairs; the reference runs that failed
    paired_plan: object = None
    paired: dict = field(default_factory=dict)
    pair_failures: list = field(default_factory=list)
    pairs_held: bool = False   # the reference runs were held in their calibration (paired_reference)
    pairs_unheld: int = 0      # held runs that ran before they could be held, left out
    extension: object = None   # paired_reference.Extension: more pairs where the first cannot judge
    # shown beside the paired judging: the program's own runs with options
    thread_runs: list = field(default_factory=list)
    dram_runs: list = field(default_factory=list)
    repeat_runs: list = field(default_factory=list)
    repeat_cells: list = field(default_factory=list)  # per run with --repeat: runs.read_cell_runs of its cells
    # (direction, column, block) -> [ticks of each turn], the kernel_turns helper at the agreement blocks
    same_width_turns: dict = field(default_factory=dict)
    # the straight frame's section: runs with FRAME_OPTIONS; per run, (table, block, column) -> the fastest
    # of the cell's runs, bytes per core cycle; column -> [Pair(two threads, one)]
    frame_runs: list = field(default_factory=list)
    frame_fastest: list = field(default_factory=list)
    frame_probes: list = field(default_factory=list)  # per invocation: the probe's 512-bit loads before and after
    thread_scaling: dict = field(default_factory=dict)
    # huge pages (bool) -> latency.LatencyRun; (huge, block, column) -> latency.ChasePair
    latency_runs: dict = field(default_factory=dict)
    latency_cache_runs: list = field(default_factory=list)  # latency.LatencyRun of the short runs to 256 KiB
    chase_pairs: dict = field(default_factory=dict)
    # the copy and fill section: a --copy run; (direction, column, block) -> (bytes, [ticks]) of what stands beside
    copy_run: object = None
    copy_turns: dict = field(default_factory=dict)
    # section -> host_state.HostState: what the host did while it was measured
    host_states: dict = field(default_factory=dict)
    # processor -> busy share over one second before the first run
    background: dict = field(default_factory=dict)
    seconds_waited_for_quiet: float = 0.0
    retries: int = 0


def lowest_online_cpu():
    text = Path("/sys/devices/system/cpu/online").read_text().strip()
    return int(text.split(",")[0].split("-")[0])


_STARTED = time.monotonic()


def progress(message):
    print(f"[{time.monotonic() - _STARTED:4.0f} s] {message}", file=sys.stderr, flush=True)


class _Runner:
    """Starts each Kestrune run once the host is quiet, within the bench's ration of waiting."""

    def __init__(self, binary, runs_dir, m):
        self.binary = binary
        self.runs_dir = runs_dir
        self.m = m

    def quiet(self):
        # The whole bench must finish in its time, so waiting for a quiet host is
        # rationed by the plan: once that much has gone on waiting, runs start at once.
        waited = child_process.wait_for_quiet(max(0.0, self.m.plan.quiet_budget_seconds
                                                  - self.m.seconds_waited_for_quiet))
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
            progress(f"  {result.involuntary_switches} forced switches: another process shared the processor; "
                      f"once more")
        text = json_path.read_text() if json_path.exists() else result.stdout
        return reader(text), result, attempt

    def plain(self, options, name, retries=RETRIES, reader=read_run):
        waited = self.quiet()
        run, result, discarded = self.run(options, name, retries, reader)
        return PlainRun(run, result.wall_seconds, result.involuntary_switches, discarded, waited)


def _start(binary, helpers, out_dir, plan, tsc_mhz):
    cpu = lowest_online_cpu()
    runs_dir = out_dir / "runs"
    runs_dir.mkdir(parents=True, exist_ok=True)
    m = Measurements(cpu=cpu, plan=plan, tsc_mhz=tsc_mhz)
    m.reference_source = reference.choose_reference(helpers["reference_loop"], cpu)
    m.shown = host_state.shown_kernels(helpers["kernel_turns"], cpu)
    shown = set(m.shown)
    m.pairings = reference.pairings_for({(d, c) for d, c in shown if d in ("read", "write")})
    m.paired_plan = paired_sections.plan_pairs(plan, m.pairings, shown)
    m.extension = Extension(plan.more_pairs_for, plan.more_pairs_seconds)
    return m, _Runner(binary, runs_dir, m)


class _Sections:
    """Measures each section between two readings of the host's state."""

    def __init__(self, m, helpers, kernels):
        self.m = m
        self.helpers = helpers
        self.store = host_state.widest_store(kernels, m.shown)

    def measure(self, section, measure):
        result, state = host_state.around(self.helpers, self.m.cpu, self.store, self.m.tsc_mhz, measure)
        self.m.host_states[section] = state
        progress(f"  host: {state.sentence()}")
        return result


def _pairs(m, helpers, runner, section):
    sides = PairSides(m.cpu, helpers["kernel_turns"], m.reference_source, m.tsc_mhz, hold=child_process.can_hold())
    m.pairs_held = sides.hold
    groups = [group for group in m.paired_plan.groups(section) if group not in m.paired]
    progress(f"{section}: {len(groups)} comparisons against {m.reference_source.name}, "
              f"{m.plan.pairs} pairs each ({m.plan.memory_pairs} in main memory)")
    runner.quiet()
    m.paired.update(measure_groups(sides, groups, m.plan.pairs_for, progress, m.paired_plan.undecided, m.extension))
    m.pair_failures += sides.failures
    m.pairs_unheld += sides.unheld


def _same_width(m, helpers, kernels):
    """Each group of one width and direction in turn, in a process of its own: its columns' runs lie
    milliseconds apart, so that each turn's pairs share the host's moment."""
    for direction in ("read", "write"):
        columns = [column for shown_direction, column in m.shown if shown_direction == direction]
        for members in width_groups(kernels, direction, columns).values():
            for block in AGREEMENT_BLOCKS:
                command = [str(helpers["kernel_turns"]), str(m.cpu), "1", str(INTERLEAVED_TURNS), str(block),
                           str(TURN_RUN_BYTES)] + [f"{direction}:{column}" for column in members]
                out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
                for (found_direction, column), (_, ticks) in read_kernel_turns(out).items():
                    m.same_width_turns[(found_direction, column, block)] = ticks


def collect_planted(helpers, out_dir, plan, tsc_mhz, kernels, planted):
    """The sections that judge the planted column (direction, column), and nothing else: same width, and the
    one-thread reference for the columns of its direction (the stores' loops share nothing with a load's, and a
    store that trails likwid-bench's in the normal build would stand for a false alarm)."""
    m, runner = _start(None, helpers, out_dir, plan, tsc_mhz)
    own = m.paired_plan.comparisons[paired_sections.ONE_THREAD]
    m.paired_plan.comparisons[paired_sections.ONE_THREAD] = [c for c in own if c.column[0] == planted[0]]
    sections = _Sections(m, helpers, kernels)
    progress("same width: the program's kernels in turn")
    sections.measure("same width", lambda: _same_width(m, helpers, kernels))
    sections.measure(paired_sections.ONE_THREAD, lambda: _pairs(m, helpers, runner, paired_sections.ONE_THREAD))
    return m


def collect_chains_only(binary, out_dir, plan):
    """The parallel-chains section's runs alone: the program's own table, no reference beside it."""
    runs_dir = out_dir / "runs"
    runs_dir.mkdir(parents=True, exist_ok=True)
    return parallel_chains.collect(_Runner(binary, runs_dir, Measurements(cpu=lowest_online_cpu(), plan=plan)),
                                   progress)


def collect_loaded_only(binary, helpers, out_dir, plan, tsc_mhz, block, rounds):
    """The loaded-latency section's figures alone, at `block` (as --max-size spells it)."""
    cpu = lowest_online_cpu()
    runs_dir = out_dir / "runs"
    runs_dir.mkdir(parents=True, exist_ok=True)
    runner = _Runner(binary, runs_dir, Measurements(cpu=cpu, plan=plan, tsc_mhz=tsc_mhz))
    return loaded_latency.collect(runner, helpers, cpu, parse_size_label(block + ":"), progress, rounds)


def collect_copy_only(binary, helpers, out_dir, plan, tsc_mhz, kernels):
    """The copy and fill section's figures alone."""
    m, runner = _start(binary, helpers, out_dir, plan, tsc_mhz)
    sections = _Sections(m, helpers, kernels)

    def copy():
        copy_fill.collect(m, runner, helpers, progress, plan)
        _pairs(m, helpers, runner, paired_sections.COPY)

    sections.measure("copy", copy)
    return m


def collect(binary, helpers, out_dir, plan, tsc_mhz, kernels):
    m, runner = _start(binary, helpers, out_dir, plan, tsc_mhz)
    cpu = m.cpu
    before = host_load.read_cpu_times()
    time.sleep(1.0)
    after = host_load.read_cpu_times()
    m.background = {c: host_load.busy_share(before, after, c) for c in before}
    sections = _Sections(m, helpers, kernels)

    def rounds():
        for index in range(plan.rounds):
            progress(f"round {index + 1}/{plan.rounds}: kestrune {' '.join(MAIN_OPTIONS)}")
            waited = runner.quiet()
            probe_before = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
            clock_before = helper_programs.read_core_clock(helpers["core_clock"], cpu)
            run, result, discarded = runner.run(MAIN_OPTIONS, f"run-{index + 1}")
            clock_after = helper_programs.read_core_clock(helpers["core_clock"], cpu)
            probe_after = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
            m.rounds.append(Round(run, result.wall_seconds, clock_before, clock_after,
                                  result.involuntary_switches, discarded, waited, probe_before, probe_after))
            if index % plan.default_every == 0:
                progress(f"round {index + 1}/{plan.rounds}: kestrune without options")
                m.default_runs.append(runner.plain([], f"default-{index + 1}"))
        for index in range(plan.repeat_runs):
            progress(f"repeat {index + 1}/{plan.repeat_runs}: kestrune {' '.join(REPEAT_OPTIONS)}")
            m.repeat_runs.append(runner.plain(REPEAT_OPTIONS, f"repeat-{index + 1}", retries=0))
            m.repeat_cells.append(read_cell_runs(runner.runs_dir / f"repeat-{index + 1}.json"))

    def two_threads():
        for index in range(plan.thread_runs):
            progress(f"two threads {index + 1}/{plan.thread_runs}: kestrune {' '.join(THREAD_OPTIONS)}")
            # Both processors are busy by design: a neighbour's share is counted, never retried.
            m.thread_runs.append(runner.plain(THREAD_OPTIONS, f"threads-{index + 1}", retries=0))
        _pairs(m, helpers, runner, paired_sections.TWO_THREADS)

    def main_memory():
        for index in range(plan.dram_runs):
            progress(f"main memory {index + 1}/{plan.dram_runs}: kestrune {' '.join(DRAM_OPTIONS)}")
            m.dram_runs.append(runner.plain(DRAM_OPTIONS, f"dram-{index + 1}", retries=0))
        _pairs(m, helpers, runner, paired_sections.MAIN_MEMORY)

    def frame():
        straight_frame.collect(m, runner, helpers, progress, plan)
        _pairs(m, helpers, runner, paired_sections.FRAME)
        wide = [column for direction, column in m.shown if direction == "read" and column in straight_frame.WIDE_READS]
        if wide:
            progress("straight frame: two threads against one, in pairs")
            m.thread_scaling = straight_frame.thread_scaling_pairs(helpers["kernel_turns"], cpu, wide, plan.pairs,
                                                                   PAIR_RUN_BYTES)

    def copy():
        copy_fill.collect(m, runner, helpers, progress, plan)
        _pairs(m, helpers, runner, paired_sections.COPY)

    sections.measure("rounds", rounds)
    sections.measure(paired_sections.ONE_THREAD, lambda: _pairs(m, helpers, runner, paired_sections.ONE_THREAD))
    sections.measure(paired_sections.TWO_THREADS, two_threads)
    sections.measure(paired_sections.MAIN_MEMORY, main_memory)
    progress("same width: the program's kernels in turn")
    sections.measure("same width", lambda: _same_width(m, helpers, kernels))
    sections.measure("straight frame", frame)
    sections.measure("latency", lambda: latency.collect(m, runner, helpers, progress, plan))
    sections.measure("copy", copy)
    return m
