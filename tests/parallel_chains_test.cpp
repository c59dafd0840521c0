// The parallel chains: the chains' order, followed pointer by pointer, and
// the table the run prints against the fake system, its columns on each
// target, its cells, its kernel calls and its records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "driver/latency_chase.h"
#include "driver/latency_table.h"
#include "driver/parallel_chains_table.h"
#include "kernels/chase_chains.h"
#include "kernels/chase_loads.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"
#include "tests/program_run.h"

namespace {

// Every chain count of either target, and three that are neither.
const int CHAIN_COUNTS[] = {1, 2, 3, 4, 6, 8, 12, 5};
const int64_t BLOCK_SIZES[] = {128, 512, 4096, 65536, int64_t{4} << 20};

// The lines of chain `chain` from its start, where its kernel starts it, once
// round: the trip stops at the first pointer that leaves the block or misses
// the chain's own offset in a line, or when the chain comes back to its start.
struct ChainTrip {
    std::vector<int64_t> lines;
    std::string fault;
};

ChainTrip followChain(const unsigned char* block, int64_t blockBytes, int chain) {
    ChainTrip trip;
    const unsigned char* const start = block + chain * CHASE_CHAIN_START_BYTES;
    const unsigned char* at = start;
    do {
        const int64_t offset = at - block;
        if (offset < 0 || offset >= blockBytes || offset % CHASE_LINE_BYTES != chainPointerOffset(chain)) {
            trip.fault = "pointer " + std::to_string(offset) + " bytes from the block";
            return trip;
        }
        trip.lines.push_back(offset / CHASE_LINE_BYTES);
        if (static_cast<int64_t>(trip.lines.size()) > blockBytes / CHASE_LINE_BYTES) {
            trip.fault = "the chain does not come back to its start";
            return trip;
        }
        std::memcpy(&at, at, sizeof at);
    } while (at != start);
    return trip;
}

TEST(ParallelChainsChase, EveryChainIsOneCycleFromItsOwnLineAndTogetherTheyHoldEveryLineOnce) {
    for (const int64_t blockBytes : BLOCK_SIZES) {
        const int64_t lines = blockBytes / CHASE_LINE_BYTES;
        for (const int chains : CHAIN_COUNTS) {
            if (!chainsFit(blockBytes, chains)) continue;
            const std::string where = std::to_string(chains) + " chains in " + std::to_string(blockBytes) + "B";
            std::vector<unsigned char> block(static_cast<size_t>(blockBytes), 0xEE);
            ASSERT_TRUE(buildChains(block.data(), blockBytes, chains)) << where;
            std::vector<int> owner(static_cast<size_t>(lines), -1);
            for (int chain = 0; chain < chains; ++chain) {
                const ChainTrip trip = followChain(block.data(), blockBytes, chain);
                ASSERT_EQ(trip.fault, "") << where << ", chain " << chain;
                for (const int64_t line : trip.lines) {
                    ASSERT_EQ(owner[line], -1) << where << ": line " << line << " in chains " << owner[line]
                                               << " and " << chain;
                    owner[line] = chain;
                }
            }
            for (int64_t line = 0; line < lines; ++line) ASSERT_NE(owner[line], -1) << where << " line " << line;
        }
    }
}

// Chains whose pointers shared a place in their lines would queue for one
// bank of the first-level cache: eight chains, eight places.
TEST(ParallelChainsChase, EightChainsKeepTheirPointersAtEightPlacesInTheirLines) {
    std::vector<int64_t> places;
    for (int chain = 0; chain < 8; ++chain) {
        places.push_back(int64_t{chain} * CHASE_CHAIN_START_BYTES % CHASE_LINE_BYTES);
    }
    std::sort(places.begin(), places.end());
    EXPECT_EQ(std::unique(places.begin(), places.end()) - places.begin(), 8);
    for (const int64_t place : places) EXPECT_LE(place + static_cast<int64_t>(sizeof(void*)), CHASE_LINE_BYTES);
}

// One chain is the latency table's RANDOM cycle, so the first column and
// RANDOM time the same chase.
TEST(ParallelChainsChase, OneChainIsTheRandomCycle) {
    const int64_t blockBytes = 65536;
    std::vector<unsigned char> chains(blockBytes), random(blockBytes);
    ASSERT_TRUE(buildChains(chains.data(), blockBytes, 1));
    ASSERT_EQ(buildChase(random.data(), blockBytes, ChaseOrder::RANDOM), random.data());
    const ChainTrip one = followChain(chains.data(), blockBytes, 0);
    const ChainTrip other = followChain(random.data(), blockBytes, 0);
    EXPECT_EQ(one.lines, other.lines);
}

// Every cell runs at least the latency table's loads, in whole passes, so
// that each chain goes at least once round its cycle.
TEST(ParallelChainsChase, EveryChainGoesRoundItsCycleInWholePasses) {
    for (const int64_t blockBytes : {int64_t{128}, int64_t{1} << 20, int64_t{1} << 30, int64_t{4} << 30}) {
        const int64_t lines = blockBytes / CHASE_LINE_BYTES;
        for (const int chains : CHAIN_COUNTS) {
            const int64_t perChain = int64_t{chainPasses(blockBytes, chains)} * CHASE_LOADS_PER_PASS;
            EXPECT_GE(perChain * chains, latencyLoads(blockBytes)) << chains << " chains, " << blockBytes;
            EXPECT_LT((perChain - CHASE_LOADS_PER_PASS) * chains, latencyLoads(blockBytes)) << chains;
            EXPECT_GE(perChain, (lines + chains - 1) / chains) << chains << " chains, " << blockBytes;
        }
    }
}

std::vector<std::string> linesFrom(const std::vector<std::string>& out, const std::string& first) {
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == first) return std::vector<std::string>(out.begin() + i, out.end());
    }
    return {};
}

std::vector<KernelCall> chainCalls() {
    std::vector<KernelCall> calls;
    for (const KernelCall& call : fakeKernels.calls) {
        if (call.function.rfind("chaseChains", 0) == 0) calls.push_back(call);
    }
    return calls;
}

std::string nsCell(double ticks, int64_t loads) {
    std::ostringstream cell;
    cell << ticks / 3000.0 * 1000.0 / static_cast<double>(loads) << "ns";
    return cell.str();
}

class ParallelChainsTable : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.detectedMask = CAP_CLASSIC;
        fakeSystem.processMask = 0x6;
        fakeSystem.systemMask = 0x7;
        options.parallelChains = true;
    }
    RunOptions options;
};

// The columns are this target's chain counts: as many chains as its general
// registers hold.
#if defined(__x86_64__)
const std::vector<int> TARGET_CHAINS = {1, 2, 4, 8, 12};
const char* const TARGET_HEADER = "SIZE:\t1\t2\t4\t8\t12";
#else
const std::vector<int> TARGET_CHAINS = {1, 2, 4, 6};
const char* const TARGET_HEADER = "SIZE:\t1\t2\t4\t6";
#endif

// After every other table, the latency table's too; a cell whose block has
// fewer lines than chains is not measured.
TEST_F(ParallelChainsTable, IsTheLastTableWithAColumnPerChainCountOfTheTarget) {
    options.latency = true;
    options.maxBlockBytes = 1024;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> table = linesFrom(run.out, "parallel chains");
    ASSERT_EQ(table.size(), 2u + 4u);
    EXPECT_EQ(table[1], TARGET_HEADER);
    const char* labels[] = {"128B:", "256B:", "512B:", "1KB:"};
    for (size_t row = 0; row < 4; ++row) {
        const int64_t blockBytes = int64_t{128} << row;
        std::string expected = labels[row];
        for (const int chains : TARGET_CHAINS) {
            const bool fits = chains <= blockBytes / CHASE_LINE_BYTES;
            const int64_t loads = int64_t{chainPasses(blockBytes, chains)} * CHASE_LOADS_PER_PASS * chains;
            expected += "\t" + (fits ? nsCell(30000000.0, loads) : std::string("-"));
        }
        EXPECT_EQ(table[2 + row], expected);
    }
    // The latency table came before: its chase ran before the first chains.
    const std::vector<KernelCall> calls = chainCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(fakeKernels.calls[fakeKernels.calls.size() - calls.size() - 1].function, "chaseLoads");
    EXPECT_NE(std::find(run.out.begin(), run.out.end(), "load latency"), run.out.end());
}

// Each cell: its chains built in the test buffer, the kernel of its count
// called with the buffer and the cell's passes, the fastest of the
// repetitions, on the first processor alone while the others wait.
TEST_F(ParallelChainsTable, EachCellIsTheFastestRunOfItsKernelOnTheFirstProcessor) {
    options.maxBlockBytes = 1024;
    options.threads = 2;
    options.perCycle = true;
    fakeKernels.coreCyclesPerTick = 1.25;  // 3750 MHz at the 3000 MHz counter
    ASSERT_EQ(runWith(options).exitCode, 0);
    const size_t before = fakeKernels.calls.size() - chainCalls().size();
    std::vector<uint64_t> sequence(before, 30000000);
    for (uint64_t ticks : {9000000, 3000000, 6000000}) sequence.push_back(ticks);
    SetUp();
    options.maxBlockBytes = 1024;
    options.threads = 2;
    options.perCycle = true;
    fakeKernels.coreCyclesPerTick = 1.25;
    fakeKernels.elapsedSequence = sequence;
    fakeKernels.elapsedSequence.resize(sequence.size() + 1000, 30000000);
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<std::string> table = linesFrom(run.out, "parallel chains");
    ASSERT_GE(table.size(), 3u);
    EXPECT_EQ(table[1], "core clock:3750MHz");
    std::ostringstream cycles;
    cycles << 3000000.0 / 3000.0 * 1000.0 / (chainPasses(128, 1) * CHASE_LOADS_PER_PASS) * 3750.0 / 1000.0 << "c";
    EXPECT_EQ(splitFields(table[3])[1], cycles.str());

    size_t expectedCalls = 0;
    for (int64_t blockBytes = 128; blockBytes <= 1024; blockBytes *= 2) {
        for (const int chains : TARGET_CHAINS) expectedCalls += chains <= blockBytes / CHASE_LINE_BYTES;
    }
    const std::vector<KernelCall> calls = chainCalls();
    ASSERT_EQ(calls.size(), expectedCalls * LATENCY_REPETITIONS);
    EXPECT_EQ(fakeKernels.calls.size() - calls.size(), before);  // nothing else ran meanwhile
    size_t k = 0;
    for (int64_t blockBytes = 128; blockBytes <= 1024; blockBytes *= 2) {
        for (const int chains : TARGET_CHAINS) {
            if (chains > blockBytes / CHASE_LINE_BYTES) continue;
            for (int r = 0; r < LATENCY_REPETITIONS; ++r, ++k) {
                EXPECT_EQ(calls[k].function, "chaseChains" + std::to_string(chains));
                EXPECT_EQ(calls[k].base, fakeTestBuffer());
                EXPECT_EQ(calls[k].lineCount, chainPasses(blockBytes, chains));
                EXPECT_EQ(calls[k].processor, 1);
            }
        }
    }
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A record per measured cell, none for the cells that could not be: the
// chain count, ns and cycles per load, no throughput field and no latency
// column; in the CSV the chains column follows the others.
TEST_F(ParallelChainsTable, CellsAreRecordsOfTheirOwnInJsonAndCsv) {
    const std::string json = testing::TempDir() + "chains.json";
    const std::string csv = testing::TempDir() + "chains.csv";
    options.perCycle = true;
    options.maxBlockBytes = 128;
    options.jsonPath = json.c_str();
    options.csvPath = csv.c_str();
    fakeKernels.coreCyclesPerTick = 1.25;
    ASSERT_EQ(runWith(options).exitCode, 0);
    std::vector<std::string> chainLines;
    for (const std::string& line : splitLines(contents(json))) {
        if (line.find("\"parallel_chains\"") != std::string::npos) chainLines.push_back(line);
    }
    ASSERT_EQ(chainLines.size(), 2u);  // 128 bytes hold two lines: one chain and two
    for (size_t k = 0; k < chainLines.size(); ++k) {
        const std::string& line = chainLines[k];
        const int chains = TARGET_CHAINS[k];
        const double ns = 30000000.0 / 3000.0 * 1000.0 / (chainPasses(128, chains) * CHASE_LOADS_PER_PASS * chains);
        std::ostringstream nsText, cyclesText;
        nsText << std::setprecision(17) << ns;
        cyclesText << std::setprecision(17) << ns * 3750.0 / 1000.0;
        EXPECT_NE(line.find("\"chains\": " + std::to_string(chains)), std::string::npos) << line;
        EXPECT_NE(line.find("\"block_bytes\": 128, \"block\": \"128B\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"ns_per_load\": " + nsText.str()), std::string::npos) << line;
        EXPECT_NE(line.find("\"cycles_per_load\": " + cyclesText.str()), std::string::npos) << line;
        EXPECT_NE(line.find("\"threads\": 1"), std::string::npos) << line;
        for (const char* absent : {"bytes_per_second", "\"column\"", "\"instruction\"", "alignment_bytes"}) {
            EXPECT_EQ(line.find(absent), std::string::npos) << absent << " in " << line;
        }
    }
    const std::vector<std::string> rows = splitLines(contents(csv));
    const std::vector<std::string> header = split(rows.front(), ',');
    EXPECT_EQ(header.back(), "chains");
    EXPECT_EQ(std::find(header.begin(), header.end(), "column"), header.end());  // no latency table ran
    for (const std::string& row : rows) EXPECT_EQ(split(row, ',').size(), header.size()) << row;
    const std::vector<std::string> last = split(rows.back(), ',');
    EXPECT_EQ(last.front(), "parallel_chains");
    EXPECT_EQ(last.back(), "2");
    std::remove(json.c_str());
    std::remove(csv.c_str());
}

// Interrupted, the table stops after the cell it is in and the run ends
// with the signal's status; the row stays as far as it was printed.
TEST_F(ParallelChainsTable, AnInterruptionStopsAfterTheCellItIsIn) {
    options.maxBlockBytes = 256;
    ASSERT_EQ(runWith(options).exitCode, 0);
    const size_t before = fakeKernels.calls.size() - chainCalls().size();
    SetUp();
    options.maxBlockBytes = 256;
    fakeSystem.interruptAfterKernelCalls = static_cast<int>(before) + LATENCY_REPETITIONS;
    fakeSystem.interruptionStatus = 143;
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 143);
    const std::vector<std::string> table = linesFrom(run.out, "parallel chains");
    ASSERT_EQ(table.size(), 3u);
    const std::vector<std::string> row = splitFields(table[2]);
    ASSERT_EQ(row.size(), 3u) << table[2];  // the label, the first cell and the tab after it
    EXPECT_EQ(row[0], "128B:");
    EXPECT_EQ(row[2], "");
    EXPECT_EQ(chainCalls().size(), static_cast<size_t>(LATENCY_REPETITIONS));
}

// With the data on standard output and a terminal on standard error, the
// progress line names the table and its row.
TEST_F(ParallelChainsTable, TheProgressLineNamesTheTableAndRow) {
    options.maxBlockBytes = 256;
    options.jsonPath = "-";
    fakeSystem.standardErrorIsTerminal = true;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("\rkestrune: parallel chains, row 128B, "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\rkestrune: parallel chains, row 256B, "), std::string::npos) << run.err;
}

// The run without the option has no such table, and runs no chains.
TEST_F(ParallelChainsTable, WithoutTheOptionThereIsNone) {
    options.parallelChains = false;
    options.latency = true;
    options.maxBlockBytes = 256;
    const ProgramRun run = runWith(options);
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_TRUE(linesFrom(run.out, "parallel chains").empty());
    EXPECT_TRUE(chainCalls().empty());
}

}  // namespace
