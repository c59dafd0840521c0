#pragma once
// The latency kernel: a chain of loads, each taking its address from the one
// before, timed in the same CPUID+RDTSC frame as the transfer kernels.
#include <cstdint>

// Loads per pass of the loop, unrolled in the assembly. The loop's own count
// and branch do not wait on the chain, so they run beside it; 64 loads keep
// them far from the front end's limits all the same.
#define CHASE_LOADS_PER_PASS 64

// Follows the chain from `start` for passes * CHASE_LOADS_PER_PASS loads of
// the form `mov (reg), reg` (pointer-sized), leaves the ticks in
// timingRecord and returns the address the last load gave.
extern "C" void* chaseLoads(void* start, int32_t passes);
