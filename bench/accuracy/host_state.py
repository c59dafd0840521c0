"""What the host did while a section was measured: the issue-rate probe just
before and just after it, and a burst against sustained pair of the widest
ordinary store at 256 KiB: a run of 64 MiB (a cell's worth), then a run of
about a second. A quiet host lets both run at one speed; a busy one throttles
sustained traffic where short bursts pass, and then every comparison made at
different run lengths, or minutes apart, measures the host."""

import subprocess
from dataclasses import dataclass
from typing import Optional

from . import helper_programs
from .issue_limits import non_temporal
from .paired_reference import read_kernel_turns

STORE_BLOCK = 256 << 10
BURST_BYTES = 64 << 20
SUSTAINED_SECONDS = 1.0
# A run's lines are a 32-bit count of 128-byte lines.
MOST_RUN_BYTES = ((1 << 31) - 1) * 128
# Where the counter's rate is unknown, a second is reckoned at this.
ASSUMED_TSC_MHZ = 2000.0


@dataclass
class HostState:
    probe_before: dict   # accesses per cycle by kind
    probe_after: dict
    store: Optional[str]  # the write column stored with
    burst: Optional[float]      # bytes per tick over 64 MiB
    sustained: Optional[float]  # bytes per tick over about a second
    sustained_bytes: int = 0

    @property
    def throttle(self):
        """How much slower the sustained stores ran than the burst: 0.28 for 28%."""
        if not self.burst or not self.sustained:
            return None
        return 1.0 - self.sustained / self.burst

    def sentence(self):
        if self.throttle is None:
            return "the host's throttling was not measured (no ordinary store column)"
        if self.throttle >= 0.03:
            return (f"the host throttled sustained stores by {self.throttle:.0%} during this section "
                    f"({self.store} at 256 KiB: a second of stores at {1 - self.throttle:.2f} of a 64 MiB burst)")
        if self.throttle <= -0.03:
            return (f"sustained stores ran {-self.throttle:.0%} faster than a 64 MiB burst during this section "
                    f"({self.store} at 256 KiB): the burst was disturbed")
        return f"no throttling of sustained stores during this section ({self.store} at 256 KiB, within 3%)"

    def probe_sentence(self):
        kinds = [kind for kind in ("xmm_load", "zmm_load", "xmm_store", "zmm_store") if kind in self.probe_before]
        return "issue-rate probe before -> after, accesses per cycle: " + ", ".join(
            f"{kind} {self.probe_before[kind]:.2f} -> {self.probe_after.get(kind, float('nan')):.2f}"
            for kind in kinds)


def widest_store(kernels, shown):
    """The widest ordinary (not streaming) write column among those the processor runs; shown: [(dir, column)]."""
    stores = [column for direction, column in shown
              if direction == "write" and not non_temporal(kernels[("write", column)])]
    return max(stores, key=lambda column: kernels[("write", column)].access_bytes, default=None)


def shown_kernels(kernel_turns, cpu):
    out = subprocess.run([str(kernel_turns), str(cpu), "list"], check=True, capture_output=True, text=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines()]


def _store_rate(kernel_turns, cpu, column, run_bytes):
    out = subprocess.run([str(kernel_turns), str(cpu), "1", "1", str(STORE_BLOCK), str(run_bytes), f"write:{column}"],
                         check=True, capture_output=True, text=True).stdout
    moved, ticks = read_kernel_turns(out)[("write", column)]
    return moved / ticks[0]


def burst_and_sustained(kernel_turns, cpu, column, tsc_mhz):
    """(burst, sustained, bytes of the sustained run), in bytes per tick."""
    burst = _store_rate(kernel_turns, cpu, column, BURST_BYTES)
    per_second = burst * (tsc_mhz or ASSUMED_TSC_MHZ) * 1e6
    run_bytes = min(MOST_RUN_BYTES, int(per_second * SUSTAINED_SECONDS)) // STORE_BLOCK * STORE_BLOCK
    return burst, _store_rate(kernel_turns, cpu, column, max(run_bytes, BURST_BYTES)), run_bytes


def around(helpers, cpu, store, tsc_mhz, measure):
    """Runs measure() between two readings of the probe, then the store pair; (its result, HostState)."""
    before = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
    result = measure()
    after = helper_programs.read_named_numbers(helpers["issue_rate_probe"], cpu)
    burst = sustained = None
    run_bytes = 0
    if store:
        burst, sustained, run_bytes = burst_and_sustained(helpers["kernel_turns"], cpu, store, tsc_mhz)
    return result, HostState(before, after, store, burst, sustained, run_bytes)


def report(b, section, state: Optional[HostState]):
    if state is None:
        return
    b.say("host: " + state.sentence())
    b.say("host: " + state.probe_sentence())
    if state.throttle is not None:
        b.record(section, quantity="host_sustained_store_throttle", value=state.throttle, unit="fraction")
    for kind, rate in state.probe_after.items():
        b.record(section, quantity=f"host_probe_{kind}_before", value=state.probe_before.get(kind), unit="per cycle")
        b.record(section, quantity=f"host_probe_{kind}_after", value=rate, unit="per cycle")
