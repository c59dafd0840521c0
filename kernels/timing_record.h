#pragma once
#include <cstdint>

// The one record every timed span leaves its counter readings in. The kernels
// address its fields by byte offset from assembly, so the layout is fixed:
// endTicks at 0, startTicks at 8, elapsedTicks at 16.
struct TimingRecord {
    uint64_t endTicks;
    uint64_t startTicks;
    uint64_t elapsedTicks;
};

// One per thread: every thread of a run times its own kernels.
extern "C" __thread TimingRecord timingRecord;

constexpr int32_t LINE_BYTES = 128;
constexpr int32_t RUN_LINES = 0x80000;  // 2^26 bytes moved by every run

static_assert(sizeof(TimingRecord) == 24, "the kernels store at fixed offsets");
