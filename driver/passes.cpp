#include "driver/passes.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "driver/median.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/thread_team.h"
#include "kernels/core_clock.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

struct AlignmentPass {
    int offset;
    int alignmentBytes;
};

// A page-aligned buffer plus these offsets starts on a 16-, an 8- (not 16-)
// and a 4- (not 8-) byte boundary.
const AlignmentPass ALIGNMENT_PASSES[] = {{0, 16}, {8, 8}, {4, 4}};

// "128bit(16byte) aligned read" and the like.
std::string tableTitle(Direction direction, const AlignmentPass& pass) {
    return std::to_string(pass.alignmentBytes * 8) + "bit(" + std::to_string(pass.alignmentBytes) + "byte) aligned " +
           directionName(direction);
}

// The first pass starts on a page: the aligned-only columns run there.
bool aligned16(const AlignmentPass& pass) { return pass.alignmentBytes == 16; }

// Each row starts with an unreported run of the table's first column that
// every processor runs: MOV(32) in the read and write tables, the byte string
// instruction in the copy and fill tables.
TransferKernel warmUpKernel(const std::vector<const KernelSpec*>& columns) {
    for (const KernelSpec* kernel : columns) {
        if (kernel->capability == 0) return kernel->run;
    }
    return nullptr;
}

// Runs one kernel over the block and returns the ticks the run took: on the
// thread team, the span over all of its members.
uint64_t timedRun(const PassSettings& settings, TransferKernel kernel, unsigned char* passBase, int offset,
                  int32_t blockLines) {
    if (settings.threads > 1) return runTeamCell(kernel, static_cast<size_t>(offset), blockLines, runLines(blockLines));
    kernel(passBase, blockLines, runLines(blockLines));
    return timingRecord.elapsedTicks;
}

double coreClockMHz(const PassSettings& settings) { return measureCoreClockMHz(settings.clockMHz); }

bool interrupted() { return platformInterruption() != 0; }

// False when an interruption stopped the row.
bool measureRow(Direction direction, const AlignmentPass& pass, unsigned char* testBuffer, int32_t blockLines,
                const std::vector<const KernelSpec*>& columns, const PassSettings& settings,
                double bytesPerRunTimesHz) {
    const double coreMHz = settings.perCycle ? coreClockMHz(settings) : 0.0;
    const int64_t blockBytes = int64_t{blockLines} * LINE_BYTES;
    sizeLabel(blockBytes);
    unsigned char* passBase = testBuffer + pass.offset;
    timedRun(settings, warmUpKernel(columns), passBase, pass.offset, blockLines);

    // Runs of the classic length on one thread keep the classic arithmetic:
    // the factor is then exactly 1.
    const double runsMoved = static_cast<double>(runLines(blockLines)) / RUN_LINES * settings.threads;
    for (const KernelSpec* kernel : columns) {
        if (interrupted()) return false;
        std::vector<double> samples;
        for (int r = 0; r < settings.repeat; ++r) {
            const uint64_t ticks = timedRun(settings, kernel->run, passBase, pass.offset, blockLines);
            samples.push_back(runRate(bytesPerRunTimesHz * runsMoved, ticks));
        }
        const double rate = median(samples);
        const double bytesPerCycle = settings.perCycle ? rate / (coreMHz * 1000000.0) : 0.0;
        const PrintedValue printed =
            settings.perCycle ? PrintedValue{defaultFormat(bytesPerCycle), "B/c"} : scaledRate(rate);
        // Each cell is printed before the next kernel runs.
        printCell(printed, kernel == columns.back());
        if (settings.records) {
            settings.records->push_back({directionName(direction), pass.alignmentBytes, blockBytes,
                                         blockLabel(blockBytes), kernel->column, rate, printed.value, printed.unit,
                                         settings.threads, samples, coreMHz, bytesPerCycle});
            settings.records->back().busBytesPerSecond = rate * busBytesPerByte(direction);
        }
    }
    return true;
}

bool runDirection(Direction direction, unsigned char* testBuffer, const PassSettings& settings,
                  double bytesPerRunTimesHz) {
    for (const AlignmentPass& pass : ALIGNMENT_PASSES) {
        if (interrupted()) return false;
        const std::string title = tableTitle(direction, pass);
        std::cout << title;
        endLine(std::cout);
        if (settings.perCycle) printCoreClock(coreClockMHz(settings));
        printTableHeader(direction, settings.mask, aligned16(pass));
        const std::vector<const KernelSpec*> columns = tableColumns(direction, settings.mask, aligned16(pass));
        for (int64_t blockLines = 1; blockLines * LINE_BYTES <= settings.maxBlockBytes; blockLines *= 2) {
            if (interrupted()) return false;
            if (settings.progress) showProgress(title.c_str(), blockLines * LINE_BYTES);
            if (!measureRow(direction, pass, testBuffer, static_cast<int32_t>(blockLines), columns, settings,
                            bytesPerRunTimesHz)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

double measureCoreClockMHz(double clockMHz) { return coreCyclesPerTick() * clockMHz; }

void printCoreClock(double coreMHz) {
    std::cout << "core clock:" << coreMHz << "MHz";
    endLine(std::cout);
}

int32_t runLines(int32_t blockLines) { return std::max(RUN_LINES, blockLines); }

double runRate(double bytesTimesHz, uint64_t ticks) {
    return bytesTimesHz / static_cast<double>(static_cast<int64_t>(ticks));
}

bool runPasses(unsigned char* testBuffer, const PassSettings& settings, double bytesPerRunTimesHz) {
    return runDirection(Direction::READ, testBuffer, settings, bytesPerRunTimesHz) &&
           runDirection(Direction::WRITE, testBuffer, settings, bytesPerRunTimesHz);
}

bool runCopyAndFillPasses(unsigned char* testBuffer, const PassSettings& settings, double bytesPerRunTimesHz) {
    return runDirection(Direction::COPY, testBuffer, settings, bytesPerRunTimesHz) &&
           runDirection(Direction::FILL, testBuffer, settings, bytesPerRunTimesHz);
}
