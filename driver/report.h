#pragma once
#include <cstdint>
#include <ostream>

#include "probe/capability_mask.h"

// Ends a line: a newline, then a flush, so the report appears row by row.
void endLine(std::ostream& stream);

// The first field of a row: the block size in B, KB or MB (powers of 1024).
void sizeLabel(int32_t blockBytes);

// Bytes per second of the run the last kernel timed.
double transferRate(double bytesPerRunTimesHz);

// One cell: the rate scaled to GB/s, MB/s, KB/s or B/s, then a tab, or the end
// of the row.
void printRate(double rate, bool endOfRow);

void printReadHeader(CapabilityMask mask, bool aligned16);
void printWriteHeader(CapabilityMask mask, bool aligned16);
