// An independent core-to-core round trip for the bench, written apart from
// the program's: two threads pinned as the program pins them (thread
// affinity, one processor each), std::atomic acquire loads and release
// stores of a counter, timed on the first thread with fenced RDTSC.
//
//   core_to_core_ping_pong TIMER ANSWERER ROUNDS SAMPLES LAYOUT
//
// LAYOUT is "two" (one 64-byte line each way, on lines 128 bytes apart) or
// "one" (both directions through one word). Prints the fewest TSC ticks per
// round trip over SAMPLES samples of ROUNDS round trips each.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tsc_stamp.h"

namespace {

struct alignas(128) Word {
    std::atomic<uint32_t> value{0};
};
Word toAnswerer, toTimer;

bool pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// The answering side: waits for each odd value, answers with the next one.
void answer(std::atomic<uint32_t>* in, std::atomic<uint32_t>* out, uint32_t first, long rounds) {
    uint32_t value = first;
    for (long r = 0; r < rounds; ++r) {
        while (in->load(std::memory_order_acquire) != value) {
        }
        out->store(value + 1, std::memory_order_release);
        value += 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s TIMER ANSWERER ROUNDS SAMPLES two|one\n", argv[0]);
        return 2;
    }
    const int timer = std::atoi(argv[1]);
    const int answerer = std::atoi(argv[2]);
    const long rounds = std::atol(argv[3]);
    const int samples = std::atoi(argv[4]);
    const bool oneLine = std::strcmp(argv[5], "one") == 0;
    std::atomic<uint32_t>* out = &toAnswerer.value;
    std::atomic<uint32_t>* in = oneLine ? &toAnswerer.value : &toTimer.value;
    if (!pin(timer)) {
        std::fprintf(stderr, "cannot pin to processor %d\n", timer);
        return 1;
    }
    // Values go up from sample to sample, so no answer can stand for a later one.
    std::thread partner([&] {
        if (!pin(answerer)) std::abort();
        answer(out, in, 1, rounds * samples);
    });
    uint64_t fewest = 0;
    uint32_t value = 1;
    for (int s = 0; s < samples; ++s) {
        const uint64_t start = fencedTicks();
        for (long r = 0; r < rounds; ++r) {
            out->store(value, std::memory_order_release);
            while (in->load(std::memory_order_acquire) != value + 1) {
            }
            value += 2;
        }
        const uint64_t ticks = fencedTicks() - start;
        if (s == 0 || ticks < fewest) fewest = ticks;
    }
    partner.join();
    std::printf("%.6f\n", static_cast<double>(fewest) / static_cast<double>(rounds));
    return 0;
}
