// Core cycles per time-stamp tick, from a chain of dependent adds: each add
// waits for the one before, so the chain runs at exactly one add per core
// cycle whatever the clock is. There are no cycle counters in this VM.
//
// Prints "ticks_per_cycle <median> <min> <max>" over the samples.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "pin_to_cpu.h"
#include "tsc_stamp.h"

namespace {

constexpr int ADDS_PER_BLOCK = 200;
constexpr int BLOCKS_PER_SAMPLE = 5000;  // one million adds, about 0.3 ms
constexpr int SAMPLES = 15;

double ticksPerAdd() {
    uint64_t chain = 0;
    const uint64_t start = fencedTicks();
    for (int block = 0; block < BLOCKS_PER_SAMPLE; ++block) {
        asm volatile(".rept 200\n\tadd $1, %0\n\t.endr" : "+r"(chain));
    }
    const uint64_t end = fencedTicks();
    return static_cast<double>(end - start) / (static_cast<double>(ADDS_PER_BLOCK) * BLOCKS_PER_SAMPLE);
}

}  // namespace

int main(int argc, char** argv) {
    pinToCpuFromArguments(argc, argv);
    ticksPerAdd();  // brings the loop into the caches before the kept samples
    std::vector<double> samples;
    for (int i = 0; i < SAMPLES; ++i) samples.push_back(ticksPerAdd());
    std::sort(samples.begin(), samples.end());
    std::printf("ticks_per_cycle %.6f %.6f %.6f\n", samples[SAMPLES / 2], samples.front(), samples.back());
    return 0;
}
