#include "kernels/core_clock.h"

#include <algorithm>

#include "kernels/dependent_add_clock.h"
#include "kernels/kernels.h"

namespace {
constexpr uint32_t BLOCKS_PER_CHAIN = 5000;  // a million adds
constexpr int CHAINS = 3;
}  // namespace

extern "C" double coreCyclesPerTick() {
    double samples[CHAINS];
    for (double& sample : samples) sample = 1.0 / ticksPerDependentAdd(BLOCKS_PER_CHAIN, readSerialisedTicks);
    std::sort(samples, samples + CHAINS);
    return samples[CHAINS / 2];
}
