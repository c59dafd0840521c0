#include "kernels/core_clock.h"

#include <algorithm>

#include "kernels/dependent_add_clock.h"
#include "kernels/kernels.h"

namespace {
constexpr uint32_t BLOCKS_PER_CHAIN = 5000;
constexpr int CHAINS = 3;
}  // namespace

extern "C" double coreCyclesPerTick() {
    double samples[CHAINS];
    for (double& sample : samples) {
        const uint64_t ticks = ticksOfDependentAdds(BLOCKS_PER_CHAIN, readSerialisedTicks);
        sample = static_cast<double>(DEPENDENT_ADDS_PER_BLOCK) * BLOCKS_PER_CHAIN / static_cast<double>(ticks);
    }
    std::sort(samples, samples + CHAINS);
    return samples[CHAINS / 2];
}
