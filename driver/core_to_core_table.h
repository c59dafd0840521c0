#pragma once
// The core-to-core latency table (--core-to-core): after every other table,
// one row and one column per processor of the team, each cell the one-way
// latency between the row's processor and the column's, half a round trip
// timed by the row's processor, in nanoseconds or core cycles.
#include <string>
#include <vector>

#include "driver/cell_records.h"
#include "platform/platform.h"
#include "probe/machine_description.h"

struct CoreToCoreSettings {
    std::vector<ProcessorId> processors;  // the team, in the system's order
    const MachineDescription* machine = nullptr;  // where each pair sits
    bool perCycle = false;
    double clockMHz = 1.0;  // the time-stamp counter's
    std::vector<CellRecord>* records = nullptr;  // every cell is added here when set
    bool progress = false;
};

enum class CoreToCoreOutcome { MEASURED, INTERRUPTED, NO_THREAD };

// Runs on the calling thread and one partner thread, pinning both pair by
// pair. An interruption stops it between pairs, keeping the cells measured; a
// processor that refuses a thread is named once on standard error and its
// cells are left empty. NO_THREAD when the partner thread could not be had.
CoreToCoreOutcome runCoreToCoreTable(const CoreToCoreSettings& settings);

// Why the table cannot be measured with `processors` processors on this
// system, as one sentence for the usage error; empty when it can.
std::string coreToCoreRefusal(OsFamily family, int processors, bool threadsNamed);

// A processor as the table labels it: its number, or where the processors
// span several groups (Windows' processor groups), group:number.
std::string processorLabel(const ProcessorId& processor, bool grouped);
bool spansGroups(const std::vector<ProcessorId>& processors);

constexpr const char* CORE_TO_CORE_TITLE = "core to core latency";
