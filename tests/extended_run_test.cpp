// The run sequence with options, against the fake system: what each option
// adds to the report, and that the run without options does none of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "driver/latency_table.h"
#include "driver/run_sequence.h"
#include "driver/thread_team.h"
#include "kernels/chase_loads.h"
#include "kernels/kernels.h"
#include "kernels/timing_record.h"
#include "tests/captured_output.h"
#include "tests/program_run.h"
#include "tests/fakes/fake_machine.h"

namespace {

std::vector<std::string> linesFrom(const std::vector<std::string>& out, const std::string& first, size_t count) {
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == first) return std::vector<std::string>(out.begin() + i, out.begin() + std::min(out.size(), i + count));
    }
    return {};
}

// The first row of the table titled `title`, split into its fields.
std::vector<std::string> firstRow(const std::vector<std::string>& out, const std::string& title, int skip = 1) {
    const std::vector<std::string> lines = linesFrom(out, title, 2 + skip);
    return lines.empty() ? std::vector<std::string>{} : splitFields(lines.back());
}

class ExtendedRun : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.detectedMask = CAP_CLASSIC;
        fakeSystem.processMask = 0x6;  // processors 1 and 2
        fakeSystem.systemMask = 0x7;
    }
    RunOptions options;
};

TEST_F(ExtendedRun, ClassicRunAsksNothingOfTheWiderExtensions) {
    fakeSystem.extended = {CAP_SSE41 | CAP_AVX | CAP_AVX512F, CAP_SSE41 | CAP_AVX | CAP_AVX512F};
    const ProgramRun run = runWith(options);
    EXPECT_EQ(fakeSystem.extendedProbes, 0);
    EXPECT_EQ(run.out[2], "Supported SIMD Inst:MMX SSE SSE2 SSE3");
    EXPECT_EQ(run.out[4], "measuring CPU clock. please wait 3 seconds.");
    EXPECT_EQ(run.out.size(), 7u + 6 * 21);
}

TEST_F(ExtendedRun, IsaAllListsTheWiderExtensionsAndMeasuresTheirColumns) {
    const struct {
        ExtendedSupport support;
        CapabilityMask detected;
        const char* capabilityLine;
        const char* avxLine;  // null: no such line
        const char* readHeader;
    } cases[] = {
        {{CAP_SSE41 | CAP_AVX | CAP_AVX512F, CAP_SSE41 | CAP_AVX | CAP_AVX512F}, CAP_CLASSIC,
         "Supported SIMD Inst:MMX SSE SSE2 SSE3 SSE4.1 AVX AVX512F", "AVX supported by OS:yes",
         "SIZE:\tVMOVDQU64(512)\tVMOVDQA64(512)\tVMOVDQU(256)\tVMOVDQA(256)\tMOVNTDQA\tLDDQU\tMOVDQU\tMOVDQA\t"
         "MOVUPS\tMOVAPS\tMOVQ\tMOV(32)\tMOVZX(16)"},
        // The processor has AVX, the OS does not save its state.
        {{CAP_SSE41 | CAP_AVX, CAP_SSE41}, CAP_CLASSIC, "Supported SIMD Inst:MMX SSE SSE2 SSE3 SSE4.1 AVX",
         "AVX supported by OS:no",
         "SIZE:\tMOVNTDQA\tLDDQU\tMOVDQU\tMOVDQA\tMOVUPS\tMOVAPS\tMOVQ\tMOV(32)\tMOVZX(16)"},
        {{CAP_SSE41 | CAP_AVX | CAP_AVX512F, CAP_SSE41 | CAP_AVX}, CAP_CLASSIC,
         "Supported SIMD Inst:MMX SSE SSE2 SSE3 SSE4.1 AVX AVX512F", "AVX supported by OS:yes (AVX512F no)",
         "SIZE:\tVMOVDQU(256)\tVMOVDQA(256)\tMOVNTDQA\tLDDQU\tMOVDQU\tMOVDQA\tMOVUPS\tMOVAPS\tMOVQ\tMOV(32)\t"
         "MOVZX(16)"},
        // No SSE3: the classic part keeps its trailing space.
        {{CAP_SSE41, CAP_SSE41}, CAP_MMX | CAP_SSE | CAP_SSE2, "Supported SIMD Inst:MMX SSE SSE2 SSE4.1", nullptr,
         "SIZE:\tMOVNTDQA\tMOVDQU\tMOVDQA\tMOVUPS\tMOVAPS\tMOVQ\tMOV(32)\tMOVZX(16)"},
    };
    options.isa = CAP_CLASSIC | CAP_EXTENDED;
    for (const auto& c : cases) {
        SetUp();
        fakeSystem.detectedMask = c.detected;
        fakeSystem.extended = c.support;
        options.isa = CAP_CLASSIC | CAP_EXTENDED;
        const ProgramRun run = runWith(options);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "") << c.capabilityLine;
        EXPECT_EQ(run.out[2], c.capabilityLine);
        EXPECT_EQ(run.out[3], "SSE supported by OS:yes");
        EXPECT_EQ(run.out[4], c.avxLine ? c.avxLine : "measuring CPU clock. please wait 3 seconds.");
        const std::vector<std::string> table = linesFrom(run.out, "128bit(16byte) aligned read", 2);
        ASSERT_EQ(table.size(), 2u);
        EXPECT_EQ(table[1], c.readHeader);
    }
}

TEST_F(ExtendedRun, NamedExtensionsTheMachineLacksAreSaidOnStandardErrorAndLeftOut) {
    fakeSystem.extended = {CAP_SSE41 | CAP_AVX, CAP_SSE41};
    options.isa = CAP_AVX | CAP_AVX512F | CAP_SSE2;
    options.isaNamed = true;
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err,
              "kestrune: avx: not enabled by the operating system; its columns are left out\n"
              "kestrune: avx512: not supported by this processor; its columns are left out\n");
    EXPECT_EQ(linesFrom(run.out, "128bit(16byte) aligned write", 2).back(),
              "SIZE:\tMOVDQU\tMOVDQA\tMOVNTDQ\tMOVNTI\tMOV(32)\tMOV(16)");
}

TEST_F(ExtendedRun, MaxSizeEndsOrExtendsTheRowsAndLargeBlocksMoveThemselvesWhole) {
    options.maxBlockBytes = int64_t{128} << 20;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(fakeSystem.allocationBytes.front(), (size_t{128} << 20) + 1024);
    const std::vector<std::string> table = linesFrom(run.out, "64bit(8byte) aligned read", 2 + 21);
    ASSERT_EQ(table.size(), 23u);
    EXPECT_EQ(splitFields(table[2 + 18])[0], "32MB:");
    EXPECT_EQ(splitFields(table[2 + 19])[0], "64MB:");
    // 30,000,000 ticks at 3000 MHz: 64 MiB moved is 6.25 GB/s, 128 MiB 12.5.
    EXPECT_EQ(splitFields(table[2 + 19])[1], "6.25GB/s");
    EXPECT_EQ(splitFields(table[2 + 20])[0], "128MB:");
    EXPECT_EQ(splitFields(table[2 + 20])[1], "12.5GB/s");
    int32_t largest = 0;
    for (const KernelCall& call : fakeKernels.calls) {
        if (call.blockLines == (1 << 20)) {
            EXPECT_EQ(call.lineCount, 1 << 20) << call.function;
        }
        if (call.blockLines <= RUN_LINES) {
            EXPECT_EQ(call.lineCount, RUN_LINES) << call.function;
        }
        largest = std::max(largest, call.blockLines);
    }
    EXPECT_EQ(largest, 1 << 20);

    SetUp();
    options.maxBlockBytes = 1024;
    const ProgramRun small = runWith(options);
    EXPECT_EQ(small.out.size(), 7u + 6 * (2 + 4));
    EXPECT_EQ(splitFields(small.out.back())[0], "1KB:");
}

TEST_F(ExtendedRun, RepeatPrintsTheMedianOfItsRuns) {
    options.repeat = 3;
    options.maxBlockBytes = 128;
    fakeSystem.detectedMask = 0;
    // Each row is a warm-up, then three runs of each of its two cells: 60e6,
    // 30e6 and 10e6 ticks are 3.125, 6.25 and 18.75 GB/s (their mean 9.375).
    fakeKernels.elapsedSequence = {30000000, 60000000, 30000000, 10000000, 60000000, 30000000, 10000000};
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(linesFrom(run.out, "CPU clock:3000MHz", 3),
              (std::vector<std::string>{"CPU clock:3000MHz", "Repeat:3", "Speed check start."}));
    const std::vector<std::string> row = firstRow(run.out, "32bit(4byte) aligned read");
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[1], "6.25GB/s");
    EXPECT_EQ(row[2], "6.25GB/s");
}

TEST_F(ExtendedRun, PerCyclePrintsTheCoreClockUnderEachTitleAndBytesPerCycle) {
    options.perCycle = true;
    options.maxBlockBytes = 256;
    fakeKernels.coreCyclesPerTick = 1.25;  // 3750 MHz at the 3000 MHz counter
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    for (const char* title : {"128bit(16byte) aligned read", "32bit(4byte) aligned write"}) {
        const std::vector<std::string> lines = linesFrom(run.out, title, 4);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[1], "core clock:3750MHz");
        // 64 MiB in 30,000,000 ticks of 3000 MHz over 3750 MHz of core clock.
        EXPECT_EQ(splitFields(lines[3])[1], "1.78957B/c");
    }
}

TEST_F(ExtendedRun, ThreadsPinOneThreadToEachProcessorAndPrintTheAggregate) {
    options.threads = 2;
    options.maxBlockBytes = 128;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fakeSystem.affinitySet.empty());  // no process-wide pin
    EXPECT_EQ(fakeSystem.threadPins, (std::vector<ProcessorId>{{0, 1}, {0, 2}}));
    EXPECT_EQ(fakeSystem.threadsStarted, 1);
    EXPECT_EQ(fakeSystem.threadsJoined, 1);
    EXPECT_EQ(fakeSystem.allocations, 2);
    EXPECT_EQ(fakeSystem.releases, 2);
    EXPECT_EQ(linesFrom(run.out, "CPU clock:3000MHz", 2).back(), "Threads:2");
    // Every kernel ran once on each processor, on that member's own buffer.
    std::vector<const void*> buffersOn[3];
    for (const KernelCall& call : fakeKernels.calls) {
        ASSERT_TRUE(call.processor == 1 || call.processor == 2) << call.processor;
        buffersOn[call.processor].push_back(call.base);
    }
    ASSERT_EQ(buffersOn[1].size(), buffersOn[2].size());
    for (size_t i = 0; i < buffersOn[1].size(); ++i) EXPECT_NE(buffersOn[1][i], buffersOn[2][i]);
    // Two members move 128 MiB from the first opening stamp (processor 1, at
    // 1010) to the last closing stamp (processor 2, 1020 + 30,000,010): a span
    // of 30,000,020 ticks.
    std::ostringstream expected;
    expected << 2 * 3000.0e6 * 67108864.0 / (30000000.0 + 20.0) / 1073741824.0 << "GB/s";
    const std::vector<std::string> row = firstRow(run.out, "128bit(16byte) aligned read");
    ASSERT_GE(row.size(), 2u);
    EXPECT_EQ(row[1], expected.str());
}

// A large machine: four processor groups of 64, with holes where a cpuset or
// an offline processor takes some away.
std::vector<ProcessorId> fourGroupsWithHoles() {
    std::vector<ProcessorId> processors;
    for (int group = 0; group < 4; ++group) {
        for (int number = 0; number < 64; ++number) {
            const bool hole = number % 7 == 3 || (group == 2 && number < 8) || (group == 3 && number >= 60);
            if (!hole) processors.push_back({group, number});
        }
    }
    return processors;
}

TEST_F(ExtendedRun, TeamsPinThreadKToTheKthProcessorOfEveryGroup) {
    fakeSystem.processors = fourGroupsWithHoles();
    const int count = static_cast<int>(fakeSystem.processors.size());
    ASSERT_GT(count, 200);
    char program[] = "kestrune", threads[] = "--threads", all[] = "all";
    char* argv[] = {program, threads, all, nullptr};
    {
        CapturedOutput quiet;
        ASSERT_EQ(parseOptions(3, argv, &options), OptionsOutcome::RUN);
    }
    EXPECT_EQ(options.threads, count);
    options.maxBlockBytes = 128;
    fakeSystem.detectedMask = 0;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(linesFrom(run.out, "CPU clock:3000MHz", 2).back(), "Threads:" + std::to_string(count));
    // Every processor once; member 0 (the main thread) pins first, the others
    // as they start.
    std::vector<ProcessorId> pins = fakeSystem.threadPins;
    ASSERT_EQ(pins.size(), fakeSystem.processors.size());
    EXPECT_EQ(pins.front(), fakeSystem.processors.front());
    auto order = [](const ProcessorId& a, const ProcessorId& b) {
        return a.group != b.group ? a.group < b.group : a.number < b.number;
    };
    std::sort(pins.begin(), pins.end(), order);
    EXPECT_EQ(pins, fakeSystem.processors);
    EXPECT_EQ(fakeSystem.threadsJoined, count - 1);
}

TEST_F(ExtendedRun, TeamMemberKRunsOnTheKthProcessor) {
    const std::vector<ProcessorId> processors = fourGroupsWithHoles();
    const int count = static_cast<int>(processors.size());
    ASSERT_TRUE(startThreadTeam(count, processors, fakeTestBuffer(), 4096));
    runTeamCell(readMov32, 0, 1, RUN_LINES);
    for (int member = 0; member < count; ++member) {
        ProcessorId ran{};
        ASSERT_TRUE(teamMemberProcessor(member, &ran)) << member;
        EXPECT_EQ(ran, processors[static_cast<size_t>(member)]) << member;
    }
    stopThreadTeam();
    EXPECT_EQ(fakeSystem.threadsJoined, count - 1);
}

TEST_F(ExtendedRun, ATeamMemberWithoutABufferFailsTheRunWithCodeTwo) {
    options.threads = 2;
    fakeSystem.allocationsBeforeFailure = 1;
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "malloc failed.\n");
    EXPECT_EQ(fakeSystem.threadsJoined, fakeSystem.threadsStarted);
    EXPECT_EQ(fakeSystem.releases, 1);
    EXPECT_TRUE(fakeKernels.calls.empty());
}

TEST_F(ExtendedRun, AnOutputFileThatCannotBeCreatedFailsBeforeAnything) {
    options.jsonPath = "/nonexistent-directory/run.json";
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, EXIT_CANNOT_CREATE);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.err, "kestrune: cannot create /nonexistent-directory/run.json\n");
    EXPECT_EQ(fakeSystem.affinityQueries, 0);
}

TEST_F(ExtendedRun, JsonOnStandardOutputReplacesTheReport) {
    options.jsonPath = "-";
    options.maxBlockBytes = 128;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    ASSERT_GE(run.out.size(), 3u);
    EXPECT_EQ(run.out[0], "{");
    EXPECT_EQ(run.out.back(), "}");
    // Six tables of one row: 8 + 6 + 6 + 11 + 7 + 7 cells.
    size_t cells = 0;
    for (const std::string& line : run.out) cells += line.rfind("  {\"direction\"", 0) == 0;
    EXPECT_EQ(cells, 45u);
}

// The latency table's calls of the chase kernel, in order.
std::vector<KernelCall> chaseCalls() {
    std::vector<KernelCall> chases;
    for (const KernelCall& call : fakeKernels.calls) {
        if (call.function == "chaseLoads") chases.push_back(call);
    }
    return chases;
}

TEST_F(ExtendedRun, LatencyIsOneTableAfterTheThroughputTablesFromTheSmallestBlock) {
    const struct {
        int64_t maxBlockBytes;
        std::vector<std::string> labels;
    } cases[] = {
        {128, {"128B:"}},
        {4096, {"128B:", "256B:", "512B:", "1KB:", "2KB:", "4KB:"}},
    };
    for (const auto& c : cases) {
        SetUp();
        options.latency = true;
        options.maxBlockBytes = c.maxBlockBytes;
        const ProgramRun run = runWith(options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> table = linesFrom(run.out, "load latency", 100);
        ASSERT_EQ(table.size(), 2 + c.labels.size()) << c.maxBlockBytes;
        EXPECT_EQ(table[1], "SIZE:\tRANDOM\tIN-PAGE\tSEQUENTIAL");
        // 30,000,000 ticks of 3000 MHz over 2^20 loads.
        std::ostringstream cell;
        cell << 30000000.0 / 3000.0 * 1000.0 / 1048576.0 << "ns";
        for (size_t row = 0; row < c.labels.size(); ++row) {
            EXPECT_EQ(table[2 + row], c.labels[row] + "\t" + cell.str() + "\t" + cell.str() + "\t" + cell.str());
        }
        // After every throughput table: the last throughput kernel ran before the first chase.
        ASSERT_FALSE(fakeKernels.calls.empty());
        EXPECT_EQ(fakeKernels.calls.back().function, "chaseLoads");
        const std::vector<KernelCall> chases = chaseCalls();
        EXPECT_EQ(chases.size(), c.labels.size() * 3 * LATENCY_REPETITIONS);
        EXPECT_EQ(fakeKernels.calls[fakeKernels.calls.size() - chases.size() - 1].function.rfind("write", 0), 0u);
    }
}

// Blocks of two lines and of millions: every call runs at least a million
// loads and at least one per line, in whole passes of the unrolled loop.
TEST_F(ExtendedRun, LatencyLoadsCoverTheBlockAndAMillionInWholePasses) {
    const struct {
        int64_t blockBytes;
        int64_t loads;
    } cases[] = {
        {128, 1048576},                       // 2 lines
        {int64_t{64} << 20, 1048576},         // 2^20 lines: exactly the million
        {int64_t{128} << 20, 2097152},        // 2^21 lines
        {int64_t{4} << 30, int64_t{1} << 26}, // the largest block: 67,108,864 lines
    };
    for (const auto& c : cases) {
        EXPECT_EQ(latencyLoads(c.blockBytes), c.loads) << c.blockBytes;
        EXPECT_EQ(latencyLoads(c.blockBytes) % CHASE_LOADS_PER_PASS, 0) << c.blockBytes;
    }
    options.latency = true;
    options.maxBlockBytes = 256;
    ASSERT_EQ(runWith(options).exitCode, 0);
    for (const KernelCall& call : chaseCalls()) {
        EXPECT_EQ(int64_t{call.lineCount} * CHASE_LOADS_PER_PASS, 1048576);
        // The chase runs in the test buffer itself.
        EXPECT_GE(static_cast<const unsigned char*>(call.base), fakeTestBuffer());
        EXPECT_LT(static_cast<const unsigned char*>(call.base), fakeTestBuffer() + 256);
    }
}

// A neighbour only ever adds time: each cell is the fastest repetition, and
// in cycles it uses the row's core clock.
TEST_F(ExtendedRun, LatencyCellsAreTheFastestRepetitionInNanosecondsOrCycles) {
    options.latency = true;
    options.maxBlockBytes = 128;
    options.perCycle = true;
    fakeKernels.coreCyclesPerTick = 1.25;  // 3750 MHz at the 3000 MHz counter
    // Each throughput row is a warm-up and 8 + 6 + 6 + 11 + 7 + 7 cells; then
    // three repetitions per latency cell.
    fakeKernels.elapsedSequence = std::vector<uint64_t>(6 + 45, 30000000);
    for (uint64_t ticks : {9000000, 3000000, 6000000}) fakeKernels.elapsedSequence.push_back(ticks);
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    const std::vector<std::string> table = linesFrom(run.out, "load latency", 4);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[1], "core clock:3750MHz");
    std::ostringstream cycles;
    cycles << 3000000.0 / 3000.0 * 1000.0 / 1048576.0 * 3750.0 / 1000.0 << "c";
    EXPECT_EQ(splitFields(table[3])[1], cycles.str());
}

// The others wait: every chase runs on the first member's processor, on its
// buffer, and no throughput cell runs meanwhile.
TEST_F(ExtendedRun, LatencyWithThreadsRunsOnTheFirstProcessorAlone) {
    options.latency = true;
    options.threads = 2;
    options.maxBlockBytes = 128;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<KernelCall> chases = chaseCalls();
    ASSERT_EQ(chases.size(), 3u * LATENCY_REPETITIONS);
    for (const KernelCall& call : chases) {
        EXPECT_EQ(call.processor, 1);
        EXPECT_EQ(static_cast<const unsigned char*>(call.base) - fakeTestBuffer() < 128, true);
    }
    const size_t firstChase = fakeKernels.calls.size() - chases.size();
    for (size_t k = firstChase; k < fakeKernels.calls.size(); ++k) EXPECT_EQ(fakeKernels.calls[k].function, "chaseLoads");
    EXPECT_EQ(fakeSystem.threadsJoined, 1);
}

TEST_F(ExtendedRun, HugePagesPrintTheShareObtainedOrSayWhyNone) {
    const struct {
        double share;
        int threads;
        const char* pagesLine;
        std::string err;
    } cases[] = {
        {1.0, 1, "Pages:2MB (100%)", ""},
        {0.5, 1, "Pages:2MB (50%)", ""},
        {0.004, 1, "Pages:2MB (1%)", ""},
        {1.0, 2, "Pages:2MB (100%)", ""},
        {0.0, 1, "Pages:4KB",
         "kestrune: --huge-pages: no 2MB pages are reserved for it (/proc/sys/vm/nr_hugepages); "
         "the run goes on with 4KB pages\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        fakeSystem.hugePageShare = c.share;
        options.hugePages = true;
        options.threads = c.threads;
        options.maxBlockBytes = 128;
        const ProgramRun run = runWith(options);
        ASSERT_EQ(run.exitCode, 0) << c.pagesLine;
        EXPECT_EQ(run.err, c.err) << c.pagesLine;
        // Every buffer was asked for on 2 MiB pages, the team's too.
        EXPECT_EQ(fakeSystem.hugePageRequests, c.threads) << c.pagesLine;
        const std::vector<std::string> lines = linesFrom(run.out, "CPU clock:3000MHz", c.threads > 1 ? 4 : 3);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[lines.size() - 2], c.pagesLine);
        EXPECT_EQ(lines.back(), "Speed check start.");
    }
    // Without the option nothing is asked and nothing printed.
    SetUp();
    options.hugePages = false;
    options.threads = 1;
    const ProgramRun plain = runWith(options);
    EXPECT_EQ(fakeSystem.hugePageRequests, 0);
    EXPECT_EQ(linesFrom(plain.out, "CPU clock:3000MHz", 2).back(), "Speed check start.");
}

TEST_F(ExtendedRun, LatencyCellsAreRecordsOfTheirOwnInJsonAndCsv) {
    const std::string json = testing::TempDir() + "latency.json";
    const std::string csv = testing::TempDir() + "latency.csv";
    options.latency = true;
    options.perCycle = true;
    options.maxBlockBytes = 128;
    options.jsonPath = json.c_str();
    options.csvPath = csv.c_str();
    fakeKernels.coreCyclesPerTick = 1.25;
    ASSERT_EQ(runWith(options).exitCode, 0);
    std::ifstream jsonFile(json), csvFile(csv);
    std::stringstream jsonText, csvText;
    jsonText << jsonFile.rdbuf();
    csvText << csvFile.rdbuf();
    std::ostringstream ns, cycles;
    ns << std::setprecision(17) << 30000000.0 / 3000.0 * 1000.0 / 1048576.0;
    cycles << std::setprecision(17) << 30000000.0 / 3000.0 * 1000.0 / 1048576.0 * 3750.0 / 1000.0;
    std::vector<std::string> latencyLines;
    for (const std::string& line : splitLines(jsonText.str())) {
        if (line.find("\"latency\"") != std::string::npos) latencyLines.push_back(line);
    }
    ASSERT_EQ(latencyLines.size(), 3u);
    const char* columns[] = {"RANDOM", "IN-PAGE", "SEQUENTIAL"};
    for (size_t k = 0; k < 3; ++k) {
        const std::string& line = latencyLines[k];
        EXPECT_NE(line.find("\"column\": \"" + std::string(columns[k]) + "\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"ns_per_load\": " + ns.str()), std::string::npos) << line;
        EXPECT_NE(line.find("\"core_mhz\": 3750"), std::string::npos) << line;
        EXPECT_NE(line.find("\"cycles_per_load\": " + cycles.str()), std::string::npos) << line;
        EXPECT_EQ(line.find("bytes_per_second"), std::string::npos) << line;
    }
    const std::vector<std::string> rows = splitLines(csvText.str());
    const std::vector<std::string> header = split(rows.front(), ',');
    ASSERT_EQ(header.size(), 16u);
    EXPECT_EQ(header[12], "column");
    EXPECT_EQ(header[13], "ns_per_load");
    EXPECT_EQ(header[15], "cycles_per_load");
    for (const std::string& row : rows) EXPECT_EQ(split(row, ',').size(), header.size()) << row;
    const std::vector<std::string> last = split(rows.back(), ',');
    EXPECT_EQ(last[0], "latency");
    EXPECT_EQ(last[12], "SEQUENTIAL");
    EXPECT_EQ(last[13], ns.str());
    EXPECT_EQ(last[15], cycles.str());
    std::remove(json.c_str());
    std::remove(csv.c_str());
}

}  // namespace
