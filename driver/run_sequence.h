#pragma once
#include "driver/options.h"

// The whole life of the program, from the banner to the exit code: 0 after a
// complete run, 1 when the affinity query fails, 2 when a buffer cannot be
// had, 73 when an output file cannot be created.
int runBenchmark();
int runBenchmark(const RunOptions& options);

constexpr int EXIT_CANNOT_CREATE = 73;
