// The core-to-core table against the fake system: its shape, labels and cells
// on a machine of 300 processors in five groups, where each pair sits, what
// happens to a processor that refuses a thread, an interruption, and the
// command lines it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/core_to_core_table.h"
#include "driver/options.h"
#include "driver/run_sequence.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"

namespace {

constexpr int GROUPS = 5;
constexpr int PER_GROUP = 60;
constexpr double CLOCK_MHZ = 3000.0;  // 3 ticks a nanosecond

int indexOf(const ProcessorId& processor) { return processor.group * PER_GROUP + processor.number; }

// Each pair's round trip says which pair it was: one way, in nanoseconds at
// CLOCK_MHZ, 1000 times the timer's index plus the answerer's.
uint64_t roundTripOfPair(const ProcessorId& timer, const ProcessorId& answerer) {
    return 6 * static_cast<uint64_t>(1000 * indexOf(timer) + indexOf(answerer));
}

std::vector<ProcessorId> groupedProcessors() {
    std::vector<ProcessorId> processors;
    for (int group = 0; group < GROUPS; ++group) {
        for (int number = 0; number < PER_GROUP; ++number) processors.push_back({group, number});
    }
    return processors;
}

// Two SMT siblings per core, a package per group; a first-level cache per
// core and a last-level cache per package.
MachineDescription describe(const std::vector<ProcessorId>& processors) {
    MachineDescription machine;
    CacheDescription first, last;
    first.level = 1;
    first.kind = "data";
    last.level = 3;
    last.kind = "unified";
    machine.caches = {first, last};
    for (const ProcessorId& id : processors) {
        ProcessorPlace place;
        place.id = id;
        place.core = indexOf(id) / 2;
        place.package = id.group;
        place.node = id.group;
        place.cacheInstances = {place.core, id.group};
        machine.processors.push_back(place);
    }
    return machine;
}

struct TableRun {
    CoreToCoreOutcome outcome;
    std::vector<std::string> out;
    std::string err;
    std::vector<CellRecord> records;
};

TableRun runTable(const std::vector<ProcessorId>& processors, const MachineDescription& machine) {
    TableRun run;
    CoreToCoreSettings settings;
    settings.processors = processors;
    settings.machine = &machine;
    settings.clockMHz = CLOCK_MHZ;
    settings.records = &run.records;
    CapturedOutput capture;
    run.outcome = runCoreToCoreTable(settings);
    run.out = splitLines(capture.out.str());
    run.err = capture.err.str();
    return run;
}

class CoreToCore : public testing::Test {
protected:
    void SetUp() override { resetFakes(); }
};

TEST_F(CoreToCore, ThreeHundredProcessorsInFiveGroupsGiveAFullMatrixLabelledByGroupAndNumber) {
    const std::vector<ProcessorId> processors = groupedProcessors();
    fakeSystem.processors = processors;
    fakeKernels.roundTripTicksOf = roundTripOfPair;
    const TableRun run = runTable(processors, describe(processors));

    ASSERT_EQ(run.outcome, CoreToCoreOutcome::MEASURED);
    EXPECT_EQ(run.err, "");
    const size_t count = processors.size();
    ASSERT_EQ(run.out.size(), 3 + count);
    EXPECT_EQ(run.out[0], "core to core latency");
    EXPECT_NE(run.out[1].find("timed by the row's processor"), std::string::npos) << run.out[1];
    const std::vector<std::string> header = splitFields(run.out[2]);
    ASSERT_EQ(header.size(), 1 + count);
    EXPECT_EQ(header[0], "CPU:");
    for (size_t row = 0; row < count; ++row) {
        const std::string label = std::to_string(processors[row].group) + ":" + std::to_string(processors[row].number);
        EXPECT_EQ(header[1 + row], label);
        const std::vector<std::string> fields = splitFields(run.out[3 + row]);
        ASSERT_EQ(fields.size(), 1 + count) << label;
        ASSERT_EQ(fields[0], label + ":");
        for (size_t column = 0; column < count; ++column) {
            const std::string expected =
                row == column ? "-" : std::to_string(1000 * row + column) + "ns";
            ASSERT_EQ(fields[1 + column], expected) << "row " << label << " column " << column;
        }
    }

    // A record per measured cell, in the table's order, saying where the pair sits.
    ASSERT_EQ(run.records.size(), count * (count - 1));
    size_t next = 0;
    for (size_t row = 0; row < count; ++row) {
        for (size_t column = 0; column < count; ++column) {
            if (row == column) continue;
            const CellRecord& record = run.records[next++];
            const ProcessorId& from = processors[row];
            const ProcessorId& to = processors[column];
            const std::string where = record.fromProcessor + " to " + record.toProcessor;
            ASSERT_EQ(record.fromProcessor, std::to_string(from.group) + ":" + std::to_string(from.number));
            ASSERT_EQ(record.toProcessor, std::to_string(to.group) + ":" + std::to_string(to.number));
            ASSERT_EQ(record.timedBy, record.fromProcessor);
            ASSERT_EQ(record.siblings, row / 2 == column / 2) << where;
            ASSERT_EQ(record.sharedCacheLevel, row / 2 == column / 2 ? 1 : from.group == to.group ? 3 : 0) << where;
            ASSERT_EQ(record.differentPackages, from.group != to.group) << where;
            ASSERT_EQ(record.differentNodes, from.group != to.group) << where;
            ASSERT_DOUBLE_EQ(record.nsOneWay, 1000.0 * row + column) << where;
        }
    }
}

TEST_F(CoreToCore, OneGroupIsLabelledByNumberAloneAndTheFrameIsTakenOffEverySample) {
    const std::vector<ProcessorId> processors = {{0, 0}, {0, 3}};
    fakeSystem.processors = processors;
    fakeKernels.frameTicks = 9000;  // a CPUID that exits to a hypervisor
    fakeKernels.roundTripTicks = 1200;
    const TableRun run = runTable(processors, describe(processors));
    ASSERT_EQ(run.out.size(), 5u);
    EXPECT_EQ(run.out[2], "CPU:\t0\t3");
    EXPECT_EQ(run.out[3], "0:\t-\t200ns");
    EXPECT_EQ(run.out[4], "3:\t200ns\t-");
}

TEST_F(CoreToCore, AProcessorThatRefusesAThreadIsNamedOnceAndItsPairsAreLeftEmpty) {
    const std::vector<ProcessorId> processors = {{0, 0}, {0, 1}, {0, 2}, {0, 3}};
    fakeSystem.processors = processors;
    fakeSystem.refusedProcessors = {{0, 2}};
    const TableRun run = runTable(processors, describe(processors));

    ASSERT_EQ(run.outcome, CoreToCoreOutcome::MEASURED);
    EXPECT_EQ(run.err, "kestrune: --core-to-core: processor 2 refused a thread; its pairs are left empty\n");
    ASSERT_EQ(run.out.size(), 7u);
    EXPECT_EQ(run.out[3], "0:\t-\t100ns\t\t100ns");
    EXPECT_EQ(run.out[4], "1:\t100ns\t-\t\t100ns");
    EXPECT_EQ(run.out[5], "2:\t\t\t-\t");
    EXPECT_EQ(run.out[6], "3:\t100ns\t100ns\t\t-");
    EXPECT_EQ(run.records.size(), 6u);
    for (const CellRecord& record : run.records) {
        EXPECT_NE(record.fromProcessor, "2");
        EXPECT_NE(record.toProcessor, "2");
    }
}

TEST_F(CoreToCore, AnInterruptionStopsBetweenPairsAndKeepsWhatWasMeasured) {
    const std::vector<ProcessorId> processors = {{0, 0}, {0, 1}, {0, 2}};
    fakeSystem.processors = processors;
    // The empty frames, then three pairs of a calibration and the samples each.
    fakeSystem.interruptAfterKernelCalls = 8 + 3 * 6;
    const TableRun run = runTable(processors, describe(processors));

    ASSERT_EQ(run.outcome, CoreToCoreOutcome::INTERRUPTED);
    EXPECT_EQ(run.records.size(), 3u);
    ASSERT_EQ(run.out.size(), 5u);  // the second row unfinished, without its line end
    EXPECT_EQ(run.out[3], "0:\t-\t100ns\t100ns");
    EXPECT_EQ(run.out[4], "1:\t100ns\t-\t");
    // The partner thread is ended and joined all the same.
    EXPECT_EQ(fakeSystem.threadsStarted, 1);
    EXPECT_EQ(fakeSystem.threadsJoined, 1);
}

struct WholeRun {
    int exitCode;
    std::vector<std::string> out;
    std::string err;
};

WholeRun runProgram(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kestrune");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    CapturedOutput capture;
    RunOptions options;
    WholeRun run{0, {}, ""};
    switch (parseOptions(static_cast<int>(arguments.size()), argv.data(), &options)) {
        case OptionsOutcome::RUN: run.exitCode = runBenchmark(options); break;
        case OptionsOutcome::DONE: run.exitCode = 0; break;
        case OptionsOutcome::USAGE_ERROR: run.exitCode = EXIT_USAGE; break;
    }
    run.out = splitLines(capture.out.str());
    run.err = capture.err.str();
    return run;
}

TEST_F(CoreToCore, ComesAfterEveryOtherTableOnEveryProcessorTheProcessMayUse) {
    fakeSystem.processMask = 0x7;
    const WholeRun run = runProgram({"--core-to-core", "--latency", "--copy", "--max-size", "256B"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_GE(run.out.size(), 6u);
    const std::vector<std::string> tail(run.out.end() - 6, run.out.end());
    EXPECT_EQ(tail[0], "core to core latency");
    EXPECT_EQ(tail[2], "CPU:\t0\t1\t2");
    EXPECT_EQ(tail[5], "2:\t100ns\t100ns\t-");
    // The latency table ends just before it.
    EXPECT_EQ(splitFields(run.out[run.out.size() - 7])[0], "256B:");
}

TEST_F(CoreToCore, ATeamNamedByThreadsIsTheFirstProcessorsAndCyclesComeWithPerCycle) {
    fakeSystem.processMask = 0xF;
    const WholeRun run = runProgram({"--core-to-core", "--threads", "2", "--per-cycle", "--max-size", "128B"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> tail(run.out.end() - 6, run.out.end());
    EXPECT_EQ(tail[0], "core to core latency");
    // 1.25 core cycles a tick at 3000 MHz: 300 ticks one way are 375 cycles.
    EXPECT_EQ(tail[1], "core clock:3750MHz");
    EXPECT_EQ(tail[3], "CPU:\t0\t1");
    EXPECT_EQ(tail[4], "0:\t-\t375c");
}

TEST_F(CoreToCore, TheProgressLineNamesTheRowAndTheJsonHoldsACellPerPairAfterEveryOther) {
    fakeSystem.processMask = 0x3;
    fakeSystem.standardErrorIsTerminal = true;
    const WholeRun run = runProgram({"--core-to-core", "--latency", "--max-size", "128B", "--json", "-"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("\rkestrune: core to core latency, row 1, "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - 2), " \r");
    std::string json;
    for (const std::string& line : run.out) json += line + "\n";
    const std::string first = "{\"direction\": \"core_to_core\"";
    const size_t firstPair = json.find(first);
    ASSERT_NE(firstPair, std::string::npos) << json;
    EXPECT_EQ(json.find("\"direction\": \"latency\"", firstPair), std::string::npos) << "a cell after the matrix";
    EXPECT_NE(json.find("\"from_processor\": \"1\", \"to_processor\": \"0\", \"timed_by\": \"1\"", firstPair),
              std::string::npos) << json;
    EXPECT_EQ(json.find("\"block_bytes\"", firstPair), std::string::npos) << "a pair has no block";
}

TEST_F(CoreToCore, CommandLinesWithoutTwoProcessorsAreRefusedBeforeAnythingIsMeasured) {
    const struct {
        uint32_t processMask;
        OsFamily family;
        std::vector<std::string> arguments;
        std::string message;
    } CASES[] = {
        {0x1, OsFamily::NT, {"--core-to-core"},
         "kestrune: --core-to-core: needs two processors or more; this process may use one\n"},
        {0x3, OsFamily::NT, {"--core-to-core", "--threads", "1"},
         "kestrune: --core-to-core: needs two processors or more; --threads 1 gives it one\n"},
        {0x3, OsFamily::NT, {"--threads", "1", "--core-to-core"},
         "kestrune: --core-to-core: needs two processors or more; --threads 1 gives it one\n"},
        {0x3, OsFamily::WIN9X, {"--core-to-core"},
         "kestrune: --core-to-core: needs two processors or more; Windows 9X runs a process on one\n"},
    };
    for (const auto& which : CASES) {
        resetFakes();
        fakeSystem.processMask = which.processMask;
        fakeSystem.family = which.family;
        const WholeRun run = runProgram(which.arguments);
        EXPECT_EQ(run.exitCode, EXIT_USAGE) << which.message;
        EXPECT_TRUE(run.out.empty()) << which.message;
        EXPECT_EQ(run.err, which.message);
        EXPECT_EQ(fakeKernels.calls.size() + fakeKernels.pingPongTimedCalls, 0u) << which.message;
        EXPECT_EQ(fakeSystem.allocations, 0) << which.message;
    }
}

}  // namespace
