#include "tests/fakes/fake_machine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "kernels/chase_chains.h"
#include "kernels/chase_loads.h"
#include "kernels/core_clock.h"
#include "kernels/kernels.h"
#include "kernels/ping_pong.h"
#include "kernels/loader_kernels.h"
#include "kernels/timing_record.h"
#include "probe/machine_description.h"
#include "probe/os_sse_probe.h"
#include "probe/simd_capabilities.h"

FakeSystem fakeSystem;
FakeKernels fakeKernels;

namespace {
constexpr int BUFFERS = 8;
alignas(4096) unsigned char buffers[BUFFERS][4096];
size_t wallClockRead = 0;
size_t ticksRead = 0;
size_t elapsedRead = 0;
// Kernels and pins may come from the threads of a team.
std::mutex fakeLock;
thread_local ProcessorId pinnedTo{-1, -1};
// The processor the last thread to pin itself chose, and which thread it was.
ProcessorId lastPin{-1, -1};
std::thread::id lastPinner;
uint64_t monotonicNow = 0;
uint64_t loaderTicks = 0;
}  // namespace

void resetFakes() {
    fakeSystem = FakeSystem{};
    fakeKernels = FakeKernels{};
    wallClockRead = 0;
    ticksRead = 0;
    elapsedRead = 0;
    monotonicNow = 0;
    lastPin = {-1, -1};
    lastPinner = std::thread::id();
    loaderTicks = 0;
    // A team pins the calling thread as its member 0; the next test starts unpinned.
    pinnedTo = ProcessorId{-1, -1};
    // 20 s 500 ms to 23 s 500 ms with 9e9 ticks: a 3000 MHz clock.
    fakeSystem.wallClock = {{2026, 12, 10, 11, 0, 20, 500}, {2026, 12, 10, 11, 0, 23, 500}};
    fakeKernels.serialisedTicks = {1000, 1000 + 9000000000ull};
    // Two cores of one package and node, with a private L1 data cache each
    // and a shared L2, as CPUID leaf 4 and the system both describe them.
    fakeSystem.cpuid.maxLeaf = 4;
    fakeSystem.cpuid.leaf0 = {4, 0x756e6547, 0x6c65746e, 0x49656e69};  // "GenuineIntel"
    fakeSystem.cpuid.leaf1 = {0x000906ea, 0x00020800, 0, 0x178bfbff};
    fakeSystem.cpuid.maxExtendedLeaf = 0x80000004;
    const char brand[48] = "Fake(R) Processor @ 3.00GHz";
    std::memcpy(fakeSystem.cpuid.brand, brand, sizeof brand);
    // L1 data: 8 ways, 1 partition, 64 B lines, 64 sets; L2: 16 ways, 1024 sets, shared by 2.
    fakeSystem.cpuid.leaf4 = {{0x00000121, 0x01c0003f, 63, 0}, {0x00004143, 0x03c0003f, 1023, 0}};
    fakeSystem.topology.online = 2;
    fakeSystem.topology.processors = {{{0, 0}, 0, 0, 0}, {{0, 1}, 1, 0, 0}};
    fakeSystem.topology.caches = {{1, "data", 32768, 64, 8, {{0, 0}}}, {1, "data", 32768, 64, 8, {{0, 1}}},
                                  {2, "unified", 1 << 20, 64, 16, {{0, 0}, {0, 1}}}};
    fakeSystem.topology.nodes = {{0, {{0, 0}, {0, 1}}, int64_t{8} << 30}};
    fakeSystem.memory.totalBytes = int64_t{8} << 30;
    fakeSystem.memory.pageBytes = 4096;
    fakeSystem.memory.hugePages = "transparent: never; reserved: 0";
    fakeSystem.system = {"Fake OS 1", "1", "1.2.3", "fakehost", {}};
    fakeSystem.secondsSinceEpoch = 1796986862;  // 2026-12-11T11:01:02Z
    forgetMachineDescription();
}

unsigned char* fakeTestBuffer() { return buffers[0]; }

OsFamily platformOsFamily() { return fakeSystem.family; }

bool platformGetAffinityMasks(uint32_t* processMask, uint32_t* systemMask) {
    ++fakeSystem.affinityQueries;
    if (!fakeSystem.affinityQuerySucceeds) return false;
    *processMask = fakeSystem.processMask;
    *systemMask = fakeSystem.systemMask;
    return true;
}

// As on the real systems, the pin narrows what the process may use from then on.
void platformSetAffinityMask(uint32_t mask) {
    fakeSystem.affinitySet.push_back(mask);
    if ((fakeSystem.processMask & mask) != 0) fakeSystem.processMask &= mask;
}

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

void* platformAllocateBuffer(size_t bytes) {
    std::lock_guard<std::mutex> hold(fakeLock);
    const int made = fakeSystem.allocations++;
    fakeSystem.allocationBytes.push_back(bytes);
    if (!fakeSystem.allocationSucceeds) return nullptr;
    if (fakeSystem.allocationsBeforeFailure >= 0 && made >= fakeSystem.allocationsBeforeFailure) return nullptr;
    return buffers[made % BUFFERS];
}

void platformReleaseBuffer(void*, size_t) {
    std::lock_guard<std::mutex> hold(fakeLock);
    ++fakeSystem.releases;
}

void* platformAllocateHugePageBuffer(size_t bytes, HugePageOutcome* outcome) {
    {
        std::lock_guard<std::mutex> hold(fakeLock);
        ++fakeSystem.hugePageRequests;
    }
    *outcome = HugePageOutcome{};
    outcome->share = fakeSystem.hugePageShare;
    if (outcome->share == 0.0) outcome->refusal = fakeSystem.hugePageRefusal;
    outcome->mappedBytes = bytes;
    return platformAllocateBuffer(bytes);
}

bool platformStartThread(void (*entry)(void*), void* argument, PlatformThread* thread) {
    ++fakeSystem.threadsStarted;
    *thread = reinterpret_cast<PlatformThread>(new std::thread(entry, argument));
    return true;
}

void platformJoinThread(PlatformThread thread) {
    std::thread* running = reinterpret_cast<std::thread*>(thread);
    running->join();
    delete running;
    ++fakeSystem.threadsJoined;
}

std::vector<ProcessorId> platformUsableProcessors() {
    if (!fakeSystem.processors.empty()) return fakeSystem.processors;
    std::vector<ProcessorId> processors;
    for (int number = 0; number < 32; ++number) {
        if ((fakeSystem.processMask >> number) & 1u) processors.push_back({0, number});
    }
    return processors;
}

void platformYield() { std::this_thread::yield(); }

bool platformPinThread(const ProcessorId& processor) {
    std::lock_guard<std::mutex> hold(fakeLock);
    for (const ProcessorId& refused : fakeSystem.refusedProcessors) {
        if (refused == processor) return false;
    }
    pinnedTo = processor;
    lastPin = processor;
    lastPinner = std::this_thread::get_id();
    fakeSystem.threadPins.push_back(processor);
    return true;
}

bool platformCurrentProcessor(ProcessorId* processor) {
    if (pinnedTo.number < 0) return false;
    *processor = pinnedTo;
    return true;
}

void platformCatchInterruptions() { ++fakeSystem.interruptionsCaught; }

int platformInterruption() {
    std::lock_guard<std::mutex> hold(fakeLock);
    const int after = fakeSystem.interruptAfterKernelCalls;
    const size_t calls = fakeKernels.calls.size() + static_cast<size_t>(fakeKernels.pingPongTimedCalls);
    return after >= 0 && calls >= static_cast<size_t>(after) ? fakeSystem.interruptionStatus : 0;
}

uint64_t platformMonotonicMilliseconds() { return monotonicNow += fakeSystem.monotonicStepMilliseconds; }

bool platformStandardErrorIsTerminal() { return fakeSystem.standardErrorIsTerminal; }

// The data files are real files, written with the standard library alone so
// that the fake serves every target.
bool platformIsSpecialFile(const char*) { return false; }

std::FILE* platformCreateFileBeside(const char* path, std::string* name) {
    *name = std::string(path) + ".partial";
    return std::fopen(name->c_str(), "w");
}

bool platformReplaceFile(const char* from, const char* to) {
    std::remove(to);
    return std::rename(from, to) == 0;
}

GuardOutcome platformRunGuarded(void (*)()) { return GuardOutcome::COMPLETED; }

PlatformTopology platformTopology() {
    ++fakeSystem.topologyReads;
    return fakeSystem.topology;
}
PlatformMemory platformMemory() { return fakeSystem.memory; }
PlatformSystem platformSystem() { return fakeSystem.system; }
int64_t platformSecondsSinceEpoch() { return fakeSystem.secondsSinceEpoch; }
CpuidReadings readCpuid() { return fakeSystem.cpuid; }

CapabilityMask detectSimdCapabilities() { return fakeSystem.detectedMask; }

ExtendedSupport detectExtendedSupport() {
    ++fakeSystem.extendedProbes;
    return fakeSystem.extended;
}

extern "C" double coreCyclesPerTick() { return fakeKernels.coreCyclesPerTick; }

bool probeOsSseSupport() {
    ++fakeSystem.sseProbes;
    return fakeSystem.osSupportsSse;
}

extern "C" uint64_t readSerialisedTicks() {
    const auto& readings = fakeKernels.serialisedTicks;
    return readings.empty() ? 0 : readings[std::min(ticksRead++, readings.size() - 1)];
}

namespace {
uint64_t nextElapsedTicks() {
    const auto& sequence = fakeKernels.elapsedSequence;
    return sequence.empty() ? fakeKernels.elapsedTicks : sequence[elapsedRead++ % sequence.size()];
}
}  // namespace

// Each thread's run starts 10 ticks per processor number later and ends 5
// more ticks per processor later, so that a team's span differs from every
// member's own count.
#define KERNEL_ROW(function, ...)                                                              \
    extern "C" void function(void* base, int32_t blockLines, int32_t lineCount) {              \
        std::lock_guard<std::mutex> hold(fakeLock);                                            \
        fakeKernels.calls.push_back({#function, base, blockLines, lineCount, pinnedTo.number}); \
        const uint64_t lateness = pinnedTo.number < 0 ? 0 : static_cast<uint64_t>(pinnedTo.number); \
        timingRecord.startTicks = 1000 + 10 * lateness;                                         \
        timingRecord.elapsedTicks = nextElapsedTicks() + 5 * lateness;                         \
        timingRecord.endTicks = timingRecord.startTicks + timingRecord.elapsedTicks;           \
    }
#include "kernels/kernel_list.def"
#undef KERNEL_ROW

extern "C" void* chaseLoads(void* start, int32_t passes) {
    std::lock_guard<std::mutex> hold(fakeLock);
    fakeKernels.calls.push_back({"chaseLoads", start, 0, passes, pinnedTo.number});
    timingRecord.startTicks = 1000;
    timingRecord.elapsedTicks = nextElapsedTicks();
    timingRecord.endTicks = timingRecord.startTicks + timingRecord.elapsedTicks;
    return start;
}

extern "C" void pingPongTimed(volatile uint32_t*, const volatile uint32_t*, uint32_t, int32_t rounds) {
    std::lock_guard<std::mutex> hold(fakeLock);
    ++fakeKernels.pingPongTimedCalls;
    // The answering thread pins itself after the timing one, pair by pair.
    const ProcessorId answerer = lastPinner == std::this_thread::get_id() ? ProcessorId{-1, -1} : lastPin;
    const uint64_t perRound = fakeKernels.roundTripTicksOf ? fakeKernels.roundTripTicksOf(pinnedTo, answerer)
                                                           : fakeKernels.roundTripTicks;
    timingRecord.startTicks = 1000;
    timingRecord.elapsedTicks = fakeKernels.frameTicks + perRound * static_cast<uint64_t>(rounds > 0 ? rounds : 0);
    timingRecord.endTicks = timingRecord.startTicks + timingRecord.elapsedTicks;
}

extern "C" void pingPongAnswer(volatile uint32_t*, const volatile uint32_t*, uint32_t, int32_t) {
    std::lock_guard<std::mutex> hold(fakeLock);
    ++fakeKernels.pingPongAnswerCalls;
}

// The parallel-chains kernels are recorded as "chaseChains" and their chain
// count, with the block as the base and their passes as the line count.
#define FAKE_CHAIN_KERNEL(chains)                                                                 \
    extern "C" void chaseChains##chains(void* base, int32_t passes) {                            \
        std::lock_guard<std::mutex> hold(fakeLock);                                               \
        fakeKernels.calls.push_back({"chaseChains" #chains, base, 0, passes, pinnedTo.number});  \
        timingRecord.startTicks = 1000;                                                           \
        timingRecord.elapsedTicks = nextElapsedTicks();                                           \
        timingRecord.endTicks = timingRecord.startTicks + timingRecord.elapsedTicks;              \
    }
PARALLEL_CHAINS(FAKE_CHAIN_KERNEL)
#undef FAKE_CHAIN_KERNEL

// A loader's chunks follow one another on a clock of their own, a tick per
// line, so that every chunk of a row has a span of its own; its calls are
// recorded with the sweep's base, block and line count. The busy-wait takes
// a core cycle per turn at the fake core clock, so that its calibration finds
// as many turns as cycles.

#define LOADER_ROW(function, ...)                                                                     \
    extern "C" void function(const LoaderSweep* sweep) {                                             \
        std::lock_guard<std::mutex> hold(fakeLock);                                                  \
        fakeKernels.calls.push_back({#function, sweep->base, sweep->blockLines, sweep->lineCount,     \
                                     pinnedTo.number});                                              \
        fakeKernels.loaderTurns.push_back(sweep->delayTurns);                                        \
        timingRecord.startTicks = loaderTicks;                                                       \
        loaderTicks += static_cast<uint64_t>(sweep->lineCount);                                      \
        timingRecord.endTicks = loaderTicks;                                                         \
        timingRecord.elapsedTicks = timingRecord.endTicks - timingRecord.startTicks;                 \
    }
#include "kernels/loader_list.def"
#undef LOADER_ROW

extern "C" void delayTurns(int32_t turns, int32_t repeats) {
    timingRecord.startTicks = 0;
    timingRecord.elapsedTicks =
        static_cast<uint64_t>((static_cast<double>(turns) + 1.0) * repeats / fakeKernels.coreCyclesPerTick);
    timingRecord.endTicks = timingRecord.elapsedTicks;
}
