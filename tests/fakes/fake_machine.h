#pragma once
// Link-time stand-ins for the platform layer, the probe and the kernels, so
// that the driver can be run with any system, processor or clock a test needs.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "isa/capability_mask.h"
#include "platform/platform.h"
#include "probe/cpuid_leaves.h"
#include "probe/simd_capabilities.h"

struct FakeSystem {
    OsFamily family = OsFamily::NT;
    bool affinityQuerySucceeds = true;
    uint32_t processMask = 0x3;
    uint32_t systemMask = 0x3;
    bool allocationSucceeds = true;
    // Allocations that succeed before every later one fails; -1: no limit.
    int allocationsBeforeFailure = -1;
    // The readings the wall clock ticks to, in order. Like a real clock it is
    // caught between ticks first: before each of these it hands out one stale
    // reading. A frozen clock hands out the first reading for ever.
    std::vector<WallClockReading> wallClock;
    bool wallClockFrozen = false;
    // The processors the process may use; empty: the ones of processMask, in
    // group 0.
    std::vector<ProcessorId> processors;
    // The interruption that comes once the kernels have run this many times
    // (warm-ups included); -1: none comes.
    int interruptAfterKernelCalls = -1;
    int interruptionStatus = 130;
    bool standardErrorIsTerminal = false;
    // Each reading of the monotonic clock is this much later than the last.
    uint64_t monotonicStepMilliseconds = 1000;
    CapabilityMask detectedMask = 0;
    bool osSupportsSse = true;
    ExtendedSupport extended;
    // What a request for 2 MiB pages obtains, and why not when it obtains none.
    double hugePageShare = 0.0;
    std::string hugePageRefusal = "no 2MB pages are reserved for it (/proc/sys/vm/nr_hugepages)";
    // Processors that refuse every thread pinned to them.
    std::vector<ProcessorId> refusedProcessors;
    // The machine as its description reads it: what CPUID returns and what
    // the system says. resetFakes gives a plain two-processor machine.
    CpuidReadings cpuid;
    PlatformTopology topology;
    PlatformMemory memory;
    PlatformSystem system;
    int64_t secondsSinceEpoch = 0;
    int topologyReads = 0;  // what the driver did: reads of the system's topology

    // What the driver did.
    int affinityQueries = 0;
    std::vector<uint32_t> affinitySet;
    int priorityRaises = 0;
    std::vector<uint32_t> sleeps;
    int allocations = 0;
    int releases = 0;
    int sseProbes = 0;
    int extendedProbes = 0;
    std::vector<size_t> allocationBytes;
    std::vector<ProcessorId> threadPins;  // processors threads pinned themselves to
    int interruptionsCaught = 0;  // calls to catch them
    int hugePageRequests = 0;
    int threadsStarted = 0;
    int threadsJoined = 0;
};

// The chase kernel's calls are recorded as "chaseLoads" with its start as the
// base, no block lines and its passes as the line count; the parallel-chains
// kernels' as "chaseChains1", "chaseChains2" ... likewise.
struct KernelCall {
    std::string function;
    const void* base;
    int32_t blockLines;
    int32_t lineCount;
    int processor;  // the number of the calling thread's pin, or -1
};

struct FakeKernels {
    // Every kernel run leaves this in elapsedTicks, or, when the sequence is
    // set, its next value, round and round.
    uint64_t elapsedTicks = 30000000;
    std::vector<uint64_t> elapsedSequence;
    // Readings handed out by readSerialisedTicks, in order.
    std::vector<uint64_t> serialisedTicks;
    std::vector<KernelCall> calls;
    // The busy-wait turns of every loader call, in the order of the calls.
    std::vector<int32_t> loaderTurns;
    // What the dependent-add clock reports.
    double coreCyclesPerTick = 1.25;
    // The ping-pong: each timed run counts this many ticks for its frame,
    // and per round trip what roundTripTicksOf says for the timing thread's
    // pin and the last pin of any other thread (the answering one), or
    // roundTripTicks without it. The answering side returns at once.
    uint64_t frameTicks = 100;
    uint64_t roundTripTicks = 600;
    uint64_t (*roundTripTicksOf)(const ProcessorId& timer, const ProcessorId& answerer) = nullptr;
    // Calls of either side, by function; only these are counted, not kept.
    int pingPongTimedCalls = 0;
    int pingPongAnswerCalls = 0;
};

// How a test's message shows a processor.
inline void PrintTo(const ProcessorId& processor, std::ostream* out) {
    *out << processor.group << ':' << processor.number;
}

extern FakeSystem fakeSystem;
extern FakeKernels fakeKernels;

// Fresh state before each test.
void resetFakes();

// The buffer the first fake allocation hands out; later ones get buffers of
// their own. The fake kernels never touch them.
unsigned char* fakeTestBuffer();
