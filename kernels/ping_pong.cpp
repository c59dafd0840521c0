// The two sides of the core-to-core round trip, each one asm statement:
//
//   timing side                           answering side
//   CPUID; RDTSC; startTicks              if rounds <= 0 skip the loop
//   if rounds <= 0 skip the loop          1: wait: loop while *in != v
//   1: *out = v                              v += 1; *out = v
//      v += 1                                v += 1
//   3: wait: loop while *in != v             rounds -= 1; loop while rounds != 0
//      v += 1
//      rounds -= 1; loop while rounds != 0
//   2: CPUID; RDTSC; endTicks, elapsedTicks as every kernel
//
// The waits spin on a plain compare with memory, without PAUSE: PAUSE takes
// up to some 140 cycles on recent cores and would be counted in the round
// trip. Between the stamps stand only the stores, the waits and the count.
#include "kernels/ping_pong.h"

#include "kernels/timed_frame.h"

#define PING_PONG_TIMED_LOOP(out, in, value, rounds)   \
    "test " rounds ", " rounds "\n\t"                   \
    "jle 2f\n\t"                                        \
    K_ALIGN_LOOP_HEAD                                   \
    "1:\n\t"                                            \
    "mov " value ", (" out ")\n\t"                      \
    "inc " value "\n"                                   \
    "3:\n\t"                                            \
    "cmp " value ", (" in ")\n\t"                       \
    "jne 3b\n\t"                                        \
    "inc " value "\n\t"                                 \
    "dec " rounds "\n\t"                                \
    "jnz 1b\n"

#define PING_PONG_ANSWER_LOOP(out, in, value, rounds)  \
    "test " rounds ", " rounds "\n\t"                   \
    "jle 2f\n\t"                                        \
    K_ALIGN_LOOP_HEAD                                   \
    "1:\n\t"                                            \
    "cmp " value ", (" in ")\n\t"                       \
    "jne 1b\n\t"                                        \
    "inc " value "\n\t"                                 \
    "mov " value ", (" out ")\n\t"                      \
    "inc " value "\n\t"                                 \
    "dec " rounds "\n\t"                                \
    "jnz 1b\n"                                          \
    "2:\n"

K_KERNEL_ATTRIBUTES void pingPongTimed(volatile uint32_t* out, const volatile uint32_t* in, uint32_t first,
                                       int32_t rounds) {
    uint32_t value = first;
#if defined(__x86_64__)
    asm volatile("cpuid\n\t"
                 "rdtsc\n\t"
                 K_STORE_START_TICKS
                 PING_PONG_TIMED_LOOP("%[out]", "%[in]", "%[value]", "%[rounds]")
                 K_CLOSE
                 : [value] "+r"(value), [rounds] "+r"(rounds)
                 : [out] "r"(out), [in] "r"(in), [record] "r"(&timingRecord)
                 : "rax", "rbx", "rcx", "rdx", "memory", "cc");
#else
    // The value waits on the stack through the opening CPUID and comes to
    // EBX; the count goes to EBP, saved by hand.
    TimingRecord* kRecord = &timingRecord;
    asm volatile(K_OPEN_KEEPING("%%eax", "%%edx")
                 K_STORE_START_TICKS
                 "mov 4(%%esp), %%ebx\n\t"
                 PING_PONG_TIMED_LOOP("%%esi", "%%edi", "%%ebx", "%%ebp")
                 K_CLOSE
                 K_RESTORE_COPY
                 : "+S"(out), "+D"(in), "+a"(value), "+d"(rounds), "+c"(kRecord)
                 :
                 : "ebx", "memory", "cc");
#endif
}

K_KERNEL_ATTRIBUTES void pingPongAnswer(volatile uint32_t* out, const volatile uint32_t* in, uint32_t first,
                                        int32_t rounds) {
    uint32_t value = first;
    asm volatile(PING_PONG_ANSWER_LOOP("%[out]", "%[in]", "%[value]", "%[rounds]")
                 : [value] "+r"(value), [rounds] "+r"(rounds)
                 : [out] "r"(out), [in] "r"(in)
                 : "memory", "cc");
}
