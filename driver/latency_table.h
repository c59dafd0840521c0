#pragma once
// The load-latency table (--latency): after the throughput tables, one row per
// block size, one cell per chase order, in nanoseconds or core cycles per load.
#include <cstdint>
#include <vector>

#include "driver/cell_records.h"

struct LatencySettings {
    int64_t maxBlockBytes = 0;
    bool perCycle = false;
    double clockMHz = 1.0;  // the time-stamp counter's
    std::vector<CellRecord>* records = nullptr;  // every cell is added here when set
};

enum class LatencyOutcome { MEASURED, INTERRUPTED, NO_MEMORY };

// Runs on the calling thread alone, in the buffer the throughput tables used
// (page-aligned, at least maxBlockBytes long). An interruption stops it
// between rows, as it stops the throughput tables; NO_MEMORY when a chase
// could not be built.
LatencyOutcome runLatencyTable(unsigned char* testBuffer, const LatencySettings& settings);

// The loads one cell times: at least a million, so that the frame's own cost
// is lost in them, and at least one per line, so that every line of the block
// is loaded; a whole number of the kernel's passes.
int64_t latencyLoads(int64_t blockBytes);

// Each cell is the fastest of this many runs: anything else on the processor
// only ever adds time.
constexpr int LATENCY_REPETITIONS = 3;
