#pragma once
// The parallel-chains table (--parallel-chains): after every other table, one
// row per block size, one cell per chain count, in nanoseconds or core cycles
// per load over all chains. A core that keeps k misses in flight at once
// shows a k-th of the one-chain figure under k chains.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/cell_records.h"
#include "driver/latency_table.h"

struct ParallelChainsSettings {
    int64_t maxBlockBytes = 0;
    bool perCycle = false;
    double clockMHz = 1.0;  // the time-stamp counter's
    std::vector<CellRecord>* records = nullptr;  // every cell is added here when set
    bool progress = false;  // the progress line on standard error
};

// Runs on the calling thread alone, in the buffer the throughput tables used
// (page-aligned, at least maxBlockBytes long). An interruption stops it after
// the cell it is in, leaving the row as far as it was printed; NO_MEMORY when
// a chase could not be built.
LatencyOutcome runParallelChainsTable(unsigned char* testBuffer, const ParallelChainsSettings& settings);

// The table's title, as the report and the progress line name it.
constexpr const char* PARALLEL_CHAINS_TITLE = "parallel chains";

// The passes of each chain in one cell of `chains` chains: together the
// chains run at least the latency table's loads for the block
// (latencyLoads), so that every chain goes at least once round its cycle.
int32_t chainPasses(int64_t blockBytes, int chains);
