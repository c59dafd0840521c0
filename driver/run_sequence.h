#pragma once

// The whole life of the program, from the banner to the exit code: 0 after a
// complete run, 1 when the affinity query fails, 2 when the buffer cannot be had.
int runBenchmark();
