#pragma once
// The timed frame shared by every kernel. A kernel is one asm statement that
// holds the whole timed window, from the opening CPUID/RDTSC to the closing
// one, so that the compiler can move nothing into or out of it:
//
//   mask = blockLines - 1
//   CPUID; RDTSC; startTicks = EDX:EAX        (EDX keeps the upper half)
//   the loop, which moves lineCount lines through the block
//   2: CPUID; RDTSC; endTicks = EDX:EAX; elapsedTicks = endTicks - startTicks
//
// Two loops, chosen by the kernel's row. The classic one, which the report's
// own columns have always run:
//
//   i = 0; if lineCount <= 0 skip the loop
//   1: if (i & mask) == 0, cursor = base      (a taken branch on every line
//      body (moves one line, leaves the      but the first of each sweep)
//      cursor 128 bytes on)
//      i += 1; loop while i < lineCount
//
// and the straight one, for the columns beyond them. A two-register 512-bit
// load loop moves a line in one core cycle, and at that pace a second taken
// branch per line (the classic wrap test) decides its speed, and with it the
// branch predictor's state of the moment, which differs from one process to
// the next. The straight loop has no wrap test: each pass computes where its
// line lies from the index, so its one taken branch is the branch back, at
// every block size. The body may move two lines per pass (linesPerPass, a
// row's choice), the second one `step` past the first: 128 bytes, or none in
// a block of one line, which the pass then moves twice:
//
//   i = 0; step = mask ? 128 : 0              (two lines per pass only)
//   if lineCount <= 0 skip the loop
//   1: offset = (i & mask) * 128
//      body (moves the line at base + offset; with two lines per pass,
//            offset += step and the line there)
//      i += linesPerPass; loop while i < lineCount
//
// The offset is masked, so no pass reaches past the block whatever the count;
// lineCount is a whole number of sweeps, so each line is moved as often as in
// the classic loop, and a run moves the same bytes.
//
// No leaf is loaded before either CPUID: only its serialising effect is used.
// The loop body is spelled with the register names below so that it assembles
// unchanged for i386 and x86-64.
#include <cstdint>

#include "kernels/copy_and_fill.h"
#include "kernels/timing_record.h"

#if defined(__x86_64__)

// Plenty of registers: inputs are copied into fixed scratch registers that
// CPUID leaves alone. No push: the red zone below the stack pointer may be live.
#define K_BASE "%%r8"
#define K_CURSOR "%%r11"
#define K_CURSOR32 "%%r11d"
#define K_STEP "%%rdx"
#define K_STEP32 "%%edx"
#define K_MASK "%%r9d"
#define K_COUNT "%%r10d"
#define K_RECORD "%[record]"

#define K_OPEN                                  \
    "mov %[base], %%r8\n\t"                     \
    "mov %[blockLines], %%r9d\n\t"              \
    "dec %%r9d\n\t"                             \
    "mov %[lineCount], %%r10d\n\t"              \
    "cpuid\n\t"                                 \
    "rdtsc\n\t"

#define K_RELOAD_RECORD ""
#define K_RESTORE ""

#define K_OPERANDS(base, blockLines, lineCount)                                         \
    : /* no outputs */                                                                  \
    : [base] "r"(base), [blockLines] "r"(blockLines), [lineCount] "r"(lineCount),       \
      [record] "r"(&timingRecord)                                                       \
    : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "memory", "cc"

// A copy kernel's destination waits in R12, which CPUID leaves alone.
#define K_DEST "%%r12"
#define K_OPEN_COPY "mov %[destination], %%r12\n\t" K_OPEN
#define K_TAKE_DESTINATION ""
#define K_RESTORE_COPY ""

#define K_COPY_OPERANDS(base, blockLines, lineCount, destination)                           \
    : /* no outputs */                                                                  \
    : [base] "r"(base), [blockLines] "r"(blockLines), [lineCount] "r"(lineCount),       \
      [destination] "r"(destination), [record] "r"(&timingRecord)                       \
    : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "memory", "cc"

#elif defined(__i386__)

// Seven registers hold base, cursor, mask, index, count and the two data
// registers, so EBP is saved by hand and the record's address waits on the
// stack; CPUID overwrites EAX, EBX, ECX and EDX. Once ESP has moved, no memory
// operand of the compiler's may be used.
#define K_BASE "%%esi"
#define K_CURSOR "%%ebx"
#define K_CURSOR32 "%%ebx"
#define K_STEP "%%edx"
#define K_STEP32 "%%edx"
#define K_MASK "%%edi"
#define K_COUNT "%%ebp"
#define K_RECORD "%%ecx"

#define K_OPEN                                  \
    "dec %%edi\n\t"                             \
    "push %%ebp\n\t"                            \
    "push %%ecx\n\t"                            \
    "mov %%eax, %%ebp\n\t"                      \
    "cpuid\n\t"                                 \
    "rdtsc\n\t"                                 \
    "mov (%%esp), %%ecx\n\t"

#define K_RELOAD_RECORD "mov (%%esp), %%ecx\n\t"
#define K_RESTORE                               \
    "add $4, %%esp\n\t"                         \
    "pop %%ebp\n\t"

#define K_OPERANDS(base, blockLines, lineCount)                                         \
    : "+S"(base), "+D"(blockLines), "+a"(lineCount), "+c"(kRecord)                      \
    : /* no plain inputs */                                                             \
    : "ebx", "edx", "memory", "cc"

// A copy kernel's destination waits on the stack above the record's address
// and comes to ECX, free in the vector loops once startTicks is stored.
#define K_DEST "%%ecx"
// The opening of a kernel with one more value than the registers CPUID leaves
// alone can hold: EBP saved, `kept` on the stack above the record's address
// (ECX), `count` moved to EBP; the record's address back in ECX after RDTSC.
#define K_OPEN_KEEPING(kept, count)             \
    "push %%ebp\n\t"                            \
    "push " kept "\n\t"                         \
    "push %%ecx\n\t"                            \
    "mov " count ", %%ebp\n\t"                  \
    "cpuid\n\t"                                 \
    "rdtsc\n\t"                                 \
    "mov (%%esp), %%ecx\n\t"
#define K_OPEN_COPY "dec %%edi\n\t" K_OPEN_KEEPING("%%edx", "%%eax")

#define K_TAKE_DESTINATION "mov 4(%%esp), %%ecx\n\t"
#define K_RESTORE_COPY                          \
    "add $8, %%esp\n\t"                         \
    "pop %%ebp\n\t"

#define K_COPY_OPERANDS(base, blockLines, lineCount, destination)                           \
    : "+S"(base), "+D"(blockLines), "+a"(lineCount), "+c"(kRecord), "+d"(destination)   \
    : /* no plain inputs */                                                             \
    : "ebx", "memory", "cc"

#else
#error "the kernels are x86 assembly"
#endif

// Every loop head starts a 64-byte line, so that no column's speed depends on
// where its code happens to land: a short loop that straddles two lines can
// run at half speed. The padding runs once per run, before the loop. For i386 the assembler pads a long gap with a jump
// over short NOPs, which would run inside the timed window; allowing it the
// long NOP of every processor since the P6 makes it pad with NOPs alone.
#if defined(__i386__)
#define K_ALIGN_LOOP_HEAD ".arch .nop\n\t.p2align 6,0x90\n"
#else
#define K_ALIGN_LOOP_HEAD ".p2align 6,0x90\n"
#endif

// The index lives in EAX, except in the two general-register read kernels,
// whose loads go to EAX and EDX.
#define K_INDEX_EAX "%%eax"
#define K_INDEX_ECX "%%ecx"

#define K_STORE_START_TICKS                     \
    "mov %%eax, 8(" K_RECORD ")\n\t"            \
    "mov %%edx, 12(" K_RECORD ")\n\t"

#define K_LOOP_CLASSIC(index, kind, insn, linesPerPass) \
    "xor " index ", " index "\n\t"              \
    "test " K_COUNT ", " K_COUNT "\n\t"         \
    "jle 2f\n\t"                                \
    K_ALIGN_LOOP_HEAD                           \
    "1:\n\t"                                    \
    "test " K_MASK ", " index "\n\t"            \
    "jnz 3f\n\t"                                \
    "mov " K_BASE ", " K_CURSOR "\n"            \
    "3:\n\t"                                    \
    K_BODY_##kind(insn)                         \
    "inc " index "\n\t"                         \
    "cmp " K_COUNT ", " index "\n\t"            \
    "jl 1b\n"

// The offset lives in the classic loop's cursor register; the step in EDX,
// which the vector kernels use for nothing else once startTicks is stored.
// CMOV is in every processor that has the straight loop's extensions.
#define K_STEP_SET_1 ""
#define K_STEP_SET_2                            \
    "mov $128, " K_STEP32 "\n\t"                \
    "test " K_MASK ", " K_MASK "\n\t"           \
    "cmovz " K_MASK ", " K_STEP32 "\n\t"

#define K_LOOP_STRAIGHT(index, kind, insn, linesPerPass) \
    "xor " index ", " index "\n\t"              \
    K_STEP_SET_##linesPerPass                   \
    "test " K_COUNT ", " K_COUNT "\n\t"         \
    "jle 2f\n\t"                                \
    K_ALIGN_LOOP_HEAD                           \
    "1:\n\t"                                    \
    "mov " index ", " K_CURSOR32 "\n\t"         \
    "and " K_MASK ", " K_CURSOR32 "\n\t"        \
    "shl $7, " K_CURSOR "\n\t"                  \
    K_PASS_##linesPerPass(kind, insn)           \
    "add $" #linesPerPass ", " index "\n\t"     \
    "cmp " K_COUNT ", " index "\n\t"            \
    "jl 1b\n"

#define K_CLOSE                                 \
    "2:\n\t"                                    \
    "cpuid\n\t"                                 \
    "rdtsc\n\t"                                 \
    K_RELOAD_RECORD                             \
    "mov %%eax, 0(" K_RECORD ")\n\t"            \
    "mov %%edx, 4(" K_RECORD ")\n\t"            \
    "sub 8(" K_RECORD "), %%eax\n\t"            \
    "sbb 12(" K_RECORD "), %%edx\n\t"           \
    "mov %%eax, 16(" K_RECORD ")\n\t"           \
    "mov %%edx, 20(" K_RECORD ")\n\t"

// Defines one kernel: `loop` is one of the loops above with its bodies,
// `after` runs once the record is written (EMMS for the MMX kernels), `...`
// names the extra registers the body changes.
#define K_KERNEL_ATTRIBUTES extern "C" __attribute__((noinline, used))

#define DEFINE_TIMED_KERNEL(name, targetAttr, loop, after, ...)                          \
    K_KERNEL_ATTRIBUTES targetAttr void name(void* base, int32_t blockLines,            \
                                             int32_t lineCount) {                       \
        [[maybe_unused]] TimingRecord* kRecord = &timingRecord;                         \
        asm volatile(K_OPEN K_STORE_START_TICKS loop K_CLOSE K_RESTORE after            \
                     K_OPERANDS(base, blockLines, lineCount) __VA_ARGS__);              \
    }

// A copy kernel: the same frame, with the destination (kernels/copy_and_fill.h)
// in K_DEST for the loop.
#define DEFINE_TIMED_COPY_KERNEL(name, targetAttr, loop, after, ...)                     \
    K_KERNEL_ATTRIBUTES targetAttr void name(void* base, int32_t blockLines,            \
                                             int32_t lineCount) {                       \
        [[maybe_unused]] TimingRecord* kRecord = &timingRecord;                         \
        void* destination = copyDestination(base, blockLines);                          \
        asm volatile(K_OPEN_COPY K_STORE_START_TICKS K_TAKE_DESTINATION loop K_CLOSE     \
                     K_RESTORE_COPY after                                               \
                     K_COPY_OPERANDS(base, blockLines, lineCount, destination) __VA_ARGS__); \
    }

// The per-row pieces of a kernel, by the row's capability, direction and
// registers: the target that lets the compiler accept its registers, the
// index register, the registers it changes and what runs after the window.
#define K_TARGET_0
#define K_TARGET_CAP_MMX __attribute__((target("mmx,sse")))
#define K_TARGET_CAP_SSE __attribute__((target("mmx,sse")))
#define K_TARGET_CAP_SSE2 __attribute__((target("sse2")))
#define K_TARGET_CAP_SSE3 __attribute__((target("sse3")))
#define K_TARGET_CAP_SSE41 __attribute__((target("sse4.1")))
#define K_TARGET_CAP_AVX __attribute__((target("avx")))
#define K_TARGET_CAP_AVX512F __attribute__((target("avx512f")))

// The general-register loads go to EAX and EDX, so their index counts in ECX;
// every other kernel counts in EAX (the 32-bit stores store it).
#define K_INDEX_READ_GP32 K_INDEX_ECX
#define K_INDEX_READ_GP16 K_INDEX_ECX
#define K_INDEX_READ_MMX K_INDEX_EAX
#define K_INDEX_READ_XMM K_INDEX_EAX
#define K_INDEX_READ_YMM K_INDEX_EAX
#define K_INDEX_READ_ZMM K_INDEX_EAX
#define K_INDEX_WRITE_GP32 K_INDEX_EAX
#define K_INDEX_WRITE_GP16 K_INDEX_EAX
#define K_INDEX_WRITE_MMX K_INDEX_EAX
#define K_INDEX_WRITE_XMM K_INDEX_EAX
#define K_INDEX_WRITE_YMM K_INDEX_EAX
#define K_INDEX_WRITE_ZMM K_INDEX_EAX
#define K_INDEX_COPY_XMM K_INDEX_EAX
#define K_INDEX_COPY_YMM K_INDEX_EAX
#define K_INDEX_COPY_ZMM K_INDEX_EAX

// Loads change the registers they load; stores only read theirs. The MMX
// kernels list MM0-MM7 either way because EMMS after them empties the x87
// stack. The general-register kernels change nothing beyond the frame's own.
#define K_MMX_CLOBBERS , "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7"
#define K_CLOBBERS_READ_GP32
#define K_CLOBBERS_READ_GP16
#define K_CLOBBERS_READ_MMX K_MMX_CLOBBERS
#define K_CLOBBERS_READ_XMM , "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#define K_CLOBBERS_READ_YMM , "xmm0", "xmm1", "xmm2", "xmm3"
#define K_CLOBBERS_READ_ZMM , "xmm0", "xmm1"
#define K_CLOBBERS_WRITE_GP32
#define K_CLOBBERS_WRITE_GP16
#define K_CLOBBERS_WRITE_MMX K_MMX_CLOBBERS
#define K_CLOBBERS_WRITE_XMM
#define K_CLOBBERS_WRITE_YMM
#define K_CLOBBERS_WRITE_ZMM
#define K_CLOBBERS_COPY_XMM K_CLOBBERS_READ_XMM
#define K_CLOBBERS_COPY_YMM K_CLOBBERS_READ_YMM
#define K_CLOBBERS_COPY_ZMM K_CLOBBERS_READ_ZMM

// After the record is written, outside the timed window: EMMS after MMX,
// because the driver's floating-point arithmetic right after the call needs
// an empty x87 stack; VZEROUPPER after the 256- and 512-bit kernels, so that
// the SSE code after them pays no transition penalty.
#define K_AFTER_GP32 ""
#define K_AFTER_GP16 ""
#define K_AFTER_MMX "emms\n\t"
#define K_AFTER_XMM ""
#define K_AFTER_YMM "vzeroupper\n\t"
#define K_AFTER_ZMM "vzeroupper\n\t"
