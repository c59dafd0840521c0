#include "driver/options.h"

#include <getopt.h>

#include <cstring>
#include <iostream>
#include <string>

#include "driver/core_to_core_pair.h"
#include "driver/core_to_core_table.h"
#include "driver/extension_names.h"
#include "driver/loaded_latency.h"
#include "driver/output_line.h"
#include "kernels/chase_chains.h"
#include "platform/platform.h"

namespace {

constexpr int64_t MIN_BLOCK_BYTES = 128;
constexpr int64_t LARGEST_MAX_BLOCK_BYTES = int64_t{1} << 32;  // 4 GiB

constexpr const char* SIZE_CHOICES = "a power of two from 128B to 4GB, such as 4KB, 256MB or 1GB";

enum OptionCode { OPT_ISA = 256, OPT_MAX_SIZE, OPT_THREADS, OPT_REPEAT, OPT_PER_CYCLE, OPT_JSON, OPT_CSV,
                  OPT_LATENCY, OPT_COPY, OPT_HUGE_PAGES, OPT_HELP, OPT_VERSION, OPT_PARALLEL_CHAINS,
                  OPT_CORE_TO_CORE, OPT_DESCRIBE, OPT_LOADED_LATENCY, OPT_LOAD };

const option LONG_OPTIONS[] = {
    {"isa", required_argument, nullptr, OPT_ISA},
    {"max-size", required_argument, nullptr, OPT_MAX_SIZE},
    {"threads", required_argument, nullptr, OPT_THREADS},
    {"repeat", required_argument, nullptr, OPT_REPEAT},
    {"per-cycle", no_argument, nullptr, OPT_PER_CYCLE},
    {"json", required_argument, nullptr, OPT_JSON},
    {"csv", required_argument, nullptr, OPT_CSV},
    {"latency", no_argument, nullptr, OPT_LATENCY},
    {"copy", no_argument, nullptr, OPT_COPY},
    {"huge-pages", no_argument, nullptr, OPT_HUGE_PAGES},
    {"parallel-chains", no_argument, nullptr, OPT_PARALLEL_CHAINS},
    {"core-to-core", no_argument, nullptr, OPT_CORE_TO_CORE},
    {"describe", no_argument, nullptr, OPT_DESCRIBE},
    {"loaded-latency", no_argument, nullptr, OPT_LOADED_LATENCY},
    {"load", required_argument, nullptr, OPT_LOAD},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// The --isa spellings of every extension, in the table's order, one separator apart.
std::string isaOptions(const char* separator) {
    std::string list;
    for (const ExtensionName& extension : EXTENSION_NAMES) {
        if (!list.empty()) list += separator;
        list += extension.option;
    }
    return list;
}

// The chain counts of this build's parallel-chains table, as its columns name them.
std::string chainCounts() {
    std::string list;
    for (int c = 0; c < CHAIN_KERNEL_COUNT; ++c) {
        list += (c == 0 ? "" : c + 1 == CHAIN_KERNEL_COUNT ? " and " : ", ") + std::to_string(CHAIN_KERNELS[c].chains);
    }
    return list;
}

void printUsage() {
    const std::string chainsLine = "                   through the block, advanced together: " + chainCounts();
    const std::string isaLine = "                   list of " + isaOptions(", ") + "; the";
    const std::string repeatLine =
        "  --repeat N       measure each cell N times in a row (N from 1 to " + std::to_string(MAX_REPEAT) + ")";
    // The budget of a 256-processor table: its ordered pairs at some 1.7 ms each.
    const std::string samplesLine = "                   of " + std::to_string(PAIR_SAMPLES) + " samples of " +
                                    std::to_string(SAMPLE_MICROSECONDS) + " us each. A pair takes about 1.7 ms:";
    const std::string budgetLine = "                   2 s for 32 processors, 2 minutes for 256.";
    const char* lines[] = {
        "Usage: kestrune [OPTION]...",
        "Measure how fast each x86 move instruction reads and writes memory blocks",
        "of 128 bytes and up, at 16-, 8- and 4-byte start alignment, and print",
        "tab-separated tables of throughput. Without options it prints the classic",
        "report: MMX to SSE3, blocks up to 32MB, one processor, one run per cell.",
        "",
        "Options:",
        "  --isa LIST       which extensions' columns to measure: classic (the default:",
        "                   MMX, SSE, SSE2, SSE3), all (every extension this processor",
        "                   and its operating system support), or a comma-separated",
        isaLine.c_str(),
        "                   general-register columns are always measured",
        "  --max-size SIZE  the largest block, a power of two from 128B to 4GB",
        "                   (128B, 4KB, 256MB, 1GB; powers of 1024); default 32MB.",
        "                   A run moves 64MB or the whole block, whichever is more",
        "  --threads N|all  run every cell on N processors at once (N from 1 to the",
        "                   number of processors this process may use), thread k",
        "                   pinned to the k-th of them, each with its own buffer;",
        "                   cells are the aggregate",
        repeatLine.c_str(),
        "                   and print the median",
        "  --per-cycle      print bytes per core cycle (B/c) instead of a rate; the",
        "                   core clock is measured before each row and printed under",
        "                   each table title",
        "  --latency        add a table of load latency after the throughput tables:",
        "                   nanoseconds per load (core cycles with --per-cycle) of",
        "                   a chain of dependent loads through every 64-byte line of",
        "                   each block, in a random cycle (RANDOM), in random order",
        "                   page by page (IN-PAGE) and in address order (SEQUENTIAL).",
        "                   With --threads, the table is measured on the first",
        "                   processor alone while the others wait",
        "  --copy           add copy and fill tables after the read and write tables,",
        "                   at the same alignments: each block copied to a destination",
        "                   half a page past it modulo 4KB by REP MOVSB, REP MOVSD,",
        "                   loops of MOVDQU, VMOVDQU(256), VMOVDQU64(512) and",
        "                   VMOVNTDQ(256) stores, and the C library's memcpy; each",
        "                   block filled by REP STOSB, REP STOSD and memset. A cell",
        "                   counts each byte copied or filled once; the columns",
        "                   follow --isa as in the other tables",
        "  --parallel-chains",
        "                   add a table after every other table: per block, chains of",
        "                   dependent loads, each its own random cycle of lines",
        chainsLine.c_str(),
        "                   chains, in nanoseconds (core cycles with --per-cycle) per",
        "                   load over all chains; a core that keeps k misses in flight",
        "                   shows a k-th of the one-chain figure. Each chain holds its",
        "                   cursor in a register: x86-64 has 14 general registers",
        "                   besides RSP and RBP, less the pass count and the timing",
        "                   record's address, for 12 chains; i386 has 7 with EBP,",
        "                   less the pass count, for 6. With --threads, the table is",
        "                   measured on the first processor alone",
        "  --loaded-latency add a table of load latency under load after every other",
        "                   table: the first processor of --threads (default here:",
        "                   every processor the process may use) chases a RANDOM",
        "                   chain through a block of --max-size (default here: 1GB)",
        "                   while each other one streams through a block of its own",
        "                   with the widest kernel of --isa, waiting a calibrated",
        "                   number of core cycles after every 128-byte line; a row per",
        "                   wait (0 to 20000 cycles) and a last row, idle, with the",
        "                   others waiting: LATENCY in ns per load (cycles with",
        "                   --per-cycle) and the others' aggregate BANDWIDTH (bytes",
        "                   the memory carries: a copy's read and write). Needs two",
        "                   processors and SSE2",
        "  --load TRAFFIC   the loaders' traffic for --loaded-latency: read (the",
        "                   default), write or copy",
        "  --huge-pages     put the test buffers on 2MB pages where the system gives",
        "                   them (never changing a system setting), and print the",
        "                   share obtained; where it gives none, say why on standard",
        "                   error and go on with 4KB pages",
        "  --core-to-core   add a table of core-to-core latency after every other",
        "                   table: one row and one column per processor of the team",
        "                   (--threads N: the first N processors; by default all the",
        "                   process may use), each cell the one-way latency between",
        "                   the two (ns, or core cycles with --per-cycle): half the",
        "                   round trip of a value stored by the row's processor,",
        "                   seen and answered by the column's through one 64-byte",
        "                   line, timed by the row's processor; the fastest",
        samplesLine.c_str(),
        budgetLine.c_str(),
        "                   Needs two processors or more",
        "  --json FILE      also write every cell as JSON to FILE (- for standard",
        "                   output, which then carries only the JSON, and a",
        "                   terminal on standard error shows the progress); a",
        "                   regular FILE is replaced only once it is written whole",
        "  --csv FILE       also write every cell as CSV to FILE (- as for --json)",
        "  --describe       print what this machine is (processor, cores, caches,",
        "                   memory, system) as key: value lines, measure nothing",
        "                   and exit; with --json FILE also write it as JSON. Every",
        "                   --json report carries the same description",
        "  --help           print this help and exit",
        "  --version        print the version and exit",
        "",
        "Interrupted (Ctrl-C, SIGTERM, SIGHUP), the run finishes the cell it is in",
        "and writes every cell measured so far to the files named.",
        "",
        "Exit status: 0 after a complete run, 1 when the processor affinity cannot",
        "be read, 2 when a test buffer cannot be allocated, 64 for a command line",
        "it cannot take, 73 when an output file cannot be created, 74 when one",
        "cannot be written, 129, 130 or 143 when interrupted by SIGHUP, SIGINT",
        "(Ctrl-C) or SIGTERM.",
    };
    for (const char* line : lines) {
        std::cout << line;
        endLine(std::cout);
    }
}

bool usageError(const char* option, const std::string& problem) {
    std::cerr << "kestrune: " << option << ": " << problem;
    endLine(std::cerr);
    return false;
}

bool parseIsa(const char* text, RunOptions* options) {
    const std::string value = text;
    if (value == "classic") {
        options->isa = CAP_CLASSIC;
        options->isaNamed = false;
        return true;
    }
    if (value == "all") {
        options->isa = CAP_CLASSIC | CAP_EXTENDED;
        options->isaNamed = false;
        return true;
    }
    CapabilityMask chosen = 0;
    std::string::size_type start = 0;
    while (true) {
        const std::string::size_type comma = value.find(',', start);
        const std::string name = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        bool known = false;
        for (const ExtensionName& extension : EXTENSION_NAMES) {
            if (name == extension.option) {
                chosen |= extension.capability;
                known = true;
            }
        }
        if (!known) return usageError("--isa", "unknown extension '" + name +
                                                        "'; expected classic, all, or a comma-separated list of " +
                                                        isaOptions(","));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    options->isa = chosen;
    options->isaNamed = true;
    return true;
}

// A whole decimal number of at most nine digits; false for anything else.
bool parseCount(const char* text, int64_t* value) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9) return false;
    int64_t number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
    }
    *value = number;
    return true;
}

bool parseMaxSize(const char* text, RunOptions* options) {
    const std::string value = text;
    size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') ++digits;
    const std::string unit = value.substr(digits);
    int shift = -1;
    if (unit == "B") shift = 0;
    if (unit == "KB") shift = 10;
    if (unit == "MB") shift = 20;
    if (unit == "GB") shift = 30;
    int64_t count = 0;
    if (shift < 0 || !parseCount(value.substr(0, digits).c_str(), &count) || count > (int64_t{1} << 32)) {
        return usageError("--max-size", "'" + value + "' is not " + SIZE_CHOICES);
    }
    const int64_t bytes = count << shift;
    if (bytes < MIN_BLOCK_BYTES || bytes > LARGEST_MAX_BLOCK_BYTES || (bytes & (bytes - 1)) != 0) {
        return usageError("--max-size", "'" + value + "' is not " + SIZE_CHOICES);
    }
    options->maxBlockBytes = bytes;
    return true;
}

// Every processor the process may use, in every processor group.
int usableProcessors() {
    if (platformOsFamily() != OsFamily::NT) return 1;
    const size_t count = platformUsableProcessors().size();
    return count > 0 ? static_cast<int>(count) : 1;
}

bool parseThreads(const char* text, RunOptions* options) {
    const int usable = usableProcessors();
    const std::string choices = "expected a number from 1 to " + std::to_string(usable) +
                                " (the processors this process may use) or all";
    if (std::strcmp(text, "all") == 0) {
        options->threads = usable;
        return true;
    }
    int64_t count = 0;
    if (!parseCount(text, &count) || count < 1 || count > usable) {
        return usageError("--threads", "'" + std::string(text) + "': " + choices);
    }
    options->threads = static_cast<int>(count);
    return true;
}

// The loaders' traffic, by the direction names of the tables.
bool parseLoad(const char* text, RunOptions* options) {
    const Direction choices[] = {Direction::READ, Direction::WRITE, Direction::COPY};
    for (const Direction direction : choices) {
        if (std::strcmp(text, directionName(direction)) == 0) {
            options->load = direction;
            return true;
        }
    }
    return usageError("--load", "'" + std::string(text) + "': expected read, write or copy");
}

// The loaded-latency table's team, and whether it can have one: a chaser and
// at least one loader, on processors of their own.
bool checkLoadedLatency(RunOptions* options, bool threadsGiven, bool loadGiven, bool maxSizeGiven) {
    if (!options->loadedLatency) {
        return !loadGiven || usageError("--load", "only with --loaded-latency");
    }
    if (threadsGiven && options->threads < 2) {
        return usageError("--loaded-latency", "needs two processors or more (one chases, the others load); "
                                              "--threads gives it 1");
    }
    options->loadedThreads = threadsGiven ? options->threads : usableProcessors();
    options->loadedBlockBytes = maxSizeGiven ? options->maxBlockBytes : LOADED_DEFAULT_BLOCK_BYTES;
    if (options->loadedThreads < 2) {
        return usageError("--loaded-latency", "needs two processors or more (one chases, the others load); "
                                              "this process may use 1");
    }
    return true;
}

bool parseRepeat(const char* text, RunOptions* options) {
    int64_t count = 0;
    if (!parseCount(text, &count) || count < 1 || count > MAX_REPEAT) {
        return usageError("--repeat", "'" + std::string(text) + "': expected a whole number from 1 to " +
                                          std::to_string(MAX_REPEAT));
    }
    options->repeat = static_cast<int>(count);
    return true;
}

// The option as the user wrote it, for the message about it.
std::string offendingOption(char** argv, int index) {
    if (index <= 0 || argv[index - 1] == nullptr) return "?";
    std::string written = argv[index - 1];
    const std::string::size_type equals = written.find('=');
    return equals == std::string::npos ? written : written.substr(0, equals);
}

// Whether the argument gives a value to an option that takes none, such as
// "--per-cycle=1": one getopt calls that an unknown option, another a missing
// value, and it is neither.
bool valueForNoValueOption(char** argv, int index) {
    if (index <= 0 || argv[index - 1] == nullptr) return false;
    const std::string written = argv[index - 1];
    const std::string::size_type equals = written.find('=');
    if (written.compare(0, 2, "--") != 0 || equals == std::string::npos) return false;
    for (const option* known = LONG_OPTIONS; known->name != nullptr; ++known) {
        if (written.compare(2, equals - 2, known->name) == 0 && std::strlen(known->name) == equals - 2) {
            return known->has_arg == no_argument;
        }
    }
    return false;
}

}  // namespace

OptionsOutcome parseOptions(int argc, char** argv, RunOptions* options) {
    *options = RunOptions{};
    opterr = 0;  // the messages are the program's own
    optind = 0;  // a full restart of the scan, state included
    for (int i = 0; i < argc; ++i) options->commandLine.push_back(argv[i]);
    // The first option given that --describe cannot take: any that measures.
    std::string measuring;
    int code;
    int index = -1;
    bool loadGiven = false, maxSizeGiven = false;
    while ((code = getopt_long(argc, argv, ":", LONG_OPTIONS, &index)) != -1) {
        bool ok = true;
        if (code >= OPT_ISA && code != OPT_JSON && code != OPT_DESCRIBE && measuring.empty() && index >= 0) {
            measuring = std::string("--") + LONG_OPTIONS[index].name;
        }
        switch (code) {
            case OPT_ISA: ok = parseIsa(optarg, options); break;
            case OPT_MAX_SIZE:
                ok = parseMaxSize(optarg, options);
                maxSizeGiven = true;
                break;
            case OPT_THREADS:
                ok = parseThreads(optarg, options);
                options->threadsNamed = true;
                break;
            case OPT_REPEAT: ok = parseRepeat(optarg, options); break;
            case OPT_PER_CYCLE: options->perCycle = true; break;
            case OPT_JSON: options->jsonPath = optarg; break;
            case OPT_CSV: options->csvPath = optarg; break;
            case OPT_LATENCY: options->latency = true; break;
            case OPT_COPY: options->copy = true; break;
            case OPT_HUGE_PAGES: options->hugePages = true; break;
            case OPT_PARALLEL_CHAINS: options->parallelChains = true; break;
            case OPT_CORE_TO_CORE: options->coreToCore = true; break;
            case OPT_DESCRIBE: options->describe = true; break;
            case OPT_LOADED_LATENCY: options->loadedLatency = true; break;
            case OPT_LOAD:
                ok = parseLoad(optarg, options);
                loadGiven = true;
                break;
            case OPT_HELP:
                printUsage();
                return OptionsOutcome::DONE;
            case OPT_VERSION:
                std::cout << "Kestrune ver" << KESTRUNE_VERSION;
                endLine(std::cout);
                return OptionsOutcome::DONE;
            case ':':
            default:
                ok = usageError(offendingOption(argv, optind).c_str(),
                                valueForNoValueOption(argv, optind) ? "takes no value; see --help"
                                : code == ':'                       ? "needs a value; see --help"
                                                                    : "unknown option; see --help");
                break;
        }
        if (!ok) return OptionsOutcome::USAGE_ERROR;
    }
    if (optind < argc) {
        usageError(argv[optind], "unexpected argument; the program takes options only, see --help");
        return OptionsOutcome::USAGE_ERROR;
    }
    if (options->describe && !measuring.empty()) {
        usageError(measuring.c_str(), "--describe measures nothing and takes only --json");
        return OptionsOutcome::USAGE_ERROR;
    }
    if (options->jsonPath && options->csvPath && std::strcmp(options->jsonPath, "-") == 0 &&
        std::strcmp(options->csvPath, "-") == 0) {
        usageError("--csv", "standard output already carries the JSON; give a file");
        return OptionsOutcome::USAGE_ERROR;
    }
    if (options->coreToCore) {
        const std::string refusal = coreToCoreRefusal(
            platformOsFamily(), options->threadsNamed ? options->threads : usableProcessors(), options->threadsNamed);
        if (!refusal.empty()) {
            usageError("--core-to-core", refusal);
            return OptionsOutcome::USAGE_ERROR;
        }
    }
    if (!checkLoadedLatency(options, options->threadsNamed, loadGiven, maxSizeGiven)) return OptionsOutcome::USAGE_ERROR;
    return OptionsOutcome::RUN;
}

bool extendedIsa(const RunOptions& options) { return (options.isa & CAP_EXTENDED) != 0; }
