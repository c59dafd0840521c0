#include "tests/fakes/fake_platform.h"

#include <algorithm>

#include "kernels/kernels.h"
#include "kernels/timing_record.h"
#include "probe/os_sse_probe.h"
#include "probe/simd_capabilities.h"

FakeSystem fakeSystem;
FakeKernels fakeKernels;

namespace {
alignas(4096) unsigned char buffer[4096];
size_t wallClockRead = 0;
size_t ticksRead = 0;
}  // namespace

void resetFakes() {
    fakeSystem = FakeSystem{};
    fakeKernels = FakeKernels{};
    wallClockRead = 0;
    ticksRead = 0;
    // 20 s 500 ms to 23 s 500 ms with 9e9 ticks: a 3000 MHz clock.
    fakeSystem.wallClock = {{2026, 12, 10, 11, 0, 20, 500}, {2026, 12, 10, 11, 0, 23, 500}};
    fakeKernels.serialisedTicks = {1000, 1000 + 9000000000ull};
}

unsigned char* fakeTestBuffer() { return buffer; }

OsFamily platformOsFamily() { return fakeSystem.family; }

bool platformGetAffinityMasks(uint32_t* processMask, uint32_t* systemMask) {
    ++fakeSystem.affinityQueries;
    if (!fakeSystem.affinityQuerySucceeds) return false;
    *processMask = fakeSystem.processMask;
    *systemMask = fakeSystem.systemMask;
    return true;
}

void platformSetAffinityMask(uint32_t mask) { fakeSystem.affinitySet.push_back(mask); }

void platformRaisePriority() { ++fakeSystem.priorityRaises; }

WallClockReading platformWallClockUtc() {
    const auto& readings = fakeSystem.wallClock;
    if (readings.empty()) return WallClockReading{};
    if (fakeSystem.wallClockFrozen) return readings.front();
    const size_t call = wallClockRead++;
    WallClockReading reading = readings[std::min(call / 2, readings.size() - 1)];
    if (call % 2 == 0) reading.milliseconds = static_cast<uint16_t>((reading.milliseconds + 999) % 1000);
    return reading;
}

void platformSleepMilliseconds(uint32_t milliseconds) { fakeSystem.sleeps.push_back(milliseconds); }

void* platformAllocateBuffer(size_t) {
    ++fakeSystem.allocations;
    return fakeSystem.allocationSucceeds ? buffer : nullptr;
}

void platformReleaseBuffer(void*, size_t) { ++fakeSystem.releases; }

GuardOutcome platformRunGuarded(void (*)()) { return GuardOutcome::COMPLETED; }

CapabilityMask detectSimdCapabilities() { return fakeSystem.detectedMask; }

bool probeOsSseSupport() {
    ++fakeSystem.sseProbes;
    return fakeSystem.osSupportsSse;
}

extern "C" uint64_t readSerialisedTicks() {
    const auto& readings = fakeKernels.serialisedTicks;
    return readings.empty() ? 0 : readings[std::min(ticksRead++, readings.size() - 1)];
}

#define KERNEL_ROW(function, ...)                                                 \
    extern "C" void function(void* base, int32_t blockLines, int32_t lineCount) { \
        fakeKernels.calls.push_back({#function, base, blockLines, lineCount});    \
        timingRecord.elapsedTicks = fakeKernels.elapsedTicks;                     \
    }
#include "kernels/kernel_list.def"
#undef KERNEL_ROW
