"""The copy and fill tables (--copy) beside likwid-bench's copy kernels: each
vector copy column against the likwid-bench kernel of its width, in pairs
(paired_sections), at the plan's blocks (4 KiB and 256 KiB; --full adds 8 MiB
and 256 MiB); then the string instructions, memcpy and the fill columns beside
them and beside the widest store column.

likwid-bench counts every stream: its working set (-w) is both arrays and its
MByte/s the bytes read plus the bytes written. It is given a working set of
twice the block and its rate is halved, so that both sides count each byte
copied once, as the program's cells do.

likwid-bench starts both arrays on a page; the program's destination starts
half a page past one, and a 4 KiB block's streaming stores then cover two
pages, which costs them about a third of their rate. So likwid-bench's
destination stream is placed as the program places its own, which the target
is judged against; with --full its streaming copy also runs with the
destination as it places it itself, shown beside (the cached copies do not
mind the place)."""

import subprocess

from kestrune_report.kernel_table import read_tables
from kestrune_report.units import format_size as block_label

from . import host_state, paired_sections, reference
from .issue_limits import non_temporal
from .paired_reference import AS_OURS, ITS_OWN, read_kernel_turns
from .runs import GIB, read_run

# One run of the program's own --copy tables, for the clock its helper's ticks
# are turned into rates with and to show that the run holds together.
COPY_OPTIONS = ["--copy", "--isa", "all", "--max-size", "4KB"]
# Runs of each kernel shown beside the judged copies; the fastest is shown.
HELPER_TURNS = 3
REFERENCE_TARGET = 0.95
# likwid-bench's copy kernel of the same width, per vector copy column.
STREAMING_KERNEL = "copy_mem_avx"
SAME_WIDTH = {"MOVDQU": "copy_sse", "VMOVDQU(256)": "copy_avx", "VMOVDQU64(512)": "copy_avx512",
              "VMOVNTDQ(256)": STREAMING_KERNEL}
BESIDE = {"copy": ("REP MOVSB", "REP MOVSD", "memcpy"), "fill": ("REP STOSB", "REP STOSD", "memset")}
# The kernels run for the table beside: those, and the write tables' stores.
BESIDE_KERNELS = {"copy": BESIDE["copy"], "fill": BESIDE["fill"],
                  "write": ("VMOVDQU64(512)", "VMOVDQU(256)", "MOVDQU")}


def collect(m, runner, helpers, progress, plan):
    progress(f"copy and fill: kestrune {' '.join(COPY_OPTIONS)}")
    m.copy_run = runner.plain(COPY_OPTIONS, "copy", retries=0, reader=read_run)
    # What stands beside the judged copies: the string instructions, the C
    # library's calls and the fill loops, every copy and fill kernel in turn.
    progress("copy and fill: the program's copy and fill kernels in turn")
    runner.quiet()
    for block in plan.copy_blocks:
        command = [str(helpers["kernel_turns"]), str(m.cpu), "1", str(HELPER_TURNS), str(block),
                   str(reference.BYTES_PER_MEASUREMENT)] + [f"{direction}:{column}" for direction, columns in
                                                            BESIDE_KERNELS.items() for column in columns
                                                            if (direction, column) in m.shown]
        found = read_kernel_turns(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        m.copy_turns.update({(direction, column, block): turns for (direction, column), turns in found.items()})


def best_rate(m, direction, column, block):
    """GiB/s of the kernel's fastest run: it moves 64 MiB or the whole block."""
    turns = m.copy_turns.get((direction, column, block))
    if not turns:
        return None
    moved, ticks = turns
    return moved / min(ticks) * m.copy_run.run.clock_mhz * 1e6 / GIB


def widest_store(m, kernels):
    """The write column of the widest ordinary store the processor runs: the fill loops' reference."""
    columns = {column for direction, column in m.shown
               if direction == "write" and not non_temporal(kernels[("write", column)])
               and not kernels[("write", column)].aligned_only}
    return max(columns, key=lambda column: kernels[("write", column)].access_bytes, default=None)


def _beside_section(b, m, kernels):
    store = widest_store(m, kernels)
    cells = [("copy", column) for column in BESIDE["copy"]] + [("fill", column) for column in BESIDE["fill"]] + \
        ([("write", store)] if store else [])
    rows = []
    for block in sorted({block for _, _, block in m.copy_turns}):
        row = [block_label(block)]
        for direction, column in cells:
            rate = best_rate(m, direction, column, block)
            row.append(f"{rate:.1f}" if rate else "-")
            if rate:
                b.record("copy_fill", f"{direction} 16B-aligned", block_label(block), column, "best_rate", rate,
                         "GiB/s")
        rows.append(row)
    b.say()
    b.say(f"beside them, GiB/s copied or filled, fastest of {HELPER_TURNS} runs of 64 MiB each (the kernel_turns "
          "helper, the program's clock): the string instructions, the C library's call, and the fill columns "
          "beside the widest store column of the write tables")
    b.table(["block"] + [f"{direction} {column}" for direction, column in cells], rows)


def copy_fill(b, m, kernels):
    b.heading("13. Copy and fill (--copy) beside likwid-bench's copy kernels")
    host_state.report(b, "copy_fill", m.host_states.get("copy"))
    if m.copy_run is None:
        b.say("not measured")
        return []
    b.say(f"kestrune {' '.join(COPY_OPTIONS)}: {len(m.copy_run.run.columns)} tables, clock "
          f"{m.copy_run.run.clock_mhz:.2f} MHz; the copy's destination starts "
          f"{read_tables().copy_destination_skew_bytes} bytes past a page")
    found = paired_sections.copy_reference(b, m)
    _beside_section(b, m, kernels)
    return found
