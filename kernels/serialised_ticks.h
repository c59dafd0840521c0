#pragma once
#include <cstdint>

// CPUID as a barrier, then RDTSC: the stamp of the clock measurement and of
// the library-call kernels. No leaf is loaded: only CPUID's serialising
// effect is used.
__attribute__((always_inline)) inline uint64_t serialisedTicks() {
    uint32_t low, high;
#if defined(__x86_64__)
    asm volatile("cpuid\n\trdtsc" : "=a"(low), "=d"(high) : : "rbx", "rcx", "memory");
#else
    asm volatile("cpuid\n\trdtsc" : "=a"(low), "=d"(high) : : "ebx", "ecx", "memory");
#endif
    return (uint64_t{high} << 32) | low;
}
