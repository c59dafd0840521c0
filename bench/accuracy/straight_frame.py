"""The straight loop of the columns beyond the classic report, held to what it
promises: the 512-bit loads at the core's limit in every process (the classic
loop's second taken branch per line made their speed a matter of the branch
predictor's state, which held for a process's whole life), at least as fast as
likwid-bench's loads, the 512- and 256-bit stores beside likwid-bench's where
the block spills into the second-level cache, and two threads of 512-bit loads
twice as fast as one."""

import json
import subprocess
from statistics import median

from kestrune_report.units import format_size as block_label

from . import host_state, issue_limits, paired_sections
from .paired_reference import read_kernel_turns
from .pairs import AtLeast, Pair, judge, judge_target, show_judgements
from .runs import GIB, TableKey

READ_BLOCKS = (4 << 10, 8 << 10, 16 << 10, 32 << 10)
WRITE_BLOCKS = (64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20)
# Each cell the median of three runs, so that a moment's preemption of one run
# does not stand for the process: a slow mode of the loop would hold in all three.
FRAME_REPEAT = 3
FRAME_OPTIONS = ["--isa", "all", "--per-cycle", "--repeat", str(FRAME_REPEAT), "--max-size",
                 block_label(max(READ_BLOCKS))]
WIDE_READS = ("VMOVDQU64(512)", "VMOVDQA64(512)")
# likwid-bench's kernel of the same width and direction, per column.
REFERENCE_KERNELS = {
    ("read", "VMOVDQU64(512)"): "load_avx512", ("read", "VMOVDQA64(512)"): "load_avx512",
    ("write", "VMOVDQU64(512)"): "store_avx512", ("write", "VMOVDQA64(512)"): "store_avx512",
    ("write", "VMOVDQU(256)"): "store_avx", ("write", "VMOVDQA(256)"): "store_avx",
}
LIMIT_SHARE_TARGET = 0.90
READ_REFERENCE_TARGET = 1.0
WRITE_REFERENCE_TARGET = 0.95
THREAD_SCALING_TARGET = 1.9
THREAD_BLOCK = 4 << 10


def _blocks(direction):
    return READ_BLOCKS if direction == "read" else WRITE_BLOCKS


def collect(m, runner, progress, plan):
    for index in range(plan.frame_invocations):
        progress(f"straight frame {index + 1}/{plan.frame_invocations}: kestrune {' '.join(FRAME_OPTIONS)}")
        name = f"frame-{index + 1}"
        m.frame_runs.append(runner.plain(FRAME_OPTIONS, name, retries=0))
        m.frame_fastest.append(fastest_wide_read_runs(runner.runs_dir / f"{name}.json"))


def thread_scaling_pairs(kernel_turns, cpu, columns, count, run_bytes):
    """column -> [Pair(two threads' bytes per tick, one thread's)] at THREAD_BLOCK: each pair one run on both
    processors and one on the first, the one that goes first alternating."""
    found = {column: [] for column in columns}

    def measure(threads):
        command = [str(kernel_turns), str(cpu), str(threads), "1", str(THREAD_BLOCK), str(run_bytes)] + \
            [f"read:{column}" for column in columns]
        turns = read_kernel_turns(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        return {column: threads * turns[("read", column)][0] / turns[("read", column)][1][0] for column in columns}

    for index in range(count):
        two, one = (measure(2), measure(1)) if index % 2 == 0 else reversed((measure(1), measure(2)))
        for column in columns:
            found[column].append(Pair(two[column], one[column]))
    return found


def lowest_wide_read(run):
    """The slowest 512-bit read cell of the judged rows, in bytes per core cycle, and where it is."""
    table = TableKey("read", 16)
    cells = [(run.per_cycle[(table, block, column)], column, block)
             for column in WIDE_READS for block in READ_BLOCKS if (table, block, column) in run.per_cycle]
    return min(cells) if cells else None


def fastest_wide_read_runs(json_path):
    """(table, block, column) -> bytes per core cycle of the fastest of a judged 512-bit read cell's runs, from
    the program's JSON file, whose cells keep every run's rate."""
    judged = TableKey("read", 16)
    found = {}
    for cell in json.loads(json_path.read_text())["cells"]:
        table = TableKey(cell["direction"], cell["alignment_bytes"])
        if table == judged and cell["instruction"] in WIDE_READS and cell["block_bytes"] in READ_BLOCKS:
            found[(table, cell["block_bytes"], cell["instruction"])] = \
                max(cell["samples_bytes_per_second"]) / (cell["core_mhz"] * 1e6)
    return found


def row_host_share(run, kernels, block, limits):
    """What the host left the core in the row of a cell: the median share of the issue limit that the row's
    16-byte loads reached. Their loop needs four cycles a line, so a neighbour, not the loop, holds them back."""
    table = TableKey("read", 16)
    shares = [run.per_cycle[(table, block, column)]
              / (limits.per_cycle("xmm_load") * kernels[("read", column)].access_bytes)
              for column in run.columns.get(table, []) if kernels[("read", column)].registers == "XMM"
              and (table, block, column) in run.per_cycle]
    return median(shares) if shares else None


def _limit_section(b, m, kernels):
    family, model = issue_limits.read_family_model()
    limits = issue_limits.limits_for(family, model)
    bytes_limit = limits.per_cycle("zmm_load") * 64 if limits else None
    rows, failures, excused = [], [], []
    for index, (plain, fastest) in enumerate(zip(m.frame_runs, m.frame_fastest), 1):
        lowest = lowest_wide_read(plain.run)
        if lowest is None:
            continue
        value, column, block = lowest
        b.record("straight_frame", f"invocation {index}", block_label(block), column, "lowest_bytes_per_cycle", value,
                 "B/c")
        if not bytes_limit:
            rows.append([str(index), f"{value:.1f}", f"{column} {block_label(block)}", "unknown limit", "", "", ""])
            continue
        share = value / bytes_limit
        slowest_fastest = min(fastest.values()) / bytes_limit if fastest else 0.0
        host = row_host_share(plain.run, kernels, block, limits)
        if share >= LIMIT_SHARE_TARGET:
            verdict = "ok"
        elif slowest_fastest >= LIMIT_SHARE_TARGET:
            verdict = "ok in its fastest runs"
            excused.append(f"#{index} {share:.3f}, fastest runs {slowest_fastest:.3f}")
        elif host and share >= LIMIT_SHARE_TARGET * host:
            verdict = "ok of row"
            excused.append(f"#{index} {share:.3f} with the row's 16-byte loads at {host:.3f}")
        else:
            verdict = "BELOW"
            failures.append(f"#{index} {column} {block_label(block)} {share:.3f}")
        rows.append([str(index), f"{value:.1f}", f"{column} {block_label(block)}", f"{share:.3f}",
                     f"{slowest_fastest:.3f}", f"{host:.3f}" if host else "", verdict])
    if not rows:
        b.say("no 512-bit read columns: this processor or its system has no AVX-512")
        b.judge("512-bit reads at 90% of the issue limit in every invocation", None, "no AVX-512 here")
        return
    b.say(f"per invocation of kestrune {' '.join(FRAME_OPTIONS)}: the lowest of the {'/'.join(WIDE_READS)} cells "
          f"at {', '.join(block_label(x) for x in READ_BLOCKS)}, 16-byte table"
          + (f"; limit {bytes_limit:.0f} B/c ({limits.name})" if bytes_limit else "; UNKNOWN LIMIT"))
    b.say(f"fastest runs: the lowest over those cells of the fastest of each cell's {FRAME_REPEAT} runs. A slow mode "
          "of the loop holds for every run of a process; a host that holds the core back for a while holds back some "
          "runs and leaves the fastest at the limit (a 16 KiB 512-bit read run of 150 us, run back to back, comes "
          "out about 12% slow in clusters of 1-2 ms every 4-6 ms, on either processor)")
    b.say("row: the median share of the issue limit that the same row's 16-byte loads reached (\"ok of row\": "
          f"within {LIMIT_SHARE_TARGET:.0%} of it, held back with every column)")
    b.table(["invocation", "lowest B/c", "cell", "share of limit", "fastest runs", "row", "verdict"], rows)
    if bytes_limit:
        detail = "every invocation's wide reads at the limit" if not failures and not excused else \
            "; ".join(failures + ([f"excused: {'; '.join(excused)}"] if excused else []))
        b.judge(f"512-bit reads at {LIMIT_SHARE_TARGET:.0%} of the issue limit in every one of {len(rows)} "
                f"invocations (no process in a slow mode)", not failures, detail)
    else:
        b.judge(f"512-bit reads at {LIMIT_SHARE_TARGET:.0%} of the issue limit", None, "unknown limit")


def _thread_section(b, m):
    found = [judge(f"read {column} {block_label(THREAD_BLOCK)}: two threads / one", pairs,
                   AtLeast(THREAD_SCALING_TARGET), subject=("read", column))
             for column, pairs in m.thread_scaling.items()]
    if not found:
        return found
    b.say()
    show_judgements(b, "straight_frame", found,
                    "one run of the program's kernel on both processors (a block each, started together, the slower "
                    "thread's ticks) and one on the first, by the kernel_turns helper, the one that goes first "
                    "alternating; the same block and bytes per thread")
    judge_target(b, f"two threads of 512-bit reads at {THREAD_SCALING_TARGET}x one thread or more", found)
    return found


def straight_frame(b, m, kernels):
    b.heading("11. The straight loop of the columns beyond the classic report")
    host_state.report(b, "straight_frame", m.host_states.get("straight frame"))
    _limit_section(b, m, kernels)
    return paired_sections.frame_reference(b, m) + _thread_section(b, m)
