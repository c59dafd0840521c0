#include "driver/loaded_row.h"

#include <algorithm>
#include <atomic>

#include "driver/thread_team.h"
#include "kernels/timing_record.h"

namespace {

// The first chunk, and the most a chunk grows to: int32 keeps the kernel's
// first line plus its count below 2^31 at every block the options allow.
constexpr int32_t FIRST_CHUNK_LINES = 256;
constexpr int32_t LARGEST_CHUNK_LINES = int32_t{1} << 24;

// What the members share for one row. The chaser waits for `warmed` to
// count every loader, then, its chases done, sets `stopAfter` to its last
// closing stamp: each loader stops once a chunk of its own has ended past it,
// so that no moment of a chase goes without load. Each loader writes only its
// own chunk list, which the chaser reads once the team's barrier has passed.
struct RowState {
    const LoadedRowPlan* plan = nullptr;
    LoadedRowResult* result = nullptr;
    std::atomic<int> warmed{0};
    std::atomic<uint64_t> stopAfter{0};  // 0: the chase goes on
};

void stream(int member, unsigned char* buffer, RowState& state) {
    const LoadedRowPlan& plan = *state.plan;
    std::vector<LoaderChunk>& chunks = state.result->chunks[static_cast<size_t>(member - 1)];
    LoaderSweep sweep{buffer, buffer + plan.destinationOffset, plan.blockLines, 0, FIRST_CHUNK_LINES,
                      plan.delayTurns};
    bool counted = false;
    bool chunkSinceStop = false;  // a processor whose counter lags still stops after one more chunk
    while (true) {
        const uint64_t stopAfter = state.stopAfter.load(std::memory_order_acquire);
        if (stopAfter != 0) {
            if (chunkSinceStop || (!chunks.empty() && chunks.back().endTicks > stopAfter)) break;
            chunkSinceStop = true;
        }
        plan.loader(&sweep);
        const uint64_t ticks = timingRecord.endTicks - timingRecord.startTicks;
        chunks.push_back({timingRecord.startTicks, timingRecord.endTicks, sweep.lineCount * plan.busBytesPerLine});
        if (!counted) {
            state.warmed.fetch_add(1, std::memory_order_release);
            counted = true;
        }
        sweep.firstLine = (sweep.firstLine + sweep.lineCount) & (plan.blockLines - 1);
        if (ticks < plan.chunkTicks && sweep.lineCount < LARGEST_CHUNK_LINES) sweep.lineCount *= 2;
    }
}

void chase(RowState& state, int loaders) {
    const LoadedRowPlan& plan = *state.plan;
    LoadedRowResult& result = *state.result;
    if (plan.loader != nullptr) {
        while (state.warmed.load(std::memory_order_acquire) < loaders) teamSpinPause();
    }
    void* cursor = plan.chaseStart;
    for (int r = 0; r < plan.repetitions; ++r) {
        cursor = plan.chase(cursor, plan.chasePasses);
        const uint64_t ticks = timingRecord.elapsedTicks;
        result.samplesTicks.push_back(ticks);
        if (r == 0 || ticks < result.chaseTicks) {
            result.chaseTicks = ticks;
            result.spanStart = timingRecord.startTicks;
            result.spanEnd = timingRecord.endTicks;
        }
    }
    result.chaseEnd = cursor;
    // The time-stamp counter is one clock for every processor of the team.
    state.stopAfter.store(std::max<uint64_t>(timingRecord.endTicks, 1), std::memory_order_release);
}

void rowWork(int member, unsigned char* buffer, void* context) {
    RowState& state = *static_cast<RowState*>(context);
    if (member == 0) {
        chase(state, static_cast<int>(state.result->chunks.size()));
    } else if (state.plan->loader != nullptr) {
        stream(member, buffer, state);
    }
}

}  // namespace

LoadedRowResult runLoadedRow(const LoadedRowPlan& plan) {
    LoadedRowResult result;
    result.chunks.resize(static_cast<size_t>(std::max(teamSize() - 1, 0)));
    RowState state;
    state.plan = &plan;
    state.result = &result;
    runTeamWork(rowWork, &state);
    for (const std::vector<LoaderChunk>& chunks : result.chunks) {
        result.loaderBytes += bytesInsideSpan(chunks, result.spanStart, result.spanEnd);
    }
    return result;
}

double bytesInsideSpan(const std::vector<LoaderChunk>& chunks, uint64_t start, uint64_t end) {
    double bytes = 0;
    for (const LoaderChunk& chunk : chunks) {
        if (chunk.endTicks <= chunk.startTicks) {
            if (chunk.startTicks >= start && chunk.startTicks <= end) bytes += chunk.bytes;
            continue;
        }
        const uint64_t from = std::max(chunk.startTicks, start);
        const uint64_t to = std::min(chunk.endTicks, end);
        if (to <= from) continue;
        bytes += chunk.bytes * static_cast<double>(to - from) / static_cast<double>(chunk.endTicks - chunk.startTicks);
    }
    return bytes;
}
