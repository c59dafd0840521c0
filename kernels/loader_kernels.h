#pragma once
// The loaders of the loaded-latency table (kernels/loader_list.def) and the
// busy-wait they share. A loader moves lineCount lines through its block in
// the straight loop, one line per pass, starting at pass firstLine, so that
// sweeps cut into pieces still walk the whole block in turn; after every
// line it turns the busy-wait loop delayTurns times:
//
//   CPUID; RDTSC; startTicks = EDX:EAX
//   i = firstLine; if i >= firstLine + lineCount skip the loop
//   1: offset = (i & (blockLines - 1)) * 128
//      body (moves the line at base + offset)
//      n = delayTurns; if n != 0: 5: n -= 1; loop while n != 0
//      i += 1; loop while i < firstLine + lineCount
//   2: CPUID; RDTSC; endTicks, elapsedTicks as every kernel
//
// One turn is a decrement and a branch back, each waiting for the last: one
// core cycle on most cores, and never overlapped by the turns of the next
// line. The driver calibrates turns against the core clock
// (driver/loader_delay.h).
#include <cstddef>
#include <cstdint>

#include "isa/capability_mask.h"
#include "kernels/kernel_table.h"

struct LoaderSweep {
    void* base;
    void* destination;  // a copy's, past the block (kernels/copy_and_fill.h)
    int32_t blockLines;  // a power of two
    int32_t firstLine;
    int32_t lineCount;
    int32_t delayTurns;
};

using LoaderKernel = void (*)(const LoaderSweep* sweep);

#define LOADER_ROW(function, ...) extern "C" void function(const LoaderSweep* sweep);
#include "kernels/loader_list.def"
#undef LOADER_ROW

struct LoaderSpec {
    const char* function;
    Direction load;
    CapabilityMask capability;
    const char* instruction;
    RegisterKind registers;
    const char* column;
    LoaderKernel run;
};

extern const LoaderSpec LOADER_TABLE[];
extern const size_t LOADER_COUNT;

// The widest loader of the load that the mask allows, or null when none is.
const LoaderSpec* widestLoader(Direction load, CapabilityMask mask);

// The busy-wait by itself, in the same frame: `repeats` times, the turns a
// loader makes after one line (`turns` of them), then the loop's own count.
// The ticks are left in timingRecord.
extern "C" void delayTurns(int32_t turns, int32_t repeats);
