"""Collects every figure the report needs, in one pass over the machine:
Kestrune runs interleaved with the reference, then the helper experiments."""

import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import child_process, helper_programs, host_load, investigations, reference
from .runs import read_run

# A run pushed off its processor more often than this is run once more; the
# report counts the runs set aside.
MAX_SWITCHES_PER_RUN = 50
RETRIES = 1


@dataclass
class Round:
    run: object          # runs.Run
    wall_seconds: float
    clock_before: object  # helper_programs.CycleReading
    clock_after: object
    other_cpu_busy: float
    involuntary_switches: int
    discarded_runs: int
    seconds_waited_for_quiet: float
    probe: dict  # accesses per cycle by kind, read just before the run

    @property
    def ticks_per_cycle(self):
        return (self.clock_before.ticks_per_cycle + self.clock_after.ticks_per_cycle) / 2


@dataclass
class Measurements:
    cpu: int
    rounds: list = field(default_factory=list)
    # (kernel, size) -> [GiB/s per round]
    reference: dict = field(default_factory=dict)
    reference_source: object = None
    mmx_store_loop: dict = field(default_factory=dict)
    # processor -> busy share over one second before the first run
    background: dict = field(default_factory=dict)
    nt_experiment: tuple = None
    first_rows_experiment: dict = None


def lowest_online_cpu():
    text = Path("/sys/devices/system/cpu/online").read_text().strip()
    return int(text.split(",")[0].split("-")[0])


def _progress(message):
    print(message, file=sys.stderr, flush=True)


def _run_kestrune(binary, runs_dir, index):
    """The kept attempt (parsed), and how many noisier attempts were set aside."""
    for attempt in range(RETRIES + 1):
        result = child_process.run_counting_switches([str(binary)])
        (runs_dir / f"run-{index + 1}.txt").write_text(result.stdout)
        if result.returncode != 0:
            raise RuntimeError(f"kestrune exited with {result.returncode}")
        if result.involuntary_switches <= MAX_SWITCHES_PER_RUN:
            break
        _progress(f"  {result.involuntary_switches} forced switches: another process shared the processor")
    return read_run(result.stdout), result, attempt


def collect(binary, helpers, out_dir, rounds, first_rows_repetitions, tsc_mhz):
    cpu = lowest_online_cpu()
    runs_dir = out_dir / "runs"
    runs_dir.mkdir(parents=True, exist_ok=True)
    m = Measurements(cpu=cpu)
    m.reference_source = reference.choose_reference(helpers["reference_loop"], cpu)
    before = host_load.read_cpu_times()
    time.sleep(1.0)
    after = host_load.read_cpu_times()
    m.background = {c: host_load.busy_share(before, after, c) for c in before}
    other = [c for c in before if c != cpu]

    for index in range(rounds):
        _progress(f"round {index + 1}/{rounds}: kestrune")
        waited = child_process.wait_for_quiet()
        times_before = host_load.read_cpu_times()
        probe = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
        clock_before = helper_programs.read_core_clock(helpers["core_clock"], cpu)
        run, result, discarded = _run_kestrune(binary, runs_dir, index)
        clock_after = helper_programs.read_core_clock(helpers["core_clock"], cpu)
        times_after = host_load.read_cpu_times()
        busy = max((host_load.busy_share(times_before, times_after, c) for c in other), default=0.0)
        m.rounds.append(Round(run, result.wall_seconds, clock_before, clock_after, busy,
                              result.involuntary_switches, discarded, waited, probe))

        _progress(f"round {index + 1}/{rounds}: reference ({m.reference_source.name})")
        for size in reference.SIZES:
            for pairing in reference.PAIRINGS:
                rate = m.reference_source.measure(pairing.kernel, size)
                m.reference.setdefault((pairing.kernel, size), []).append(rate)

    _progress("MMX store and non-temporal store experiments")
    m.mmx_store_loop = helper_programs.read_named_numbers(helpers["mmx_store_loop"], cpu)
    # Without the kernel's figure, ticks convert at the rate the program printed.
    ticks_mhz = tsc_mhz or m.rounds[0].run.clock_mhz
    m.nt_experiment = investigations.run_nt_experiment(helpers["nt_store_ordering"], cpu, ticks_mhz)
    if first_rows_repetitions > 0:
        _progress(f"first-rows experiment ({first_rows_repetitions} x 2 waits of 3 s)")
        m.first_rows_experiment = investigations.run_first_rows_experiment(
            helpers["first_rows_after_wait"], cpu, first_rows_repetitions)
    return m
