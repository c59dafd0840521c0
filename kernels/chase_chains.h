#pragma once
// The parallel-chains kernels: several chains of dependent loads advanced in
// one loop, so that a core which keeps k misses in flight at once finishes k
// chains in the time of one. Each chain is a chase of its own (every load
// takes its address from the load before it in the same chain), and the
// chains share nothing but the loop.
#include <cstdint>

#include "kernels/chase_loads.h"

// The chain counts there are kernels for, on each target: 1, 2, 4 and so on
// up to as many as the general registers hold. Each chain needs a register
// of its own for its cursor, and the loop needs one for its pass count; the
// timing record's address needs one more where it cannot wait on the stack.
// x86-64: 14 general registers besides RSP and RBP (RBP may be the frame
// pointer), less the pass count and the record's address, leave 12.
// i386: seven besides ESP, EBP saved by hand and holding the pass count, the
// record's address on the stack, leave 6.
#define PARALLEL_CHAINS_X86_64(ROW) ROW(1) ROW(2) ROW(4) ROW(8) ROW(12)
#define PARALLEL_CHAINS_I386(ROW) ROW(1) ROW(2) ROW(4) ROW(6)

#if defined(__x86_64__)
#define PARALLEL_CHAINS(ROW) PARALLEL_CHAINS_X86_64(ROW)
#else
#define PARALLEL_CHAINS(ROW) PARALLEL_CHAINS_I386(ROW)
#endif

// Chain k starts k * CHASE_CHAIN_START_BYTES past `base`: a line and a
// pointer's room further than chain k - 1, so that the first eight chains'
// pointers sit at eight different offsets in their lines. Chains whose
// pointers all sat at a line's start would meet in the same bank of the
// first-level cache and queue there, and a block that fits that cache would
// show the banks' limit, not how many loads the core overlaps. Every chain runs passes *
// CHASE_LOADS_PER_PASS loads, the chains' loads interleaved: the kernel's
// loop advances each chain CHASE_LOADS_PER_PASS times per pass, one load of
// each chain after the other. The ticks are left in timingRecord.
#define CHASE_CHAIN_START_BYTES 72
using ChainKernel = void (*)(void* base, int32_t passes);

#define PARALLEL_CHAIN_DECLARATION(chains) extern "C" void chaseChains##chains(void* base, int32_t passes);
PARALLEL_CHAINS(PARALLEL_CHAIN_DECLARATION)
#undef PARALLEL_CHAIN_DECLARATION

struct ChainKernelRow {
    int chains;
    ChainKernel run;
};

// The kernels of this target, fewest chains first.
extern const ChainKernelRow CHAIN_KERNELS[];
extern const int CHAIN_KERNEL_COUNT;
