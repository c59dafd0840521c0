// The run sequence against a fake system, processor and clock.
#include <gtest/gtest.h>

#include "driver/clock.h"
#include "driver/report.h"
#include "driver/run_sequence.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"
#include "tests/program_run.h"

namespace {

class RunSequence : public testing::Test {
protected:
    void SetUp() override { resetFakes(); }
};

TEST_F(RunSequence, CompleteRunPrintsSystemLinesThenTablesAndReleasesTheBuffer) {
    fakeSystem.detectedMask = 0x39;
    const ProgramRun run = runWith(RunOptions{});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> head = {
        "Kestrune ver1.0",
        "OS:NT based",
        "Supported SIMD Inst:MMX SSE SSE2 SSE3",
        "SSE supported by OS:yes",
        "measuring CPU clock. please wait 3 seconds.",
        "CPU clock:3000MHz",
        "Speed check start.",
        "128bit(16byte) aligned read",
    };
    ASSERT_GE(run.out.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(run.out.begin(), run.out.begin() + head.size()), head);
    EXPECT_EQ(run.out.size(), 7u + 6 * 21);
    EXPECT_EQ(fakeSystem.sleeps, std::vector<uint32_t>{3000});
    EXPECT_EQ(fakeSystem.priorityRaises, 1);
    EXPECT_EQ(fakeSystem.allocations, 1);
    EXPECT_EQ(fakeSystem.releases, 1);
}

TEST_F(RunSequence, Win9xFamilySkipsAffinity) {
    fakeSystem.family = OsFamily::WIN9X;
    fakeSystem.affinityQuerySucceeds = false;  // never asked
    const ProgramRun run = runWith(RunOptions{});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out[1], "OS:9X based");
    EXPECT_EQ(fakeSystem.affinityQueries, 0);
    EXPECT_TRUE(fakeSystem.affinitySet.empty());
}

struct AffinityCase {
    uint32_t processMask;
    uint32_t systemMask;
    std::vector<uint32_t> pinnedTo;
};

TEST_F(RunSequence, PinsToTheLowestProcessorOfTheSystem) {
    const AffinityCase cases[] = {
        {0xC, 0xC, {0x4}},
        {0x80000000, 0x80000000, {0x80000000}},  // found by the 32nd probe
        {0x0, 0x0, {}},                          // nothing to pin to: runs unpinned
        {0x2, 0x3, {0x1}},                       // the system's lowest, not the process's
    };
    for (const AffinityCase& c : cases) {
        resetFakes();
        fakeSystem.processMask = c.processMask;
        fakeSystem.systemMask = c.systemMask;
        const ProgramRun run = runWith(RunOptions{});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out[1], "OS:NT based");
        EXPECT_EQ(fakeSystem.affinitySet, c.pinnedTo) << std::hex << c.systemMask;
    }
}

TEST_F(RunSequence, FailedAffinityQueryEndsWithCodeOneAfterTheBanner) {
    fakeSystem.affinityQuerySucceeds = false;
    const ProgramRun run = runWith(RunOptions{});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, std::vector<std::string>{"Kestrune ver1.0"});
    EXPECT_EQ(run.err, "GetProcessAffinityMask() failed.\n");
    EXPECT_TRUE(fakeSystem.affinitySet.empty());
    EXPECT_EQ(fakeSystem.priorityRaises, 0);
    EXPECT_EQ(fakeSystem.allocations, 0);
}

TEST_F(RunSequence, FailedAllocationEndsWithCodeTwoAfterTheClockLine) {
    fakeSystem.allocationSucceeds = false;
    const ProgramRun run = runWith(RunOptions{});
    EXPECT_EQ(run.exitCode, 2);
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), "CPU clock:3000MHz");
    EXPECT_EQ(run.err, "malloc failed.\n");
    EXPECT_TRUE(fakeKernels.calls.empty());
    EXPECT_EQ(fakeSystem.releases, 0);
}

struct CapabilityCase {
    CapabilityMask detected;
    bool osSupportsSse;
    const char* capabilityLine;
    const char* supportLine;  // null: no line
    CapabilityMask passesGet;
};

TEST_F(RunSequence, CapabilityAndSupportLinesAndTheMaskThePassesGet) {
    const CapabilityCase cases[] = {
        {0x00, true, "Supported SIMD Inst:", nullptr, 0x00},
        {0x09, true, "Supported SIMD Inst:MMX SSE ", "SSE supported by OS:yes", 0x09},
        {0x39, false, "Supported SIMD Inst:MMX SSE SSE2 SSE3", "SSE supported by OS:no", 0x01},
        {0x10, false, "Supported SIMD Inst:SSE2 ", nullptr, 0x10},  // probe not run without SSE
    };
    for (const CapabilityCase& c : cases) {
        resetFakes();
        fakeSystem.detectedMask = c.detected;
        fakeSystem.osSupportsSse = c.osSupportsSse;
        const ProgramRun run = runWith(RunOptions{});
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out[2], c.capabilityLine);
        EXPECT_EQ(run.out[3], c.supportLine ? c.supportLine : "measuring CPU clock. please wait 3 seconds.");
        EXPECT_EQ(fakeSystem.sseProbes, c.supportLine ? 1 : 0);
        // The first read header shows which mask reached the passes.
        CapturedOutput header;
        printTableHeader(Direction::READ, c.passesGet, true);
        const std::string expected = header.out.str();
        const size_t headerLine = c.supportLine ? 8 : 7;
        EXPECT_EQ(run.out[headerLine] + "\n", expected) << std::hex << c.detected;
    }
}

struct ClockCase {
    WallClockReading from, to;
    uint64_t ticks;
    const char* clockLine;
    const char* firstCell;  // 30,000,000 ticks per run
};

TEST_F(RunSequence, ClockFromTicksOverWallClockMilliseconds) {
    const ClockCase cases[] = {
        {{2026, 1, 1, 0, 0, 20, 500}, {2026, 1, 1, 0, 0, 23, 500}, 9000000000ull, "CPU clock:3000MHz", "6.25GB/s"},
        // 10 s 990 ms to 14 s 4 ms is 3014 ms.
        {{2026, 1, 1, 0, 0, 10, 990}, {2026, 1, 1, 0, 0, 14, 4}, 3014000000ull, "CPU clock:1000MHz", "2.08333GB/s"},
        // Across a minute, an hour and a year, the clock is still true.
        {{2026, 1, 1, 0, 0, 58, 500}, {2026, 1, 1, 0, 1, 1, 500}, 9000000000ull, "CPU clock:3000MHz", "6.25GB/s"},
        {{2026, 1, 1, 9, 59, 59, 0}, {2026, 1, 1, 10, 0, 2, 0}, 9000000000ull, "CPU clock:3000MHz", "6.25GB/s"},
        {{2025, 12, 31, 23, 59, 58, 0}, {2026, 1, 1, 0, 0, 1, 0}, 6000000000ull, "CPU clock:2000MHz", "4.16667GB/s"},
        // Below 1 MHz the measured value is printed and 1 MHz used for the rates.
        {{2026, 1, 1, 0, 0, 0, 0}, {2026, 1, 1, 0, 0, 3, 0}, 1500000ull, "CPU clock:0.5MHz", "2.13333MB/s"},
        {{2026, 1, 1, 0, 0, 0, 0}, {2026, 1, 1, 0, 0, 3, 0}, 3000000ull, "CPU clock:1MHz", "2.13333MB/s"},
    };
    for (const ClockCase& c : cases) {
        resetFakes();
        fakeSystem.wallClock = {c.from, c.to};
        fakeKernels.serialisedTicks = {5000, 5000 + c.ticks};
        const ProgramRun run = runWith(RunOptions{});
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out[4], c.clockLine);
        EXPECT_EQ(splitFields(run.out[8])[1], c.firstCell) << c.clockLine;
    }
}

TEST_F(RunSequence, WallClockThatNeverTicksDoesNotHoldUpTheRun) {
    fakeSystem.wallClockFrozen = true;
    const ProgramRun run = runWith(RunOptions{});
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(splitFields(run.out.back())[0], "32MB:");
}

TEST(ElapsedMilliseconds, CountsEveryFieldOfTheReadings) {
    const struct {
        WallClockReading from, to;
        int64_t milliseconds;
    } cases[] = {
        {{2026, 1, 1, 0, 0, 10, 990}, {2026, 1, 1, 0, 0, 14, 4}, 3014},
        {{2026, 3, 1, 0, 0, 0, 0}, {2026, 2, 28, 23, 59, 59, 0}, -1000},
        {{2024, 2, 28, 23, 59, 59, 0}, {2024, 3, 1, 0, 0, 0, 0}, 86401000},  // leap day between
    };
    for (const auto& c : cases) EXPECT_EQ(elapsedMilliseconds(c.from, c.to), c.milliseconds);
}

}  // namespace
