#include "driver/run_sequence.h"

#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "driver/cell_records.h"
#include "driver/clock.h"
#include "driver/constants.h"
#include "driver/core_to_core_table.h"
#include "driver/data_file.h"
#include "driver/describe_mode.h"
#include "driver/extension_names.h"
#include "driver/latency_table.h"
#include "driver/loaded_latency.h"
#include "driver/machine_report.h"
#include "driver/parallel_chains_table.h"
#include "driver/passes.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/thread_team.h"
#include "kernels/copy_and_fill.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"
#include "probe/machine_description.h"
#include "probe/os_sse_probe.h"
#include "probe/simd_capabilities.h"

namespace {

// The lowest processor of the system, not of the process: the first of the 32
// probes 1, 2, 4 ... 0x80000000 whose bit is set, or 0 when none is.
uint32_t lowestProcessorBit(uint32_t systemMask) {
    for (uint32_t probe = 1; probe != 0; probe <<= 1) {
        if (systemMask & probe) return probe;
    }
    return 0;
}

// Everything printed before the tables, and every cell, kept for the data
// files.
RunDescription description;
std::vector<CellRecord> records;
// Whether the run reached the passes: only then has it anything to write.
bool measured = false;

// Prints one header line and keeps it.
void headerLine(const std::string& line) {
    std::cout << line;
    endLine(std::cout);
    description.lines.push_back(line);
}

// The classic names carry a trailing space but SSE3; the names beyond them
// follow, one space apart.
std::string capabilityLine(CapabilityMask classic, CapabilityMask extended) {
    std::string line = "Supported SIMD Inst:";
    for (const ExtensionName& extension : EXTENSION_NAMES) {
        const bool isClassic = (extension.capability & CAP_CLASSIC) != 0;
        if (!((isClassic ? classic : extended) & extension.capability)) continue;
        if (!isClassic && line.back() != ' ' && line.back() != ':') line += ' ';
        line += extension.name;
        if (isClassic && extension.capability != CAP_SSE3) line += ' ';
    }
    return line;
}

void keepSimdNames(CapabilityMask reported) {
    for (const ExtensionName& extension : EXTENSION_NAMES) {
        if (reported & extension.capability) description.simd.push_back(extension.name);
    }
}

// Whether the OS enables the wider registers' state the processor has.
std::string avxSupportLine(const ExtendedSupport& support) {
    if (!(support.enabled & CAP_AVX)) return "no";
    if ((support.processor & CAP_AVX512F) && !(support.enabled & CAP_AVX512F)) return "yes (AVX512F no)";
    return "yes";
}

// One line on standard error for each extension the user named that cannot
// run here; its columns are left out and the run goes on.
void warnAboutMissing(const RunOptions& options, CapabilityMask reported, CapabilityMask usable) {
    if (!options.isaNamed) return;
    for (const ExtensionName& extension : EXTENSION_NAMES) {
        if (!(options.isa & extension.capability) || (usable & extension.capability)) continue;
        std::cerr << "kestrune: " << extension.option << ": "
                  << ((reported & extension.capability) ? "not enabled by the operating system"
                                                        : "not supported by this processor")
                  << "; its columns are left out";
        endLine(std::cerr);
    }
}

// The files the options name, opened before anything is measured.
struct OutputFiles {
    DataFile json, csv;
};

// Discards what it is given: the text report, while standard output carries
// a data format.
struct DiscardBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

// The buffer the options ask for, or null when it is larger than this
// process can address.
void* allocateTestBuffer(uint64_t bytes) {
    if (bytes > std::numeric_limits<size_t>::max()) return nullptr;
    return platformAllocateBuffer(static_cast<size_t>(bytes));
}

// The test buffer, on 2 MiB pages as far as the system gives them when the
// options ask for it.
struct TestBuffer {
    void* data = nullptr;
    size_t mappedBytes = 0;
    HugePageOutcome pages;
};

TestBuffer allocateRunBuffer(uint64_t bytes, bool hugePages) {
    TestBuffer buffer;
    if (bytes > std::numeric_limits<size_t>::max()) return buffer;
    buffer.mappedBytes = static_cast<size_t>(bytes);
    if (!hugePages) {
        buffer.data = allocateTestBuffer(bytes);
        return buffer;
    }
    buffer.data = platformAllocateHugePageBuffer(static_cast<size_t>(bytes), &buffer.pages);
    buffer.mappedBytes = buffer.pages.mappedBytes;
    return buffer;
}

// The Pages line: the share of the run's buffers on 2 MiB pages, whole
// percent down (a share above none never reads 0%), or the small pages.
std::string pagesLine(double share) {
    if (share <= 0.0) return "Pages:4KB";
    const int percent = static_cast<int>(share * 100.0);
    return "Pages:2MB (" + std::to_string(percent > 0 ? percent : 1) + "%)";
}

void reportPages(const TestBuffer& buffer, int threads) {
    double share = buffer.pages.share;
    if (threads > 1) share = (share + teamHugePageShare() * (threads - 1)) / threads;
    if (share <= 0.0) {
        std::cerr << "kestrune: --huge-pages: " << buffer.pages.refusal << "; the run goes on with 4KB pages";
        endLine(std::cerr);
    }
    headerLine(pagesLine(share));
}

// The largest block and the slack past it; with --copy, room for the copy's
// destination past the largest block as well.
uint64_t testBufferBytes(const RunOptions& options) {
    const int64_t reach = options.copy ? copyFootprintBytes(options.maxBlockBytes) : options.maxBlockBytes;
    return static_cast<uint64_t>(reach) + BUFFER_SLACK_BYTES;
}

// The core-to-core table, after every other table: the team's processors,
// the first `threads` the process may use (all of them unless --threads was
// given). False when an interruption stopped it; a partner thread the system
// refuses is a failed allocation, as a team member is.
CoreToCoreOutcome coreToCoreStep(const RunOptions& options, const std::vector<ProcessorId>& usable, double clockMHz,
                                 bool progress) {
    CoreToCoreSettings settings;
    settings.processors = usable;
    if (options.threadsNamed && settings.processors.size() > static_cast<size_t>(options.threads)) {
        settings.processors.resize(static_cast<size_t>(options.threads));
    }
    settings.machine = &machineDescription();
    settings.perCycle = options.perCycle;
    settings.clockMHz = clockMHz;
    settings.records = (options.jsonPath || options.csvPath) ? &records : nullptr;
    settings.progress = progress;
    return runCoreToCoreTable(settings);
}

int failAllocation() {
    std::cerr << "malloc failed.";
    endLine(std::cerr);
    return 2;
}

// The loaded-latency table, on a team of its own; an interrupted table leaves
// the run incomplete.
LoadedOutcome runLoadedLatency(const RunOptions& options, const std::vector<ProcessorId>& usable, CapabilityMask mask,
                               double clockMHz, const PassSettings& settings) {
    LoadedSettings loaded;
    loaded.blockBytes = options.loadedBlockBytes;
    loaded.load = options.load;
    loaded.mask = mask;
    loaded.threads = options.loadedThreads;
    loaded.processors = usable;
    loaded.hugePages = options.hugePages;
    loaded.perCycle = options.perCycle;
    loaded.clockMHz = clockMHz;
    loaded.records = settings.records;
    loaded.progress = settings.progress;
    const LoadedOutcome outcome = runLoadedLatencyTable(loaded);
    if (outcome == LoadedOutcome::INTERRUPTED) description.complete = false;
    return outcome;
}

// The exit code of a run: 0 when it measured every cell, else the status the
// interruption that stopped it asks for.
int run(const RunOptions& options, bool progress) {
    description = RunDescription{};
    records.clear();
    measured = false;
    // The time the progress line shows is the whole run's, the clock's wait included.
    if (progress) startProgress();
    description.banner = "Kestrune ver1.0";
    headerLine(description.banner);

    const OsFamily family = platformOsFamily();
    // Read before this thread is pinned, which narrows what some systems list:
    // the later tables' teams need every processor.
    const bool teamsLater = options.coreToCore || options.loadedLatency;
    const std::vector<ProcessorId> usable =
        teamsLater && family == OsFamily::NT ? platformUsableProcessors() : std::vector<ProcessorId>{};
    if (family == OsFamily::NT) {
        uint32_t processMask = 0, systemMask = 0;
        if (!platformGetAffinityMasks(&processMask, &systemMask)) {
            std::cerr << "GetProcessAffinityMask() failed.";
            endLine(std::cerr);
            return 1;
        }
        // A team pins each of its threads instead. The loaded-latency and
        // core-to-core tables pin their threads to every processor, which a
        // process kept to one processor would refuse (Windows): only this
        // thread is pinned then.
        if (options.threads == 1 && teamsLater) {
            if (!usable.empty()) platformPinThread(usable.front());
        } else if (options.threads == 1) {
            if (const uint32_t processor = lowestProcessorBit(systemMask)) platformSetAffinityMask(processor);
        }
    }
    description.os = family == OsFamily::NT ? "NT based" : "9X based";
    headerLine("OS:" + description.os);

    const CapabilityMask detected = detectSimdCapabilities();
    const bool extended = extendedIsa(options);
    const ExtendedSupport support = extended ? detectExtendedSupport() : ExtendedSupport{};
    CapabilityMask mask = detected;
    headerLine(capabilityLine(detected, support.processor));
    keepSimdNames(detected | support.processor);
    description.sseSupportedByOs = -1;
    if (detected & CAP_SSE) {
        const bool sseSupported = probeOsSseSupport();
        if (!sseSupported) mask &= ~CAP_SSE_FAMILY;  // MMX stays
        description.sseSupportedByOs = sseSupported ? 1 : 0;
        headerLine(std::string("SSE supported by OS:") + (sseSupported ? "yes" : "no"));
    }
    CapabilityMask usableExtended = support.enabled;
    if (!(mask & CAP_SSE)) usableExtended = 0;  // every wider extension builds on SSE's state
    if (support.processor & (CAP_AVX | CAP_AVX512F)) {
        description.avxSupportedByOs = avxSupportLine(support);
        headerLine("AVX supported by OS:" + description.avxSupportedByOs);
    }
    mask = (mask | usableExtended) & options.isa;
    warnAboutMissing(options, detected | support.processor, mask);

    platformRaisePriority();

    headerLine("measuring CPU clock. please wait " + std::to_string(CLOCK_WAIT_SECONDS) + " seconds.");
    double clockMHz = measureClockMHz();
    headerLine("CPU clock:" + defaultFormat(clockMHz) + "MHz");
    description.cpuClockMHz = clockMHz;
    if (clockMHz < 1.0) clockMHz = 1.0;  // the line above still shows the measured value
    description.threads = options.threads;
    description.repeat = options.repeat;
    description.perCycle = options.perCycle;
    if (options.threads > 1) headerLine("Threads:" + std::to_string(options.threads));
    if (options.repeat > 1) headerLine("Repeat:" + std::to_string(options.repeat));

    const uint64_t bufferBytes = testBufferBytes(options);
    const TestBuffer buffer = allocateRunBuffer(bufferBytes, options.hugePages);
    void* testBuffer = buffer.data;
    if (testBuffer == nullptr) return failAllocation();
    // Thread k is pinned to the k-th processor the process may use, in every
    // processor group; the 9X family has no affinity.
    if (options.threads > 1 &&
        !startThreadTeam(options.threads,
                         family == OsFamily::NT ? platformUsableProcessors() : std::vector<ProcessorId>{},
                         static_cast<unsigned char*>(testBuffer), static_cast<size_t>(bufferBytes),
                         options.hugePages)) {
        platformReleaseBuffer(testBuffer, buffer.mappedBytes);
        return failAllocation();
    }
    if (options.hugePages) reportPages(buffer, options.threads);
    std::cout << "Speed check start.";
    endLine(std::cout);

    const double bytesPerRunTimesHz = clockMHz * 1000000.0 * (static_cast<double>(RUN_LINES) * LINE_BYTES);
    PassSettings settings;
    settings.mask = mask;
    settings.maxBlockBytes = options.maxBlockBytes;
    settings.threads = options.threads;
    settings.repeat = options.repeat;
    settings.perCycle = options.perCycle;
    settings.clockMHz = clockMHz;
    settings.records = (options.jsonPath || options.csvPath) ? &records : nullptr;
    settings.progress = progress;
    measured = true;
    description.complete = runPasses(static_cast<unsigned char*>(testBuffer), settings, bytesPerRunTimesHz);
    if (options.copy && description.complete) {
        description.complete = runCopyAndFillPasses(static_cast<unsigned char*>(testBuffer), settings,
                                                    bytesPerRunTimesHz);
    }

    // The team's other members wait for a cell that never comes while the
    // first processor alone measures latency; an interrupted run measures no
    // more.
    LatencyOutcome latencyOutcome = LatencyOutcome::MEASURED;
    if (options.latency && description.complete) {
        LatencySettings latency;
        latency.maxBlockBytes = options.maxBlockBytes;
        latency.perCycle = options.perCycle;
        latency.clockMHz = clockMHz;
        latency.records = settings.records;
        latencyOutcome = runLatencyTable(static_cast<unsigned char*>(testBuffer), latency);
        if (latencyOutcome == LatencyOutcome::INTERRUPTED) description.complete = false;
    }
    // The parallel chains, on the first processor alone as the latency table.
    if (options.parallelChains && description.complete && latencyOutcome == LatencyOutcome::MEASURED) {
        ParallelChainsSettings chains;
        chains.maxBlockBytes = options.maxBlockBytes;
        chains.perCycle = options.perCycle;
        chains.clockMHz = clockMHz;
        chains.records = settings.records;
        chains.progress = progress;
        latencyOutcome = runParallelChainsTable(static_cast<unsigned char*>(testBuffer), chains);
        if (latencyOutcome == LatencyOutcome::INTERRUPTED) description.complete = false;
    }

    // The team stops and is joined before anything is written, before the
    // loaded-latency table starts a team of its own, and before the
    // core-to-core table, whose two threads must have their processors to
    // themselves.
    if (options.threads > 1) stopThreadTeam();
    platformReleaseBuffer(testBuffer, buffer.mappedBytes);
    const LoadedOutcome loadedOutcome = options.loadedLatency && description.complete &&
                                                latencyOutcome == LatencyOutcome::MEASURED
                                            ? runLoadedLatency(options, usable, mask, clockMHz, settings)
                                            : LoadedOutcome::MEASURED;
    if (loadedOutcome == LoadedOutcome::INTERRUPTED) description.complete = false;
    CoreToCoreOutcome coreToCore = CoreToCoreOutcome::MEASURED;
    if (options.coreToCore && description.complete) {
        coreToCore = coreToCoreStep(options, usable, clockMHz, progress);
        if (coreToCore == CoreToCoreOutcome::INTERRUPTED) description.complete = false;
    }
    if (progress) endProgress();
    if (latencyOutcome == LatencyOutcome::NO_MEMORY || loadedOutcome == LoadedOutcome::NO_MEMORY ||
        coreToCore == CoreToCoreOutcome::NO_THREAD) {
        return failAllocation();
    }
    return description.complete ? 0 : platformInterruption();
}

std::string jsonText(const RunOptions&) {
    std::ostringstream text;
    writeJsonRecords(text, description, records);
    return text.str();
}

std::string csvText(const RunOptions& options) {
    std::ostringstream text;
    writeCsvRecords(text, options.perCycle, records);
    return text.str();
}

// Writes one data format to its file or to standard output; false after a
// line on standard error.
bool writeData(DataFile* file, std::string (*format)(const RunOptions&), const RunOptions& options) {
    if (file->path == nullptr) return true;
    return writeDataContent(file, format(options));
}

// The machine, read before anything is measured, and the run's own facts, for
// the JSON report; the run without --json reads neither.
struct RunRecord {
    const MachineDescription* machine = nullptr;
    RunFacts facts;
    uint64_t startMilliseconds = 0;
};

RunRecord startRunRecord(const RunOptions& options) {
    RunRecord record;
    if (options.jsonPath == nullptr) return record;
    record.facts.startSeconds = platformSecondsSinceEpoch();
    record.startMilliseconds = platformMonotonicMilliseconds();
    record.machine = &machineDescription();
    record.facts.hostName = record.machine->hostName;
    record.facts.commandLine = options.commandLine;
    return record;
}

void finishRunRecord(RunRecord* record) {
    if (record->machine == nullptr) return;
    record->facts.durationSeconds =
        static_cast<double>(platformMonotonicMilliseconds() - record->startMilliseconds) / 1000.0;
    record->facts.complete = description.complete;
    description.machineJson = machineJson(*record->machine);
    description.runJson = runJson(record->facts);
}

}  // namespace

int runBenchmark(const RunOptions& options) {
    if (options.describe) return runDescribe(options);
    OutputFiles files;
    if (!openDataFile(options.jsonPath, &files.json) || !openDataFile(options.csvPath, &files.csv)) {
        abandonDataFile(&files.json);
        return EXIT_CANNOT_CREATE;
    }
    platformCatchInterruptions();
    RunRecord record = startRunRecord(options);

    // Standard output carrying a data format carries nothing else: the report
    // goes nowhere, and a terminal on standard error shows the progress.
    const bool dataOnStdout = files.json.toStdout || files.csv.toStdout;
    DiscardBuffer discard;
    std::streambuf* const standardOutput = dataOnStdout ? std::cout.rdbuf(&discard) : nullptr;
    const int code = run(options, dataOnStdout && platformStandardErrorIsTerminal());
    if (dataOnStdout) std::cout.rdbuf(standardOutput);

    // A run that failed before measuring leaves every file as it was.
    if (!measured) {
        abandonDataFile(&files.json);
        abandonDataFile(&files.csv);
        return code;
    }
    finishRunRecord(&record);
    const bool jsonWritten = writeData(&files.json, jsonText, options);
    const bool csvWritten = writeData(&files.csv, csvText, options);
    return jsonWritten && csvWritten ? code : EXIT_CANNOT_WRITE;
}
