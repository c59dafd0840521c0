#pragma once
// The latency kernel: a chain of loads, each taking its address from the one
// before, timed in the same CPUID+RDTSC frame as the transfer kernels.
#include <cstdint>

// Loads per pass of the loop, unrolled in the assembly. The loop's own count
// and branch do not wait on the chain, so they run beside it. Sixteen, not
// more: the processor's prefetchers learn per load instruction, and a chain
// of 64 distinct loads leaves them fewer addresses of each to learn from than
// a program's pointer-chasing loop gives; in main memory its in-page order
// waited about a fifth longer than the same chain under 1 to 48 loads a pass.
#define CHASE_LOADS_PER_PASS 16

// Follows the chain from `start` for passes * CHASE_LOADS_PER_PASS loads of
// the form `mov (reg), reg` (pointer-sized), leaves the ticks in
// timingRecord and returns the address the last load gave.
extern "C" void* chaseLoads(void* start, int32_t passes);
