#pragma once
// The machine description as a person reads it (key: value lines) and as the
// JSON reports carry it, and the run's own facts beside it.
#include <cstdint>
#include <string>
#include <vector>

#include "probe/machine_description.h"

// Prints the description on standard output, one `key: value` line each.
void printMachineDescription(const MachineDescription& machine);

// The "machine" object of a JSON report.
std::string machineJson(const MachineDescription& machine);

// What a JSON report says of the run that wrote it.
struct RunFacts {
    int64_t startSeconds = 0;  // since 1970-01-01 UTC
    std::string hostName;
    std::vector<std::string> commandLine;
    double durationSeconds = 0;
    bool complete = false;
};

// The "run" object of a JSON report.
std::string runJson(const RunFacts& run);

// A UTC time as ISO 8601 to the second: "2026-12-11T06:01:02Z".
std::string isoDate(int64_t secondsSinceEpoch);

// A cache's line key: L1d, L1i, L2, L3 ...
std::string cacheKey(const CacheDescription& cache);
