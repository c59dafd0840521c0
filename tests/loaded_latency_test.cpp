// The loaded-latency table (--loaded-latency) against the fake system: the
// command lines it refuses, where the table stands and what it runs, the
// records it writes, and one row on a team of real threads with kernels
// that keep a shared clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/loaded_latency.h"
#include "driver/loaded_row.h"
#include "driver/loader_delay.h"
#include "driver/options.h"
#include "driver/thread_team.h"
#include "kernels/timing_record.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"
#include "tests/program_run.h"

namespace {

struct Parsed {
    OptionsOutcome outcome;
    RunOptions options;
    std::string out, err;
};

Parsed parse(std::vector<std::string> arguments) {
    static std::vector<std::string> kept;  // the options point into them
    kept = std::move(arguments);
    kept.insert(kept.begin(), "kestrune");
    std::vector<char*> argv;
    for (std::string& argument : kept) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    CapturedOutput capture;
    Parsed parsed;
    parsed.outcome = parseOptions(static_cast<int>(kept.size()), argv.data(), &parsed.options);
    parsed.out = capture.out.str();
    parsed.err = capture.err.str();
    return parsed;
}

class LoadedLatency : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.processMask = 0x7;  // three processors: a chaser and two loaders
        fakeSystem.detectedMask = CAP_CLASSIC;
    }
};

TEST_F(LoadedLatency, TheTeamIsEveryProcessorUnlessThreadsSaysAndTheBlockIsMaxSizeOrOneGigabyte) {
    const struct {
        std::vector<std::string> arguments;
        int threads;
        int64_t blockBytes;
        Direction load;
    } cases[] = {
        {{"--loaded-latency"}, 3, int64_t{1} << 30, Direction::READ},
        {{"--loaded-latency", "--threads", "2", "--max-size", "64MB"}, 2, int64_t{64} << 20, Direction::READ},
        {{"--loaded-latency", "--max-size", "32MB", "--load", "write"}, 3, int64_t{32} << 20, Direction::WRITE},
        {{"--load=copy", "--loaded-latency"}, 3, int64_t{1} << 30, Direction::COPY},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.arguments);
        ASSERT_EQ(parsed.outcome, OptionsOutcome::RUN) << parsed.err;
        EXPECT_TRUE(parsed.options.loadedLatency);
        EXPECT_EQ(parsed.options.loadedThreads, c.threads) << c.arguments.size();
        EXPECT_EQ(parsed.options.loadedBlockBytes, c.blockBytes) << c.arguments.size();
        EXPECT_EQ(parsed.options.load, c.load) << c.arguments.size();
    }
    // The tables before it keep their one processor.
    EXPECT_EQ(parse({"--loaded-latency"}).options.threads, 1);
}

// One line naming the option and what it needs, nothing on standard output,
// before anything is measured.
TEST_F(LoadedLatency, CommandLinesItCannotTakeAreUsageErrors) {
    const struct {
        uint32_t processMask;
        OsFamily family;
        std::vector<std::string> arguments;
        const char* named;
        const char* says;
    } cases[] = {
        {0x1, OsFamily::NT, {"--loaded-latency"}, "--loaded-latency", "needs two processors or more"},
        {0x7, OsFamily::NT, {"--loaded-latency", "--threads", "1"}, "--loaded-latency", "--threads gives it 1"},
        {0x7, OsFamily::WIN9X, {"--loaded-latency"}, "--loaded-latency", "this process may use 1"},
        {0x7, OsFamily::NT, {"--loaded-latency", "--load", "fill"}, "--load", "expected read, write or copy"},
        {0x7, OsFamily::NT, {"--loaded-latency", "--load", "READ"}, "--load", "expected read, write or copy"},
        {0x7, OsFamily::NT, {"--loaded-latency", "--load"}, "--load", "needs a value"},
        {0x7, OsFamily::NT, {"--load", "write"}, "--load", "only with --loaded-latency"},
    };
    for (const auto& c : cases) {
        SetUp();
        fakeSystem.processMask = c.processMask;
        fakeSystem.family = c.family;
        const Parsed parsed = parse(c.arguments);
        EXPECT_EQ(parsed.outcome, OptionsOutcome::USAGE_ERROR) << c.says;
        EXPECT_EQ(parsed.out, "");
        EXPECT_EQ(parsed.err, std::string("kestrune: ") + c.named + ": " +
                                  parsed.err.substr(std::string("kestrune: ").size() + std::strlen(c.named) + 2));
        EXPECT_NE(parsed.err.find(c.says), std::string::npos) << parsed.err;
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

RunOptions loadedOptions(std::vector<std::string> arguments) {
    const Parsed parsed = parse(std::move(arguments));
    EXPECT_EQ(parsed.outcome, OptionsOutcome::RUN) << parsed.err;
    return parsed.options;
}

// The rows' labels, from the line under the header to the end.
std::vector<std::string> rowLabels(const std::vector<std::string>& out, size_t header) {
    std::vector<std::string> labels;
    for (size_t i = header + 1; i < out.size(); ++i) labels.push_back(out[i].substr(0, out[i].find('\t')));
    return labels;
}

TEST_F(LoadedLatency, TheTableComesLastWithARowPerDelayAndTheWidestLoaderOfIsa) {
    const struct {
        std::vector<std::string> arguments;
        CapabilityMask detected;
        ExtendedSupport extended;
        const char* loader;
        const char* description;
    } cases[] = {
        {{"--loaded-latency", "--max-size", "4KB", "--latency"}, CAP_CLASSIC, {}, "loadReadMovdqu",
         "block:4KB load:read MOVDQU loaders:2"},
        // The processor's AVX-512 counts only when --isa names it.
        {{"--loaded-latency", "--max-size", "4KB"}, CAP_CLASSIC, {CAP_AVX | CAP_AVX512F, CAP_AVX | CAP_AVX512F},
         "loadReadMovdqu", "block:4KB load:read MOVDQU loaders:2"},
        {{"--loaded-latency", "--max-size", "4KB", "--isa", "all", "--load", "copy"}, CAP_CLASSIC,
         {CAP_AVX | CAP_AVX512F, CAP_AVX | CAP_AVX512F}, "loadCopyVmovdqu64",
         "block:4KB load:copy VMOVDQU64(512) loaders:2"},
        {{"--loaded-latency", "--max-size", "4KB", "--isa", "all", "--load", "write", "--threads", "2"},
         CAP_CLASSIC, {CAP_AVX, CAP_AVX}, "loadWriteVmovdqu", "block:4KB load:write VMOVDQU(256) loaders:1"},
    };
    for (const auto& c : cases) {
        SetUp();
        fakeSystem.detectedMask = c.detected;
        fakeSystem.extended = c.extended;
        const RunOptions options = loadedOptions(c.arguments);
        const ProgramRun run = runWith(options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        // The title, the description, the header, then the rows, and nothing after.
        const auto title = std::find(run.out.begin(), run.out.end(), "loaded latency");
        ASSERT_NE(title, run.out.end());
        const size_t header = static_cast<size_t>(title - run.out.begin()) + 2;
        ASSERT_LT(header, run.out.size());
        EXPECT_EQ(run.out[header - 1], c.description);
        EXPECT_EQ(run.out[header], "DELAY:\tLATENCY\tBANDWIDTH");
        std::vector<std::string> expected;
        for (const int32_t delay : LOADED_DELAYS) expected.push_back(std::to_string(delay) + ":");
        expected.push_back("idle:");
        EXPECT_EQ(rowLabels(run.out, header), expected);
        if (options.latency) {
            EXPECT_LT(std::find(run.out.begin(), run.out.end(), "load latency"), title);
        }
        // Every loader call is the widest kernel, each on a loader's processor (1 and 2, never
        // the chaser's 0), with the turns the calibration found for its row's delay, in order.
        std::vector<int32_t> turnsSeen;
        size_t loaderCalls = 0;
        for (size_t k = 0; k < fakeKernels.calls.size(); ++k) {
            const KernelCall& call = fakeKernels.calls[k];
            if (call.function.rfind("load", 0) != 0) continue;
            EXPECT_EQ(call.function, c.loader);
            EXPECT_NE(call.processor, 0);
            EXPECT_EQ(call.blockLines, 4096 / LINE_BYTES);
            const int32_t turns = fakeKernels.loaderTurns[loaderCalls++];
            if (turnsSeen.empty() || turnsSeen.back() != turns) turnsSeen.push_back(turns);
        }
        // The fake busy-wait takes a cycle per turn: each delay is its own turns.
        EXPECT_EQ(turnsSeen, std::vector<int32_t>(std::begin(LOADED_DELAYS), std::end(LOADED_DELAYS)));
        // The team was started for the table and joined before the run ended.
        EXPECT_EQ(fakeSystem.threadsJoined, fakeSystem.threadsStarted);
        EXPECT_EQ(fakeSystem.releases, fakeSystem.allocations);
    }
}

TEST_F(LoadedLatency, RecordsCarryTheDelayTheLoadAndTheBandwidth) {
    const std::string path = testing::TempDir() + "loaded_latency_records.json";
    std::vector<std::string> arguments = {"--loaded-latency", "--max-size", "4KB", "--load", "copy",
                                          "--per-cycle", "--json", path};
    const RunOptions options = loadedOptions(arguments);
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> loaded;
    for (const std::string& line : splitLines(text.str())) {
        if (line.find("\"direction\": \"loaded_latency\"") != std::string::npos) loaded.push_back(line);
    }
    ASSERT_EQ(loaded.size(), std::size(LOADED_DELAYS) + 1);
    for (size_t k = 0; k < loaded.size(); ++k) {
        const std::string& record = loaded[k];
        EXPECT_NE(record.find("\"load\": \"copy\""), std::string::npos) << record;
        EXPECT_NE(record.find("\"block_bytes\": 4096"), std::string::npos) << record;
        EXPECT_NE(record.find("\"threads\": 3"), std::string::npos) << record;
        EXPECT_NE(record.find("\"bandwidth_bytes_per_second\": "), std::string::npos) << record;
        EXPECT_NE(record.find("\"cycles_per_load\": "), std::string::npos) << record;
        EXPECT_NE(record.find("\"unit\": \"c\""), std::string::npos) << record;
        // No instruction or alignment of the throughput cells.
        EXPECT_EQ(record.find("\"instruction\""), std::string::npos) << record;
        EXPECT_EQ(record.find("\"alignment_bytes\""), std::string::npos) << record;
        const bool idle = k + 1 == loaded.size();
        EXPECT_EQ(record.find("\"delay_cycles\""), idle ? std::string::npos : record.find("\"delay_cycles\""));
        if (!idle) {
            EXPECT_NE(record.find("\"delay_cycles\": " + std::to_string(LOADED_DELAYS[k]) + ","), std::string::npos)
                << record;
        }
    }
    EXPECT_NE(loaded.back().find("\"bandwidth_bytes_per_second\": 0}"), std::string::npos) << loaded.back();
}

// The chaser and each loader on a processor of its own, in the run without
// --threads too, whose earlier tables keep to the first processor.
TEST_F(LoadedLatency, TheChaserAndEveryLoaderRunOnProcessorsOfTheirOwn) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--loaded-latency", "--max-size", "4KB"},
          std::vector<std::string>{"--loaded-latency", "--max-size", "4KB", "--threads", "3"}}) {
        SetUp();
        const ProgramRun run = runWith(loadedOptions(arguments));
        ASSERT_EQ(run.exitCode, 0) << run.err;
        std::vector<ProcessorId> pins = fakeSystem.threadPins;
        ASSERT_GE(pins.size(), 3u);
        // The loaded table's team pins last: the chaser, then its loaders.
        pins.erase(pins.begin(), pins.end() - 3);
        std::sort(pins.begin(), pins.end(), [](const ProcessorId& a, const ProcessorId& b) {
            return a.number < b.number;
        });
        EXPECT_EQ(pins, (std::vector<ProcessorId>{{0, 0}, {0, 1}, {0, 2}})) << arguments.size();
    }
}

// As in the other tables: an interruption ends the table between rows, the
// team is joined, and the run's status is the interruption's; the progress
// line names the table and the row.
TEST_F(LoadedLatency, AnInterruptionStopsItBetweenRowsAndTheProgressLineNamesItsRows) {
    const std::vector<std::string> arguments = {"--loaded-latency", "--max-size", "4KB", "--json", "-"};
    fakeSystem.standardErrorIsTerminal = true;
    ProgramRun run = runWith(loadedOptions(arguments));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("\rkestrune: loaded latency, row 0, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\rkestrune: loaded latency, row 20000, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\rkestrune: loaded latency, row idle, "), std::string::npos) << run.err;
    size_t before = 0;
    while (fakeKernels.calls[before].function.rfind("load", 0) != 0) ++before;
    // The chase of the first row follows its first loader's chunk.
    EXPECT_EQ(std::count_if(fakeKernels.calls.begin(), fakeKernels.calls.begin() + static_cast<long>(before),
                            [](const KernelCall& call) { return call.function == "chaseLoads"; }),
              0);

    SetUp();
    fakeSystem.interruptAfterKernelCalls = static_cast<int>(before) + 1;
    fakeSystem.interruptionStatus = 130;
    run = runWith(loadedOptions({"--loaded-latency", "--max-size", "4KB"}));
    EXPECT_EQ(run.exitCode, 130);
    const auto title = std::find(run.out.begin(), run.out.end(), "loaded latency");
    ASSERT_NE(title, run.out.end());
    EXPECT_EQ(rowLabels(run.out, static_cast<size_t>(title - run.out.begin()) + 2),
              std::vector<std::string>{"0:"});
    EXPECT_EQ(fakeSystem.threadsJoined, fakeSystem.threadsStarted);
}

// A chunk counts the share of its bytes its ticks inside the span give.
TEST(LoadedRow, ARowCountsOnlyTheBytesMovedInsideItsSpan) {
    const struct {
        std::vector<LoaderChunk> chunks;
        double bytes;
    } cases[] = {
        {{{200, 300, 1000}}, 1000},                    // wholly inside
        {{{50, 150, 1000}}, 500},                      // straddles the start
        {{{350, 450, 1000}}, 500},                     // straddles the end
        {{{0, 1000, 1000}}, 300},                      // covers the span
        {{{0, 100, 1000}, {400, 500, 1000}}, 0},       // touch it from outside
        {{{250, 250, 64}, {99, 99, 64}}, 64},          // of no ticks: inside or not
        {{{0, 100, 1000}, {100, 250, 300}, {250, 450, 400}}, 300 + 300},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(bytesInsideSpan(c.chunks, 100, 400), c.bytes);
}

// Kernels of a real row's shape on one shared clock: a chase that takes its
// time, and loaders whose chunks each take a tick at each end.
std::atomic<uint64_t> sharedClock{0};

void* slowChase(void* start, int32_t) {
    timingRecord.startTicks = sharedClock.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    timingRecord.endTicks = sharedClock.fetch_add(1);
    timingRecord.elapsedTicks = timingRecord.endTicks - timingRecord.startTicks;
    return start;
}

void clockedLoader(const LoaderSweep* sweep) {
    timingRecord.startTicks = sharedClock.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200 + sweep->lineCount % 7));
    timingRecord.endTicks = sharedClock.fetch_add(1);
    timingRecord.elapsedTicks = timingRecord.endTicks - timingRecord.startTicks;
}

TEST(LoadedRow, TheLoadersStreamFromBeforeTheChaseStartsUntilAfterItEnds) {
    resetFakes();
    unsigned char buffer[256];
    ASSERT_TRUE(startThreadTeam(3, {}, buffer, sizeof buffer));
    LoadedRowPlan plan;
    plan.chase = slowChase;
    plan.chasePasses = 1;
    plan.repetitions = 2;
    plan.loader = clockedLoader;
    plan.blockLines = 64;
    plan.busBytesPerLine = 128;
    plan.chunkTicks = 1;
    const LoadedRowResult result = runLoadedRow(plan);
    ASSERT_EQ(result.chunks.size(), 2u);
    ASSERT_EQ(result.samplesTicks.size(), 2u);
    double inside = 0;
    for (const std::vector<LoaderChunk>& chunks : result.chunks) {
        ASSERT_GE(chunks.size(), 2u);
        // A whole chunk before the chase, and one still running at its end.
        EXPECT_LT(chunks.front().endTicks, result.spanStart);
        EXPECT_GT(chunks.back().endTicks, result.spanEnd);
        inside += bytesInsideSpan(chunks, result.spanStart, result.spanEnd);
    }
    EXPECT_DOUBLE_EQ(result.loaderBytes, inside);
    EXPECT_GT(result.loaderBytes, 0.0);
    // The idle row: the loaders run nothing, the chase runs alone.
    plan.loader = nullptr;
    const LoadedRowResult idle = runLoadedRow(plan);
    for (const std::vector<LoaderChunk>& chunks : idle.chunks) EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(idle.loaderBytes, 0.0);
    stopThreadTeam();
    EXPECT_EQ(fakeSystem.threadsJoined, 2);
}

}  // namespace
