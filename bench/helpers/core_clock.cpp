// Core cycles per time-stamp tick, from a chain of dependent adds: each add
// waits for the one before, so the chain runs at exactly one add per core
// cycle whatever the clock is, where no cycle counter can be read.
//
// Prints "ticks_per_cycle <median> <min> <max>" over the samples.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "driver/median.h"
#include "pin_to_cpu.h"
#include "kernels/dependent_add_clock.h"
#include "tsc_stamp.h"

namespace {

constexpr uint32_t BLOCKS_PER_SAMPLE = 5000;  // one million adds, about 0.3 ms
constexpr int SAMPLES = 15;

double ticksPerAdd() { return ticksPerDependentAdd(BLOCKS_PER_SAMPLE, fencedTicks); }

}  // namespace

int main(int argc, char** argv) {
    pinToCpuFromArguments(argc, argv);
    ticksPerAdd();  // brings the loop into the caches before the kept samples
    std::vector<double> samples;
    for (int i = 0; i < SAMPLES; ++i) samples.push_back(ticksPerAdd());
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    std::printf("ticks_per_cycle %.6f %.6f %.6f\n", median(samples), *low, *high);
    return 0;
}
