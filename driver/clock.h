#pragma once
#include <cstdint>

#include "platform/platform.h"

// Milliseconds from reading `from` to reading `to`, counting every field from
// the date down, so that a measurement across a minute, hour or day is right.
int64_t elapsedMilliseconds(const WallClockReading& from, const WallClockReading& to);

// Time-stamp-counter ticks per microsecond over a wait of CLOCK_WAIT_SECONDS,
// leaving both readings and their difference in timingRecord.
double measureClockMHz();
