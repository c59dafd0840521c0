#pragma once
#include <cstdint>
#include <vector>

#include "driver/cell_records.h"
#include "driver/constants.h"
#include "isa/capability_mask.h"

// Prints the three read tables, then the three write tables: one row per block
// size from 128 bytes to 32 MiB, one cell per kernel the mask allows.

// What the options change in the passes; the defaults give the classic tables.
struct PassSettings {
    CapabilityMask mask = 0;
    int64_t maxBlockBytes = DEFAULT_MAX_BLOCK_BYTES;
    int threads = 1;  // above 1, every cell runs on the started thread team
    int repeat = 1;
    bool perCycle = false;
    double clockMHz = 1.0;  // the time-stamp counter's, for the core clock
    std::vector<CellRecord>* records = nullptr;  // every cell is added here when set
    bool progress = false;  // the progress line on standard error
};

// False when an interruption came: the passes then stop after the cell they
// were in, leaving the row as far as it was printed.
bool runPasses(unsigned char* testBuffer, const PassSettings& settings, double bytesPerRunTimesHz);

// With --copy, right after the read and write tables: the three copy tables,
// then the three fill tables, in the same passes and rows. The buffer must
// hold a copy's destination past the largest block (copyFootprintBytes).
bool runCopyAndFillPasses(unsigned char* testBuffer, const PassSettings& settings, double bytesPerRunTimesHz);

// The bytes a run moved per second: its bytes times the counter's rate, over
// the ticks it took read as signed, so that a counter that ran backwards gives
// a negative rate rather than a tiny one.
double runRate(double bytesTimesHz, uint64_t ticks);

// The lines one run moves through a block: 64 MiB, or the whole block when it
// is larger, so that every run sweeps its block at least once.
int32_t runLines(int32_t blockLines);

// The core clock from the dependent-add chain and the time-stamp counter's
// clock, and the line that shows it under a per-cycle table's title.
double measureCoreClockMHz(double clockMHz);
void printCoreClock(double coreMHz);
