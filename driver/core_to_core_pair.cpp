#include "driver/core_to_core_pair.h"

#include <algorithm>
#include <atomic>

#include "kernels/ping_pong.h"
#include "kernels/timing_record.h"

namespace {

// The word both sides hand the values through, in both directions: one line.
// Each side reads the line and then writes it, so the processor hands it over
// with the right to write it, one transfer per way. Through one line each way
// every store must first take back the copy the other side's spinning read
// left, an invalidation on top of the transfer: an A/B of the two layouts
// (the bench's ping-pong helper) read half as long again through two lines on a
// two-processor guest. The line is alone on a 128-byte pair of lines: some
// processors fetch lines in aligned pairs.
struct alignas(128) SharedLine {
    volatile uint32_t word;
};
SharedLine shared;

// What the partner is asked to do next: pin itself and answer the
// calibration (the start of a pair), answer the samples, or end.
enum class OrderKind { PIN_AND_ANSWER, ANSWER, STOP };
struct Order {
    OrderKind kind = OrderKind::STOP;
    ProcessorId processor{0, 0};
    uint32_t first = 0;
    int32_t rounds = 0;
};

// The ordering: the timing thread writes `order`, then moves `given` on with
// a release; the partner, seeing it with an acquire, sees the order, carries
// it out, then sets `done` to the order's number with a release, and the
// timing thread sees that with an acquire. A pin's outcome comes the same way
// through `pinned` and `pinTried`, before the partner answers. No order is
// given while one is in hand.
struct Partner {
    PlatformThread thread = 0;
    bool running = false;
    Order order;
    bool pinned = false;
    std::atomic<uint32_t> pinTried{0};
    std::atomic<uint32_t> given{0};
    std::atomic<uint32_t> done{0};
};
Partner partner;

// Waits spin, and soon offer the processor: where the two threads share a
// processor (a system without affinity, a busy machine running the tests)
// the one being waited for gets to run. Each pair hands the partner two
// orders, so a wait that gave the processor up only after thousands of spins
// made a 300-processor table on a loaded two-processor machine take ten
// times as long; where each thread has its processor the offer comes
// straight back, and no wait falls inside a timed round trip.
constexpr uint32_t SPINS_BEFORE_YIELD = 64;
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
        bool answer = true;
        if (order.kind == OrderKind::PIN_AND_ANSWER) {
            answer = partner.pinned = platformPinThread(order.processor);
            partner.pinTried.store(seen, std::memory_order_release);
        }
        if (answer) pingPongAnswer(&shared.word, &shared.word, order.first, order.rounds);
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

// `rounds` round trips from `*next`, the timing side here while the partner
// answers them; the ticks the timing frame counted.
uint64_t timeRounds(uint32_t* next, int32_t rounds) {
    pingPongTimed(&shared.word, &shared.word, *next, rounds);
    *next += PING_PONG_VALUES_PER_ROUND * static_cast<uint32_t>(rounds);
    return timingRecord.elapsedTicks;
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
        pingPongTimed(&shared.word, &shared.word, 0, 0);
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
    // Every pair starts its values afresh from a word no one is waiting on
    // (the partner is idle); within the pair they only go up, so no sample
    // can take an earlier sample's answer for its own.
    shared.word = 0;
    uint32_t next = 1;
    // The partner pins itself and, where it could, answers the calibration.
    const uint32_t pinOrder = give({OrderKind::PIN_AND_ANSWER, answerer, next, CALIBRATION_ROUNDS});
    uint32_t spins = 0;
    while (partner.pinTried.load(std::memory_order_acquire) != pinOrder) relax(&spins);
    if (!partner.pinned) {
        awaitPartner(pinOrder);
        return timing;
    }
    const uint64_t calibration = timeRounds(&next, CALIBRATION_ROUNDS);
    awaitPartner(pinOrder);
    const int32_t rounds = sampleRounds(clockMHz, calibration > frameTicks ? calibration - frameTicks : 0);
    // The partner answers every sample in one run: the samples' boundaries
    // are the timing side's alone.
    const uint32_t answerOrder = give({OrderKind::ANSWER, {0, 0}, next, rounds * PAIR_SAMPLES});
    for (int s = 0; s < PAIR_SAMPLES; ++s) {
        const uint64_t ticks = timeRounds(&next, rounds);
        const double roundTrip =
            static_cast<double>(static_cast<int64_t>(ticks > frameTicks ? ticks - frameTicks : 0)) / rounds;
        timing.samplesTicksPerRoundTrip.push_back(roundTrip);
    }
    awaitPartner(answerOrder);
    timing.ticksPerRoundTrip =
        *std::min_element(timing.samplesTicksPerRoundTrip.begin(), timing.samplesTicksPerRoundTrip.end());
    timing.measured = true;
    return timing;
}
