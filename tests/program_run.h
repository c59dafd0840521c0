#pragma once
// The whole program run against the fake system: its exit code, its standard
// output line by line and its standard error.
#include <string>
#include <vector>

#include "driver/run_sequence.h"
#include "tests/captured_output.h"

struct ProgramRun {
    int exitCode;
    std::vector<std::string> out;
    std::string err;
};

inline ProgramRun runWith(const RunOptions& options) {
    CapturedOutput capture;
    const int exitCode = runBenchmark(options);
    return {exitCode, splitLines(capture.out.str()), capture.err.str()};
}
