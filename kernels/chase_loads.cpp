// The chase, in one asm statement holding the whole timed window:
//
//   CPUID; RDTSC; startTicks = EDX:EAX
//   if passes <= 0 skip the loop
//   1: cursor = *cursor, CHASE_LOADS_PER_PASS times
//      passes -= 1; loop while passes != 0
//   2: CPUID; RDTSC; endTicks, elapsedTicks as every kernel
//
// Only the loads and the loop's count stand between the stamps. The cursor
// and the count live in registers CPUID leaves alone; on i386 the record's
// address waits on the stack as in the transfer kernels.
#include "kernels/chase_loads.h"

#include "kernels/timed_frame.h"

#define CHASE_TEXT_(count) #count
#define CHASE_TEXT(count) CHASE_TEXT_(count)

#define CHASE_LOOP(cursor, passes)                          \
    "test " passes ", " passes "\n\t"                       \
    "jle 2f\n\t"                                            \
    K_ALIGN_LOOP_HEAD                                       \
    "1:\n\t"                                                \
    ".rept " CHASE_TEXT(CHASE_LOADS_PER_PASS) "\n\t"        \
    "mov (" cursor "), " cursor "\n\t"                      \
    ".endr\n\t"                                             \
    "dec " passes "\n\t"                                    \
    "jnz 1b\n"

K_KERNEL_ATTRIBUTES void* chaseLoads(void* start, int32_t passes) {
    void* cursor = start;
#if defined(__x86_64__)
    asm volatile("cpuid\n\t"
                 "rdtsc\n\t"
                 K_STORE_START_TICKS
                 CHASE_LOOP("%[cursor]", "%[passes]")
                 K_CLOSE
                 : [cursor] "+r"(cursor), [passes] "+r"(passes)
                 : [record] "r"(&timingRecord)
                 : "rax", "rbx", "rcx", "rdx", "memory", "cc");
#else
    TimingRecord* kRecord = &timingRecord;
    asm volatile("push %%ecx\n\t"
                 "cpuid\n\t"
                 "rdtsc\n\t"
                 "mov (%%esp), %%ecx\n\t"
                 K_STORE_START_TICKS
                 CHASE_LOOP("%%esi", "%%edi")
                 K_CLOSE
                 "add $4, %%esp\n\t"
                 : "+S"(cursor), "+D"(passes), "+c"(kRecord)
                 :
                 : "eax", "ebx", "edx", "memory", "cc");
#endif
    return cursor;
}
