// Cell, label and header formatting of the report.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/passes.h"
#include "driver/report.h"
#include "kernels/timing_record.h"
#include "tests/captured_output.h"

namespace {

// A rate as the report prints it: scaled to its unit, then the cell.
std::string printed(double rate, bool endOfRow) {
    CapturedOutput capture;
    printCell(scaledRate(rate), endOfRow);
    return capture.out.str();
}

struct RateCase {
    double rate;
    const char* cell;
};

TEST(ScaledRate, ScalesByPowersOf1024WithStrictComparisons) {
    const RateCase cases[] = {
        {1073741824.0, "1024MB/s"},      // exactly 2^30 falls to the smaller unit
        {1073741825.0, "1GB/s"},         // 2^30 + 1
        {1048576.0, "1024KB/s"},         // exactly 2^20
        {1024.0, "1024B/s"},             // exactly 2^10
        {1025.0, "1.00098KB/s"},
        {0.5, "0.5B/s"},
        {-5.0e9, "-5e+09B/s"},           // a backwards counter fails every comparison
        {6710886400.0, "6.25GB/s"},
        {123.456789, "123.457B/s"},
        {3.0 * 1073741824.0 * 1024.0, "3072GB/s"},  // no unit above GB/s
    };
    for (const RateCase& c : cases) {
        EXPECT_EQ(printed(c.rate, false), std::string(c.cell) + "\t") << c.rate;
        EXPECT_EQ(printed(c.rate, true), std::string(c.cell) + "\n") << c.rate;
    }
}

TEST(ScaledRate, ZeroTicksGiveAnInfiniteRateInGigabytes) {
    EXPECT_EQ(printed(std::numeric_limits<double>::infinity(), true), "infGB/s\n");
}

struct TicksCase {
    uint64_t elapsedTicks;
    const char* cell;
};

TEST(RunRate, WorkedNumbersAtThreeGigahertz) {
    const double bytesPerRunTimesHz = 3000.0 * 1000000.0 * 67108864.0;
    const TicksCase cases[] = {
        {30000000, "6.25GB/s"},
        {3000000000ull, "64MB/s"},
        {123456789, "1.51875GB/s"},
    };
    for (const TicksCase& c : cases) {
        EXPECT_EQ(printed(runRate(bytesPerRunTimesHz, c.elapsedTicks), true), std::string(c.cell) + "\n");
    }
}

TEST(RunRate, ReadsElapsedTicksAsSigned) { EXPECT_EQ(runRate(10.0, static_cast<uint64_t>(-2)), -5.0); }

TEST(SizeLabel, SwitchesUnitAtEachPowerOf1024) {
    const std::pair<int64_t, const char*> cases[] = {
        {128, "128B:\t"},   {512, "512B:\t"},    {1023, "1023B:\t"}, {1024, "1KB:\t"},
        {524288, "512KB:\t"}, {1048575, "1023KB:\t"}, {1048576, "1MB:\t"}, {33554432, "32MB:\t"},
        // Rows past the classic report's last.
        {int64_t{1} << 26, "64MB:\t"}, {int64_t{1} << 29, "512MB:\t"}, {int64_t{1} << 30, "1GB:\t"},
        {int64_t{1} << 32, "4GB:\t"},
    };
    for (const auto& c : cases) {
        CapturedOutput capture;
        sizeLabel(c.first);
        EXPECT_EQ(capture.out.str(), c.second) << c.first;
    }
}

struct HeaderCase {
    CapabilityMask mask;
    bool aligned16;
    const char* read;
    const char* write;
};

TEST(Headers, ColumnsFollowMaskAndAlignment) {
    const HeaderCase cases[] = {
        {0x00, true, "SIZE:\tMOV(32)\tMOVZX(16)\n", "SIZE:\tMOV(32)\tMOV(16)\n"},
        {0x00, false, "SIZE:\tMOV(32)\tMOVZX(16)\n", "SIZE:\tMOV(32)\tMOV(16)\n"},
        {0x01, true, "SIZE:\tMOVQ\tMOV(32)\tMOVZX(16)\n", "SIZE:\tMOVQ\tMOV(32)\tMOV(16)\n"},
        {0x01, false, "SIZE:\tMOVQ\tMOV(32)\tMOVZX(16)\n", "SIZE:\tMOVQ\tMOV(32)\tMOV(16)\n"},
        {0x39, true, "SIZE:\tLDDQU\tMOVDQU\tMOVDQA\tMOVUPS\tMOVAPS\tMOVQ\tMOV(32)\tMOVZX(16)\n",
         "SIZE:\tMOVDQU\tMOVDQA\tMOVNTDQ\tMOVNTI\tMOVUPS\tMOVAPS\tMOVNTPS\tMOVNTQ\tMOVQ\tMOV(32)\tMOV(16)\n"},
        {0x39, false, "SIZE:\tLDDQU\tMOVDQU\tMOVUPS\tMOVQ\tMOV(32)\tMOVZX(16)\n",
         "SIZE:\tMOVDQU\tMOVNTI\tMOVUPS\tMOVNTQ\tMOVQ\tMOV(32)\tMOV(16)\n"},
        // Each flag by itself: SSE3 without SSE2 still reads with LDDQU, and
        // never adds a write column.
        {0x29, true, "SIZE:\tLDDQU\tMOVUPS\tMOVAPS\tMOVQ\tMOV(32)\tMOVZX(16)\n",
         "SIZE:\tMOVUPS\tMOVAPS\tMOVNTPS\tMOVNTQ\tMOVQ\tMOV(32)\tMOV(16)\n"},
        {0x10, false, "SIZE:\tMOVDQU\tMOV(32)\tMOVZX(16)\n", "SIZE:\tMOVDQU\tMOVNTI\tMOV(32)\tMOV(16)\n"},
        // The wider extensions, widest first; their aligned forms in the first
        // pass only.
        {CAP_AVX512F | CAP_AVX | CAP_SSE41, true,
         "SIZE:\tVMOVDQU64(512)\tVMOVDQA64(512)\tVMOVDQU(256)\tVMOVDQA(256)\tMOVNTDQA\tMOV(32)\tMOVZX(16)\n",
         "SIZE:\tVMOVDQU64(512)\tVMOVDQA64(512)\tVMOVNTDQ(512)\tVMOVDQU(256)\tVMOVDQA(256)\tVMOVNTDQ(256)"
         "\tMOV(32)\tMOV(16)\n"},
        {CAP_AVX512F | CAP_AVX | CAP_SSE41, false, "SIZE:\tVMOVDQU64(512)\tVMOVDQU(256)\tMOV(32)\tMOVZX(16)\n",
         "SIZE:\tVMOVDQU64(512)\tVMOVDQU(256)\tMOV(32)\tMOV(16)\n"},
    };
    for (const HeaderCase& c : cases) {
        CapturedOutput capture;
        printTableHeader(Direction::READ, c.mask, c.aligned16);
        printTableHeader(Direction::WRITE, c.mask, c.aligned16);
        EXPECT_EQ(capture.out.str(), std::string(c.read) + c.write) << std::hex << c.mask << " " << c.aligned16;
    }
}

}  // namespace
