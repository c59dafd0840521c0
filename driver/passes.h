#pragma once
#include "probe/capability_mask.h"

// Prints the three read tables, then the three write tables: one row per block
// size from 128 bytes to 32 MiB, one cell per kernel the mask allows.
void runMeasurementPasses(unsigned char* testBuffer, CapabilityMask mask, double bytesPerRunTimesHz);
