#pragma once
// The loaded-latency table (--loaded-latency): after every other table, the
// latency of a RANDOM chase on the team's first processor while every other
// processor of the team streams through a block of its own, one row per
// delay the loaders wait after each line, and a last row with the loaders
// idle. Each row: the chase's nanoseconds (or core cycles) per load, and the
// loaders' aggregate bytes per second over the same span.
#include <cstdint>
#include <vector>

#include "driver/cell_records.h"
#include "isa/capability_mask.h"
#include "kernels/kernel_table.h"
#include "platform/platform.h"

constexpr const char* LOADED_LATENCY_TITLE = "loaded latency";
// The row with the loaders waiting.
constexpr const char* LOADED_IDLE_LABEL = "idle";
// The chase's block when --max-size gives none: well past any cache.
constexpr int64_t LOADED_DEFAULT_BLOCK_BYTES = int64_t{1} << 30;

struct LoadedSettings {
    int64_t blockBytes = LOADED_DEFAULT_BLOCK_BYTES;
    Direction load = Direction::READ;
    CapabilityMask mask = 0;  // the extensions --isa and the processor allow
    int threads = 2;  // the chaser and the loaders
    std::vector<ProcessorId> processors;  // member k is pinned to the k-th; none on the 9X family
    bool hugePages = false;
    bool perCycle = false;
    double clockMHz = 1.0;  // the time-stamp counter's
    std::vector<CellRecord>* records = nullptr;
    bool progress = false;
};

enum class LoadedOutcome { MEASURED, INTERRUPTED, NO_MEMORY, NO_LOADER };

// Starts a team of its own (the run's team, if any, must be stopped), and
// stops and joins it before it returns, whatever the outcome. NO_LOADER: no
// loader kernel of the load runs here; a line on standard error has said so
// and nothing was measured.
LoadedOutcome runLoadedLatencyTable(const LoadedSettings& settings);
