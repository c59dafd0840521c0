#pragma once
// One cell of the core-to-core table: how long a cache line takes to travel
// between two processors, from round trips between two pinned threads. The
// calling thread times; a partner thread, started once for the whole table,
// answers.
#include <cstdint>
#include <vector>

#include "platform/platform.h"

// The round trips behind one cell: after a short calibration, this many
// samples, each as many round trips as fill SAMPLE_MICROSECONDS, the fastest
// kept (anything else on either processor only ever adds time). A cell takes
// some 1.7 ms with the pinning, so a table of 256 processors (65,280 ordered
// pairs) takes about two minutes.
constexpr int PAIR_SAMPLES = 5;
constexpr int SAMPLE_MICROSECONDS = 300;
constexpr int32_t CALIBRATION_ROUNDS = 64;
// Bounds on a sample's round trips: enough that the frame's stamps are lost
// in them on the fastest pair, few enough that a descheduled partner cannot
// stretch a sample without end.
constexpr int32_t LEAST_SAMPLE_ROUNDS = 16;
constexpr int32_t MOST_SAMPLE_ROUNDS = 1 << 20;

struct PairTiming {
    bool measured = false;  // false: the answering processor refused the partner thread
    double ticksPerRoundTrip = 0;  // the fastest sample's, the frame's own ticks taken off
    std::vector<double> samplesTicksPerRoundTrip;  // every sample, in order
};

// Starts the answering thread; false when the system refuses a thread.
bool startPairPartner();
void stopPairPartner();

// The ticks of the timing frame with no round trip in it, the fewest of a
// few: what every sample's count holds besides its round trips.
uint64_t emptyFrameTicks();

// Round trips between the calling thread, pinned by the caller to the timing
// processor, and the partner pinned to `answerer`. `clockMHz` sizes the
// samples; `frameTicks` is taken off each.
PairTiming timePair(const ProcessorId& answerer, double clockMHz, uint64_t frameTicks);

// The round trips of one sample, for round trips of `calibrationTicks` each
// (CALIBRATION_ROUNDS of them measured), within the bounds above.
int32_t sampleRounds(double clockMHz, uint64_t calibrationTicks);
