#pragma once
// The command line. Without arguments every field keeps its default and the
// run is the classic report; each option extends it.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "isa/capability_mask.h"
#include "kernels/kernel_table.h"

struct RunOptions {
    // The extensions whose columns the tables may show; what the processor
    // lacks is left out. The classic four by default.
    CapabilityMask isa = CAP_CLASSIC;
    // Whether the user named the extensions one by one: a named extension the
    // processor lacks is then worth a warning.
    bool isaNamed = false;
    int64_t maxBlockBytes = DEFAULT_MAX_BLOCK_BYTES;
    int threads = 1;
    // Whether --threads was given: the core-to-core table's team is then
    // `threads` processors, else every processor the process may use.
    bool threadsNamed = false;
    int repeat = 1;
    bool perCycle = false;
    // A load-latency table after the throughput tables.
    bool latency = false;
    // A parallel-chains table after every other table.
    bool parallelChains = false;
    // Copy and fill tables after the read and write tables.
    bool copy = false;
    // The loaded-latency table after every other table: its loaders' traffic
    // (--load) and the processors of its team, the chaser included: --threads
    // when given, else every processor the process may use.
    bool loadedLatency = false;
    Direction load = Direction::READ;
    int loadedThreads = 0;
    int64_t loadedBlockBytes = 0;  // --max-size when given, else the table's own default
    // The test buffers on 2 MiB pages where the system gives them.
    bool hugePages = false;
    // A core-to-core latency table after every other table.
    bool coreToCore = false;
    const char* jsonPath = nullptr;  // "-": standard output
    const char* csvPath = nullptr;
    // Print the machine's description and measure nothing.
    bool describe = false;
    // The arguments as given, the program's name first, for the JSON report.
    std::vector<std::string> commandLine;
};

enum class OptionsOutcome { RUN, DONE, USAGE_ERROR };

// The most runs --repeat takes for one cell: every run's rate is kept for the
// data files, and a run of 4 GB blocks takes seconds.
constexpr int MAX_REPEAT = 1000;

// The exit code of a command line the program cannot take.
constexpr int EXIT_USAGE = 64;

// Reads the arguments into `options`. DONE: --help or --version has printed
// what it asked for. USAGE_ERROR: one line on standard error has said what is
// wrong, and nothing has been printed on standard output.
OptionsOutcome parseOptions(int argc, char** argv, RunOptions* options);

// Whether the options ask for anything beyond the classic report's header.
bool extendedIsa(const RunOptions& options);
