"""The copy and fill tables (--copy) beside likwid-bench's copy kernels: each
vector copy column against the likwid-bench kernel of its width at 4 KiB,
256 KiB, 8 MiB and 256 MiB, best against best, the program's kernels (the
interleaved-columns helper) and likwid-bench alternating; then the string
instructions, memcpy and the fill columns beside them and beside the widest
store column.

likwid-bench counts every stream: its working set (-w) is both arrays and its
MByte/s the bytes read plus the bytes written. It is given a working set of
twice the block and its rate is halved, so that both sides count each byte
copied once, as the program's cells do.

likwid-bench starts both arrays on a page; the program's destination starts
half a page past one, and a 4 KiB block's streaming stores then cover two
pages, which costs them about a third of their rate. So likwid-bench's
destination stream is placed as the program places its own, which the target
is judged against; its streaming copy also runs with the destination as it
places it itself, shown beside (the cached copies do not mind the place, and
each run at 256 MiB takes seconds)."""

from kestrune_report.kernel_table import read_tables
from kestrune_report.units import format_size as block_label

from . import child_process, helper_programs, reference
from .issue_limits import non_temporal
from .runs import GIB, read_run

COPY_BLOCKS = (4 << 10, 256 << 10, 8 << 20, 256 << 20)
# One run of the program's own --copy tables, for the clock its helper's ticks
# are turned into rates with and to show that the run holds together.
COPY_OPTIONS = ["--copy", "--isa", "all", "--max-size", "4KB"]
# Blocks in the caches run fast but swing with what the host's other guests keep
# in the shared last-level cache, so the judged kernels get more passes there
# than in main memory, where each likwid-bench run takes seconds; what is only
# shown beside gets the fewer passes everywhere (every likwid-bench run takes a
# second at least).
PASSES = 8
FEW_PASSES = 3
HELPER_TURNS = 3
REFERENCE_TARGET = 0.95
# likwid-bench's copy kernel of the same width, per vector copy column.
STREAMING_KERNEL = "copy_mem_avx"
SAME_WIDTH = {"MOVDQU": "copy_sse", "VMOVDQU(256)": "copy_avx", "VMOVDQU64(512)": "copy_avx512",
              "VMOVNTDQ(256)": STREAMING_KERNEL}
# Its 8-byte copy has no column of that width; it stands beside the string columns.
SCALAR_KERNEL = "copy"
# likwid-bench's copy kernels move double-precision elements (likwid-bench -l),
# and a stream's offset counts them.
LIKWID_ELEMENT_BYTES = 8
# Where likwid-bench's destination starts: past a page as the program's does, or
# on a page as likwid-bench places it by itself.
AS_OURS, ITS_OWN = "as ours", "its own"
BESIDE = {"copy": ("REP MOVSB", "REP MOVSD", "memcpy"), "fill": ("REP STOSB", "REP STOSD", "memset")}


def likwid_copy_command(kernel, block, placement):
    """Two arrays of `block` bytes each, swept as often as the program's cell sweeps its block; the
    second stream, the destination, placed as `placement` says."""
    domain = f"N:{2 * block}B:1"
    if placement == AS_OURS:
        skew = read_tables().copy_destination_skew_bytes // LIKWID_ELEMENT_BYTES
        domain += f"-0:N,1:N:{skew}"
    return ["likwid-bench", "-t", kernel, "-w", domain, "-i", str(reference.iterations(block))]


def likwid_copy_rate(kernel, block, placement=AS_OURS):
    """GiB/s copied, or None where likwid-bench cannot run the kernel (a processor without its extension)."""
    result = child_process.run_counting_switches(likwid_copy_command(kernel, block, placement))
    rate = reference.likwid_rate(result.stdout)
    return None if result.returncode != 0 or rate is None else rate / read_tables().bus_bytes_per_byte("copy")


def collect(m, runner, helpers, progress):
    progress(f"copy and fill: kestrune {' '.join(COPY_OPTIONS)}")
    m.copy_run = runner.plain(COPY_OPTIONS, "copy", retries=0, reader=read_run)
    likwid = isinstance(m.reference_source, reference.LikwidReference)
    # Block by block, the program's kernels and then likwid-bench's, so that the host's
    # memory, which other tenants share, has little time to change between the two.
    for index in range(PASSES):
        progress(f"copy and fill: the program's kernels and {'likwid-bench' if likwid else 'no reference'}, pass "
                 f"{index + 1}/{PASSES}")
        runner.quiet()
        few = index < FEW_PASSES
        for block in COPY_BLOCKS if few else COPY_BLOCKS[:-1]:
            m.copy_interleaved.append(helper_programs.read_interleaved_columns(
                helpers["interleaved_columns"], m.cpu, HELPER_TURNS, [block]))
            if not likwid:
                continue
            runs = [(kernel, AS_OURS) for kernel in SAME_WIDTH.values()]
            if few:
                runs += [(SCALAR_KERNEL, AS_OURS), (STREAMING_KERNEL, ITS_OWN)]
            for kernel, placement in runs:
                rate = likwid_copy_rate(kernel, block, placement)
                if rate is not None:
                    m.copy_reference.setdefault((kernel, block, placement), []).append(rate)


def best_rate(m, direction, column, block):
    """GiB/s of the kernel's fastest run over every pass: it moves 64 MiB or the whole block."""
    ticks = [found.fewest[(direction, column, block)] for found in m.copy_interleaved
             if (direction, column, block) in found.fewest]
    moved = max(reference.BYTES_PER_MEASUREMENT, block)
    return moved / min(ticks) * m.copy_run.run.clock_mhz * 1e6 / GIB if ticks else None


def widest_store(m, kernels):
    """The write column of the widest ordinary store the helper ran: the fill loops' reference."""
    columns = {column for found in m.copy_interleaved for direction, column, _ in found.fewest
               if direction == "write" and not non_temporal(kernels[("write", column)])
               and not kernels[("write", column)].aligned_only}
    return max(columns, key=lambda column: kernels[("write", column)].access_bytes, default=None)


def _same_width_section(b, m):
    rows, ratios = [], []
    for column, kernel in SAME_WIDTH.items():
        for block in COPY_BLOCKS:
            ours = best_rate(m, "copy", column, block)
            if ours is None:
                continue
            row = [column, block_label(block), f"{ours:.1f}", kernel]
            for placement in (AS_OURS, ITS_OWN):
                theirs = m.copy_reference.get((kernel, block, placement))
                ratio = ours / max(theirs) if theirs else None
                row += [f"{max(theirs):.1f}" if theirs else "-", f"{ratio:.3f}" if ratio else "-"]
                if ratio is None:
                    continue
                b.record("copy_fill", "copy 16B-aligned", block_label(block), column,
                         "ours_over_reference" if placement == AS_OURS else "ours_over_reference_own_placement",
                         ratio, "ratio")
                if placement == AS_OURS:
                    ratios.append((ratio, f"{column} {block_label(block)}"))
            rows.append(row)
    b.say(f"copied GiB/s, best against best: ours from the interleaved-columns helper ({HELPER_TURNS} turns a pass), "
          f"likwid-bench's rate halved (it counts read plus written bytes); {PASSES} passes block by block, "
          f"{FEW_PASSES} at {block_label(COPY_BLOCKS[-1])} and for what stands beside; "
          f"likwid-bench's destination placed {AS_OURS} (judged) and, for the streaming copy, {ITS_OWN}, on a page")
    b.table(["column", "block", "ours", "likwid-bench", f"dest {AS_OURS}", "ours/ref", f"dest {ITS_OWN}", "ours/ref"],
            rows)
    if ratios:
        worst, where = min(ratios)
        b.judge(f"vector copy columns at {REFERENCE_TARGET:.2f} of likwid-bench's same-width copy or more",
                worst >= REFERENCE_TARGET, f"lowest {worst:.3f} ({where})")
    else:
        b.judge(f"vector copy columns at {REFERENCE_TARGET:.2f} of likwid-bench's same-width copy or more", None,
                "likwid-bench could not run here")


def _beside_section(b, m, kernels):
    store = widest_store(m, kernels)
    header = ([f"copy {column}" for column in BESIDE["copy"]] + [f"likwid-bench {SCALAR_KERNEL}"]
              + [f"fill {column}" for column in BESIDE["fill"]] + ([f"write {store}"] if store else []))
    rows = []
    for block in COPY_BLOCKS:
        cells = [("copy", column) for column in BESIDE["copy"]] + [None] + \
                [("fill", column) for column in BESIDE["fill"]] + ([("write", store)] if store else [])
        row = [block_label(block)]
        for cell in cells:
            if cell is None:
                theirs = m.copy_reference.get((SCALAR_KERNEL, block, AS_OURS))
                row.append(f"{max(theirs):.1f}" if theirs else "-")
                continue
            rate = best_rate(m, cell[0], cell[1], block)
            row.append(f"{rate:.1f}" if rate else "-")
            if rate:
                b.record("copy_fill", f"{cell[0]} 16B-aligned", block_label(block), cell[1], "best_rate", rate, "GiB/s")
        rows.append(row)
    b.say()
    b.say("beside them, GiB/s copied or filled, best of every pass: the string instructions, the C library's call, "
          "likwid-bench's 8-byte copy, and the fill columns beside the widest store column of the write tables")
    b.table(["block"] + header, rows)


def copy_fill(b, m, kernels):
    b.heading("13. Copy and fill (--copy) beside likwid-bench's copy kernels")
    if not m.copy_interleaved:
        b.say("not measured")
        return
    b.say(f"kestrune {' '.join(COPY_OPTIONS)}: {len(m.copy_run.run.columns)} tables, clock "
          f"{m.copy_run.run.clock_mhz:.2f} MHz; the copy's destination starts "
          f"{read_tables().copy_destination_skew_bytes} bytes past a page")
    _same_width_section(b, m)
    _beside_section(b, m, kernels)
