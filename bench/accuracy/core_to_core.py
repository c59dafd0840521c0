"""The core-to-core table beside an independent ping-pong: the program's one-way figure for the
first two processors against a C++ std::atomic ping-pong with the same pinning
(helpers/core_to_core_ping_pong.cpp), run turn about, the best of several runs each; the
matrix's symmetry; the time of a two-processor run; and the A/B of the line layouts (both
directions through one line, as the program does, or one line each way)."""

import json
import os
import statistics
import subprocess
import time

SECTION = "core to core"
# Two threads, so the team is the first two processors; one small block keeps the rest short.
OPTIONS = ["--core-to-core", "--threads", "2", "--max-size", "128B", "--json", "-"]
RUNS = 5
HELPER_ROUNDS = 2000
HELPER_SAMPLES = 5
TOLERANCE = 0.10
SYMMETRY_TOLERANCE = 0.10
RUN_SECONDS_TARGET = 5.0


def _program_run(binary):
    """(seconds, TSC MHz, {(from, to): ns one way}) of one run."""
    started = time.monotonic()
    out = subprocess.run([str(binary)] + OPTIONS, check=True, capture_output=True, text=True).stdout
    seconds = time.monotonic() - started
    document = json.loads(out)
    cells = {(cell["from_processor"], cell["to_processor"]): cell["ns_one_way"]
             for cell in document["cells"] if cell.get("direction") == "core_to_core"}
    return seconds, document["report"]["cpu_clock_mhz"], cells


def _helper_ticks(helper, timer, answerer, layout):
    out = subprocess.run([str(helper), str(timer), str(answerer), str(HELPER_ROUNDS), str(HELPER_SAMPLES), layout],
                         check=True, capture_output=True, text=True).stdout
    return float(out.split()[0])


def core_to_core(b, binary, helper):
    b.heading("Core-to-core latency (--core-to-core) beside an independent std::atomic ping-pong")
    cpus = sorted(os.sched_getaffinity(0))[:2]
    if len(cpus) < 2:
        b.say("not measured: this process may use one processor")
        b.judge("core-to-core pair within 10% of the independent ping-pong", None, "one processor")
        return
    labels = [str(cpu) for cpu in cpus]
    pairs = [(labels[0], labels[1]), (labels[1], labels[0])]
    program = {pair: [] for pair in pairs}
    helper_ticks = {(pair, layout): [] for pair in pairs for layout in ("one", "two")}
    seconds, clocks = [], []
    # Turn about: a program run, then the helper on each pair in each layout.
    for _ in range(RUNS):
        run_seconds, clock_mhz, cells = _program_run(binary)
        seconds.append(run_seconds)
        clocks.append(clock_mhz)
        for pair in pairs:
            if pair in cells:
                program[pair].append(cells[pair])
            for layout in ("one", "two"):
                helper_ticks[(pair, layout)].append(_helper_ticks(helper, pair[0], pair[1], layout))
    clock_mhz = max(clocks)  # the run least disturbed during its clock's wait; they differ by parts per million

    def helper_ns(pair, layout):
        return min(helper_ticks[(pair, layout)]) / 2 * 1000 / clock_mhz

    b.say(f"kestrune {' '.join(OPTIONS)}, {RUNS} runs, each followed by the ping-pong helper "
          f"({HELPER_SAMPLES} samples of {HELPER_ROUNDS} round trips, the fastest kept) on each pair in each "
          f"layout; ns one way, the best of the runs; TSC {clock_mhz:.2f} MHz")
    rows = []
    ratios = []
    for pair in pairs:
        if not program[pair]:
            rows.append([f"{pair[0]} -> {pair[1]}", "-", f"{helper_ns(pair, 'one'):.1f}", "-", "-"])
            continue
        best = min(program[pair])
        reference = helper_ns(pair, "one")
        ratios.append(best / reference)
        rows.append([f"{pair[0]} -> {pair[1]}", f"{best:.1f}", f"{reference:.1f}", f"{best / reference:.3f}",
                     f"{helper_ns(pair, 'two'):.1f}"])
        b.record(SECTION, column=f"{pair[0]}->{pair[1]}", quantity="program_ns_one_way", value=best, unit="ns")
        b.record(SECTION, column=f"{pair[0]}->{pair[1]}", quantity="ping_pong_one_line_ns_one_way", value=reference,
                 unit="ns")
        b.record(SECTION, column=f"{pair[0]}->{pair[1]}", quantity="ping_pong_line_each_way_ns_one_way",
                 value=helper_ns(pair, "two"), unit="ns")
    b.table(["pair (timer -> answerer)", "kestrune", "ping-pong, one line", "ratio", "ping-pong, a line each way"],
            rows)
    b.say("every run's figures, ns one way: " + "; ".join(
        f"{a}->{c}: " + ", ".join(f"{value:.1f}" for value in program[(a, c)]) for a, c in pairs))

    within = bool(ratios) and all(abs(ratio - 1) <= TOLERANCE for ratio in ratios)
    b.judge("core-to-core pair within 10% of the independent ping-pong", within if ratios else None,
            ", ".join(f"{ratio:.3f}" for ratio in ratios) or "no pair measured")
    if all(program[pair] for pair in pairs):
        there, back = (min(program[pair]) for pair in pairs)
        asymmetry = abs(there - back) / ((there + back) / 2)
        b.judge("core-to-core matrix symmetric within 10%", asymmetry <= SYMMETRY_TOLERANCE,
                f"{there:.1f} and {back:.1f} ns, {asymmetry:.1%} apart")
    # The median run: a neighbour on this shared machine can stretch any one of them.
    typical = statistics.median(seconds)
    b.judge("a 2-processor --core-to-core run < 5 s", typical < RUN_SECONDS_TARGET,
            f"median of {RUNS} runs {typical:.2f} s, {min(seconds):.2f} to {max(seconds):.2f} "
            f"(the 3 s clock wait included)")
