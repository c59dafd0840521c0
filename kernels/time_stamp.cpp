#include "kernels/kernels.h"

// The same serialising stamp as the kernels': CPUID only for its barrier (no
// leaf is loaded), RDTSC right after it.
extern "C" __attribute__((noinline)) uint64_t readSerialisedTicks() {
    uint32_t low, high;
#if defined(__x86_64__)
    asm volatile("cpuid\n\trdtsc" : "=a"(low), "=d"(high) : : "rbx", "rcx", "memory");
#else
    asm volatile("cpuid\n\trdtsc" : "=a"(low), "=d"(high) : : "ebx", "ecx", "memory");
#endif
    return (uint64_t{high} << 32) | low;
}
