#pragma once
#include "driver/options.h"

// The whole life of the program, from the banner to the exit code: 0 after a
// complete run, 1 when the affinity query fails, 2 when a buffer cannot be
// had, 73 when an output file cannot be created, 74 when one cannot be
// written, and after an interruption the status it asks for (130 for SIGINT).
int runBenchmark(const RunOptions& options);

constexpr int EXIT_CANNOT_CREATE = 73;
constexpr int EXIT_CANNOT_WRITE = 74;  // sysexits' IOERR
