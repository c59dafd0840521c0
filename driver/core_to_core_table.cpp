#include "driver/core_to_core_table.h"

#include <iostream>

#include "driver/core_to_core_pair.h"
#include "driver/passes.h"
#include "driver/progress.h"
#include "driver/report.h"

namespace {

// What the table tells about who timed: the row's processor stores first and
// times the round trips, the column's answers.
constexpr const char* TIMING_LINE = "one way: half a round trip timed by the row's processor, answered by the column's";

// Says once per processor that it refused a thread; its cells stay empty.
void reportRefusal(const ProcessorId& processor, bool grouped, std::vector<bool>* named, size_t index) {
    if ((*named)[index]) return;
    (*named)[index] = true;
    std::cerr << "kestrune: --core-to-core: processor " << processorLabel(processor, grouped)
              << " refused a thread; its pairs are left empty";
    endLine(std::cerr);
}

struct TableContext {
    const CoreToCoreSettings& settings;
    bool grouped;
    double coreMHz;
    uint64_t frameTicks;
    std::vector<bool> refusalNamed;
};

void keepRecord(const TableContext& table, const ProcessorId& from, const ProcessorId& to, double nsOneWay,
                double cyclesOneWay, const PrintedValue& printed) {
    const CoreToCoreSettings& settings = table.settings;
    CellRecord record{};
    record.direction = CORE_TO_CORE_DIRECTION;
    record.value = printed.value;
    record.unit = printed.unit;
    record.threads = 2;
    record.coreMHz = table.coreMHz;
    record.fromProcessor = processorLabel(from, table.grouped);
    record.toProcessor = processorLabel(to, table.grouped);
    record.timedBy = record.fromProcessor;
    if (settings.machine != nullptr) {
        const PairRelation relation = pairRelation(*settings.machine, from, to);
        record.siblings = relation.siblings;
        record.sharedCacheLevel = relation.sharedCacheLevel;
        record.differentPackages = relation.differentPackages;
        record.differentNodes = relation.differentNodes;
    }
    record.nsOneWay = nsOneWay;
    record.cyclesOneWay = cyclesOneWay;
    settings.records->push_back(record);
}

// One row: the calling thread pinned to the row's processor times a pair
// with every other. False when an interruption came before the row ended.
bool measureRow(TableContext* table, size_t row) {
    const CoreToCoreSettings& settings = table->settings;
    const ProcessorId& from = settings.processors[row];
    std::cout << processorLabel(from, table->grouped) << ":\t";
    const bool rowPinned = platformPinThread(from);
    if (!rowPinned) reportRefusal(from, table->grouped, &table->refusalNamed, row);
    const size_t count = settings.processors.size();
    for (size_t column = 0; column < count; ++column) {
        const bool last = column + 1 == count;
        if (column == row) {
            printCell(PrintedValue{"-", ""}, last);
            continue;
        }
        // A row cut short stays unfinished, as in every other table.
        if (platformInterruption() != 0) return false;
        const ProcessorId& to = settings.processors[column];
        if (!rowPinned) {
            printCell(PrintedValue{"", ""}, last);
            continue;
        }
        const PairTiming timing = timePair(to, settings.clockMHz, table->frameTicks);
        if (!timing.measured) {
            reportRefusal(to, table->grouped, &table->refusalNamed, column);
            printCell(PrintedValue{"", ""}, last);
            continue;
        }
        // Ticks per microsecond is the clock in MHz; one way is half the round trip.
        const double nsOneWay = timing.ticksPerRoundTrip / 2.0 * 1000.0 / settings.clockMHz;
        const double cyclesOneWay = nsOneWay * table->coreMHz / 1000.0;
        const PrintedValue printed = settings.perCycle ? PrintedValue{defaultFormat(cyclesOneWay), "c"}
                                                       : PrintedValue{defaultFormat(nsOneWay), "ns"};
        printCell(printed, last);
        if (settings.records) keepRecord(*table, from, to, nsOneWay, cyclesOneWay, printed);
    }
    return true;
}

}  // namespace

std::string coreToCoreRefusal(OsFamily family, int processors, bool threadsNamed) {
    const char* need = "needs two processors or more";
    if (family == OsFamily::WIN9X) return std::string(need) + "; Windows 9X runs a process on one";
    if (threadsNamed && processors < 2) return std::string(need) + "; --threads 1 gives it one";
    if (processors < 2) return std::string(need) + "; this process may use one";
    return "";
}

bool spansGroups(const std::vector<ProcessorId>& processors) {
    for (const ProcessorId& processor : processors) {
        if (processor.group != processors.front().group) return true;
    }
    return false;
}

std::string processorLabel(const ProcessorId& processor, bool grouped) {
    const std::string number = std::to_string(processor.number);
    return grouped ? std::to_string(processor.group) + ":" + number : number;
}

CoreToCoreOutcome runCoreToCoreTable(const CoreToCoreSettings& settings) {
    if (!startPairPartner()) return CoreToCoreOutcome::NO_THREAD;
    TableContext table{settings, spansGroups(settings.processors), 0.0, 0,
                       std::vector<bool>(settings.processors.size(), false)};
    std::cout << CORE_TO_CORE_TITLE;
    endLine(std::cout);
    if (settings.perCycle) {
        table.coreMHz = measureCoreClockMHz(settings.clockMHz);
        printCoreClock(table.coreMHz);
    }
    std::cout << TIMING_LINE;
    endLine(std::cout);
    std::cout << "CPU:";
    for (const ProcessorId& processor : settings.processors) {
        std::cout << '\t' << processorLabel(processor, table.grouped);
    }
    endLine(std::cout);
    table.frameTicks = emptyFrameTicks();
    CoreToCoreOutcome outcome = CoreToCoreOutcome::MEASURED;
    for (size_t row = 0; row < settings.processors.size(); ++row) {
        if (platformInterruption() != 0) {
            outcome = CoreToCoreOutcome::INTERRUPTED;
            break;
        }
        if (settings.progress) {
            showProgressStep(CORE_TO_CORE_TITLE, "row " + processorLabel(settings.processors[row], table.grouped));
        }
        if (!measureRow(&table, row)) {
            outcome = CoreToCoreOutcome::INTERRUPTED;
            break;
        }
    }
    stopPairPartner();
    return outcome;
}
