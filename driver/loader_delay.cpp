#include "driver/loader_delay.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "kernels/loader_kernels.h"
#include "kernels/timing_record.h"

namespace {

// Each timing runs the waits for about this many core cycles (half a
// millisecond at 4 GHz): long beside the frame's own cost, short beside the
// host's interruptions, which the fewest of the tries leaves out.
constexpr double CYCLES_PER_TIMING = 2e6;
constexpr int32_t FEWEST_REPEATS = 64;
constexpr int TRIES = 5;
// The long wait that gives the first estimate of the cycles per turn.
constexpr int32_t ESTIMATE_TURNS = 20000;
constexpr int CORRECTIONS = 3;

int32_t repeatsFor(double cycles) {
    return std::max(FEWEST_REPEATS, static_cast<int32_t>(CYCLES_PER_TIMING / (cycles + 10.0)));
}

uint64_t fewestTicks(int32_t turns, int32_t repeats) {
    uint64_t fewest = 0;
    for (int t = 0; t < TRIES; ++t) {
        delayTurns(turns, repeats);
        const uint64_t ticks = timingRecord.elapsedTicks;
        if (t == 0 || ticks < fewest) fewest = ticks;
    }
    return fewest;
}

// The cycles a wait of `turns` adds, timed over `repeats` waits.
double delayCycles(int32_t turns, int32_t repeats, double coreCyclesPerTick) {
    const double with = static_cast<double>(fewestTicks(turns, repeats));
    const double without = static_cast<double>(fewestTicks(0, repeats));
    return (with - without) * coreCyclesPerTick / repeats;
}

}  // namespace

double measuredDelayCycles(int32_t turns, double coreCyclesPerTick) {
    return delayCycles(turns, repeatsFor(turns), coreCyclesPerTick);
}

int32_t calibratedTurns(int32_t cycles, double coreCyclesPerTick) {
    if (cycles <= 0) return 0;
    const int32_t repeats = repeatsFor(cycles);
    double perTurn = measuredDelayCycles(ESTIMATE_TURNS, coreCyclesPerTick) / ESTIMATE_TURNS;
    if (!(perTurn > 0.05)) perTurn = 1.0;  // a clock that says nothing: one cycle per turn
    // A guess from the slope, then corrections by what each try measured:
    // the fixed cost of the loop's exit is what the slope alone misses.
    int32_t turns = std::max<int32_t>(1, static_cast<int32_t>(std::lround(cycles / perTurn)));
    int32_t best = turns;
    double bestError = HUGE_VAL;
    for (int step = 0; step < CORRECTIONS; ++step) {
        const double error = delayCycles(turns, repeats, coreCyclesPerTick) - cycles;
        if (std::fabs(error) < bestError) {
            bestError = std::fabs(error);
            best = turns;
        }
        const int32_t next = std::max<int32_t>(1, turns - static_cast<int32_t>(std::lround(error / perTurn)));
        if (next == turns) break;
        turns = next;
    }
    return best;
}
