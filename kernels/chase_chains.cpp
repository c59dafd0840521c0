// The parallel-chains kernels, one asm statement each holding the whole timed
// window:
//
//   cursor k = base + k lines, for the chains whose registers CPUID leaves alone
//   CPUID; RDTSC; startTicks = EDX:EAX
//   cursor k = base + k lines, for the chains in the registers CPUID and
//   RDTSC overwrite (only with more chains than the others can hold)
//   if passes <= 0 skip the loop
//   1: CHASE_LOADS_PER_PASS times: cursor 0 = *cursor 0, cursor 1 = *cursor 1, ...
//      passes -= 1; loop while passes != 0
//   2: CPUID; RDTSC; endTicks, elapsedTicks as every kernel
//
// Between the stamps stand only the chains' loads, the loop's count and the
// few LEAs that place the last chains' cursors. The count and the branch do
// not wait on any chain, so they run beside them. The cursors start k lines
// apart, so the chains' builder (driver/latency_chase.cpp) makes line k the
// start of chain k.
#include "kernels/chase_chains.h"

#include "kernels/timed_frame.h"

#define CHAIN_TEXT_(text) #text
#define CHAIN_TEXT(text) CHAIN_TEXT_(text)

// Chain k's cursor set to its start, k lines past the first chain's.
#define CHAIN_START(k, first, cursor) \
    "lea " #k "*" CHAIN_TEXT(CHASE_CHAIN_START_BYTES) "(" first "), " cursor "\n\t"
#define CHAIN_LOAD(cursor) "mov (" cursor "), " cursor "\n\t"

#define CHAIN_LOOP(passes32, loads)                             \
    "test " passes32 ", " passes32 "\n\t"                       \
    "jle 2f\n\t"                                                \
    K_ALIGN_LOOP_HEAD                                           \
    "1:\n\t"                                                    \
    ".rept " CHAIN_TEXT(CHASE_LOADS_PER_PASS) "\n\t"            \
    loads                                                       \
    ".endr\n\t"                                                 \
    "dec " passes32 "\n\t"                                      \
    "jnz 1b\n"

#if defined(__x86_64__)

// Chains 0 to 7 in registers CPUID leaves alone (chain 0 in RSI, where the
// base comes), chains 8 to 11 in RAX, RBX, RCX and RDX, placed once
// startTicks is stored. The pass count waits in R14, the record's address in R15.
#define CHAIN_EARLY_1 ""
#define CHAIN_EARLY_2 CHAIN_EARLY_1 CHAIN_START(1, "%%rsi", "%%rdi")
#define CHAIN_EARLY_4 CHAIN_EARLY_2 CHAIN_START(2, "%%rsi", "%%r8") CHAIN_START(3, "%%rsi", "%%r9")
#define CHAIN_EARLY_8                                                                               \
    CHAIN_EARLY_4 CHAIN_START(4, "%%rsi", "%%r10") CHAIN_START(5, "%%rsi", "%%r11")                 \
        CHAIN_START(6, "%%rsi", "%%r12") CHAIN_START(7, "%%rsi", "%%r13")
#define CHAIN_EARLY_12 CHAIN_EARLY_8
#define CHAIN_LATE_1 ""
#define CHAIN_LATE_2 ""
#define CHAIN_LATE_4 ""
#define CHAIN_LATE_8 ""
#define CHAIN_LATE_12                                                                               \
    CHAIN_START(8, "%%rsi", "%%rax") CHAIN_START(9, "%%rsi", "%%rbx")                               \
        CHAIN_START(10, "%%rsi", "%%rcx") CHAIN_START(11, "%%rsi", "%%rdx")
#define CHAIN_LOADS_1 CHAIN_LOAD("%%rsi")
#define CHAIN_LOADS_2 CHAIN_LOADS_1 CHAIN_LOAD("%%rdi")
#define CHAIN_LOADS_4 CHAIN_LOADS_2 CHAIN_LOAD("%%r8") CHAIN_LOAD("%%r9")
#define CHAIN_LOADS_8 \
    CHAIN_LOADS_4 CHAIN_LOAD("%%r10") CHAIN_LOAD("%%r11") CHAIN_LOAD("%%r12") CHAIN_LOAD("%%r13")
#define CHAIN_LOADS_12 \
    CHAIN_LOADS_8 CHAIN_LOAD("%%rax") CHAIN_LOAD("%%rbx") CHAIN_LOAD("%%rcx") CHAIN_LOAD("%%rdx")

#define DEFINE_CHAIN_KERNEL(chains)                                                                  \
    K_KERNEL_ATTRIBUTES void chaseChains##chains(void* base, int32_t passes) {                       \
        register int64_t count asm("r14") = passes;                                                  \
        register TimingRecord* record asm("r15") = &timingRecord;                                    \
        asm volatile(CHAIN_EARLY_##chains                                                            \
                     "cpuid\n\t"                                                                     \
                     "rdtsc\n\t"                                                                     \
                     K_STORE_START_TICKS                                                             \
                     CHAIN_LATE_##chains                                                             \
                     CHAIN_LOOP("%%r14d", CHAIN_LOADS_##chains)                                      \
                     K_CLOSE                                                                         \
                     : "+S"(base), "+r"(count), [record] "+r"(record)                                \
                     :                                                                               \
                     : "rax", "rbx", "rcx", "rdx", "rdi", "r8", "r9", "r10", "r11", "r12", "r13",     \
                       "memory", "cc");                                                              \
    }

#else

// Chains 0 and 1 in ESI (where the base comes) and EDI, which CPUID leaves
// alone; chains 2 to 5 in EBX, EAX, ECX and EDX, placed once startTicks is
// stored. EBP, saved by hand, holds the pass count; the record's address
// waits on the stack and comes to ECX for the stores, as in every kernel.
#define CHAIN_EARLY_1 ""
#define CHAIN_EARLY_2 CHAIN_START(1, "%%esi", "%%edi")
#define CHAIN_EARLY_4 CHAIN_EARLY_2
#define CHAIN_EARLY_6 CHAIN_EARLY_2
#define CHAIN_LATE_1 ""
#define CHAIN_LATE_2 ""
#define CHAIN_LATE_4 CHAIN_START(2, "%%esi", "%%ebx") CHAIN_START(3, "%%esi", "%%eax")
#define CHAIN_LATE_6 CHAIN_LATE_4 CHAIN_START(4, "%%esi", "%%ecx") CHAIN_START(5, "%%esi", "%%edx")
#define CHAIN_LOADS_1 CHAIN_LOAD("%%esi")
#define CHAIN_LOADS_2 CHAIN_LOADS_1 CHAIN_LOAD("%%edi")
#define CHAIN_LOADS_4 CHAIN_LOADS_2 CHAIN_LOAD("%%ebx") CHAIN_LOAD("%%eax")
#define CHAIN_LOADS_6 CHAIN_LOADS_4 CHAIN_LOAD("%%ecx") CHAIN_LOAD("%%edx")

#define DEFINE_CHAIN_KERNEL(chains)                                                                  \
    K_KERNEL_ATTRIBUTES void chaseChains##chains(void* base, int32_t passes) {                       \
        TimingRecord* kRecord = &timingRecord;                                                       \
        asm volatile("push %%ebp\n\t"                                                                \
                     "push %%ecx\n\t"                                                                \
                     "mov %%edi, %%ebp\n\t"                                                          \
                     CHAIN_EARLY_##chains                                                            \
                     "cpuid\n\t"                                                                     \
                     "rdtsc\n\t"                                                                     \
                     "mov (%%esp), %%ecx\n\t"                                                        \
                     K_STORE_START_TICKS                                                             \
                     CHAIN_LATE_##chains                                                             \
                     CHAIN_LOOP("%%ebp", CHAIN_LOADS_##chains)                                       \
                     K_CLOSE                                                                         \
                     "add $4, %%esp\n\t"                                                             \
                     "pop %%ebp\n\t"                                                                 \
                     : "+S"(base), "+D"(passes), "+c"(kRecord)                                       \
                     :                                                                               \
                     : "eax", "ebx", "edx", "memory", "cc");                                         \
    }

#endif

PARALLEL_CHAINS(DEFINE_CHAIN_KERNEL)
