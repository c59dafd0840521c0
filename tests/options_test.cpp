// The command line: a table of good and bad argument lists against what each
// must print and what it leaves in the options.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/options.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"

namespace {

// The options keep pointers into the arguments, as the program's keep them
// into argv, so the arguments live as long as the options.
struct Parsed {
    std::vector<std::string> arguments;
    OptionsOutcome outcome;
    RunOptions options;
    std::string out, err;
};

Parsed parse(std::vector<std::string> arguments) {
    Parsed parsed;
    parsed.arguments = std::move(arguments);
    parsed.arguments.insert(parsed.arguments.begin(), "kestrune");
    std::vector<char*> argv;
    for (std::string& argument : parsed.arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    CapturedOutput capture;
    parsed.outcome = parseOptions(static_cast<int>(parsed.arguments.size()), argv.data(), &parsed.options);
    parsed.out = capture.out.str();
    parsed.err = capture.err.str();
    return parsed;
}

class Options : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        fakeSystem.processMask = 0x5;  // two processors the process may use
    }
};

TEST_F(Options, NoArgumentsGiveTheClassicReport) {
    const Parsed parsed = parse({});
    EXPECT_EQ(parsed.outcome, OptionsOutcome::RUN);
    EXPECT_EQ(parsed.out + parsed.err, "");
    EXPECT_EQ(parsed.options.isa, CAP_CLASSIC);
    EXPECT_FALSE(parsed.options.isaNamed);
    EXPECT_EQ(parsed.options.maxBlockBytes, DEFAULT_MAX_BLOCK_BYTES);
    EXPECT_EQ(parsed.options.threads, 1);
    EXPECT_EQ(parsed.options.repeat, 1);
    EXPECT_FALSE(parsed.options.perCycle);
    EXPECT_EQ(parsed.options.jsonPath, nullptr);
    EXPECT_EQ(parsed.options.csvPath, nullptr);
    EXPECT_FALSE(extendedIsa(parsed.options));
}

TEST_F(Options, GoodCommandLinesSetWhatTheyName) {
    const struct {
        std::vector<std::string> arguments;
        CapabilityMask isa;
        bool isaNamed;
        int64_t maxBlockBytes;
        int threads;
        int repeat;
    } cases[] = {
        {{"--isa", "all"}, CAP_CLASSIC | CAP_EXTENDED, false, DEFAULT_MAX_BLOCK_BYTES, 1, 1},
        {{"--isa=classic"}, CAP_CLASSIC, false, DEFAULT_MAX_BLOCK_BYTES, 1, 1},
        {{"--isa", "avx,sse4.1"}, CAP_AVX | CAP_SSE41, true, DEFAULT_MAX_BLOCK_BYTES, 1, 1},
        {{"--isa", "mmx,sse,sse2,sse3,sse4.1,avx,avx512"}, CAP_CLASSIC | CAP_EXTENDED, true, DEFAULT_MAX_BLOCK_BYTES, 1, 1},
        {{"--max-size", "128B"}, CAP_CLASSIC, false, 128, 1, 1},
        {{"--max-size", "1KB"}, CAP_CLASSIC, false, 1024, 1, 1},
        {{"--max-size", "512MB"}, CAP_CLASSIC, false, int64_t{512} << 20, 1, 1},
        {{"--max-size", "4GB"}, CAP_CLASSIC, false, int64_t{4} << 30, 1, 1},
        {{"--max-size", "4096MB"}, CAP_CLASSIC, false, int64_t{4} << 30, 1, 1},
        {{"--threads", "2"}, CAP_CLASSIC, false, DEFAULT_MAX_BLOCK_BYTES, 2, 1},
        {{"--threads", "all"}, CAP_CLASSIC, false, DEFAULT_MAX_BLOCK_BYTES, 2, 1},
        {{"--repeat", "5", "--threads=1"}, CAP_CLASSIC, false, DEFAULT_MAX_BLOCK_BYTES, 1, 5},
        {{"--repeat", "1000"}, CAP_CLASSIC, false, DEFAULT_MAX_BLOCK_BYTES, 1, 1000},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.arguments);
        const std::string where = c.arguments[0] + (c.arguments.size() > 1 ? " " + c.arguments[1] : "");
        ASSERT_EQ(parsed.outcome, OptionsOutcome::RUN) << where << ": " << parsed.err;
        EXPECT_EQ(parsed.out + parsed.err, "") << where;
        EXPECT_EQ(parsed.options.isa, c.isa) << where;
        EXPECT_EQ(parsed.options.isaNamed, c.isaNamed) << where;
        EXPECT_EQ(parsed.options.maxBlockBytes, c.maxBlockBytes) << where;
        EXPECT_EQ(parsed.options.threads, c.threads) << where;
        EXPECT_EQ(parsed.options.repeat, c.repeat) << where;
    }
}

TEST_F(Options, LatencyCopyAndHugePagesAreOffUnlessNamed) {
    const struct {
        std::vector<std::string> arguments;
        bool latency, hugePages, copy;
    } cases[] = {
        {{}, false, false, false},
        {{"--latency"}, true, false, false},
        {{"--huge-pages"}, false, true, false},
        {{"--copy"}, false, false, true},
        {{"--latency", "--huge-pages", "--max-size", "128B", "--threads", "2", "--copy"}, true, true, true},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.arguments);
        ASSERT_EQ(parsed.outcome, OptionsOutcome::RUN) << parsed.err;
        EXPECT_EQ(parsed.options.latency, c.latency) << c.arguments.size();
        EXPECT_EQ(parsed.options.hugePages, c.hugePages) << c.arguments.size();
        EXPECT_EQ(parsed.options.copy, c.copy) << c.arguments.size();
    }
}

TEST_F(Options, DescribeTakesJsonAndTheCommandLineIsKeptWhole) {
    const Parsed parsed = parse({"--describe", "--json=machine.json"});
    EXPECT_EQ(parsed.outcome, OptionsOutcome::RUN);
    EXPECT_TRUE(parsed.options.describe);
    EXPECT_STREQ(parsed.options.jsonPath, "machine.json");
    EXPECT_EQ(parsed.options.commandLine, (std::vector<std::string>{"kestrune", "--describe", "--json=machine.json"}));
    EXPECT_FALSE(parse({"--json", "-"}).options.describe);
}

TEST_F(Options, PerCycleAndDataFiles) {
    const Parsed parsed = parse({"--per-cycle", "--json", "run.json", "--csv=-"});
    ASSERT_EQ(parsed.outcome, OptionsOutcome::RUN);
    EXPECT_TRUE(parsed.options.perCycle);
    EXPECT_STREQ(parsed.options.jsonPath, "run.json");
    EXPECT_STREQ(parsed.options.csvPath, "-");
}

// One line on standard error naming the option and what it takes; nothing on
// standard output.
TEST_F(Options, BadCommandLinesAreOneLineOnStandardError) {
    const struct {
        std::vector<std::string> arguments;
        const char* named;
        const char* says;
    } cases[] = {
        {{"--bogus"}, "--bogus", "unknown option"},
        {{"-x"}, "-x", "unknown option"},
        {{"--isa"}, "--isa", "needs a value"},
        {{"--isa", "avx2"}, "avx2", "mmx,sse,sse2,sse3,sse4.1,avx,avx512"},
        {{"--isa", "sse,,avx"}, "--isa", "unknown extension ''"},
        {{"--max-size", "3KB"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--max-size", "64B"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--max-size", "8GB"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--max-size", "4kb"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--max-size", "KB"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--max-size", "-1MB"}, "--max-size", "power of two from 128B to 4GB"},
        {{"--threads", "3"}, "--threads", "from 1 to 2"},
        {{"--threads", "0"}, "--threads", "from 1 to 2"},
        {{"--threads", "two"}, "--threads", "or all"},
        {{"--repeat", "0"}, "--repeat", "whole number from 1 to 1000"},
        {{"--repeat", "1.5"}, "--repeat", "whole number from 1 to 1000"},
        {{"--repeat", "1001"}, "--repeat", "whole number from 1 to 1000"},
        {{"--repeat", "1000000000"}, "--repeat", "whole number from 1 to 1000"},
        {{"--repeat", "99999999999999999999"}, "--repeat", "whole number from 1 to 1000"},
        {{"--threads", "4294967298"}, "--threads", "from 1 to 2"},
        {{"--json", "-", "--csv", "-"}, "--csv", "standard output"},
        {{"--latency=yes"}, "--latency", "takes no value"},
        {{"--copy=all"}, "--copy", "takes no value"},
        {{"--per-cycle=1"}, "--per-cycle", "takes no value"},
        {{"--huge-pages", "2MB"}, "2MB", "unexpected argument"},
        {{"extra"}, "extra", "unexpected argument"},
        // --describe measures nothing: the first option that would is named.
        {{"--describe", "--isa", "all", "--csv", "x.csv"}, "--isa", "--describe measures nothing"},
        {{"--latency", "--describe"}, "--latency", "takes only --json"},
        {{"--describe=yes"}, "--describe", "takes no value"},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.arguments);
        const std::string where = c.arguments[0] + (c.arguments.size() > 1 ? " " + c.arguments[1] : "");
        EXPECT_EQ(parsed.outcome, OptionsOutcome::USAGE_ERROR) << where;
        EXPECT_EQ(parsed.out, "") << where;
        EXPECT_EQ(splitLines(parsed.err).size(), 1u) << where << ": " << parsed.err;
        EXPECT_NE(parsed.err.find(c.named), std::string::npos) << where << ": " << parsed.err;
        EXPECT_NE(parsed.err.find(c.says), std::string::npos) << where << ": " << parsed.err;
    }
}

TEST_F(Options, HelpAndVersionPrintOnStandardOutputAndEndTheProgram) {
    const Parsed help = parse({"--help"});
    EXPECT_EQ(help.outcome, OptionsOutcome::DONE);
    EXPECT_EQ(help.err, "");
    for (const char* option : {"--isa", "--max-size", "--threads", "--repeat", "--per-cycle", "--json", "--csv",
                               "--latency", "--copy", "--huge-pages", "--describe", "--help", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    // Where the latency table runs when a team is out.
    EXPECT_NE(help.out.find("first\n                   processor alone while the others wait"), std::string::npos);
    const Parsed version = parse({"--version"});
    EXPECT_EQ(version.outcome, OptionsOutcome::DONE);
    EXPECT_EQ(version.out, "Kestrune ver" KESTRUNE_VERSION "\n");
}

}  // namespace
