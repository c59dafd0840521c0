#pragma once
// The string kernels: one REP instruction per sweep of the block, in the same
// CPUID+RDTSC frame as every kernel, the pointers, the count and the
// direction flag all set inside the timed window:
//
//   CPUID; RDTSC; startTicks = EDX:EAX
//   if sweeps <= 0 skip the loop
//   CLD
//   1: SI = base, DI = destination (copy) or DI = base (fill), CX = count
//      REP MOVS or REP STOS
//      sweeps -= 1; loop while sweeps != 0
//   2: CPUID; RDTSC; endTicks, elapsedTicks as every kernel
//
// A fill stores the fill pattern, which waits in EAX; a copy keeps its
// destination there.
#include <cstdint>

#include "kernels/copy_and_fill.h"
#include "kernels/timed_frame.h"

#if defined(__x86_64__)

#define K_STR_BASE "%%r8"
#define K_STR_EXTRA "%%rax"
#define K_STR_COUNT "%%r9"
#define K_STR_SWEEPS "%%r10d"
#define K_STR_SI "%%rsi"
#define K_STR_DI "%%rdi"
#define K_STR_CX "%%rcx"

// The operands come in the registers the loop gives other work, and move to
// ones CPUID leaves alone before the window opens, so that the compiler needs
// no free register for them but the record's, frame pointer or not.
#define K_STR_OPEN                              \
    "mov %%rsi, %%r8\n\t"                       \
    "mov %%rdi, %%r12\n\t"                      \
    "mov %%rax, %%r9\n\t"                       \
    "mov %%edx, %%r10d\n\t"                     \
    "cpuid\n\t"                                 \
    "rdtsc\n\t"

#define K_STR_TAKE_OPERANDS "mov %%r12, %%rax\n\t"
#define K_STR_RESTORE ""

#define K_STR_OPERANDS(base, extra, count, sweeps)                                          \
    : "+S"(base), "+D"(extra), "+a"(count), "+d"(sweeps)                                \
    : [record] "r"(&timingRecord)                                                       \
    : "rbx", "rcx", "r8", "r9", "r10", "r12", "memory", "cc"

#else

// CPUID leaves ESI, EDI and EBP alone: the base and the extra operand wait in
// the first two, the count in EBP, the sweeps on the stack above the
// record's address; after the opening stamp they move to registers the
// string instructions do not use.
#define K_STR_BASE "%%ebx"
#define K_STR_EXTRA "%%eax"
#define K_STR_COUNT "%%ebp"
#define K_STR_SWEEPS "%%edx"
#define K_STR_SI "%%esi"
#define K_STR_DI "%%edi"
#define K_STR_CX "%%ecx"

#define K_STR_OPEN K_OPEN_KEEPING("%%eax", "%%edx")

#define K_STR_TAKE_OPERANDS                     \
    "mov 4(%%esp), %%edx\n\t"                   \
    "mov %%esi, %%ebx\n\t"                      \
    "mov %%edi, %%eax\n\t"

#define K_STR_RESTORE K_RESTORE_COPY

#define K_STR_OPERANDS(base, extra, count, sweeps)                                          \
    : "+S"(base), "+D"(extra), "+a"(sweeps), "+c"(kRecord), "+d"(count)                 \
    : /* no plain inputs */                                                             \
    : "ebx", "memory", "cc"

#endif

// The pointers of one sweep, and the instruction with the operands it names.
#define K_STR_POINTERS_COPY                     \
    "mov " K_STR_BASE ", " K_STR_SI "\n\t"      \
    "mov " K_STR_EXTRA ", " K_STR_DI "\n\t"
#define K_STR_POINTERS_FILL "mov " K_STR_BASE ", " K_STR_DI "\n\t"
#define K_STR_SOURCE_STR8 "%%al"
#define K_STR_SOURCE_STR32 "%%eax"
#define K_STR_OPERATION_COPY(insn, registers) "rep " insn "\n\t"
#define K_STR_OPERATION_FILL(insn, registers) "rep " insn " " K_STR_SOURCE_##registers ", %%es:(" K_STR_DI ")\n\t"

#define K_LOOP_STRING(direction, registers, insn)       \
    "test " K_STR_SWEEPS ", " K_STR_SWEEPS "\n\t"       \
    "jle 2f\n\t"                                        \
    "cld\n\t"                                           \
    K_ALIGN_LOOP_HEAD                                   \
    "1:\n\t"                                            \
    K_STR_POINTERS_##direction                          \
    "mov " K_STR_COUNT ", " K_STR_CX "\n\t"             \
    K_STR_OPERATION_##direction(insn, registers)        \
    "dec " K_STR_SWEEPS "\n\t"                          \
    "jnz 1b\n"

// The bytes one element of the string instruction moves.
#define K_STR_ELEMENT_BYTES_STR8 1
#define K_STR_ELEMENT_BYTES_STR32 4

// What EAX holds for the loop: the destination of a copy, the pattern of a fill.
#define K_STR_EXTRA_COPY(base, blockLines) reinterpret_cast<uintptr_t>(copyDestination(base, blockLines))
#define K_STR_EXTRA_FILL(base, blockLines) uintptr_t{FILL_PATTERN}

// lineCount is a whole number of sweeps of the block.
#define DEFINE_STRING_KERNEL(name, direction, registers, insn)                                  \
    K_KERNEL_ATTRIBUTES void name(void* base, int32_t blockLines, int32_t lineCount) {         \
        [[maybe_unused]] TimingRecord* kRecord = &timingRecord;                                \
        int32_t sweeps = blockLines > 0 ? lineCount / blockLines : 0;                          \
        uintptr_t count = static_cast<uintptr_t>(blockLines) * LINE_BYTES /                    \
                          K_STR_ELEMENT_BYTES_##registers;                                     \
        uintptr_t extra = K_STR_EXTRA_##direction(base, blockLines);                           \
        asm volatile(K_STR_OPEN K_STORE_START_TICKS K_STR_TAKE_OPERANDS                        \
                     K_LOOP_STRING(direction, registers, insn) K_CLOSE K_STR_RESTORE           \
                     K_STR_OPERANDS(base, extra, count, sweeps));                              \
    }
