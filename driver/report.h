#pragma once
#include <cstdint>
#include <string>

#include "driver/output_line.h"
#include "isa/capability_mask.h"
#include "kernels/kernel_table.h"


// The block size as the report writes it: in B, KB, MB or GB (powers of 1024).
std::string blockLabel(int64_t blockBytes);

// The first field of a row: the block label and a colon, then a tab.
void sizeLabel(int64_t blockBytes);

// A double as the report prints every number: the stream's default format.
std::string defaultFormat(double value);

// A rate as a cell shows it: the number scaled to GB/s, MB/s, KB/s or B/s in
// the stream's default format, and the unit.
struct PrintedValue {
    std::string value;
    std::string unit;
};
PrintedValue scaledRate(double rate);

// One cell: the value and its unit, then a tab, or the end of the row.
void printCell(const PrintedValue& cell, bool endOfRow);

// The header of a table: SIZE: and the labels of its columns.
void printTableHeader(Direction direction, CapabilityMask mask, bool aligned16);
