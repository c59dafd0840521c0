#pragma once
// Link-time stand-ins for the platform layer, the probe and the kernels, so
// that the driver can be run with any system, processor or clock a test needs.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "probe/capability_mask.h"

struct FakeSystem {
    OsFamily family = OsFamily::NT;
    bool affinityQuerySucceeds = true;
    uint32_t processMask = 0x3;
    uint32_t systemMask = 0x3;
    bool allocationSucceeds = true;
    // The readings the wall clock ticks to, in order. Like a real clock it is
    // caught between ticks first: before each of these it hands out one stale
    // reading. A frozen clock hands out the first reading for ever.
    std::vector<WallClockReading> wallClock;
    bool wallClockFrozen = false;
    CapabilityMask detectedMask = 0;
    bool osSupportsSse = true;

    // What the driver did.
    int affinityQueries = 0;
    std::vector<uint32_t> affinitySet;
    int priorityRaises = 0;
    std::vector<uint32_t> sleeps;
    int allocations = 0;
    int releases = 0;
    int sseProbes = 0;
};

struct KernelCall {
    std::string function;
    const void* base;
    int32_t blockLines;
    int32_t lineCount;
};

struct FakeKernels {
    // Every kernel run leaves this in elapsedTicks.
    uint64_t elapsedTicks = 30000000;
    // Readings handed out by readSerialisedTicks, in order.
    std::vector<uint64_t> serialisedTicks;
    std::vector<KernelCall> calls;
};

extern FakeSystem fakeSystem;
extern FakeKernels fakeKernels;

// Fresh state before each test.
void resetFakes();

// The buffer the fake allocation hands out; the fake kernels never touch it.
unsigned char* fakeTestBuffer();
