#pragma once
#include <cstdint>

// A kernel moves lineCount lines of LINE_BYTES through the block of blockLines
// lines at base (blockLines a power of two) and leaves the ticks it took in
// timingRecord. A copy kernel writes them to its destination past the block
// (kernels/copy_and_fill.h); the string and library kernels move the block
// whole, lineCount / blockLines times.
using TransferKernel = void (*)(void* base, int32_t blockLines, int32_t lineCount);

#define KERNEL_ROW(function, ...) extern "C" void function(void* base, int32_t blockLines, int32_t lineCount);
#include "kernels/kernel_list.def"
#undef KERNEL_ROW

// CPUID as a barrier, then RDTSC: the stamp at both ends of the clock measurement.
extern "C" uint64_t readSerialisedTicks();
