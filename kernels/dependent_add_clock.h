#pragma once
// The core clock, counted without performance counters: a chain of adds in
// which each waits for the one before runs at exactly one add per core cycle
// on every x86 core since the P6, whatever the clock is. Timed against the
// time-stamp counter, the chain gives time-stamp ticks per core cycle. The
// program's --per-cycle and the accuracy bench's helpers both count with it.
#include <cstdint>

#define DEPENDENT_ADDS_PER_BLOCK 200
#define DEPENDENT_ADDS_TEXT_(count) #count
#define DEPENDENT_ADDS_TEXT(count) DEPENDENT_ADDS_TEXT_(count)

// Time-stamp ticks per add over `blocks` blocks of the chain, between the two
// readings `stamp` gives. The loop's own counter is a second, independent
// chain that runs alongside.
template <typename Stamp>
double ticksPerDependentAdd(uint32_t blocks, Stamp stamp) {
    uint32_t chain = 0, left = blocks;
    const uint64_t start = stamp();
    asm volatile("1:\n\t"
                 ".rept " DEPENDENT_ADDS_TEXT(DEPENDENT_ADDS_PER_BLOCK) "\n\t"
                 "add $1, %0\n\t"
                 ".endr\n\t"
                 "dec %1\n\t"
                 "jnz 1b"
                 : "+r"(chain), "+r"(left)
                 :
                 : "cc");
    const uint64_t end = stamp();
    return static_cast<double>(end - start) / (static_cast<double>(DEPENDENT_ADDS_PER_BLOCK) * blocks);
}
