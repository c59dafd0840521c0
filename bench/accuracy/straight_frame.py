"""The straight loop of the columns beyond the classic report, held to what it
promises: the 512-bit loads at the core's limit in every process (the classic
loop's second taken branch per line made their speed a matter of the branch
predictor's state, which held for a process's whole life), at least as fast as
likwid-bench's loads, the 512- and 256-bit stores beside likwid-bench's where
the block spills into the second-level cache, and two threads of 512-bit loads
twice as fast as one."""

from statistics import median

from kestrune_report.units import format_size as block_label

from . import helper_programs, issue_limits
from .runs import GIB, TableKey

FRAME_INVOCATIONS = 10
READ_BLOCKS = (4 << 10, 8 << 10, 16 << 10, 32 << 10)
WRITE_BLOCKS = (64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20)
FRAME_OPTIONS = ["--isa", "all", "--per-cycle", "--max-size", block_label(max(READ_BLOCKS))]
WIDE_READS = ("VMOVDQU64(512)", "VMOVDQA64(512)")
# likwid-bench's kernel of the same width and direction, per column.
REFERENCE_KERNELS = {
    ("read", "VMOVDQU64(512)"): "load_avx512", ("read", "VMOVDQA64(512)"): "load_avx512",
    ("write", "VMOVDQU64(512)"): "store_avx512", ("write", "VMOVDQA64(512)"): "store_avx512",
    ("write", "VMOVDQU(256)"): "store_avx", ("write", "VMOVDQA(256)"): "store_avx",
}
# Ours and the reference alternate: a pass of the interleaved-columns helper,
# then one likwid-bench run per kernel and size; best against best.
REFERENCE_PASSES = 3
HELPER_TURNS = 7
LIMIT_SHARE_TARGET = 0.90
READ_REFERENCE_TARGET = 1.0
WRITE_REFERENCE_TARGET = 0.95
THREAD_SCALING_TARGET = 1.9
THREAD_BLOCK = 4 << 10


def _blocks(direction):
    return READ_BLOCKS if direction == "read" else WRITE_BLOCKS


def collect(m, runner, helpers, progress):
    for index in range(FRAME_INVOCATIONS):
        progress(f"straight frame {index + 1}/{FRAME_INVOCATIONS}: kestrune {' '.join(FRAME_OPTIONS)}")
        m.frame_runs.append(runner.plain(FRAME_OPTIONS, f"frame-{index + 1}", retries=0))
    shown = set(m.frame_runs[0].run.columns.get(TableKey("read", 16), []))
    if not shown.intersection(WIDE_READS):
        return
    needed = sorted({(kernel, block) for (direction, _), kernel in REFERENCE_KERNELS.items()
                     for block in _blocks(direction)})
    for index in range(REFERENCE_PASSES):
        progress(f"straight frame: the program's kernels and {m.reference_source.name}, pass "
                 f"{index + 1}/{REFERENCE_PASSES}")
        runner.quiet()
        m.frame_interleaved.append(helper_programs.read_interleaved_columns(
            helpers["interleaved_columns"], m.cpu, HELPER_TURNS, READ_BLOCKS + WRITE_BLOCKS))
        for kernel, block in needed:
            m.frame_reference.setdefault((kernel, block), []).append(m.reference_source.measure(kernel, block))


def lowest_wide_read(run):
    """The slowest 512-bit read cell of the judged rows, in bytes per core cycle, and where it is."""
    table = TableKey("read", 16)
    cells = [(run.per_cycle[(table, block, column)], column, block)
             for column in WIDE_READS for block in READ_BLOCKS if (table, block, column) in run.per_cycle]
    return min(cells) if cells else None


def best_rate(passes, tsc_mhz, direction, column, block):
    """GiB/s of the fastest run of a kernel over every pass of the interleaved helper."""
    ticks = [found.fewest[(direction, column, block)] for found in passes
             if (direction, column, block) in found.fewest]
    return (1 << 26) / min(ticks) * tsc_mhz * 1e6 / GIB if ticks else None


def _limit_section(b, m):
    family, model = issue_limits.read_family_model()
    limits = issue_limits.limits_for(family, model)
    bytes_limit = limits.per_cycle("zmm_load") * 64 if limits else None
    rows, shares = [], []
    for index, plain in enumerate(m.frame_runs, 1):
        lowest = lowest_wide_read(plain.run)
        if lowest is None:
            continue
        value, column, block = lowest
        share = value / bytes_limit if bytes_limit else None
        shares.append(share)
        b.record("straight_frame", f"invocation {index}", block_label(block), column, "lowest_bytes_per_cycle", value,
                 "B/c")
        rows.append([str(index), f"{value:.1f}", f"{column} {block_label(block)}",
                     f"{share:.3f}" if share is not None else "unknown limit"])
    if not rows:
        b.say("no 512-bit read columns: this processor or its system has no AVX-512")
        b.judge("512-bit reads at 90% of the issue limit in every invocation", None, "no AVX-512 here")
        return
    b.say(f"per invocation of kestrune {' '.join(FRAME_OPTIONS)}: the lowest of the {'/'.join(WIDE_READS)} cells "
          f"at {', '.join(block_label(x) for x in READ_BLOCKS)}, 16-byte table"
          + (f"; limit {bytes_limit:.0f} B/c ({limits.name})" if bytes_limit else "; UNKNOWN LIMIT"))
    b.table(["invocation", "lowest B/c", "cell", "share of limit"], rows)
    if bytes_limit:
        worst = min(shares)
        b.judge(f"512-bit reads at {LIMIT_SHARE_TARGET:.0%} of the issue limit in every one of "
                f"{len(shares)} invocations", worst >= LIMIT_SHARE_TARGET, f"lowest share {worst:.3f}")
    else:
        b.judge(f"512-bit reads at {LIMIT_SHARE_TARGET:.0%} of the issue limit", None, "unknown limit")


def _reference_section(b, m):
    if not m.frame_interleaved:
        return
    tsc_mhz = m.rounds[0].run.clock_mhz
    rows, verdicts = [], {"read": [], "write": []}
    for (direction, column), kernel in REFERENCE_KERNELS.items():
        for block in _blocks(direction):
            ours = best_rate(m.frame_interleaved, tsc_mhz, direction, column, block)
            theirs = m.frame_reference.get((kernel, block))
            if ours is None or not theirs:
                continue
            ratio = ours / max(theirs)
            verdicts[direction].append((ratio, f"{direction} {column} {block_label(block)}"))
            b.record("straight_frame", f"{direction} 16B-aligned", block_label(block), column, "ours_over_reference",
                     ratio, "ratio")
            rows.append([direction, column, block_label(block), f"{ours:.1f}", kernel, f"{max(theirs):.1f}",
                         f"{ratio:.3f}"])
    b.say(f"best against best, GiB/s: ours from the interleaved-columns helper ({HELPER_TURNS} turns a pass), "
          f"the reference {m.reference_source.name}; {REFERENCE_PASSES} passes, alternating")
    b.table(["direction", "column", "block", "ours", "reference", "its best", "ours/ref"], rows)
    for direction, target in (("read", READ_REFERENCE_TARGET), ("write", WRITE_REFERENCE_TARGET)):
        found = verdicts[direction]
        if found:
            worst, where = min(found)
            b.judge(f"{direction}s of the straight frame at {target:.2f} of the reference or more", worst >= target,
                    f"lowest {worst:.3f} ({where})")


def _thread_section(b, m):
    table = TableKey("read", 16)
    rows, ratios = [], []
    for column in WIDE_READS:
        key = (table, THREAD_BLOCK, column)
        two = [p.run.cells[key] for p in m.thread_runs if key in p.run.cells]
        one = [r.run.cells[key] for r in m.rounds if key in r.run.cells]
        if not two or not one:
            continue
        ratio = max(two) / max(one)
        ratios.append((ratio, column))
        b.record("straight_frame", "read 16B-aligned", block_label(THREAD_BLOCK), column, "two_over_one_thread",
                 ratio, "ratio")
        rows.append([column, f"{max(one):.1f}", f"{max(two):.1f}", f"{ratio:.2f}", f"{median(two) / median(one):.2f}"])
    if not rows:
        return
    b.say(f"two threads (--threads 2) against one at {block_label(THREAD_BLOCK)}, GiB/s, best run of each")
    b.table(["column", "one thread", "two threads", "best/best", "median/median"], rows)
    worst, column = min(ratios)
    b.judge(f"two threads of 512-bit reads at {THREAD_SCALING_TARGET}x one thread or more", worst >= THREAD_SCALING_TARGET,
            f"lowest {worst:.2f} ({column})")


def straight_frame(b, m):
    b.heading("13. The straight loop of the columns beyond the classic report")
    _limit_section(b, m)
    _reference_section(b, m)
    _thread_section(b, m)
