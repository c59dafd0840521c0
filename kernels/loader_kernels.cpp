// The loader kernels and the busy-wait, one asm statement each holding the
// whole timed window (kernels/loader_kernels.h). The line bodies are the
// straight loop's (kernels/loop_bodies.h); the index counts in EAX and the
// busy-wait in EDX on both targets.
#include "kernels/loader_kernels.h"

#include "kernels/loop_bodies.h"

// The busy-wait after a line: EDX turns of a decrement and a branch back.
#define LOADER_DELAY                            \
    "test %%edx, %%edx\n\t"                     \
    "jz 6f\n"                                   \
    "5:\n\t"                                    \
    "dec %%edx\n\t"                             \
    "jnz 5b\n"                                  \
    "6:\n\t"

#define LOADER_LOOP(line, delayTurns, end)      \
    "cmp " end ", %%eax\n\t"                    \
    "jge 2f\n\t"                                \
    K_ALIGN_LOOP_HEAD                           \
    "1:\n\t"                                    \
    "mov %%eax, " K_CURSOR32 "\n\t"             \
    "and " K_MASK ", " K_CURSOR32 "\n\t"        \
    "shl $7, " K_CURSOR "\n\t"                  \
    line                                        \
    "mov " delayTurns ", %%edx\n\t"             \
    LOADER_DELAY                                \
    "inc %%eax\n\t"                             \
    "cmp " end ", %%eax\n\t"                    \
    "jl 1b\n"

#define LOADER_OFFSETS                                                                       \
    [oBase] "i"(offsetof(LoaderSweep, base)), [oDest] "i"(offsetof(LoaderSweep, destination)), \
        [oBlock] "i"(offsetof(LoaderSweep, blockLines)), [oFirst] "i"(offsetof(LoaderSweep, firstLine)), \
        [oCount] "i"(offsetof(LoaderSweep, lineCount)), [oDelay] "i"(offsetof(LoaderSweep, delayTurns))

#if defined(__x86_64__)

// Base R8, mask R9D, end R10D, offset R11, destination R12, first line R13D,
// turns R14D: all registers CPUID leaves alone.
#define DEFINE_LOADER(name, targetAttr, line, after, ...)                                     \
    K_KERNEL_ATTRIBUTES targetAttr void name(const LoaderSweep* sweep) {                       \
        asm volatile("mov %c[oBase](%[sweep]), %%r8\n\t"                                       \
                     "mov %c[oDest](%[sweep]), %%r12\n\t"                                      \
                     "mov %c[oBlock](%[sweep]), %%r9d\n\t"                                     \
                     "dec %%r9d\n\t"                                                           \
                     "mov %c[oFirst](%[sweep]), %%r13d\n\t"                                    \
                     "mov %c[oCount](%[sweep]), %%r10d\n\t"                                    \
                     "add %%r13d, %%r10d\n\t"                                                  \
                     "mov %c[oDelay](%[sweep]), %%r14d\n\t"                                    \
                     "cpuid\n\t"                                                               \
                     "rdtsc\n\t"                                                               \
                     K_STORE_START_TICKS                                                       \
                     "mov %%r13d, %%eax\n\t"                                                   \
                     LOADER_LOOP(line, "%%r14d", "%%r10d")                                     \
                     K_CLOSE after                                                             \
                     : /* no outputs */                                                        \
                     : [sweep] "r"(sweep), [record] "r"(&timingRecord), LOADER_OFFSETS         \
                     : "rax", "rbx", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", \
                       "memory", "cc" __VA_ARGS__);                                            \
    }

K_KERNEL_ATTRIBUTES void delayTurns(int32_t turns, int32_t repeats) {
    asm volatile("mov %[turns], %%r13d\n\t"
                 "mov %[repeats], %%r10d\n\t"
                 "cpuid\n\t"
                 "rdtsc\n\t"
                 K_STORE_START_TICKS
                 "test %%r10d, %%r10d\n\t"
                 "jle 2f\n\t"
                 K_ALIGN_LOOP_HEAD
                 "1:\n\t"
                 "mov %%r13d, %%edx\n\t"
                 LOADER_DELAY
                 "dec %%r10d\n\t"
                 "jnz 1b\n"
                 K_CLOSE
                 : /* no outputs */
                 : [turns] "r"(turns), [repeats] "r"(repeats), [record] "r"(&timingRecord)
                 : "rax", "rbx", "rcx", "rdx", "r10", "r13", "memory", "cc");
}

#elif defined(__i386__)

// Base ESI, mask EDI, end EBP (saved by hand), offset EBX, destination ECX
// once startTicks is stored; the turns, the first line, the destination and
// the record's address wait on the stack: turns at 12(%esp), first line at
// 8, destination at 4, record at 0.
#define DEFINE_LOADER(name, targetAttr, line, after, ...)                                     \
    K_KERNEL_ATTRIBUTES targetAttr void name(const LoaderSweep* sweep) {                       \
        [[maybe_unused]] TimingRecord* kRecord = &timingRecord;                                \
        asm volatile("push %%ebp\n\t"                                                          \
                     "mov %c[oBase](%%eax), %%esi\n\t"                                         \
                     "mov %c[oBlock](%%eax), %%edi\n\t"                                        \
                     "dec %%edi\n\t"                                                           \
                     "pushl %c[oDelay](%%eax)\n\t"                                             \
                     "pushl %c[oFirst](%%eax)\n\t"                                             \
                     "pushl %c[oDest](%%eax)\n\t"                                              \
                     "mov %c[oCount](%%eax), %%ebp\n\t"                                        \
                     "add %c[oFirst](%%eax), %%ebp\n\t"                                        \
                     "push %%ecx\n\t"                                                          \
                     "cpuid\n\t"                                                               \
                     "rdtsc\n\t"                                                               \
                     "mov (%%esp), %%ecx\n\t"                                                  \
                     K_STORE_START_TICKS                                                       \
                     "mov 4(%%esp), %%ecx\n\t"                                                 \
                     "mov 8(%%esp), %%eax\n\t"                                                 \
                     LOADER_LOOP(line, "12(%%esp)", "%%ebp")                                   \
                     K_CLOSE                                                                   \
                     "add $16, %%esp\n\t"                                                      \
                     "pop %%ebp\n\t" after                                                     \
                     : "+a"(sweep), "+c"(kRecord)                                              \
                     : LOADER_OFFSETS                                                          \
                     : "ebx", "edx", "esi", "edi", "memory", "cc" __VA_ARGS__);                \
    }

K_KERNEL_ATTRIBUTES void delayTurns(int32_t turns, int32_t repeats) {
    TimingRecord* kRecord = &timingRecord;
    asm volatile("push %%ebp\n\t"
                 "push %%eax\n\t"
                 "mov %%edi, %%ebp\n\t"
                 "push %%ecx\n\t"
                 "cpuid\n\t"
                 "rdtsc\n\t"
                 "mov (%%esp), %%ecx\n\t"
                 K_STORE_START_TICKS
                 "test %%ebp, %%ebp\n\t"
                 "jle 2f\n\t"
                 K_ALIGN_LOOP_HEAD
                 "1:\n\t"
                 "mov 4(%%esp), %%edx\n\t"
                 LOADER_DELAY
                 "dec %%ebp\n\t"
                 "jnz 1b\n"
                 K_CLOSE
                 "add $8, %%esp\n\t"
                 "pop %%ebp\n\t"
                 : "+a"(turns), "+D"(repeats), "+c"(kRecord)
                 :
                 : "ebx", "edx", "memory", "cc");
}

#else
#error "the kernels are x86 assembly"
#endif

// The lines, by load and registers. The straight loop has no 128-bit store
// line of its own; this one stores as the write table's MOVDQU does.
#define K_LINE_WRITE_XMM(insn) VECTOR_STORE_AT(insn, "xmm", "16", "0,1,2,3,4,5,6,7", K_STRAIGHT_ADDRESS)
#define LOADER_LINE_READ(registers, insn) K_LINE_READ_##registers(insn)
#define LOADER_LINE_WRITE(registers, insn) K_LINE_WRITE_##registers(insn)
#define LOADER_LINE_COPY(registers, insn) K_LINE_COPY_##registers(insn)

#define LOADER_ROW(function, load, capability, instruction, registers, column)                 \
    DEFINE_LOADER(function, K_TARGET_##capability, LOADER_LINE_##load(registers, instruction),   \
                  K_AFTER_##registers, K_CLOBBERS_##load##_##registers)
#include "kernels/loader_list.def"
#undef LOADER_ROW
