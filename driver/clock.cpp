#include "driver/clock.h"

#include "driver/constants.h"
#include "kernels/kernels.h"
#include "kernels/timing_record.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

int64_t millisecondsSinceEpoch(const WallClockReading& reading) {
    const int64_t days = daysFromCivil(reading.year, reading.month, reading.day);
    const int64_t seconds = ((days * 24 + reading.hour) * 60 + reading.minute) * 60 + reading.second;
    return seconds * 1000 + reading.milliseconds;
}

// The wall clock advances in ticks (a millisecond, or as much as 15.6 ms on
// some Windows systems), so a reading taken at a random moment lags the true
// time by up to a tick. Taking both readings just as the clock ticks puts them
// on the same phase: the elapsed time is then right to the tick's jitter
// instead of to a whole tick. A clock that never ticks is given up on.
constexpr uint32_t MAX_TICK_SPINS = 1u << 24;

WallClockReading readingAtTick() {
    const WallClockReading stale = platformWallClockUtc();
    WallClockReading now = stale;
    for (uint32_t spins = 0; spins < MAX_TICK_SPINS && elapsedMilliseconds(stale, now) == 0; ++spins) {
        now = platformWallClockUtc();
    }
    return now;
}

}  // namespace

int64_t elapsedMilliseconds(const WallClockReading& from, const WallClockReading& to) {
    return millisecondsSinceEpoch(to) - millisecondsSinceEpoch(from);
}

double measureClockMHz() {
    // Each wall-clock reading is taken just before its counter reading.
    const WallClockReading from = readingAtTick();
    timingRecord.startTicks = readSerialisedTicks();
    platformSleepMilliseconds(CLOCK_WAIT_SECONDS * 1000);
    const WallClockReading to = readingAtTick();
    timingRecord.endTicks = readSerialisedTicks();
    timingRecord.elapsedTicks = timingRecord.endTicks - timingRecord.startTicks;

    const double milliseconds = static_cast<double>(elapsedMilliseconds(from, to));
    return static_cast<double>(static_cast<int64_t>(timingRecord.elapsedTicks)) / (milliseconds * 1000.0);
}
