#pragma once
// One row of the loaded-latency table on the running thread team: member 0
// chases while every other member streams through its own block with a
// loader kernel, in pieces (chunks) each timed in the kernel's own frame.
// The chase starts only once every loader has finished a chunk, so that it
// runs wholly under load, and the loaders stop once the chase is done.
#include <cstdint>
#include <vector>

#include "kernels/loader_kernels.h"

// A chase kernel: follows the chain from `start` for `passes` passes and
// leaves its ticks in timingRecord (kernels/chase_loads.h).
using ChaseKernel = void* (*)(void* start, int32_t passes);

struct LoadedRowPlan {
    ChaseKernel chase = nullptr;
    void* chaseStart = nullptr;  // each chase carries on where the last one stopped
    int32_t chasePasses = 0;
    int repetitions = 1;  // the fastest chase counts
    LoaderKernel loader = nullptr;  // null: the idle row, the loaders wait
    int32_t blockLines = 1;  // each loader's block, in the kernels' 128-byte lines
    int64_t destinationOffset = 0;  // a copy's, from each loader's buffer
    int32_t delayTurns = 0;
    double busBytesPerLine = 0;  // what the memory system carries per line moved
    uint64_t chunkTicks = 1;  // a chunk grows until it takes this long
};

// One timed piece of a loader's stream.
struct LoaderChunk {
    uint64_t startTicks;
    uint64_t endTicks;
    double bytes;
};

struct LoadedRowResult {
    uint64_t chaseTicks = 0;  // the fastest chase's
    uint64_t spanStart = 0, spanEnd = 0;  // its window
    std::vector<uint64_t> samplesTicks;  // every chase, in order
    void* chaseEnd = nullptr;  // where the last chase stopped: the next row's start
    double loaderBytes = 0;  // all loaders' bytes inside the window
    // Every loader's chunks, in order (member 1 first).
    std::vector<std::vector<LoaderChunk>> chunks;
};

LoadedRowResult runLoadedRow(const LoadedRowPlan& plan);

// The bytes the chunks moved inside [start, end]: a chunk that straddles an
// end counts the share of its bytes its ticks inside give, as if it moved
// them at an even pace; a chunk of no ticks counts whole when it lies inside.
double bytesInsideSpan(const std::vector<LoaderChunk>& chunks, uint64_t start, uint64_t end);
