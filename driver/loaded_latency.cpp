#include "driver/loaded_latency.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "driver/latency_chase.h"
#include "driver/latency_table.h"
#include "driver/loaded_row.h"
#include "driver/loader_delay.h"
#include "driver/passes.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/thread_team.h"
#include "kernels/chase_loads.h"
#include "kernels/copy_and_fill.h"
#include "kernels/core_clock.h"
#include "kernels/loader_kernels.h"
#include "kernels/timing_record.h"

namespace {

// The loads of one chase: those of the latency table's cell at the block, but
// no more than this, so that the twenty rows of a 1 GB block take seconds
// each, not minutes. Each chase carries on along the cycle where the last
// one stopped, so a row's loads are as random as the cell's; a cache holds
// none of them at main-memory blocks.
constexpr int64_t MOST_CHASE_LOADS = int64_t{1} << 21;

// A loader's chunk grows until it lasts this long: its frame's two CPUIDs
// are then lost in it, and a row's edges cut few bytes short.
constexpr double CHUNK_MILLISECONDS = 2.0;

// The buffer every member sweeps: the block, and with copy loads its
// destination past it, plus the slack every run buffer has.
uint64_t memberBufferBytes(const LoadedSettings& settings) {
    const int64_t reach =
        settings.load == Direction::COPY ? copyFootprintBytes(settings.blockBytes) : settings.blockBytes;
    return static_cast<uint64_t>(reach) + BUFFER_SLACK_BYTES;
}

struct ChaserBuffer {
    unsigned char* data = nullptr;
    size_t mappedBytes = 0;
};

ChaserBuffer allocateChaserBuffer(uint64_t bytes, bool hugePages) {
    ChaserBuffer buffer;
    if (!hugePages) {
        buffer.data = static_cast<unsigned char*>(platformAllocateBuffer(bytes));
        buffer.mappedBytes = bytes;
        return buffer;
    }
    HugePageOutcome outcome;
    buffer.data = static_cast<unsigned char*>(platformAllocateHugePageBuffer(bytes, &outcome));
    buffer.mappedBytes = outcome.mappedBytes;
    return buffer;
}

void printHeader(const LoadedSettings& settings, const LoaderSpec& loader, double coreMHz) {
    std::cout << LOADED_LATENCY_TITLE;
    endLine(std::cout);
    if (settings.perCycle) printCoreClock(coreMHz);
    std::cout << "block:" << blockLabel(settings.blockBytes) << " load:" << directionName(settings.load) << ' '
              << loader.column << " loaders:" << settings.threads - 1;
    endLine(std::cout);
    std::cout << "DELAY:\tLATENCY\tBANDWIDTH";
    endLine(std::cout);
}

struct RowFigures {
    double nsPerLoad;
    double cyclesPerLoad;
    double bandwidth;  // bytes per second
    std::vector<double> samplesNsPerLoad;
};

RowFigures figures(const LoadedRowResult& result, int64_t loads, double clockMHz, double coreMHz) {
    // Ticks per microsecond is the clock in MHz; a thousand nanoseconds each.
    const double nsPerTick = 1000.0 / clockMHz;
    RowFigures row;
    row.nsPerLoad = static_cast<double>(static_cast<int64_t>(result.chaseTicks)) * nsPerTick / loads;
    row.cyclesPerLoad = row.nsPerLoad * coreMHz / 1000.0;
    const double spanTicks = static_cast<double>(static_cast<int64_t>(result.spanEnd - result.spanStart));
    row.bandwidth = spanTicks > 0 ? result.loaderBytes * clockMHz * 1e6 / spanTicks : 0.0;
    for (uint64_t ticks : result.samplesTicks) {
        row.samplesNsPerLoad.push_back(static_cast<double>(static_cast<int64_t>(ticks)) * nsPerTick / loads);
    }
    return row;
}

void recordRow(const LoadedSettings& settings, const std::string& label, int32_t delay, const RowFigures& row,
               const PrintedValue& printed, double coreMHz) {
    CellRecord record{};
    record.direction = LOADED_LATENCY_RECORD_DIRECTION;
    record.blockBytes = settings.blockBytes;
    record.block = blockLabel(settings.blockBytes);
    record.instruction = "";
    record.value = printed.value;
    record.unit = printed.unit;
    record.threads = settings.threads;
    record.coreMHz = coreMHz;
    record.nsPerLoad = row.nsPerLoad;
    record.cyclesPerLoad = row.cyclesPerLoad;
    record.samplesNsPerLoad = row.samplesNsPerLoad;
    record.delayCycles = label == LOADED_IDLE_LABEL ? -1 : delay;
    record.load = directionName(settings.load);
    record.bandwidthBytesPerSecond = row.bandwidth;
    settings.records->push_back(record);
}

// The table's rows, once the team runs and the chase is built.
LoadedOutcome measureRows(const LoadedSettings& settings, const LoaderSpec& loader, void* chaseStart,
                          double coreCyclesPerTick) {
    const double coreMHz = coreCyclesPerTick * settings.clockMHz;
    const int64_t loads = std::min(latencyLoads(settings.blockBytes), MOST_CHASE_LOADS);
    LoadedRowPlan plan;
    plan.chase = chaseLoads;
    plan.chaseStart = chaseStart;
    plan.chasePasses = static_cast<int32_t>(loads / CHASE_LOADS_PER_PASS);
    plan.repetitions = LATENCY_REPETITIONS;
    plan.blockLines = static_cast<int32_t>(settings.blockBytes / LINE_BYTES);
    plan.destinationOffset = copyDestinationOffset(settings.blockBytes);
    plan.busBytesPerLine = static_cast<double>(LINE_BYTES) * busBytesPerByte(settings.load);
    plan.chunkTicks = static_cast<uint64_t>(settings.clockMHz * 1000.0 * CHUNK_MILLISECONDS);

    const size_t rows = sizeof LOADED_DELAYS / sizeof LOADED_DELAYS[0] + 1;
    for (size_t r = 0; r < rows; ++r) {
        if (platformInterruption() != 0) return LoadedOutcome::INTERRUPTED;
        const bool idle = r + 1 == rows;
        const int32_t delay = idle ? 0 : LOADED_DELAYS[r];
        const std::string label = idle ? LOADED_IDLE_LABEL : std::to_string(delay);
        if (settings.progress) showProgressStep(LOADED_LATENCY_TITLE, "row " + label);
        plan.loader = idle ? nullptr : loader.run;
        plan.delayTurns = idle ? 0 : calibratedTurns(delay, coreCyclesPerTick);
        const LoadedRowResult result = runLoadedRow(plan);
        plan.chaseStart = result.chaseEnd;
        const RowFigures row = figures(result, loads, settings.clockMHz, coreMHz);
        const PrintedValue latency = settings.perCycle ? PrintedValue{defaultFormat(row.cyclesPerLoad), "c"}
                                                       : PrintedValue{defaultFormat(row.nsPerLoad), "ns"};
        std::cout << label << ":\t";
        printCell(latency, false);
        printCell(scaledRate(row.bandwidth), true);
        if (settings.records) recordRow(settings, label, delay, row, latency, settings.perCycle ? coreMHz : 0.0);
    }
    return LoadedOutcome::MEASURED;
}

}  // namespace

LoadedOutcome runLoadedLatencyTable(const LoadedSettings& settings) {
    const LoaderSpec* loader = widestLoader(settings.load, settings.mask);
    if (loader == nullptr) {
        std::cerr << "kestrune: --loaded-latency: --load " << directionName(settings.load)
                  << " needs SSE2 or a wider extension in --isa and on this processor; the table is left out";
        endLine(std::cerr);
        return LoadedOutcome::NO_LOADER;
    }
    const uint64_t bytes = memberBufferBytes(settings);
    const ChaserBuffer buffer = allocateChaserBuffer(bytes, settings.hugePages);
    if (buffer.data == nullptr) return LoadedOutcome::NO_MEMORY;
    if (!startThreadTeam(settings.threads, settings.processors, buffer.data, static_cast<size_t>(bytes),
                         settings.hugePages)) {
        platformReleaseBuffer(buffer.data, buffer.mappedBytes);
        return LoadedOutcome::NO_MEMORY;
    }
    // On the chaser's processor, where the team has just pinned this thread.
    const double coreCyclesPerTick = ::coreCyclesPerTick();
    printHeader(settings, *loader, coreCyclesPerTick * settings.clockMHz);
    unsigned char* const chaseStart = buildChase(buffer.data, settings.blockBytes, ChaseOrder::RANDOM);
    const LoadedOutcome outcome = chaseStart == nullptr
                                      ? LoadedOutcome::NO_MEMORY
                                      : measureRows(settings, *loader, chaseStart, coreCyclesPerTick);
    stopThreadTeam();
    platformReleaseBuffer(buffer.data, buffer.mappedBytes);
    return outcome;
}
