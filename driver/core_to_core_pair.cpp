#include "driver/core_to_core_pair.h"

#include <algorithm>
#include <atomic>

#include "kernels/ping_pong.h"
#include "kernels/timing_record.h"

namespace {

// The words the two sides hand the values through, one 64-byte line each
// way. Each is alone on a 128-byte pair of lines: some processors fetch
// lines in aligned pairs, and the two directions must not travel together.
struct alignas(128) SharedLine {
    volatile uint32_t word;
};
SharedLine towardAnswerer, towardTimer;

// What the partner is asked to do next.
enum class OrderKind { PIN, ANSWER, STOP };
struct Order {
    OrderKind kind = OrderKind::STOP;
    ProcessorId processor{0, 0};
    uint32_t first = 0;
    int32_t rounds = 0;
};

// The ordering: the timing thread writes `order`, then moves `given` on with
// a release; the partner, seeing it with an acquire, sees the order, carries
// it out, writes `pinned`, then sets `done` to the order's number with a
// release, and the timing thread sees both with an acquire. No order is given
// while one is in hand.
struct Partner {
    PlatformThread thread = 0;
    bool running = false;
    Order order;
    bool pinned = false;
    std::atomic<uint32_t> given{0};
    std::atomic<uint32_t> done{0};
};
Partner partner;

// Waits spin, and now and then offer the processor, as the thread team's do:
// where the two threads share a processor (a system without affinity, a
// test) the one being waited for gets to run.
constexpr uint32_t SPINS_BEFORE_YIELD = 4096;
void relax(uint32_t* spins) {
    asm volatile("pause");
    if (++*spins % SPINS_BEFORE_YIELD == 0) platformYield();
}

void serve(void*) {
    uint32_t seen = 0;
    while (true) {
        uint32_t spins = 0;
        while (partner.given.load(std::memory_order_acquire) == seen) relax(&spins);
        seen = partner.given.load(std::memory_order_acquire);
        const Order order = partner.order;
        if (order.kind == OrderKind::STOP) break;
        if (order.kind == OrderKind::PIN) partner.pinned = platformPinThread(order.processor);
        if (order.kind == OrderKind::ANSWER) {
            pingPongAnswer(&towardTimer.word, &towardAnswerer.word, order.first, order.rounds);
        }
        partner.done.store(seen, std::memory_order_release);
    }
}

// Hands the partner an order; the caller waits for it with awaitPartner().
uint32_t give(const Order& order) {
    partner.order = order;
    return partner.given.fetch_add(1, std::memory_order_release) + 1;
}

void awaitPartner(uint32_t number) {
    uint32_t spins = 0;
    while (partner.done.load(std::memory_order_acquire) != number) relax(&spins);
}

// One sample: `rounds` round trips from `*next`, the timing side here while
// the partner answers; the ticks the timing frame counted.
uint64_t sample(uint32_t* next, int32_t rounds) {
    const uint32_t number = give({OrderKind::ANSWER, {0, 0}, *next, rounds});
    pingPongTimed(&towardAnswerer.word, &towardTimer.word, *next, rounds);
    const uint64_t ticks = timingRecord.elapsedTicks;
    awaitPartner(number);
    *next += PING_PONG_VALUES_PER_ROUND * static_cast<uint32_t>(rounds);
    return ticks;
}

}  // namespace

bool startPairPartner() {
    partner.given.store(0, std::memory_order_relaxed);
    partner.done.store(0, std::memory_order_relaxed);
    partner.running = platformStartThread(serve, nullptr, &partner.thread);
    return partner.running;
}

void stopPairPartner() {
    if (!partner.running) return;
    give({OrderKind::STOP, {0, 0}, 0, 0});
    platformJoinThread(partner.thread);
    partner.running = false;
}

uint64_t emptyFrameTicks() {
    constexpr int TRIES = 8;
    uint64_t fewest = 0;
    for (int t = 0; t < TRIES; ++t) {
        pingPongTimed(&towardAnswerer.word, &towardTimer.word, 0, 0);
        if (t == 0 || timingRecord.elapsedTicks < fewest) fewest = timingRecord.elapsedTicks;
    }
    return fewest;
}

int32_t sampleRounds(double clockMHz, uint64_t calibrationTicks) {
    const double perRound = std::max(1.0, static_cast<double>(calibrationTicks) / CALIBRATION_ROUNDS);
    const double wanted = clockMHz * SAMPLE_MICROSECONDS / perRound;
    return static_cast<int32_t>(
        std::min<double>(MOST_SAMPLE_ROUNDS, std::max<double>(LEAST_SAMPLE_ROUNDS, wanted)));
}

PairTiming timePair(const ProcessorId& answerer, double clockMHz, uint64_t frameTicks) {
    PairTiming timing;
    awaitPartner(give({OrderKind::PIN, answerer, 0, 0}));
    if (!partner.pinned) return timing;
    // Every pair starts its values afresh from words no one is waiting on;
    // within the pair they only go up, so no sample can take an earlier
    // sample's answer for its own.
    towardAnswerer.word = 0;
    towardTimer.word = 0;
    uint32_t next = 1;
    const uint64_t calibration = sample(&next, CALIBRATION_ROUNDS);
    const int32_t rounds = sampleRounds(clockMHz, calibration > frameTicks ? calibration - frameTicks : 0);
    for (int s = 0; s < PAIR_SAMPLES; ++s) {
        const uint64_t ticks = sample(&next, rounds);
        const double roundTrip =
            static_cast<double>(static_cast<int64_t>(ticks > frameTicks ? ticks - frameTicks : 0)) / rounds;
        timing.samplesTicksPerRoundTrip.push_back(roundTrip);
    }
    timing.ticksPerRoundTrip =
        *std::min_element(timing.samplesTicksPerRoundTrip.begin(), timing.samplesTicksPerRoundTrip.end());
    timing.measured = true;
    return timing;
}
