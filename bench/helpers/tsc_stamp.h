#pragma once
#include <cstdint>

// LFENCE on both sides keeps the read from moving across the code it times,
// without the exit to the hypervisor that a CPUID costs in a virtual machine.
inline uint64_t fencedTicks() {
    uint32_t low, high;
    asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high) : : "memory");
    return (uint64_t{high} << 32) | low;
}
