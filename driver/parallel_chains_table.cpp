#include "driver/parallel_chains_table.h"

#include <iostream>

#include "driver/latency_chase.h"
#include "driver/passes.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "kernels/chase_chains.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

constexpr int64_t SMALLEST_BLOCK_BYTES = 128;  // the first row, as in the latency table

// A cell whose block cannot give each chain a start line of its own: the
// chains could not be disjoint, so it is not measured.
const PrintedValue NOT_MEASURED = {"-", ""};

// The fewest ticks of the repetitions.
uint64_t fastestChains(ChainKernel kernel, unsigned char* block, int32_t passes) {
    uint64_t fastest = 0;
    for (int r = 0; r < LATENCY_REPETITIONS; ++r) {
        kernel(block, passes);
        const uint64_t ticks = timingRecord.elapsedTicks;
        if (r == 0 || ticks < fastest) fastest = ticks;
    }
    return fastest;
}

// False when the chains could not be built.
bool measureCell(unsigned char* testBuffer, int64_t blockBytes, const ChainKernelRow& column, double coreMHz,
                 const ParallelChainsSettings& settings, bool endOfRow) {
    if (!buildChains(testBuffer, blockBytes, column.chains)) {
        endLine(std::cout);
        return false;
    }
    const int32_t passes = chainPasses(blockBytes, column.chains);
    const double loads = static_cast<double>(passes) * CHASE_LOADS_PER_PASS * column.chains;
    const uint64_t ticks = fastestChains(column.run, testBuffer, passes);
    // Ticks per microsecond is the clock in MHz; a thousand nanoseconds each.
    const double nsPerTick = 1000.0 / settings.clockMHz;
    const double nsPerLoad = static_cast<double>(static_cast<int64_t>(ticks)) * nsPerTick / loads;
    const double cyclesPerLoad = nsPerLoad * coreMHz / 1000.0;
    const PrintedValue printed = settings.perCycle ? PrintedValue{defaultFormat(cyclesPerLoad), "c"}
                                                   : PrintedValue{defaultFormat(nsPerLoad), "ns"};
    printCell(printed, endOfRow);
    if (settings.records) {
        CellRecord record{};
        record.direction = PARALLEL_CHAINS_DIRECTION;
        record.blockBytes = blockBytes;
        record.block = blockLabel(blockBytes);
        record.instruction = "";
        record.chains = column.chains;
        record.value = printed.value;
        record.unit = printed.unit;
        record.threads = 1;
        record.coreMHz = coreMHz;
        record.nsPerLoad = nsPerLoad;
        record.cyclesPerLoad = cyclesPerLoad;
        settings.records->push_back(record);
    }
    return true;
}

// The outcome of one row: an interruption stops it after the cell it is in.
LatencyOutcome measureRow(unsigned char* testBuffer, int64_t blockBytes, const ParallelChainsSettings& settings) {
    const double coreMHz = settings.perCycle ? measureCoreClockMHz(settings.clockMHz) : 0.0;
    sizeLabel(blockBytes);
    for (int c = 0; c < CHAIN_KERNEL_COUNT; ++c) {
        if (platformInterruption() != 0) return LatencyOutcome::INTERRUPTED;
        const ChainKernelRow& column = CHAIN_KERNELS[c];
        const bool endOfRow = c + 1 == CHAIN_KERNEL_COUNT;
        if (!chainsFit(blockBytes, column.chains)) {
            printCell(NOT_MEASURED, endOfRow);
        } else if (!measureCell(testBuffer, blockBytes, column, coreMHz, settings, endOfRow)) {
            return LatencyOutcome::NO_MEMORY;
        }
    }
    return LatencyOutcome::MEASURED;
}

}  // namespace

int32_t chainPasses(int64_t blockBytes, int chains) {
    const int64_t loadsPerPass = int64_t{CHASE_LOADS_PER_PASS} * chains;
    return static_cast<int32_t>((latencyLoads(blockBytes) + loadsPerPass - 1) / loadsPerPass);
}

LatencyOutcome runParallelChainsTable(unsigned char* testBuffer, const ParallelChainsSettings& settings) {
    std::cout << PARALLEL_CHAINS_TITLE;
    endLine(std::cout);
    if (settings.perCycle) printCoreClock(measureCoreClockMHz(settings.clockMHz));
    std::cout << "SIZE:";
    for (int c = 0; c < CHAIN_KERNEL_COUNT; ++c) std::cout << '\t' << CHAIN_KERNELS[c].chains;
    endLine(std::cout);
    for (int64_t blockBytes = SMALLEST_BLOCK_BYTES; blockBytes <= settings.maxBlockBytes; blockBytes *= 2) {
        if (platformInterruption() != 0) return LatencyOutcome::INTERRUPTED;
        if (settings.progress) showProgress(PARALLEL_CHAINS_TITLE, blockBytes);
        const LatencyOutcome outcome = measureRow(testBuffer, blockBytes, settings);
        if (outcome != LatencyOutcome::MEASURED) return outcome;
    }
    return LatencyOutcome::MEASURED;
}
