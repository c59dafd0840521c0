// The JSON and CSV writers on their own: strings escaped, numbers that come
// back to the last bit, and what stands for the numbers JSON has no word for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "driver/cell_records.h"
#include "tests/captured_output.h"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

RunDescription description(bool perCycle = false) {
    RunDescription run{};
    run.lines = {"Kestrune ver1.0", "OS:NT based"};
    run.banner = "Kestrune ver1.0";
    run.os = "NT based";
    run.simd = {"MMX", "SSE"};
    run.sseSupportedByOs = 1;
    run.cpuClockMHz = 2095.5123456789;
    run.threads = 1;
    run.repeat = 2;
    run.perCycle = perCycle;
    run.complete = true;
    return run;
}

CellRecord cell(double rate, std::vector<double> samples) {
    return {"read", 16, 4096, "4KB", "MOVDQU", rate, "1.5", "GB/s", 1, samples, 3650.25, 0.1};
}

std::string json(const RunDescription& run, const std::vector<CellRecord>& cells) {
    std::ostringstream out;
    writeJsonRecords(out, run, cells);
    return out.str();
}

std::string csv(bool perCycle, const std::vector<CellRecord>& cells) {
    std::ostringstream out;
    writeCsvRecords(out, perCycle, cells);
    return out.str();
}

// The value of "name" in the JSON text, up to the next comma or brace.
std::string jsonValue(const std::string& text, const std::string& name, size_t from = 0) {
    const std::string key = "\"" + name + "\": ";
    const size_t at = text.find(key, from);
    if (at == std::string::npos) return "<absent>";
    const size_t start = at + key.size();
    return text.substr(start, text.find_first_of(",}", start) - start);
}

TEST(JsonRecords, StringsAreEscapedSoThatAnyTextReadsBack) {
    const struct {
        std::string text;
        const char* written;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a \"quoted\" word", "\"a \\\"quoted\\\" word\""},
        {"C:\\path\\file", "\"C:\\\\path\\\\file\""},
        {"tab\there", "\"tab\\u0009here\""},
        {"line\nend\r", "\"line\\u000aend\\u000d\""},
        {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
        {"\x1f\x7f", "\"\\u001f\x7f\""},           // DEL is no control character to JSON
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},          // UTF-8 passes as it is
    };
    for (const auto& c : cases) {
        RunDescription run = description();
        run.lines = {c.text};
        const std::string text = json(run, {});
        EXPECT_NE(text.find("\"lines\": [" + std::string(c.written) + "]"), std::string::npos) << text;
    }
}

TEST(JsonRecords, NumbersComeBackExactlyAndNonFiniteOnesAreNull) {
    const double values[] = {1.0 / 3.0, 2095.5123456789, 1e-300, 5e-324, 1.7976931348623157e308,
                             115292150460684.69, 0.1, -12345.678901234567};
    for (const double value : values) {
        const std::string text = json(description(), {cell(value, {value, value})});
        const std::string written = jsonValue(text, "bytes_per_second");
        EXPECT_EQ(std::strtod(written.c_str(), nullptr), value) << written;
        EXPECT_EQ(text.find("inf"), std::string::npos);
    }
    const std::string text = json(description(), {cell(INF, {INF, NaN, -INF})});
    EXPECT_EQ(jsonValue(text, "bytes_per_second"), "null");
    EXPECT_NE(text.find("\"samples_bytes_per_second\": [null, null, null]"), std::string::npos) << text;
    RunDescription run = description();
    run.cpuClockMHz = NaN;
    EXPECT_EQ(jsonValue(json(run, {}), "cpu_clock_mhz"), "null");
}

TEST(JsonRecords, TheTopLevelSaysWhetherTheRunIsComplete) {
    RunDescription run = description();
    const std::vector<std::string> lines = splitLines(json(run, {cell(1e9, {1e9})}));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{");
    EXPECT_EQ(lines[1], " \"complete\": true,");
    run.complete = false;
    EXPECT_EQ(splitLines(json(run, {}))[1], " \"complete\": false,");
    // No cells yet: an empty list, still valid.
    EXPECT_NE(json(run, {}).find("\"cells\": [\n ]\n}\n"), std::string::npos);
}

TEST(JsonRecords, CellsAreSeparatedByCommasButTheLast) {
    const std::vector<std::string> lines = splitLines(json(description(), {cell(1, {1}), cell(2, {2}), cell(3, {3})}));
    std::vector<std::string> cells;
    for (const std::string& line : lines) {
        if (line.rfind("  {", 0) == 0) cells.push_back(line);
    }
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[0].back(), ',');
    EXPECT_EQ(cells[1].back(), ',');
    EXPECT_EQ(cells[2].back(), '}');
}

TEST(CsvRecords, HeaderThenOneRowPerCellWithExactNumbers) {
    const double third = 1.0 / 3.0;
    const std::vector<std::string> lines = splitLines(csv(true, {cell(third, {third, 2.0 / 3.0}), cell(INF, {NaN})}));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "direction,alignment_bytes,block_bytes,block,instruction,bytes_per_second,value,unit,threads,"
              "samples_bytes_per_second,core_mhz,bytes_per_cycle");
    const std::vector<std::string> fields = split(lines[1], ',');
    ASSERT_EQ(fields.size(), 12u);
    EXPECT_EQ(fields[0], "read");
    EXPECT_EQ(fields[3], "4KB");
    EXPECT_EQ(fields[4], "MOVDQU");
    EXPECT_EQ(std::strtod(fields[5].c_str(), nullptr), third);
    const std::vector<std::string> samples = split(fields[9], ';');
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(std::strtod(samples[1].c_str(), nullptr), 2.0 / 3.0);
    EXPECT_EQ(std::strtod(fields[10].c_str(), nullptr), 3650.25);
    EXPECT_EQ(std::strtod(fields[11].c_str(), nullptr), 0.1);
    // CSV has no null: infinity and NaN are the words every reader of
    // numbers (C's strtod, Python's float) takes.
    const std::vector<std::string> odd = split(lines[2], ',');
    EXPECT_EQ(odd[5], "inf");
    EXPECT_TRUE(odd[9] == "nan" || odd[9] == "-nan") << odd[9];
}

TEST(CsvRecords, WithoutPerCycleTheRowsEndAtTheSamples) {
    const std::vector<std::string> lines = splitLines(csv(false, {cell(1e9, {1e9, 2e9, 3e9})}));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(split(lines[0], ',').back(), "samples_bytes_per_second");
    EXPECT_EQ(split(lines[1], ',').back(), "1000000000;2000000000;3000000000");
}

}  // namespace
