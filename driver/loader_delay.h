#pragma once
// The loaders' busy-wait, calibrated: how many turns of its loop
// (kernels/loader_kernels.h) make a wait of D core cycles on this processor.
// A turn takes about one cycle, but not exactly everywhere, and the loop's
// last branch, mispredicted once its count outgrows what the predictor
// remembers, adds some cycles of its own; so each delay is measured, not
// computed.
#include <cstdint>

// The delays of the table's rows, in core cycles, in the rows' order.
constexpr int32_t LOADED_DELAYS[] = {0,   2,    8,    15,   50,   100,  200,  300,  400,  500,
                                     700, 1000, 1300, 1700, 2500, 3500, 5000, 9000, 20000};

// The core cycles one wait of `turns` turns adds to a loader's line: the
// fewest over a few tries (anything else on the processor only adds time) of
// the busy-wait kernel's ticks per wait, less those of a wait of no turns,
// in cycles at `coreCyclesPerTick`.
double measuredDelayCycles(int32_t turns, double coreCyclesPerTick);

// The turns whose wait comes closest to `cycles` core cycles: 0 for 0.
int32_t calibratedTurns(int32_t cycles, double coreCyclesPerTick);
