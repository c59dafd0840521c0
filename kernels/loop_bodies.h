#pragma once
// Loop bodies, each parameterised by the instruction it repeats. Every access
// addresses the cursor plus a constant displacement, in ascending order.
#include "kernels/timed_frame.h"

// Register n at offset 8n of each 64-byte half.
#define MMX_LOAD_HALF(insn)                                     \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " \\n*8(" K_CURSOR "), %%mm\\n\n\t"                    \
    ".endr\n\t"

#define MMX_STORE_HALF(insn)                                    \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " %%mm\\n, \\n*8(" K_CURSOR ")\n\t"                    \
    ".endr\n\t"

// Vector register n at offset n times its width, `registers` of them filling
// the 128-byte line at `address` (the cursor, or the straight loop's base and
// offset).
#define VECTOR_LOAD_AT(insn, reg, width, registers, address)    \
    ".irp n," registers "\n\t"                                  \
    insn " \\n*" width "(" address "), %%" reg "\\n\n\t"         \
    ".endr\n\t"

#define VECTOR_STORE_AT(insn, reg, width, registers, address)   \
    ".irp n," registers "\n\t"                                  \
    insn " %%" reg "\\n, \\n*" width "(" address ")\n\t"         \
    ".endr\n\t"

#define VECTOR_LOAD_BLOCK(insn, reg, width, registers) VECTOR_LOAD_AT(insn, reg, width, registers, K_CURSOR)
#define VECTOR_STORE_BLOCK(insn, reg, width, registers) VECTOR_STORE_AT(insn, reg, width, registers, K_CURSOR)

// Sixteen 32-bit accesses per 64-byte half, alternating EAX and EDX.
#define GP32_LOAD_HALF(insn)                                    \
    ".irp off,0,8,16,24,32,40,48,56\n\t"                        \
    insn " \\off(" K_CURSOR "), %%eax\n\t"                      \
    insn " \\off+4(" K_CURSOR "), %%edx\n\t"                    \
    ".endr\n\t"

#define GP32_STORE_HALF(insn)                                   \
    ".irp off,0,8,16,24,32,40,48,56\n\t"                        \
    insn " %%eax, \\off(" K_CURSOR ")\n\t"                      \
    insn " %%edx, \\off+4(" K_CURSOR ")\n\t"                    \
    ".endr\n\t"

// Thirty-two 16-bit accesses per half: loads zero-extend into EAX and EDX,
// stores take AX and DX.
#define GP16_LOAD_HALF(insn)                                    \
    ".irp off,0,4,8,12,16,20,24,28,32,36,40,44,48,52,56,60\n\t" \
    insn " \\off(" K_CURSOR "), %%eax\n\t"                      \
    insn " \\off+2(" K_CURSOR "), %%edx\n\t"                    \
    ".endr\n\t"

#define GP16_STORE_HALF(insn)                                   \
    ".irp off,0,4,8,12,16,20,24,28,32,36,40,44,48,52,56,60\n\t" \
    insn " %%ax, \\off(" K_CURSOR ")\n\t"                       \
    insn " %%dx, \\off+2(" K_CURSOR ")\n\t"                     \
    ".endr\n\t"

// Two halves of 64 bytes: `half` moves 64 bytes at the cursor, then the cursor
// advances, twice per line.
#define K_TWO_HALVES(half) half "add $64, " K_CURSOR "\n\t" half "add $64, " K_CURSOR "\n\t"
// One block of 128 bytes, then one advance.
#define K_ONE_BLOCK(block) block "add $128, " K_CURSOR "\n\t"

// The accuracy bench's planted fault (the KESTRUNE_PLANTED_FAULT build option,
// for bench/run-accuracy --plant-fault alone): the MOVAPS read loop loads its
// line's first 16 bytes once more, nine loads a line instead of eight, so that
// where loads are issue-bound it runs 1/9 slower. The assembler's .ifc keeps
// every other column of the same body as it is. The disassembly check fails
// such a build: the body is not the table's.
#if defined(KESTRUNE_PLANTED_FAULT)
#define K_PLANTED_FAULT_READ_XMM(insn) ".ifc " insn ",movaps\n\t" insn " (" K_CURSOR "), %%xmm0\n\t.endif\n\t"
#else
#define K_PLANTED_FAULT_READ_XMM(insn) ""
#endif

// The body of a kernel row, by direction and registers.
#define K_BODY_READ_GP32(insn) K_TWO_HALVES(GP32_LOAD_HALF(insn))
#define K_BODY_WRITE_GP32(insn) K_TWO_HALVES(GP32_STORE_HALF(insn))
#define K_BODY_READ_GP16(insn) K_TWO_HALVES(GP16_LOAD_HALF(insn))
#define K_BODY_WRITE_GP16(insn) K_TWO_HALVES(GP16_STORE_HALF(insn))
#define K_BODY_READ_MMX(insn) K_TWO_HALVES(MMX_LOAD_HALF(insn))
#define K_BODY_WRITE_MMX(insn) K_TWO_HALVES(MMX_STORE_HALF(insn))
#define K_BODY_READ_XMM(insn) \
    K_ONE_BLOCK(VECTOR_LOAD_BLOCK(insn, "xmm", "16", "0,1,2,3,4,5,6,7") K_PLANTED_FAULT_READ_XMM(insn))
#define K_BODY_WRITE_XMM(insn) K_ONE_BLOCK(VECTOR_STORE_BLOCK(insn, "xmm", "16", "0,1,2,3,4,5,6,7"))
#define K_BODY_READ_YMM(insn) K_ONE_BLOCK(VECTOR_LOAD_BLOCK(insn, "ymm", "32", "0,1,2,3"))
#define K_BODY_WRITE_YMM(insn) K_ONE_BLOCK(VECTOR_STORE_BLOCK(insn, "ymm", "32", "0,1,2,3"))
#define K_BODY_READ_ZMM(insn) K_ONE_BLOCK(VECTOR_LOAD_BLOCK(insn, "zmm", "64", "0,1"))
#define K_BODY_WRITE_ZMM(insn) K_ONE_BLOCK(VECTOR_STORE_BLOCK(insn, "zmm", "64", "0,1"))


// The straight loop's lines, the vector registers only: one line at the base
// plus the pass's offset.
#define K_STRAIGHT_ADDRESS K_BASE ", " K_CURSOR
#define K_LINE_READ_XMM(insn) VECTOR_LOAD_AT(insn, "xmm", "16", "0,1,2,3,4,5,6,7", K_STRAIGHT_ADDRESS)
#define K_LINE_READ_YMM(insn) VECTOR_LOAD_AT(insn, "ymm", "32", "0,1,2,3", K_STRAIGHT_ADDRESS)
#define K_LINE_WRITE_YMM(insn) VECTOR_STORE_AT(insn, "ymm", "32", "0,1,2,3", K_STRAIGHT_ADDRESS)
#define K_LINE_READ_ZMM(insn) VECTOR_LOAD_AT(insn, "zmm", "64", "0,1", K_STRAIGHT_ADDRESS)
#define K_LINE_WRITE_ZMM(insn) VECTOR_STORE_AT(insn, "zmm", "64", "0,1", K_STRAIGHT_ADDRESS)

// A copy line: the line at the base plus the offset loaded with the unaligned
// load of the register width, then stored at the destination plus the offset
// with the row's instruction.
#define K_COPY_ADDRESS K_DEST ", " K_CURSOR
#define K_COPY_LINE(insn, load, reg, width, registers)                       \
    VECTOR_LOAD_AT(load, reg, width, registers, K_STRAIGHT_ADDRESS)          \
    VECTOR_STORE_AT(insn, reg, width, registers, K_COPY_ADDRESS)
#define K_LINE_COPY_XMM(insn) K_COPY_LINE(insn, "movdqu", "xmm", "16", "0,1,2,3,4,5,6,7")
#define K_LINE_COPY_YMM(insn) K_COPY_LINE(insn, "vmovdqu", "ymm", "32", "0,1,2,3")
#define K_LINE_COPY_ZMM(insn) K_COPY_LINE(insn, "vmovdqu64", "zmm", "64", "0,1")

// What one pass of the straight loop moves, by a row's linesPerPass; `kind`
// is its direction and registers. The second line lies `step` past the first.
#define K_PASS_1(kind, insn) K_LINE_##kind(insn)
#define K_PASS_2(kind, insn) K_LINE_##kind(insn) "add " K_STEP ", " K_CURSOR "\n\t" K_LINE_##kind(insn)
