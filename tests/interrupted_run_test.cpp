// Interrupted runs and the data files, against the fake system: what is
// kept, what the files hold, and the exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_sequence.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"

namespace {

struct ProgramRun {
    int exitCode;
    std::string out, err;
};

ProgramRun runWith(const RunOptions& options) {
    CapturedOutput capture;
    const int exitCode = runBenchmark(options);
    return {exitCode, capture.out.str(), capture.err.str()};
}

bool exists(const std::string& path) {
    std::ifstream file(path);
    return file.good();
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
}

// Every cell the text report printed, as "value+unit", in order; a row the
// run left unfinished counts with the cells it has.
std::vector<std::string> textCells(const std::string& out) {
    std::vector<std::string> cells;
    for (const std::string& line : splitLines(out + "\n")) {
        const std::vector<std::string> fields = splitFields(line);
        if (fields.size() < 2 || fields[0] == "SIZE:" || fields[0].back() != ':') continue;
        for (size_t i = 1; i < fields.size(); ++i) {
            if (!fields[i].empty()) cells.push_back(fields[i]);
        }
    }
    return cells;
}

// The cells of the JSON as "value+unit", and the table of the last one.
std::vector<std::string> jsonCells(const std::string& json, std::string* lastTable = nullptr) {
    std::vector<std::string> cells;
    size_t at = 0;
    while ((at = json.find("{\"direction\": \"", at)) != std::string::npos) {
        const size_t value = json.find("\"value\": \"", at) + 10;
        const size_t unit = json.find("\"unit\": \"", at) + 9;
        cells.push_back(json.substr(value, json.find('"', value) - value) +
                        json.substr(unit, json.find('"', unit) - unit));
        if (lastTable) {
            const size_t direction = at + 15;
            const size_t alignment = json.find("\"alignment_bytes\": ", at) + 19;
            *lastTable = json.substr(direction, json.find('"', direction) - direction) + " " +
                         json.substr(alignment, json.find(',', alignment) - alignment);
        }
        ++at;
    }
    return cells;
}

class InterruptedRun : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.detectedMask = CAP_CLASSIC;
        options.maxBlockBytes = 1024;  // four rows a table
        std::remove(json.c_str());
        std::remove(csv.c_str());
    }
    void TearDown() override {
        std::remove(json.c_str());
        std::remove(csv.c_str());
    }
    RunOptions options;
    const std::string json = "interrupted-run-test.json";
    const std::string csv = "interrupted-run-test.csv";
};

// The first table has four rows of a warm-up and eight cells: 36 kernel runs.
// The second has six cells a row: 46 runs reach into its second row. The six
// read and write tables take 204 runs, the first copy table four cells a row:
// with --copy, 230 runs reach into the second copy table's second row.
TEST_F(InterruptedRun, EverySignalAtEveryStageKeepsWhatWasPrintedAndEndsWithItsStatus) {
    const struct {
        int status;
        int afterKernelCalls;
        const char* lastTable;
        bool earlierFile;
        int threads;
        bool copy = false;
    } cases[] = {
        {130, 5, "read 16", false, 1},  {130, 46, "read 8", true, 1},  {143, 5, "read 16", true, 2},
        {143, 46, "read 8", false, 1},  {129, 5, "read 16", false, 1}, {129, 46, "read 8", true, 2},
        {143, 230, "copy 8", false, 1, true}, {130, 230, "copy 8", true, 2, true},
    };
    for (const auto& c : cases) {
        SetUp();
        const std::string where = std::to_string(c.status) + " after " + std::to_string(c.afterKernelCalls);
        if (c.earlierFile) {
            writeFile(json, "earlier\n");
            writeFile(csv, "earlier\n");
        }
        // Each member of a team makes a kernel run of its own.
        fakeSystem.interruptAfterKernelCalls = c.afterKernelCalls * c.threads;
        fakeSystem.interruptionStatus = c.status;
        options.threads = c.threads;
        options.copy = c.copy;
        options.jsonPath = json.c_str();
        options.csvPath = csv.c_str();
        const ProgramRun run = runWith(options);
        EXPECT_EQ(run.exitCode, c.status) << where;
        EXPECT_EQ(run.err, "") << where;
        EXPECT_EQ(fakeSystem.interruptionsCaught, 1) << where;
        EXPECT_EQ(fakeSystem.threadsJoined, fakeSystem.threadsStarted) << where;
        EXPECT_EQ(fakeSystem.releases, fakeSystem.allocations) << where;

        const std::string document = contents(json);
        EXPECT_NE(document.find("\n \"complete\": false,\n"), std::string::npos) << where << document;
        EXPECT_EQ(document.substr(document.size() - 5), " ]\n}\n") << where;
        std::string lastTable;
        const std::vector<std::string> kept = jsonCells(document, &lastTable);
        EXPECT_EQ(kept, textCells(run.out)) << where;
        EXPECT_FALSE(kept.empty()) << where;
        EXPECT_EQ(lastTable, c.lastTable) << where;
        EXPECT_EQ(splitLines(contents(csv)).size(), kept.size() + 1) << where;
        EXPECT_FALSE(exists(json + ".partial")) << where;
        EXPECT_FALSE(exists(csv + ".partial")) << where;
    }
}

// The latency table stops between rows as the throughput tables do: the rows
// printed are the rows kept, and the run ends with the signal's status.
TEST_F(InterruptedRun, InTheLatencyTableTheRowsPrintedAreKept) {
    options.latency = true;
    options.jsonPath = json.c_str();
    ASSERT_EQ(runWith(options).exitCode, 0);
    size_t throughputCalls = 0;
    while (throughputCalls < fakeKernels.calls.size() && fakeKernels.calls[throughputCalls].function != "chaseLoads") {
        ++throughputCalls;
    }
    ASSERT_LT(throughputCalls, fakeKernels.calls.size());

    SetUp();
    options.latency = true;
    options.jsonPath = json.c_str();
    fakeSystem.interruptAfterKernelCalls = static_cast<int>(throughputCalls) + 1;
    fakeSystem.interruptionStatus = 143;
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 143);
    EXPECT_NE(run.out.find("load latency\nSIZE:\tRANDOM\tIN-PAGE\tSEQUENTIAL\n128B:\t"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("256B:", run.out.find("load latency")), std::string::npos) << run.out;
    const std::string document = contents(json);
    EXPECT_NE(document.find("\n \"complete\": false,\n"), std::string::npos);
    EXPECT_EQ(jsonCells(document), textCells(run.out));
}

TEST_F(InterruptedRun, BeforeTheFirstCellTheFilesHoldTheHeaderAndNoCell) {
    fakeSystem.interruptAfterKernelCalls = 0;
    options.jsonPath = json.c_str();
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 130);
    EXPECT_EQ(contents(json).find("{\n \"complete\": false,\n \"report\": "), 0u);
    EXPECT_TRUE(jsonCells(contents(json)).empty());
    EXPECT_TRUE(fakeKernels.calls.empty());
}

TEST_F(InterruptedRun, ACompleteRunSaysSo) {
    options.jsonPath = json.c_str();
    ASSERT_EQ(runWith(options).exitCode, 0);
    EXPECT_EQ(contents(json).find("{\n \"complete\": true,\n"), 0u);
}

TEST_F(InterruptedRun, ARunThatFailsBeforeMeasuringLeavesTheEarlierFilesAsTheyWere) {
    writeFile(json, "earlier\n");
    fakeSystem.allocationSucceeds = false;
    options.jsonPath = json.c_str();
    options.csvPath = csv.c_str();
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(contents(json), "earlier\n");
    EXPECT_FALSE(exists(csv));
    EXPECT_FALSE(exists(json + ".partial"));
    EXPECT_FALSE(exists(csv + ".partial"));
}

// A name that cannot be replaced: the run says so in one line, ends with 74,
// and leaves the name and its neighbourhood as they were.
TEST_F(InterruptedRun, AFileThatCannotBePutInPlaceIsOneLineAndExitCode74) {
    const std::string directory = ".";
    options.jsonPath = directory.c_str();
    options.csvPath = csv.c_str();
    const ProgramRun run = runWith(options);
    EXPECT_EQ(run.exitCode, EXIT_CANNOT_WRITE);
    EXPECT_EQ(run.err.rfind("kestrune: cannot write .: ", 0), 0u) << run.err;
    EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
    EXPECT_FALSE(exists(directory + ".partial"));
    // The other file is still written whole.
    EXPECT_EQ(splitLines(contents(csv)).size(), textCells(run.out).size() + 1);
}

TEST_F(InterruptedRun, ProgressOnlyWhenStandardOutputCarriesDataAndStandardErrorIsATerminal) {
    const struct {
        bool dataOnStdout;
        bool terminal;
        bool shown;
    } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}};
    for (const auto& c : cases) {
        SetUp();
        fakeSystem.standardErrorIsTerminal = c.terminal;
        options.jsonPath = c.dataOnStdout ? "-" : nullptr;
        const ProgramRun run = runWith(options);
        ASSERT_EQ(run.exitCode, 0);
        if (!c.shown) {
            EXPECT_EQ(run.err, "") << c.dataOnStdout << c.terminal;
            continue;
        }
        // One line, rewritten in place for every row, cleared at the end.
        EXPECT_EQ(run.err.find('\n'), std::string::npos);
        EXPECT_NE(run.err.find("\rkestrune: 128bit(16byte) aligned read, row 128B, 1 s"), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("\rkestrune: 32bit(4byte) aligned write, row 1KB, 24 s"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.substr(run.err.size() - 2), " \r");
        EXPECT_EQ(run.out.find("{\n \"complete\": true,"), 0u);
    }
}

}  // namespace
