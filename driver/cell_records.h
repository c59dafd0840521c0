#pragma once
// Every measured cell as a record, for the JSON and CSV files a run can write
// beside its report.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// A latency cell (direction "latency") has no alignment, rate or bytes per
// cycle; its column stands where a throughput cell's instruction does.
struct CellRecord {
    const char* direction;  // "read", "write", "copy", "fill", "latency", "parallel_chains" or "core_to_core"
    int alignmentBytes;     // 16, 8 or 4
    int64_t blockBytes;
    std::string block;      // the row's label without its colon, e.g. "4KB"
    const char* instruction;
    double bytesPerSecond;  // the printed cell's rate: the median with --repeat
    std::string value;      // the number exactly as printed
    std::string unit;       // as printed: "GB/s" ... or "B/c"
    int threads;
    std::vector<double> samplesBytesPerSecond;  // every repetition, in order
    double coreMHz;         // with --per-cycle, else 0
    double bytesPerCycle;   // with --per-cycle, else 0
    double nsPerLoad = 0;      // latency cells
    double cyclesPerLoad = 0;  // latency cells with --per-cycle, else 0
    std::vector<double> samplesNsPerLoad = {};  // latency cells: every repetition, in order
    // Copy and fill cells: the bytes read plus the bytes written per second,
    // twice the rate of a copy (every byte is read and written), the rate of
    // a fill. The rate itself counts each byte copied or filled once.
    double busBytesPerSecond = 0;
    // Parallel chains cells (direction "parallel_chains"): the chains the
    // cell ran at once; their loads per time are nsPerLoad and cyclesPerLoad.
    int chains = 0;
    // Core-to-core cells: the pair as the table labels it, the processor
    // that timed, where the two sit relative to each other, and the one-way
    // latency (cycles with --per-cycle, else 0).
    std::string fromProcessor = {};
    std::string toProcessor = {};
    std::string timedBy = {};
    bool siblings = false;
    int sharedCacheLevel = 0;  // the lowest cache level the two share; 0 none or unknown
    bool differentPackages = false;
    bool differentNodes = false;
    double nsOneWay = 0;
    double cyclesOneWay = 0;
    // Loaded-latency cells (direction "loaded_latency"): the loaders' delay
    // after each line in core cycles (-1: the idle row), their traffic as
    // --load names it, and their bytes per second over the chase's span.
    int64_t delayCycles = -1;
    const char* load = nullptr;
    double bandwidthBytesPerSecond = 0;
};

constexpr const char* LATENCY_DIRECTION = "latency";
constexpr const char* PARALLEL_CHAINS_DIRECTION = "parallel_chains";
constexpr const char* CORE_TO_CORE_DIRECTION = "core_to_core";
constexpr const char* LOADED_LATENCY_RECORD_DIRECTION = "loaded_latency";

// What a run knows of itself, for the JSON header.
struct RunDescription {
    std::vector<std::string> lines;  // the report's lines before the tables
    std::string banner;  // the first line, "Kestrune ver1.0", which the JSON calls its version
    std::string os;
    std::vector<std::string> simd;
    int sseSupportedByOs;  // 1 yes, 0 no, -1 no such line
    std::string avxSupportedByOs;  // empty: no such line
    double cpuClockMHz;
    int threads;
    int repeat;
    bool perCycle;
    bool complete;  // false when an interruption stopped the run
    // The machine and the run as JSON objects, written between the report
    // and the cells; empty: left out.
    std::string machineJson = {};
    std::string runJson = {};
};

void writeJsonRecords(std::ostream& out, const RunDescription& run, const std::vector<CellRecord>& cells);
void writeCsvRecords(std::ostream& out, bool perCycle, const std::vector<CellRecord>& cells);
