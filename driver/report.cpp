#include "driver/report.h"

#include <iostream>

#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"

namespace {

// The labels stand in the same order as the cells the passes measure, each
// followed by a tab but the last.
void printHeader(Direction direction, CapabilityMask mask, bool aligned16) {
    std::cout << "SIZE:";
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (kernel.direction == direction && columnShown(kernel, mask, aligned16)) {
            std::cout << '\t' << kernel.column;
        }
    }
    endLine(std::cout);
}

}  // namespace

void endLine(std::ostream& stream) { stream << '\n' << std::flush; }

void sizeLabel(int32_t blockBytes) {
    if (blockBytes >= 0x100000) {
        std::cout << (blockBytes >> 20) << "MB:\t";
    } else if (blockBytes >= 0x400) {
        std::cout << (blockBytes >> 10) << "KB:\t";
    } else {
        std::cout << blockBytes << "B:\t";
    }
}

double transferRate(double bytesPerRunTimesHz) {
    return bytesPerRunTimesHz / static_cast<double>(static_cast<int64_t>(timingRecord.elapsedTicks));
}

void printRate(double rate, bool endOfRow) {
    // Strict comparisons: a rate of exactly 2^30 is still printed in MB/s.
    if (rate > 1073741824.0) {
        std::cout << rate * 0x1p-30 << "GB/s";
    } else if (rate > 1048576.0) {
        std::cout << rate * 0x1p-20 << "MB/s";
    } else if (rate > 1024.0) {
        std::cout << rate * 0x1p-10 << "KB/s";
    } else {
        std::cout << rate << "B/s";
    }
    if (endOfRow) {
        endLine(std::cout);
    } else {
        std::cout << '\t';
    }
}

void printReadHeader(CapabilityMask mask, bool aligned16) { printHeader(Direction::READ, mask, aligned16); }

void printWriteHeader(CapabilityMask mask, bool aligned16) { printHeader(Direction::WRITE, mask, aligned16); }
