#!/usr/bin/python3
"""Checks the instructions each kernel really executes, read back from the
built binary, against what the kernel table says the kernel moves.

Inside the timed window (opening RDTSC to closing RDTSC) only this may stand:
the two stores of startTicks, the loop set-up, the padding NOPs that put each
loop head on a 64-byte boundary, the loop of the frame the kernel's row names
and the closing CPUID. The classic loop: wrap test, cursor reload, the unrolled
body, index step and branch back. The straight loop: the line's offset computed
from the index and masked to the block, the body of the row's lines per pass
(the second a step on), index step and branch back. The latency kernel: its
pass count test, then only dependent loads, `mov (reg),reg`, unrolled, and
the pass count's step and branch back. The parallel-chains kernels: the same,
each pass a group of one load per chain repeated as often as the latency
kernel's loads per pass, every chain in a register of its own, chain k's
cursor set to k lines past chain 0's by one LEA (those of registers that CPUID
or RDTSC overwrite only once startTicks is stored). A copy loop loads each line with the
unaligned load of its width and stores it at the destination. The string
kernels: the operands brought into place, the sweep count test, CLD, and per
sweep the pointers, the count and one REP instruction. The C library's calls:
one indirect call in a loop between the two stamps. The loaded-latency
table's loaders: the straight loop's line (one per pass, from a first line),
then the busy-wait, a decrement of EDX and a branch back to it, skipped when
it has no turns; the busy-wait's own kernel: that wait and its repeat count.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools"))
from kestrune_report.kernel_table import read_tables  # noqa: E402

LINE = re.compile(r'^\s*([0-9a-f]+):\s+(\S+)\s*(.*?)\s*$')
FENCES = {"sfence", "lfence", "mfence", "rdtscp"}
VECTOR_REGISTERS = {"XMM": ("%xmm", 8), "YMM": ("%ymm", 4), "ZMM": ("%zmm", 2)}
LOOP_HEAD_ALIGNMENT = 64
LINE_BYTES = 128
# What the kernel runs once its record is written.
AFTER_WINDOW = {"MMX": "emms", "YMM": "vzeroupper", "ZMM": "vzeroupper"}
# The load a copy loop reads each line with: the unaligned move of its width.
COPY_LOADS = {"XMM": "movdqu", "YMM": "vmovdqu", "ZMM": "vmovdqu64"}
# The register a fill's REP STOS stores, by its element.
FILL_SOURCES = {"STR8": "%al", "STR32": "%eax"}


def expect_branch_back(back, head, target):
    """The loop's branch back, a jne to its head."""
    expect(back, "jne", where="branch back")
    if branch_target(back) != head[0]:
        raise Mismatch(f"the branch back must go to {target}")


def expect_closing_stamp(closing_cpuid, skip, what):
    """The closing CPUID, where the branch that skips the loop lands."""
    expect(closing_cpuid, "cpuid", where="closing stamp")
    if branch_target(skip) != closing_cpuid[0]:
        raise Mismatch(f"{what} must go straight to the closing stamp")


def disassemble(objdump, binary, function):
    """The instructions of one function as (address, mnemonic, operands)."""
    for symbol in (function, "_" + function):  # MinGW i686 prefixes C symbols
        text = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--disassemble={symbol}", binary],
                              capture_output=True, text=True, check=True).stdout
        if f"<{symbol}>:" in text:
            instructions = []
            for line in text.split(f"<{symbol}>:", 1)[1].splitlines():
                match = LINE.match(line)
                if match:
                    address, mnemonic, operands = match.groups()
                    operands = operands.split("#")[0].strip()
                    instructions.append((int(address, 16), mnemonic, operands))
                elif line.strip() and not line.startswith(" "):
                    break
            return instructions
    raise AssertionError(f"{function}: not found in {binary}")


def displacement(offset, register):
    return f"0x{offset:x}({register})" if offset else f"({register})"


def expected_body(kernel, cursor, lines=1):
    """The access instructions of `lines` lines, and the cursor advances, in order."""
    load = kernel.direction == "READ"

    def access(register, offset):
        memory = displacement(offset, cursor)
        return (kernel.instruction, f"{memory},{register}" if load else f"{register},{memory}")

    if kernel.registers in VECTOR_REGISTERS:
        name, count = VECTOR_REGISTERS[kernel.registers]
        width = kernel.access_bytes
        return ([access(f"{name}{n}", LINE_BYTES * line + width * n) for line in range(lines) for n in range(count)]
                + [("add", f"$0x{LINE_BYTES * lines:x},{cursor}")])
    if lines != 1:
        raise Mismatch(f"only the vector registers move {lines} lines per pass")
    if kernel.registers == "MMX":
        half = [access(f"%mm{n}", 8 * n) for n in range(8)]
    else:
        width = 4 if kernel.registers == "GP32" else 2
        pair = ("%eax", "%edx") if width == 4 or load else ("%ax", "%dx")
        half = [access(pair[(offset // width) % 2], offset) for offset in range(0, 64, width)]
    advance = [("add", f"$0x40,{cursor}")]
    return half + advance + half + advance


class Mismatch(Exception):
    pass


def expect(actual, mnemonic, operands=None, where=""):
    if actual[1] != mnemonic or (operands is not None and actual[2] != operands):
        wanted = f"{mnemonic} {operands or ''}".strip()
        raise Mismatch(f"{where}: expected '{wanted}', found '{actual[1]} {actual[2]}' at 0x{actual[0]:x}")


def branch_target(instruction):
    return int(instruction[2].split()[0], 16)


# The assembler's padding for i386, where the long NOPs are not in every
# processor: a register loaded with its own value.
NOP_PREFIXES = {"cs", "ds", "data16"}
SELF_LEA = re.compile(r"^(?:0x0)?\((%e\w\w)(?:,%eiz,1)?\),(%e\w\w)$")


def is_padding(instruction):
    """A NOP of any length, as the assembler pads to an alignment; never a jump."""
    words = " ".join(instruction[1:]).split()
    while words and words[0] in NOP_PREFIXES:
        words = words[1:]
    if not words:
        return False
    mnemonic, operands = words[0], " ".join(words[1:])
    if mnemonic.startswith("nop") or (mnemonic, operands) == ("xchg", "%ax,%ax"):
        return True
    match = SELF_LEA.match(operands) if mnemonic == "lea" else None
    return bool(match) and match.group(1) == match.group(2)


def stamps(instructions):
    """The positions of the opening and the closing RDTSC, each right after its CPUID, with no fence anywhere."""
    mnemonics = [i[1] for i in instructions]
    if mnemonics.count("cpuid") != 2 or mnemonics.count("rdtsc") != 2:
        raise Mismatch("expected exactly two CPUID and two RDTSC")
    if FENCES & set(mnemonics):
        raise Mismatch(f"fence or RDTSCP present: {sorted(FENCES & set(mnemonics))}")
    opening = mnemonics.index("rdtsc")
    closing = mnemonics.index("rdtsc", opening + 1)
    if mnemonics[opening - 1] != "cpuid" or mnemonics[closing - 1] != "cpuid":
        raise Mismatch("each RDTSC must follow its CPUID directly")
    return opening, closing


def open_window(instructions):
    """The timed window's instructions as a step function, past the startTicks stores; the
    record's register and the closing RDTSC's position."""
    opening, closing = stamps(instructions)
    window = iter(instructions[opening + 1:closing])
    step = lambda: next(window)  # noqa: E731
    first = step()
    if first[1:] == ("mov", "(%esp),%ecx"):  # i386 keeps the record's address on the stack
        first = step()
    record = first[2].split(",")[1].split("(")[1].rstrip(")")
    expect(first, "mov", f"%eax,0x8(%{record.lstrip('%')})", "startTicks low")
    expect(step(), "mov", f"%edx,0xc({record})", "startTicks high")
    return step, record, closing


def after_window(instructions, closing, record):
    """What follows the closing stamp, once the record's stores are checked."""
    # A base of RBP or R13 has no form without a displacement: objdump then shows 0x0.
    after = [(i[1], re.sub(r"(^|,)0x0\(", r"\1(", i[2])) for i in instructions[closing + 1:]]
    if after and after[0] == ("mov", "(%esp),%ecx"):
        after = after[1:]
    stores = [("mov", f"%eax,({record})"), ("mov", f"%edx,0x4({record})"), ("sub", f"0x8({record}),%eax"),
              ("sbb", f"0xc({record}),%edx"), ("mov", f"%eax,0x10({record})"), ("mov", f"%edx,0x14({record})")]
    if after[:len(stores)] != stores:
        raise Mismatch(f"record stores after the closing stamp: {after[:len(stores)]}")
    return after


def check_kernel(kernel, instructions):
    if kernel.frame == "LIBRARY":
        check_library_kernel(instructions)
        return
    step, record, closing = open_window(instructions)
    if kernel.frame == "STRING":
        skip_loop, closing_cpuid = check_string_loop(kernel, step, record)
    else:
        step = take_destination(step) if kernel.direction == "COPY" else step
        index = "%ecx" if kernel.direction == "READ" and kernel.registers in ("GP32", "GP16") else "%eax"
        expect(step(), "xor", f"{index},{index}", "index")
        check_loop = {"CLASSIC": check_classic_loop, "STRAIGHT": check_straight_loop}[kernel.frame]
        skip_loop, closing_cpuid = check_loop(kernel, step, index)
    expect_closing_stamp(closing_cpuid, skip_loop, "an empty run")
    check_cleanup(kernel, instructions, closing, after_window(instructions, closing, record))


def check_cleanup(kernel, instructions, closing, after):
    """EMMS or VZEROUPPER after the closing stamp of the kernels whose registers need it, and nowhere else."""
    mnemonics = [i[1] for i in instructions]
    wanted_after = AFTER_WINDOW.get(kernel.registers)
    for cleanup in set(AFTER_WINDOW.values()):
        inside = mnemonics[:closing].count(cleanup)
        after_window_count = [m for m, _ in after].count(cleanup)
        if inside or (after_window_count > 0) != (cleanup == wanted_after):
            raise Mismatch(f"{cleanup.upper()} must follow the closing stamp of the "
                           f"{'/'.join(r for r, c in AFTER_WINDOW.items() if c == cleanup)} kernels, and only there")


# The latency kernel: between the stamps only the count test, the padding
# before the loop head, the unrolled chain of loads, each taking its address
# from the register the one before loaded (`mov (reg),reg`, pointer-sized),
# and the pass count's step and branch back.
CHASE_FUNCTION = "chaseLoads"
POINTER_REGISTER = re.compile(r"^%(r\w+|e\w\w)$")


def check_chase_kernel(instructions, loads_per_pass):
    step, record, closing = open_window(instructions)
    test = step()
    expect(test, "test", where="pass count test")
    passes = test[2].split(",")[0]
    if test[2] != f"{passes},{passes}" or passes in ("%eax", "%edx"):
        raise Mismatch(f"pass count test: {test}")
    skip_loop = step()
    expect(skip_loop, "jle", where="skip when passes <= 0")
    head = loop_head(step, "loop head")
    cursor = head[2].split(",")[-1]
    if not POINTER_REGISTER.match(cursor) or cursor == address_width(passes):
        raise Mismatch(f"the chain's register: {head}")
    load = ("mov", f"({cursor}),{cursor}")
    check_body(iter_from(head, step), [load] * loads_per_pass, "dependent load")
    expect(step(), "dec", passes, "pass count step")
    expect_branch_back(step(), head, "the first load")
    closing_cpuid = step()
    expect_closing_stamp(closing_cpuid, skip_loop, "an empty run")
    after_window(instructions, closing, record)


# The core-to-core round trip. Between the timing side's stamps only the count
# test, the padding, the store of the value, the wait for its answer (a plain
# compare with memory and a branch back to it) and the count; the answering
# side the same wait, the store of the answer and the count. Plain 32-bit
# loads and stores alone touch the shared words: no locked instruction, fence
# or PAUSE.
PING_PONG_TIMED = "pingPongTimed"
PING_PONG_ANSWER = "pingPongAnswer"
# A base register alone; objdump writes a base of RBP or R13 with a 0x0 displacement.
MEMORY_WORD = re.compile(r"^(?:0x0)?\((%\w+)\)$")
REGISTER_32 = re.compile(r"^%(e\w\w|r\d+d)$")


def no_locks_or_fences(instructions):
    for instruction in instructions:
        if is_padding(instruction):  # xchg %ax,%ax among them
            continue
        if instruction[1].startswith("lock") or instruction[1] in FENCES | {"pause", "xchg"}:
            raise Mismatch(f"{instruction[1]} at 0x{instruction[0]:x}: only plain loads and stores may touch the words")


def counted_loop(step, where):
    """The count test and the skip past the loop; the count's register and the skip."""
    test = step()
    expect(test, "test", where=f"{where} count test")
    rounds = test[2].split(",")[0]
    if test[2] != f"{rounds},{rounds}":
        raise Mismatch(f"{where} count test: {test}")
    skip = step()
    expect(skip, "jle", where=f"{where} skip when rounds <= 0")
    return rounds, skip


def wait_for(step, first, where):
    """cmp value,(word); jne back to itself: the value's register and the word's."""
    wait = first or step()
    expect(wait, "cmp", where=f"{where} wait")
    value, word = wait[2].split(",")
    if not MEMORY_WORD.match(word) or not REGISTER_32.match(value):
        raise Mismatch(f"{where} wait must compare a 32-bit register with memory: {wait}")
    back = step()
    expect(back, "jne", where=f"{where} wait's branch")
    if branch_target(back) != wait[0]:
        raise Mismatch(f"{where}: the wait must branch back to its compare")
    return value, word, wait


def check_ping_pong_timed(instructions):
    no_locks_or_fences(instructions)
    step, record, closing = open_window(instructions)
    first = step()
    if first[1:] == ("mov", "0x4(%esp),%ebx"):  # i386 brings the value from the stack
        first = step()
    rounds, skip = counted_loop(iter_from(first, step), "timing side")
    head = loop_head(step, "timing side's loop head")
    expect(head, "mov", where="store of the value")
    value, out = head[2].split(",")
    expect(step(), "inc", value, "the answer expected")
    wait_for(step, None, "timing side")
    expect(step(), "inc", value, "the next value")
    expect(step(), "dec", rounds, "round count step")
    expect_branch_back(step(), head, "the store of the value")
    closing_cpuid = step()
    expect_closing_stamp(closing_cpuid, skip, "no round trip")
    after_window(instructions, closing, record)


def check_ping_pong_answer(instructions):
    no_locks_or_fences(instructions)
    mnemonics = [i[1] for i in instructions]
    if "cpuid" in mnemonics or "rdtsc" in mnemonics:
        raise Mismatch("the answering side is not timed")
    window = iter(instructions)
    step = lambda: next(window)  # noqa: E731
    first = step()
    while first[1] != "test":
        first = step()
    rounds, skip = counted_loop(iter_from(first, step), "answering side")
    head = loop_head(step, "answering side's loop head")
    value, _, wait = wait_for(step, head, "answering side")
    expect(step(), "inc", value, "the answer")
    store = step()
    expect(store, "mov", where="store of the answer")
    if store[2].split(",")[0] != value or not MEMORY_WORD.match(store[2].split(",")[1]):
        raise Mismatch(f"the answer must be stored from the value's register: {store}")
    expect(step(), "inc", value, "the next value")
    expect(step(), "dec", rounds, "round count step")
    back = step()
    expect(back, "jne", where="branch back")
    if branch_target(back) != wait[0]:
        raise Mismatch("the branch back must go to the wait")
    if branch_target(skip) != step()[0]:
        raise Mismatch("no round trip must skip the loop")


# The parallel-chains kernels, one per chain count of the binary's target.
CHAINS_FUNCTION = "chaseChains{}"
# What CPUID and RDTSC overwrite: a cursor placed there before the opening
# stamp would be lost.
STAMP_REGISTERS = {"%eax", "%ebx", "%ecx", "%edx", "%rax", "%rbx", "%rcx", "%rdx"}


def plain_operands(operands):
    """objdump's operands without the 0x0 displacement it shows on a base of RBP or R13."""
    return re.sub(r"(^|,)0x0\(", r"\1(", operands)


def chain_starts(instructions, first, start_bytes, where):
    """The chains' cursors as the LEAs place them: register -> chain number."""
    starts = {}
    for address, mnemonic, operands in instructions:
        match = re.match(r"^(?:0x([0-9a-f]+))?\((%\w+)\),(%\w+)$", operands) if mnemonic == "lea" else None
        if not match:
            raise Mismatch(f"{where}: expected a chain's start, found '{mnemonic} {operands}' at 0x{address:x}")
        offset, source, cursor = int(match.group(1) or "0", 16), match.group(2), match.group(3)
        if source != first or offset % start_bytes or offset == 0 or cursor in starts:
            raise Mismatch(f"{where}: '{mnemonic} {operands}' at 0x{address:x} is no chain's start "
                           f"past chain 0's cursor {first}")
        starts[cursor] = offset // start_bytes
    return starts


def check_chains_kernel(instructions, chains, loads_per_pass, start_bytes):
    opening, closing = stamps(instructions)
    step, record, closing = open_window(instructions)
    late = []
    instruction = step()
    while instruction[1] == "lea":
        late.append(instruction)
        instruction = step()
    passes = tested_register(instruction, "pass count test")
    skip_loop = step()
    expect(skip_loop, "jle", where="skip when passes <= 0")
    head = loop_head(step, "loop head")
    group = [(i[1], plain_operands(i[2])) for i in [head] + [step() for _ in range(chains - 1)]]
    cursors = [operands.split(",")[-1] for _, operands in group]
    for (mnemonic, operands), cursor in zip(group, cursors):
        if (mnemonic, operands) != ("mov", f"({cursor}),{cursor}") or not POINTER_REGISTER.match(cursor):
            raise Mismatch(f"a chain's load must be 'mov (reg),reg': {mnemonic} {operands}")
    # i386 brings the record's address back from the stack after the closing stamp, so its
    # register may hold a chain meanwhile; elsewhere it must outlast the loop.
    reloaded = instructions[closing + 1][1:] == ("mov", "(%esp),%ecx")
    if len(set(cursors)) != chains or address_width(passes) in cursors or (record in cursors and not reloaded):
        raise Mismatch(f"each chain needs a register of its own: {cursors}, pass count {passes}, record {record}")
    for n, wanted in enumerate(group * (loads_per_pass - 1), chains):
        found = step()
        if (found[1], plain_operands(found[2])) != wanted:
            raise Mismatch(f"dependent load {n}: expected '{wanted[0]} {wanted[1]}', "
                           f"found '{found[1]} {found[2]}' at 0x{found[0]:x}")
    expect(step(), "dec", passes, "pass count step")
    expect_branch_back(step(), head, "the first load")
    closing_cpuid = step()
    expect_closing_stamp(closing_cpuid, skip_loop, "an empty run")
    after_window(instructions, closing, record)
    # Before the opening CPUID, the LEAs of the chains whose registers it leaves alone.
    early = [i for i in instructions[:opening - 1] if i[1] == "lea" and i[2].split(",")[-1] in cursors]
    late_starts = chain_starts(late, cursors[0], start_bytes, "a start inside the window")
    early_starts = chain_starts(early, cursors[0], start_bytes, "a start before the window")
    lost = STAMP_REGISTERS & set(early_starts)
    if lost:
        raise Mismatch(f"the opening stamp overwrites the start of {sorted(lost)}")
    starts = dict(early_starts, **late_starts)
    if len(starts) != len(early_starts) + len(late_starts) or \
            sorted(starts.values()) != list(range(1, chains)) or set(starts) != set(cursors[1:]):
        raise Mismatch(f"chain k must start k lines past chain 0 in its own register: {starts}")


def take_destination(step):
    """A copy's destination, which i386 brings from the stack once startTicks is stored."""
    first = step()
    return step if first[1:] == ("mov", "0x4(%esp),%ecx") else iter_from(first, step)


def check_string_loop(kernel, step, record):
    """The operands moved into place, the sweep count test, CLD, then per sweep the
    pointers, the count and the one REP instruction, the count's step and branch back."""
    wide = record.startswith("%r")
    si, di, cx = ("%rsi", "%rdi", "%rcx") if wide else ("%esi", "%edi", "%ecx")
    move = step()
    while move[1] == "mov":
        source = move[2].split(",")[0]
        if not (POINTER_REGISTER.match(source) or source == "0x4(%esp)"):
            raise Mismatch(f"only registers and the stack may feed the loop: {move}")
        move = step()
    sweeps = tested_register(move, "sweep count test")
    skip_loop = step()
    expect(skip_loop, "jle", where="skip when no sweep")
    expect(step(), "cld", where="direction flag cleared before the loop")
    head = loop_head(step, "loop head")
    pointers = [si, di] if kernel.direction == "COPY" else [di]
    instruction = head
    for n, pointer in enumerate(pointers):
        instruction = step() if n else instruction
        expect(instruction, "mov", where=f"pointer {n}")
        if instruction[2].split(",")[1] != pointer:
            raise Mismatch(f"the sweep must set {pointer}: {instruction}")
    count = step()
    expect(count, "mov", where="element count")
    if count[2].split(",")[1] != cx:
        raise Mismatch(f"the sweep must set the count in {cx}: {count}")
    operands = (f"%ds:({si}),%es:({di})" if kernel.direction == "COPY"
                else f"{FILL_SOURCES[kernel.registers]},%es:({di})")
    expect(step(), "rep", f"{kernel.instruction} {operands}", "the string instruction")
    expect(step(), "dec", sweeps, "sweep count step")
    expect_branch_back(step(), head, "the loop head")
    return skip_loop, step()


def check_library_kernel(instructions):
    """The two stamps, and between them a loop around one indirect call: the library's
    function through a pointer the compiler cannot see through."""
    opening, closing = stamps(instructions)
    window = instructions[opening + 1:closing - 1]
    calls = [i for i in window if i[1].startswith("call")]
    if len(calls) != 1 or not calls[0][2].startswith("*"):
        raise Mismatch(f"expected one indirect call between the stamps, found {calls}")
    if not any(i[1].startswith("j") and i[0] > calls[0][0] and window[0][0] <= branch_target(i) <= calls[0][0]
               for i in window):
        raise Mismatch("the call must stand in a loop between the stamps")


def tested_register(test, where):
    """The register a `test reg,reg` tests against itself."""
    expect(test, "test", where=where)
    register = test[2].split(",")[0]
    if test[2] != f"{register},{register}":
        raise Mismatch(f"{where} must test one register against itself: {test}")
    return register


def count_test(step, index):
    """The test that skips the loop for lineCount <= 0: its count register, and the skip."""
    test = step()
    expect(test, "test")
    count = test[2].split(",")[0]
    if test[2] != f"{count},{count}" or count in ("%eax", "%edx", index):
        raise Mismatch(f"line count test: {test}")
    skip_loop = step()
    expect(skip_loop, "jle", where="skip when lineCount <= 0")
    return count, skip_loop


def loop_head(step, what):
    """The first instruction after the padding, which must start a 64-byte line."""
    head = step()
    while is_padding(head):
        head = step()
    if head[0] % LOOP_HEAD_ALIGNMENT:
        raise Mismatch(f"{what} at 0x{head[0]:x}, not on a {LOOP_HEAD_ALIGNMENT}-byte boundary")
    return head


def check_registers(base, cursor, mask, count, index):
    if len({base, cursor, mask, count, index, "%eax", "%edx"}) != 7 - (index == "%eax"):
        raise Mismatch(f"registers overlap: base {base} cursor {cursor} mask {mask} count {count}")


def check_body(step, body, where, first=None):
    """The body, access by access; `first` checks the first instruction's address."""
    for n, (mnemonic, operands) in enumerate(body):
        actual = step()
        if n == 0 and first:
            first(actual)
        expect(actual, mnemonic, operands, f"{where} {n}")


def check_loop_tail(step, index_step, count, index, head):
    """The index step, the loop test and the branch back to the loop head."""
    expect(step(), *index_step, "index step")
    expect(step(), "cmp", f"{count},{index}", "loop test")
    back = step()
    expect(back, "jl", where="branch back")
    if branch_target(back) != head[0]:
        raise Mismatch("the branch back must go to the loop head")


def check_classic_loop(kernel, step, index):
    """The wrap test at the loop head branches over the cursor reload on every
    line but the first of a sweep; one line per pass."""
    count, skip_loop = count_test(step, index)
    head = loop_head(step, "loop head")
    expect(head, "test", where="wrap test")
    mask = head[2].split(",")[0]
    if head[2] != f"{mask},{index}":
        raise Mismatch(f"wrap test must AND the mask with the index: {head}")
    wrap = step()
    expect(wrap, "jne", where="wrap branch")
    reload = step()
    expect(reload, "mov", where="cursor reload")
    base, cursor = reload[2].split(",")
    check_registers(base, cursor, mask, count, index)

    def skips_reload(actual):
        if branch_target(wrap) != actual[0]:
            raise Mismatch("the wrap branch must skip exactly the cursor reload")

    check_body(step, expected_body(kernel, cursor), "body access", skips_reload)
    check_loop_tail(step, ("inc", index), count, index, head)
    return skip_loop, step()


def check_straight_loop(kernel, step, index):
    """No wrap test: each pass computes its line's offset from the index, masked
    to the block, so the branch back is the loop's one taken branch; with two
    lines per pass the second lies a step on (128 bytes, none in a one-line block)."""
    lines = kernel.lines_per_pass
    step_register = None
    if lines == 2:
        set_step = step()
        expect(set_step, "mov", where="step of the second line")
        step_value, step_register = set_step[2].split(",")
        if step_value != f"${LINE_BYTES:#x}":
            raise Mismatch(f"the second line must lie a line on: {set_step}")
        mask = tested_register(step(), "the one-line block test of the mask")
        expect(step(), "cmove", f"{mask},{step_register}", "no step in a one-line block")
    count, skip_loop = count_test(step, index)
    head = loop_head(step, "loop head")
    expect(head, "mov", where="offset from the index")
    source, offset32 = head[2].split(",")
    if source != index:
        raise Mismatch(f"the offset must start from the index: {head}")
    masking = step()
    expect(masking, "and", where="offset masked to the block")
    mask_used, masked = masking[2].split(",")
    if masked != offset32 or (lines == 2 and mask_used != mask):
        raise Mismatch(f"the offset must be masked with the block's mask: {masking}")
    offset = address_width(offset32)
    expect(step(), "shl", f"$0x7,{offset}", "offset in bytes: the masked index times 128")
    base = None
    for line in range(lines):
        if line:
            step_address = "%r" + step_register[2:] if offset != offset32 else step_register
            expect(step(), "add", f"{step_address},{offset}", "the second line a step on")
        first = step()
        address = re.search(r"\((%\w+),(%\w+),1\)", first[2])
        if not address or address.group(2) != offset:
            raise Mismatch(f"the line must lie at the base plus the offset: {first}")
        base = base or address.group(1)
        check_registers(base, offset, mask_used, count, index)
        if kernel.direction == "COPY":
            destination = check_copy_line(kernel, iter_from(first, step), base, offset, line)
            check_registers(destination, offset, mask_used, count, index)
        else:
            check_body(iter_from(first, step), expected_body(kernel, f"{base},{offset},1")[:-1], f"line {line} access")
    check_loop_tail(step, ("add", f"$0x{lines:x},{index}"), count, index, head)
    return skip_loop, step()


def check_copy_line(kernel, step, base, offset, line):
    """One copied line: every register loaded from the base plus the offset, then stored
    at the destination plus the offset; returns the destination's register."""
    name, count = VECTOR_REGISTERS[kernel.registers]
    width = kernel.access_bytes
    loads = [(COPY_LOADS[kernel.registers], f"{displacement(width * n, f'{base},{offset},1')},{name}{n}")
             for n in range(count)]
    check_body(step, loads, f"line {line} load")
    first_store = step()
    address = re.search(r"\((%\w+),(%\w+),1\)", first_store[2])
    if not address or address.group(2) != offset or address.group(1) == base:
        raise Mismatch(f"the store must go to the destination plus the offset: {first_store}")
    destination = address.group(1)
    stores = [(kernel.instruction, f"{name}{n},{displacement(width * n, f'{destination},{offset},1')}")
              for n in range(count)]
    check_body(iter_from(first_store, step), stores, f"line {line} store")
    return destination


# The loaded-latency table's kernels (kernels/loader_kernels.h).
DELAY_FUNCTION = "delayTurns"


def check_busy_wait(step, where):
    """The turns brought to EDX, the skip when there are none, then a decrement of EDX and a
    branch back to it; returns the instruction after the wait."""
    turns = step()
    expect(turns, "mov", where=f"{where}: turns")
    if turns[2].split(",")[-1] != "%edx":
        raise Mismatch(f"{where}: the turns must count in EDX: {turns}")
    expect(step(), "test", "%edx,%edx", f"{where}: no turns")
    skip_wait = step()
    expect(skip_wait, "je", where=f"{where}: skip without turns")
    spin = step()
    expect(spin, "dec", "%edx", f"{where}: a turn")
    back = step()
    expect(back, "jne", where=f"{where}: the next turn")
    if branch_target(back) != spin[0]:
        raise Mismatch(f"{where}: the wait must branch back to its decrement")
    following = step()
    if branch_target(skip_wait) != following[0]:
        raise Mismatch(f"{where}: a wait of no turns must skip exactly the wait")
    return following


def check_loader_kernel(loader, instructions):
    """From the first line to the end: the offset from the index, masked to the block, one
    line as the straight loop moves it, the busy-wait, the index step and the branch back."""
    kernel = types.SimpleNamespace(direction=loader.load, registers=loader.registers,
                                   instruction=loader.instruction, access_bytes=loader.access_bytes)
    step, record, closing = open_window(instructions)
    first = step()
    if first[1:] == ("mov", "0x4(%esp),%ecx"):  # i386 brings the destination from the stack
        first = step()
    expect(first, "mov", where="index from the first line")
    if first[2].split(",")[1] != "%eax":
        raise Mismatch(f"the index counts in EAX: {first}")
    end_test = step()
    expect(end_test, "cmp", where="end test")
    end = end_test[2].split(",")[0]
    if end_test[2] != f"{end},%eax" or end in ("%eax", "%edx"):
        raise Mismatch(f"end test: {end_test}")
    skip_loop = step()
    expect(skip_loop, "jge", where="skip when no line")
    head = loop_head(step, "loop head")
    expect(head, "mov", f"%eax,{head[2].split(',')[1]}", "offset from the index")
    offset32 = head[2].split(",")[1]
    masking = step()
    expect(masking, "and", where="offset masked to the block")
    mask, masked = masking[2].split(",")
    if masked != offset32:
        raise Mismatch(f"the offset must be masked with the block's mask: {masking}")
    offset = address_width(offset32)
    expect(step(), "shl", f"$0x7,{offset}", "offset in bytes: the masked index times 128")
    access = step()
    address = re.search(r"\((%\w+),(%\w+),1\)", access[2])
    if not address or address.group(2) != offset:
        raise Mismatch(f"the line must lie at the base plus the offset: {access}")
    base = address.group(1)
    check_registers(base, offset, mask, end, "%eax")
    if loader.load == "COPY":
        destination = check_copy_line(kernel, iter_from(access, step), base, offset, 0)
        check_registers(destination, offset, mask, end, "%eax")
    else:
        check_body(iter_from(access, step), expected_body(kernel, f"{base},{offset},1")[:-1], "line access")
    following = check_busy_wait(step, "busy-wait")
    check_loop_tail(iter_from(following, step), ("inc", "%eax"), end, "%eax", head)
    closing_cpuid = step()
    expect_closing_stamp(closing_cpuid, skip_loop, "an empty run")
    check_cleanup(kernel, instructions, closing, after_window(instructions, closing, record))


def check_delay_kernel(instructions):
    """The repeat count test, then per repeat the busy-wait, the count's step and branch back."""
    step, record, closing = open_window(instructions)
    repeats = tested_register(step(), "repeat count test")
    skip_loop = step()
    expect(skip_loop, "jle", where="skip when no repeat")
    head = loop_head(step, "loop head")
    following = check_busy_wait(iter_from(head, step), "busy-wait")
    expect(following, "dec", repeats, "repeat count step")
    expect_branch_back(step(), head, "the loop head")
    closing_cpuid = step()
    expect_closing_stamp(closing_cpuid, skip_loop, "an empty run")
    after_window(instructions, closing, record)


def address_width(register):
    """The offset register as an address: %r11d is %r11 on x86-64; an i386 register is itself."""
    return register[:-1] if register.startswith("%r") and register.endswith("d") else register


def iter_from(first, step):
    """A step function that yields `first`, then carries on with `step`."""
    pending = [first]
    return lambda: pending.pop() if pending else step()


def binary_target(objdump, binary):
    """The binary's processor as the tables name it: "x86_64" or "i386"."""
    header = subprocess.run([objdump, "-f", binary], capture_output=True, text=True, check=True).stdout
    architecture = re.search(r"architecture: ([^,\s]+)", header)
    if not architecture:
        raise AssertionError(f"{binary}: objdump names no architecture")
    return "x86_64" if architecture.group(1).endswith("x86-64") else "i386"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--table", required=True)
    args = parser.parse_args()

    tables = read_tables(args.table)
    loads_per_pass = tables.chase_loads_per_pass
    checks = [(kernel.function, lambda instructions, kernel=kernel: check_kernel(kernel, instructions))
              for kernel in tables.kernels]
    checks.append((CHASE_FUNCTION, lambda instructions: check_chase_kernel(instructions, loads_per_pass)))
    checks += [(loader.function, lambda instructions, loader=loader: check_loader_kernel(loader, instructions))
               for loader in tables.loaders]
    checks.append((DELAY_FUNCTION, check_delay_kernel))
    with open(args.table, encoding="utf-8") as table:
        document = json.load(table)
    target = binary_target(args.objdump, args.binary)
    for chains in document["parallelChains"][target]:
        checks.append((CHAINS_FUNCTION.format(chains),
                       lambda instructions, chains=chains: check_chains_kernel(
                           instructions, chains, loads_per_pass, document["chaseChainStartBytes"])))
    checks.append((PING_PONG_TIMED, check_ping_pong_timed))
    checks.append((PING_PONG_ANSWER, check_ping_pong_answer))
    failures = 0
    for function, check in checks:
        try:
            check(disassemble(args.objdump, args.binary, function))
            print(f"ok      {function}")
        except (Mismatch, StopIteration, IndexError, ValueError) as problem:
            failures += 1
            print(f"FAILED  {function}: {problem or 'the timed window ends early'}")
    print(f"{len(checks) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
