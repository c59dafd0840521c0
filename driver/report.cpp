#include "driver/report.h"

#include <iostream>
#include <sstream>

#include "kernels/kernel_table.h"

std::string blockLabel(int64_t blockBytes) {
    std::ostringstream label;
    if (blockBytes >= 0x40000000) {
        label << (blockBytes >> 30) << "GB";
    } else if (blockBytes >= 0x100000) {
        label << (blockBytes >> 20) << "MB";
    } else if (blockBytes >= 0x400) {
        label << (blockBytes >> 10) << "KB";
    } else {
        label << blockBytes << "B";
    }
    return label.str();
}

void sizeLabel(int64_t blockBytes) { std::cout << blockLabel(blockBytes) << ":\t"; }

std::string defaultFormat(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

PrintedValue scaledRate(double rate) {
    // Strict comparisons: a rate of exactly 2^30 is still printed in MB/s.
    if (rate > 1073741824.0) return {defaultFormat(rate * 0x1p-30), "GB/s"};
    if (rate > 1048576.0) return {defaultFormat(rate * 0x1p-20), "MB/s"};
    if (rate > 1024.0) return {defaultFormat(rate * 0x1p-10), "KB/s"};
    return {defaultFormat(rate), "B/s"};
}

void printCell(const PrintedValue& cell, bool endOfRow) {
    std::cout << cell.value << cell.unit;
    if (endOfRow) {
        endLine(std::cout);
    } else {
        std::cout << '\t';
    }
}

// The labels stand in the same order as the cells the passes measure, each
// followed by a tab but the last.
void printTableHeader(Direction direction, CapabilityMask mask, bool aligned16) {
    std::cout << "SIZE:";
    for (const KernelSpec* kernel : tableColumns(direction, mask, aligned16)) std::cout << '\t' << kernel->column;
    endLine(std::cout);
}
