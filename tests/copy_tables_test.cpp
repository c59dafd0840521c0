// The copy and fill tables (--copy) against the fake system: where they
// stand, their columns, the buffer they need and their records.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "driver/run_sequence.h"
#include "kernels/copy_and_fill.h"
#include "tests/captured_output.h"
#include "tests/program_run.h"
#include "tests/fakes/fake_machine.h"

namespace {

// The titles of every table, in order, and the header line under each.
std::vector<std::pair<std::string, std::string>> titledHeaders(const std::vector<std::string>& out) {
    std::vector<std::pair<std::string, std::string>> tables;
    for (size_t i = 1; i < out.size(); ++i) {
        if (out[i].rfind("SIZE:", 0) == 0) tables.push_back({out[i - 1], out[i]});
    }
    return tables;
}

class CopyRun : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.detectedMask = CAP_CLASSIC;
        options.copy = true;
        options.maxBlockBytes = 256;
    }
    RunOptions options;
};

// After the read and write tables, three copy tables and three fill tables
// in the passes' order, then the latency table, each with the columns the processor's
// extensions allow: the streaming copy only where the base starts on a page.
TEST_F(CopyRun, CopyAndFillTablesFollowTheOthersWithTheColumnsTheProcessorAllows) {
    const std::string classicCopy = "SIZE:\tREP MOVSB\tREP MOVSD\tMOVDQU\tmemcpy";
    const std::string fill = "SIZE:\tREP STOSB\tREP STOSD\tmemset";
    const struct {
        CapabilityMask isa;
        CapabilityMask detected;
        std::string copy16, copy8;
    } cases[] = {
        {CAP_CLASSIC, CAP_CLASSIC, classicCopy, classicCopy},
        // No SSE2: no MOVDQU loop; the string instructions and memcpy run everywhere.
        {CAP_CLASSIC, CAP_MMX | CAP_SSE, "SIZE:\tREP MOVSB\tREP MOVSD\tmemcpy", "SIZE:\tREP MOVSB\tREP MOVSD\tmemcpy"},
        {CAP_CLASSIC | CAP_EXTENDED, CAP_CLASSIC,
         "SIZE:\tREP MOVSB\tREP MOVSD\tMOVDQU\tVMOVDQU(256)\tVMOVDQU64(512)\tVMOVNTDQ(256)\tmemcpy",
         "SIZE:\tREP MOVSB\tREP MOVSD\tMOVDQU\tVMOVDQU(256)\tVMOVDQU64(512)\tmemcpy"},
    };
    for (const auto& c : cases) {
        SetUp();
        options.isa = c.isa;
        options.latency = true;
        fakeSystem.detectedMask = c.detected;
        fakeSystem.extended = {CAP_SSE41 | CAP_AVX | CAP_AVX512F, CAP_SSE41 | CAP_AVX | CAP_AVX512F};
        const ProgramRun run = runWith(options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto tables = titledHeaders(run.out);
        ASSERT_EQ(tables.size(), 13u) << c.copy16;
        EXPECT_EQ(tables[12].first, "load latency");
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"128bit(16byte) aligned copy", c.copy16}, {"64bit(8byte) aligned copy", c.copy8},
            {"32bit(4byte) aligned copy", c.copy8},    {"128bit(16byte) aligned fill", fill},
            {"64bit(8byte) aligned fill", fill},       {"32bit(4byte) aligned fill", fill},
        };
        const std::vector<std::pair<std::string, std::string>> copyAndFill(tables.begin() + 6, tables.begin() + 12);
        EXPECT_EQ(copyAndFill, expected);
    }
}

// The buffer holds a copy's destination past the largest block, and only
// when the copy tables run; each copy and fill kernel gets the pass's base.
TEST_F(CopyRun, TheBufferHoldsTheDestinationPastTheLargestBlockOnlyWithCopy) {
    for (bool copy : {false, true}) {
        SetUp();
        options.copy = copy;
        ASSERT_EQ(runWith(options).exitCode, 0);
        ASSERT_FALSE(fakeSystem.allocationBytes.empty());
        const int64_t reach = copy ? copyFootprintBytes(options.maxBlockBytes) : options.maxBlockBytes;
        EXPECT_EQ(fakeSystem.allocationBytes.front(), static_cast<size_t>(reach) + BUFFER_SLACK_BYTES) << copy;
        size_t copyCalls = 0;
        for (const KernelCall& call : fakeKernels.calls) {
            if (call.function.rfind("copy", 0) != 0 && call.function.rfind("fill", 0) != 0) continue;
            ++copyCalls;
            const int64_t offset = static_cast<const unsigned char*>(call.base) - fakeTestBuffer();
            EXPECT_TRUE(offset == 0 || offset == 8 || offset == 4) << call.function << " " << offset;
        }
        // Per table two rows, each a warm-up and its cells: 4 and 3 columns.
        EXPECT_EQ(copyCalls, copy ? 3u * 2 * (1 + 4) + 3u * 2 * (1 + 3) : 0u);
    }
}

// Copy and fill cells are records of direction copy and fill whose rate
// counts each byte once, with the bytes the memory system carried beside it:
// twice the rate for a copy, the rate for a fill. The CSV has their column
// only in a run that has such cells, empty in the other rows.
TEST_F(CopyRun, RecordsCarryTheCopiedRateAndTheBusBytes) {
    const std::string json = testing::TempDir() + "copy.json";
    const std::string csv = testing::TempDir() + "copy.csv";
    options.maxBlockBytes = 128;
    options.jsonPath = json.c_str();
    options.csvPath = csv.c_str();
    ASSERT_EQ(runWith(options).exitCode, 0);
    std::ifstream jsonFile(json), csvFile(csv);
    std::stringstream jsonText, csvText;
    jsonText << jsonFile.rdbuf();
    csvText << csvFile.rdbuf();
    // 2^26 bytes over 30,000,000 ticks of 3000 MHz.
    const double rate = 67108864.0 * 3000e6 / 30000000.0;
    std::ostringstream copied, copyBus;
    copied << std::setprecision(17) << rate;
    copyBus << std::setprecision(17) << 2 * rate;
    for (const std::string& line : splitLines(jsonText.str())) {
        const bool copy = line.find("\"direction\": \"copy\"") != std::string::npos;
        const bool fill = line.find("\"direction\": \"fill\"") != std::string::npos;
        if (!copy && !fill) {
            EXPECT_EQ(line.find("bus_bytes_per_second"), std::string::npos) << line;
            continue;
        }
        EXPECT_NE(line.find("\"bytes_per_second\": " + copied.str() + ","), std::string::npos) << line;
        EXPECT_NE(line.find("\"bus_bytes_per_second\": " + (copy ? copyBus.str() : copied.str()) + "}"),
                  std::string::npos)
            << line;
    }
    const std::vector<std::string> rows = splitLines(csvText.str());
    const std::vector<std::string> header = split(rows.front(), ',');
    ASSERT_EQ(header.size(), 11u);
    EXPECT_EQ(header[10], "bus_bytes_per_second");
    std::vector<std::string> directions;
    for (size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string> fields = split(rows[r], ',');
        ASSERT_EQ(fields.size(), header.size()) << rows[r];
        if (directions.empty() || directions.back() != fields[0]) directions.push_back(fields[0]);
        const std::string expected = fields[0] == "copy" ? copyBus.str() : fields[0] == "fill" ? copied.str() : "";
        EXPECT_EQ(fields[10], expected) << rows[r];
    }
    EXPECT_EQ(directions, (std::vector<std::string>{"read", "write", "copy", "fill"}));
    std::remove(json.c_str());
    std::remove(csv.c_str());
}

}  // namespace
