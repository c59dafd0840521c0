#pragma once
// The core clock, counted without performance counters: a chain of adds in
// which each waits for the one before runs at exactly one add per core cycle
// on every x86 core since the P6, whatever the clock is. Timed against the
// time-stamp counter, the chain gives core cycles per tick.
#include <cstdint>

constexpr uint32_t DEPENDENT_ADDS_PER_BLOCK = 200;

// Runs `blocks` blocks of the chain between the two stamps `stamp` returns.
// The loop's own counter is a second, independent chain that runs alongside.
template <typename Stamp>
uint64_t ticksOfDependentAdds(uint32_t blocks, Stamp stamp) {
    uint32_t chain = 0;
    const uint64_t start = stamp();
    asm volatile("1:\n\t"
                 ".rept 200\n\t"
                 "add $1, %0\n\t"
                 ".endr\n\t"
                 "dec %1\n\t"
                 "jnz 1b"
                 : "+r"(chain), "+r"(blocks)
                 :
                 : "cc");
    const uint64_t end = stamp();
    return end - start;
}

static_assert(DEPENDENT_ADDS_PER_BLOCK == 200, "the .rept count above");
