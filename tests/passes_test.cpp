// The measurement passes, run with fake kernels that log every call.
#include <gtest/gtest.h>

#include "driver/passes.h"
#include "kernels/timing_record.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"

namespace {

const char* const TITLES[] = {
    "128bit(16byte) aligned read",  "64bit(8byte) aligned read",  "32bit(4byte) aligned read",
    "128bit(16byte) aligned write", "64bit(8byte) aligned write", "32bit(4byte) aligned write",
};
const int PASS_OFFSETS[] = {0, 8, 4, 0, 8, 4};
constexpr int ROWS = 19;

struct Report {
    std::vector<std::string> lines;
    std::vector<KernelCall> calls;
};

Report measure(CapabilityMask mask) {
    resetFakes();
    CapturedOutput capture;
    PassSettings settings;
    settings.mask = mask;
    runPasses(fakeTestBuffer(), settings, 3000.0 * 1000000.0 * 67108864.0);
    return {splitLines(capture.out.str()), fakeKernels.calls};
}

struct ColumnCase {
    CapabilityMask mask;
    // Kernels measured in each of the six tables, left to right.
    std::vector<std::vector<std::string>> kernels;
};

TEST(MeasurementPasses, EveryRowWarmsUpThenRunsEachShownColumnOnce) {
    const std::vector<std::string> generalRead = {"readMov32", "readMovzx16"};
    const std::vector<std::string> generalWrite = {"writeMov32", "writeMov16"};
    const std::vector<std::string> allRead16 = {"readLddqu",  "readMovdqu", "readMovdqa", "readMovups",
                                                "readMovaps", "readMovq",   "readMov32",  "readMovzx16"};
    const std::vector<std::string> allRead = {"readLddqu", "readMovdqu", "readMovups",
                                              "readMovq",  "readMov32",  "readMovzx16"};
    const std::vector<std::string> allWrite16 = {"writeMovdqu",  "writeMovdqa", "writeMovntdq", "writeMovnti",
                                                 "writeMovups",  "writeMovaps", "writeMovntps", "writeMovntq",
                                                 "writeMovq",    "writeMov32",  "writeMov16"};
    const std::vector<std::string> allWrite = {"writeMovdqu", "writeMovnti", "writeMovups", "writeMovntq",
                                               "writeMovq",   "writeMov32",  "writeMov16"};
    const std::vector<std::string> mmxRead = {"readMovq", "readMov32", "readMovzx16"};
    const std::vector<std::string> mmxWrite = {"writeMovq", "writeMov32", "writeMov16"};
    const ColumnCase cases[] = {
        {0x00, {generalRead, generalRead, generalRead, generalWrite, generalWrite, generalWrite}},
        // MOVNTQ belongs to SSE, not MMX.
        {0x01, {mmxRead, mmxRead, mmxRead, mmxWrite, mmxWrite, mmxWrite}},
        {0x39, {allRead16, allRead, allRead, allWrite16, allWrite, allWrite}},
    };
    for (const ColumnCase& c : cases) {
        const Report report = measure(c.mask);
        size_t call = 0;
        for (int table = 0; table < 6; ++table) {
            const bool reads = table < 3;
            const unsigned char* passBase = fakeTestBuffer() + PASS_OFFSETS[table];
            for (int k = 0; k < ROWS; ++k) {
                std::vector<std::string> expected = {reads ? "readMov32" : "writeMov32"};
                expected.insert(expected.end(), c.kernels[table].begin(), c.kernels[table].end());
                for (const std::string& function : expected) {
                    ASSERT_LT(call, report.calls.size());
                    const KernelCall& actual = report.calls[call++];
                    EXPECT_EQ(actual.function, function) << "mask " << c.mask << " table " << table << " row " << k;
                    EXPECT_EQ(actual.base, passBase);
                    EXPECT_EQ(actual.blockLines, 1 << k);
                    EXPECT_EQ(actual.lineCount, RUN_LINES);
                }
            }
        }
        EXPECT_EQ(call, report.calls.size()) << "mask " << c.mask;
    }
}

TEST(MeasurementPasses, TablesHaveTitleHeaderAndNineteenLabelledRows) {
    const char* const labels[ROWS] = {"128B:", "256B:", "512B:", "1KB:",  "2KB:",  "4KB:",   "8KB:",
                                      "16KB:", "32KB:", "64KB:", "128KB:", "256KB:", "512KB:", "1MB:",
                                      "2MB:",  "4MB:",  "8MB:",  "16MB:", "32MB:"};
    const Report report = measure(0x39);
    ASSERT_EQ(report.lines.size(), 6u * (2 + ROWS));
    for (int table = 0; table < 6; ++table) {
        const size_t first = table * (2 + ROWS);
        EXPECT_EQ(report.lines[first], TITLES[table]);
        const size_t columns = splitFields(report.lines[first + 1]).size();
        for (int k = 0; k < ROWS; ++k) {
            const std::vector<std::string> fields = splitFields(report.lines[first + 2 + k]);
            ASSERT_EQ(fields.size(), columns) << report.lines[first + 2 + k];
            EXPECT_EQ(fields[0], labels[k]);
            // 30,000,000 ticks at 3000 MHz is 6.25 GB/s in every cell.
            for (size_t f = 1; f < fields.size(); ++f) EXPECT_EQ(fields[f], "6.25GB/s");
        }
    }
}

}  // namespace
