// The core-to-core round trip on real threads: each side of the kernel
// against a partner that records every value it sees, both sides together
// through one line and through two, and a timing side that must wait for an
// answer that has not come.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kernels/ping_pong.h"
#include "kernels/timing_record.h"

namespace {

constexpr int32_t ROUNDS = 300;
constexpr uint32_t FIRST = 7;

// Each word alone on its pair of lines, as the table keeps them.
struct alignas(128) Word {
    volatile uint32_t value = 0;
};

uint32_t load(const Word& word) { return __atomic_load_n(&word.value, __ATOMIC_ACQUIRE); }
void store(Word& word, uint32_t value) { __atomic_store_n(&word.value, value, __ATOMIC_RELEASE); }

// Spins until the word holds something other than `last`, offering the
// processor now and then: the test machine may have fewer free processors
// than the two threads.
uint32_t awaitChange(const Word& word, uint32_t last) {
    uint32_t seen;
    for (uint32_t spins = 1; (seen = load(word)) == last; ++spins) {
        if (spins % 64 == 0) std::this_thread::yield();
    }
    return seen;
}

std::vector<uint32_t> expectedValues(uint32_t first, uint32_t step) {
    std::vector<uint32_t> values;
    for (int32_t k = 0; k < ROUNDS; ++k) values.push_back(first + step * static_cast<uint32_t>(k));
    return values;
}

TEST(PingPong, TheTimingSideStoresEveryValueInOrderAndWaitsForEachAnswer) {
    Word toAnswerer, toTimer;
    std::vector<uint32_t> seen;
    std::thread answerer([&] {
        uint32_t last = 0;
        for (int32_t k = 0; k < ROUNDS; ++k) {
            last = awaitChange(toAnswerer, last);
            seen.push_back(last);
            store(toTimer, last + 1);
        }
    });
    pingPongTimed(&toAnswerer.value, &toTimer.value, FIRST, ROUNDS);
    answerer.join();
    EXPECT_EQ(seen, expectedValues(FIRST, PING_PONG_VALUES_PER_ROUND));
    EXPECT_EQ(load(toTimer), FIRST + PING_PONG_VALUES_PER_ROUND * ROUNDS - 1);
    EXPECT_GT(timingRecord.elapsedTicks, 0u);
}

TEST(PingPong, TheAnsweringSideAnswersEveryValueInOrderOnce) {
    Word toAnswerer, toTimer;
    std::thread answerer([&] { pingPongAnswer(&toTimer.value, &toAnswerer.value, FIRST, ROUNDS); });
    std::vector<uint32_t> answers;
    uint32_t last = 0;
    for (int32_t k = 0; k < ROUNDS; ++k) {
        store(toAnswerer, FIRST + PING_PONG_VALUES_PER_ROUND * static_cast<uint32_t>(k));
        last = awaitChange(toTimer, last);
        answers.push_back(last);
    }
    answerer.join();
    EXPECT_EQ(answers, expectedValues(FIRST + 1, PING_PONG_VALUES_PER_ROUND));
}

TEST(PingPong, BothSidesCompleteThroughTwoLinesAndThroughOne) {
    for (const bool oneLine : {false, true}) {
        Word toAnswerer, toTimer;
        Word& back = oneLine ? toAnswerer : toTimer;
        std::thread answerer([&] { pingPongAnswer(&back.value, &toAnswerer.value, FIRST, ROUNDS); });
        pingPongTimed(&toAnswerer.value, &back.value, FIRST, ROUNDS);
        const uint64_t ticks = timingRecord.elapsedTicks;
        answerer.join();
        EXPECT_EQ(load(back), FIRST + PING_PONG_VALUES_PER_ROUND * ROUNDS - 1) << (oneLine ? "one line" : "two");
        EXPECT_GT(ticks, 0u);
    }
}

// The words as an earlier sample left them: the last value stored and its
// answer. The timing side must not take that answer for the new round trip's.
TEST(PingPong, ASampleNeverCountsARoundTripThatDidNotHappen) {
    Word toAnswerer, toTimer;
    store(toAnswerer, FIRST - 2);
    store(toTimer, FIRST - 1);
    std::atomic<bool> returned{false};
    std::thread timer([&] {
        pingPongTimed(&toAnswerer.value, &toTimer.value, FIRST, ROUNDS);
        returned.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load()) << "the timing side returned before any answer came";
    pingPongAnswer(&toTimer.value, &toAnswerer.value, FIRST, ROUNDS);
    timer.join();
    EXPECT_TRUE(returned.load());
}

TEST(PingPong, NoRoundsMeansOnlyTheFrame) {
    Word toAnswerer, toTimer;
    pingPongTimed(&toAnswerer.value, &toTimer.value, FIRST, 0);
    pingPongAnswer(&toTimer.value, &toAnswerer.value, FIRST, 0);
    EXPECT_EQ(load(toAnswerer), 0u);
    EXPECT_EQ(load(toTimer), 0u);
}

}  // namespace
