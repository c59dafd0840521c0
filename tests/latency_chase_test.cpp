// The chase the latency table times, followed pointer by pointer: one cycle
// through every line, pages finished before they are left, the same order on
// every build, and no pointer outside the block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/latency_chase.h"

namespace {

const struct {
    ChaseOrder order;
    const char* name;
} ORDERS[] = {{ChaseOrder::RANDOM, "RANDOM"}, {ChaseOrder::IN_PAGE, "IN-PAGE"}, {ChaseOrder::SEQUENTIAL, "SEQUENTIAL"}};

// 128 B (two lines) and 2 KiB are smaller than a page; the largest holds
// many pages.
const int64_t BLOCK_SIZES[] = {128, 2048, 4096, 8192, 65536, int64_t{4} << 20};

// The line offsets of one trip round the chase from its start, stopping
// early at the first pointer that leaves the block or misses a line's start.
struct Trip {
    std::vector<int64_t> lines;
    std::string fault;
};

Trip follow(const unsigned char* block, int64_t blockBytes, const unsigned char* start) {
    Trip trip;
    const int64_t lines = blockBytes / CHASE_LINE_BYTES;
    const unsigned char* at = start;
    for (int64_t step = 0; step < lines; ++step) {
        const int64_t offset = at - block;
        if (offset < 0 || offset >= blockBytes || offset % CHASE_LINE_BYTES != 0) {
            trip.fault = "pointer " + std::to_string(offset) + " bytes from the block at step " + std::to_string(step);
            return trip;
        }
        trip.lines.push_back(offset / CHASE_LINE_BYTES);
        std::memcpy(&at, at, sizeof at);
    }
    if (at != start) trip.fault = "the chase does not come back to its start after one line each";
    return trip;
}

TEST(LatencyChase, EveryLineOncePerCycleInsideTheBlockAndPagesFinishedBeforeTheyAreLeft) {
    for (const int64_t blockBytes : BLOCK_SIZES) {
        std::vector<unsigned char> block(static_cast<size_t>(blockBytes), 0xEE);
        const int64_t lines = blockBytes / CHASE_LINE_BYTES;
        const int64_t pageLines = std::min<int64_t>(lines, CHASE_PAGE_BYTES / CHASE_LINE_BYTES);
        for (const auto& order : ORDERS) {
            const std::string where = std::string(order.name) + " " + std::to_string(blockBytes) + "B";
            const unsigned char* start = buildChase(block.data(), blockBytes, order.order);
            ASSERT_NE(start, nullptr) << where;
            const Trip trip = follow(block.data(), blockBytes, start);
            ASSERT_EQ(trip.fault, "") << where;
            std::vector<int> visits(static_cast<size_t>(lines), 0);
            for (const int64_t line : trip.lines) ++visits[static_cast<size_t>(line)];
            for (int64_t line = 0; line < lines; ++line) ASSERT_EQ(visits[line], 1) << where << " line " << line;

            // A chase that never leaves a page early enters each page on a
            // multiple of the page's lines into the trip.
            int64_t inOrder = 0;
            for (int64_t step = 0; step < lines; ++step) {
                const bool newPage = step == 0 || trip.lines[step] / pageLines != trip.lines[step - 1] / pageLines;
                if (order.order == ChaseOrder::IN_PAGE) {
                    ASSERT_EQ(newPage, step % pageLines == 0) << where << " step " << step;
                }
                inOrder += step > 0 && trip.lines[step] == trip.lines[step - 1] + 1;
            }
            // The sequential chase is address order; a random one that made
            // more than a few steps to the next line would be no random order.
            if (order.order == ChaseOrder::SEQUENTIAL) {
                EXPECT_EQ(trip.lines.front(), 0) << where;
                EXPECT_EQ(inOrder, lines - 1) << where;
            } else if (lines >= 64) {
                EXPECT_LT(inOrder, lines / 8) << where;
            }
        }
    }
}

TEST(LatencyChase, TheSameSeedGivesTheSameOrderInAnyBuffer) {
    for (const int64_t blockBytes : BLOCK_SIZES) {
        std::vector<unsigned char> first(static_cast<size_t>(blockBytes)), second(static_cast<size_t>(blockBytes) + 64);
        for (const auto& order : ORDERS) {
            const unsigned char* a = buildChase(first.data(), blockBytes, order.order);
            // A second buffer at another address, and the chase built there twice.
            buildChase(second.data() + 64, blockBytes, ChaseOrder::SEQUENTIAL);
            const unsigned char* b = buildChase(second.data() + 64, blockBytes, order.order);
            EXPECT_EQ(follow(first.data(), blockBytes, a).lines, follow(second.data() + 64, blockBytes, b).lines)
                << order.name << " " << blockBytes << "B";
        }
    }
}

// The generator's first outputs for the fixed seed: a change of generator or
// seed would change every run's order.
TEST(LatencyChase, TheGeneratorIsSplitMix64FromTheFixedSeed) {
    ChaseGenerator reference;
    reference.state = 0;
    // splitmix64 from a zero state, as its author publishes it.
    EXPECT_EQ(reference.next(), 0xe220a8397b1dcdafull);
    EXPECT_EQ(reference.next(), 0x6e789e6aa1b965f4ull);
    ChaseGenerator generator;
    EXPECT_EQ(generator.state, CHASE_SEED);
    for (uint32_t bound : {1u, 2u, 64u, 1000003u}) {
        for (int i = 0; i < 100; ++i) ASSERT_LT(generator.below(bound), bound);
    }
}

}  // namespace
