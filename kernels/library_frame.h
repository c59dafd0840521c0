#pragma once
// The C library's memcpy and memset, timed in the same CPUID+RDTSC frame as
// the kernels: the one place where the timed window is not a single asm
// statement, since a call cannot live in one. The stamps are the kernels' own
// pair of instructions, inlined; between them only the loop of calls, one
// per sweep of the block, through a volatile pointer, so that the compiler
// can neither drop nor merge nor inline the calls, nor put its own copy loop
// in their place.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/copy_and_fill.h"
#include "kernels/serialised_ticks.h"
#include "kernels/timed_frame.h"

namespace {
void* (*volatile const libraryCopy)(void*, const void*, size_t) = std::memcpy;
void* (*volatile const libraryFill)(void*, int, size_t) = std::memset;
}  // namespace

// One sweep: a copy to the destination past the block, a fill of the block.
#define K_LIBRARY_TARGET_COPY(base, blockLines) void* const target = copyDestination(base, blockLines)
#define K_LIBRARY_TARGET_FILL(base, blockLines)
#define K_LIBRARY_CALL_COPY(base, bytes) libraryCopy(target, base, bytes)
#define K_LIBRARY_CALL_FILL(base, bytes) libraryFill(base, FILL_BYTE, bytes)

// Hides where the value came from: knowing that no sweep follows from a
// block of no lines, the compiler would give that path a copy of the opening
// stamp of its own.
#define K_LIBRARY_OPAQUE(value) asm("" : "+r"(value))

// lineCount is a whole number of sweeps of the block.
#define DEFINE_LIBRARY_KERNEL(name, direction)                                                  \
    K_KERNEL_ATTRIBUTES void name(void* base, int32_t blockLines, int32_t lineCount) {         \
        int32_t sweeps = blockLines > 0 ? lineCount / blockLines : 0;                          \
        K_LIBRARY_OPAQUE(sweeps);                                                              \
        const size_t bytes = static_cast<size_t>(blockLines) * LINE_BYTES;                     \
        K_LIBRARY_TARGET_##direction(base, blockLines);                                        \
        const uint64_t start = serialisedTicks();                                              \
        for (int32_t left = sweeps; left > 0; --left) K_LIBRARY_CALL_##direction(base, bytes); \
        const uint64_t end = serialisedTicks();                                                \
        timingRecord.startTicks = start;                                                       \
        timingRecord.endTicks = end;                                                           \
        timingRecord.elapsedTicks = end - start;                                               \
    }
