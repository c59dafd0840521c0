#include "driver/latency_table.h"

#include <algorithm>
#include <iostream>
#include <iterator>

#include "driver/latency_chase.h"
#include "driver/passes.h"
#include "driver/report.h"
#include "kernels/chase_loads.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

constexpr int64_t LEAST_LOADS = int64_t{1} << 20;
constexpr int64_t SMALLEST_BLOCK_BYTES = 128;  // the first row, as in the throughput tables

struct LatencyColumn {
    ChaseOrder order;
    const char* label;
};

const LatencyColumn LATENCY_COLUMNS[] = {
    {ChaseOrder::RANDOM, "RANDOM"},
    {ChaseOrder::IN_PAGE, "IN-PAGE"},
    {ChaseOrder::SEQUENTIAL, "SEQUENTIAL"},
};

// The fewest ticks of the repetitions over `loads` loads from `start`.
uint64_t fastestChase(unsigned char* start, int64_t loads, std::vector<double>* samplesTicks) {
    const int32_t passes = static_cast<int32_t>(loads / CHASE_LOADS_PER_PASS);
    uint64_t fastest = 0;
    for (int r = 0; r < LATENCY_REPETITIONS; ++r) {
        chaseLoads(start, passes);
        const uint64_t ticks = timingRecord.elapsedTicks;
        samplesTicks->push_back(static_cast<double>(static_cast<int64_t>(ticks)));
        if (r == 0 || ticks < fastest) fastest = ticks;
    }
    return fastest;
}

bool measureRow(unsigned char* testBuffer, int64_t blockBytes, const LatencySettings& settings) {
    const double coreMHz = settings.perCycle ? measureCoreClockMHz(settings.clockMHz) : 0.0;
    sizeLabel(blockBytes);
    const int64_t loads = latencyLoads(blockBytes);
    for (const LatencyColumn& column : LATENCY_COLUMNS) {
        unsigned char* const start = buildChase(testBuffer, blockBytes, column.order);
        if (start == nullptr) {
            endLine(std::cout);
            return false;
        }
        std::vector<double> samples;
        const uint64_t ticks = fastestChase(start, loads, &samples);
        // Ticks per microsecond is the clock in MHz; a thousand nanoseconds each.
        const double nsPerTick = 1000.0 / settings.clockMHz;
        for (double& sample : samples) sample *= nsPerTick / static_cast<double>(loads);
        const double nsPerLoad = static_cast<double>(static_cast<int64_t>(ticks)) * nsPerTick / loads;
        const double cyclesPerLoad = nsPerLoad * coreMHz / 1000.0;
        const PrintedValue printed = settings.perCycle ? PrintedValue{defaultFormat(cyclesPerLoad), "c"}
                                                       : PrintedValue{defaultFormat(nsPerLoad), "ns"};
        printCell(printed, &column == std::end(LATENCY_COLUMNS) - 1);
        if (settings.records) {
            CellRecord record{};
            record.direction = LATENCY_DIRECTION;
            record.blockBytes = blockBytes;
            record.block = blockLabel(blockBytes);
            record.instruction = column.label;
            record.value = printed.value;
            record.unit = printed.unit;
            record.threads = 1;
            record.coreMHz = coreMHz;
            record.nsPerLoad = nsPerLoad;
            record.cyclesPerLoad = cyclesPerLoad;
            record.samplesNsPerLoad = samples;
            settings.records->push_back(record);
        }
    }
    return true;
}

}  // namespace

int64_t latencyLoads(int64_t blockBytes) {
    const int64_t wanted = std::max(LEAST_LOADS, blockBytes / CHASE_LINE_BYTES);
    return (wanted + CHASE_LOADS_PER_PASS - 1) / CHASE_LOADS_PER_PASS * CHASE_LOADS_PER_PASS;
}

LatencyOutcome runLatencyTable(unsigned char* testBuffer, const LatencySettings& settings) {
    std::cout << "load latency";
    endLine(std::cout);
    if (settings.perCycle) printCoreClock(measureCoreClockMHz(settings.clockMHz));
    std::cout << "SIZE:";
    for (const LatencyColumn& column : LATENCY_COLUMNS) std::cout << '\t' << column.label;
    endLine(std::cout);
    for (int64_t blockBytes = SMALLEST_BLOCK_BYTES; blockBytes <= settings.maxBlockBytes; blockBytes *= 2) {
        if (platformInterruption() != 0) return LatencyOutcome::INTERRUPTED;
        if (!measureRow(testBuffer, blockBytes, settings)) return LatencyOutcome::NO_MEMORY;
    }
    return LatencyOutcome::MEASURED;
}
