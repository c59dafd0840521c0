#include "driver/passes.h"

#include <cstring>
#include <iostream>

#include "driver/constants.h"
#include "driver/report.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"

namespace {

struct AlignmentPass {
    int offset;
    bool aligned16;
    const char* readTitle;
    const char* writeTitle;
};

// A page-aligned buffer plus these offsets starts on a 16-, an 8- (not 16-)
// and a 4- (not 8-) byte boundary.
const AlignmentPass ALIGNMENT_PASSES[] = {
    {0, true, "128bit(16byte) aligned read", "128bit(16byte) aligned write"},
    {8, false, "64bit(8byte) aligned read", "64bit(8byte) aligned write"},
    {4, false, "32bit(4byte) aligned read", "32bit(4byte) aligned write"},
};

// Each row starts with an unreported run of the direction's MOV(32) kernel.
TransferKernel warmUpKernel(Direction direction) {
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        if (KERNEL_TABLE[k].direction == direction && std::strcmp(KERNEL_TABLE[k].column, "MOV(32)") == 0) {
            return KERNEL_TABLE[k].run;
        }
    }
    return nullptr;
}

void measureRow(Direction direction, unsigned char* passBase, bool aligned16, int32_t blockLines,
                CapabilityMask mask, double bytesPerRunTimesHz) {
    sizeLabel(blockLines * LINE_BYTES);
    warmUpKernel(direction)(passBase, blockLines, RUN_LINES);

    const KernelSpec* lastShown = nullptr;
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        if (KERNEL_TABLE[k].direction == direction && columnShown(KERNEL_TABLE[k], mask, aligned16)) {
            lastShown = &KERNEL_TABLE[k];
        }
    }
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (kernel.direction != direction || !columnShown(kernel, mask, aligned16)) continue;
        kernel.run(passBase, blockLines, RUN_LINES);
        // Each cell is printed before the next kernel runs.
        printRate(transferRate(bytesPerRunTimesHz), &kernel == lastShown);
    }
}

void runPasses(Direction direction, unsigned char* testBuffer, CapabilityMask mask, double bytesPerRunTimesHz) {
    for (const AlignmentPass& pass : ALIGNMENT_PASSES) {
        std::cout << (direction == Direction::READ ? pass.readTitle : pass.writeTitle);
        endLine(std::cout);
        if (direction == Direction::READ) {
            printReadHeader(mask, pass.aligned16);
        } else {
            printWriteHeader(mask, pass.aligned16);
        }
        for (int32_t k = 0, blockLines = 1; blockLines * LINE_BYTES <= MAX_BLOCK_BYTES; ++k, blockLines = 1 << k) {
            measureRow(direction, testBuffer + pass.offset, pass.aligned16, blockLines, mask, bytesPerRunTimesHz);
        }
    }
}

}  // namespace

void runMeasurementPasses(unsigned char* testBuffer, CapabilityMask mask, double bytesPerRunTimesHz) {
    runPasses(Direction::READ, testBuffer, mask, bytesPerRunTimesHz);
    runPasses(Direction::WRITE, testBuffer, mask, bytesPerRunTimesHz);
}
