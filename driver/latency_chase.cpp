#include "driver/latency_chase.h"

#include <cstring>
#include <new>
#include <vector>

#include "kernels/chase_chains.h"

namespace {

constexpr int64_t LINES_PER_PAGE = CHASE_PAGE_BYTES / CHASE_LINE_BYTES;

void link(unsigned char* block, uint64_t fromLine, uint64_t toLine, uint64_t offset = 0) {
    unsigned char* const target = block + toLine * CHASE_LINE_BYTES + offset;
    std::memcpy(block + fromLine * CHASE_LINE_BYTES + offset, &target, sizeof target);
}

// Sattolo's algorithm: a uniformly random permutation of 0..count-1 that is a
// single cycle, next[k] being the element after k. Each step swaps with an
// element strictly below, which is what keeps the cycle whole.
void sattoloCycle(std::vector<uint32_t>& next, ChaseGenerator& generator) {
    for (uint32_t k = 0; k < next.size(); ++k) next[k] = k;
    for (uint32_t k = static_cast<uint32_t>(next.size()) - 1; k > 0; --k) {
        const uint32_t other = generator.below(k);
        const uint32_t held = next[k];
        next[k] = next[other];
        next[other] = held;
    }
}

// A random order of 0..count-1 (Fisher-Yates), for the lines of one page.
void shuffledOrder(uint32_t* order, uint32_t count, ChaseGenerator& generator) {
    for (uint32_t k = 0; k < count; ++k) order[k] = k;
    for (uint32_t k = count - 1; k > 0; --k) {
        const uint32_t other = generator.below(k + 1);
        const uint32_t held = order[k];
        order[k] = order[other];
        order[other] = held;
    }
}

void linkSequential(unsigned char* block, uint64_t lines) {
    for (uint64_t line = 0; line < lines; ++line) link(block, line, (line + 1) % lines);
}

unsigned char* linkRandom(unsigned char* block, uint64_t lines, ChaseGenerator& generator) {
    std::vector<uint32_t> next;
    try {
        next.resize(lines);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    sattoloCycle(next, generator);
    for (uint64_t line = 0; line < lines; ++line) link(block, line, next[line]);
    return block;
}

// Within each page the lines follow a shuffled order; the last of a page
// leads to the first of the next page in the page cycle, so each page is left
// only once all of its lines have been loaded.
unsigned char* linkInPage(unsigned char* block, uint64_t lines, ChaseGenerator& generator) {
    const uint64_t pageLines = lines < static_cast<uint64_t>(LINES_PER_PAGE) ? lines : LINES_PER_PAGE;
    const uint64_t pages = lines / pageLines;
    std::vector<uint32_t> nextPage, orders;
    try {
        nextPage.resize(pages);
        orders.resize(lines);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    sattoloCycle(nextPage, generator);
    for (uint64_t page = 0; page < pages; ++page) {
        shuffledOrder(&orders[page * pageLines], static_cast<uint32_t>(pageLines), generator);
    }
    for (uint64_t page = 0; page < pages; ++page) {
        const uint32_t* const order = &orders[page * pageLines];
        const uint64_t base = page * pageLines;
        for (uint64_t k = 0; k + 1 < pageLines; ++k) link(block, base + order[k], base + order[k + 1]);
        const uint64_t following = uint64_t{nextPage[page]} * pageLines;
        link(block, base + order[pageLines - 1], following + orders[following]);
    }
    return block + uint64_t{orders[0]} * CHASE_LINE_BYTES;
}

}  // namespace

int64_t chainStartLine(int chain) { return chain * int64_t{CHASE_CHAIN_START_BYTES} / CHASE_LINE_BYTES; }

int64_t chainPointerOffset(int chain) { return chain * int64_t{CHASE_CHAIN_START_BYTES} % CHASE_LINE_BYTES; }

bool chainsFit(int64_t blockBytes, int chains) {
    return chains >= 1 && chainStartLine(chains - 1) < blockBytes / CHASE_LINE_BYTES;
}

bool buildChains(unsigned char* block, int64_t blockBytes, int chains) {
    if (!chainsFit(blockBytes, chains)) return false;
    const uint64_t lines = static_cast<uint64_t>(blockBytes / CHASE_LINE_BYTES);
    const uint64_t stride = static_cast<uint64_t>(chains);
    const uint64_t others = lines - stride;  // the lines that start no chain
    // The n-th of those: n plus the start lines at or below it, which rise
    // by one line or two from chain to chain.
    const auto otherLine = [chains](uint64_t n) {
        uint64_t line = n;
        for (int chain = 0; chain < chains && static_cast<uint64_t>(chainStartLine(chain)) <= line; ++chain) ++line;
        return line;
    };
    std::vector<uint32_t> next;
    ChaseGenerator generator;
    for (uint64_t chain = 0; chain < stride; ++chain) {
        const uint64_t dealt = others > chain ? (others - chain + stride - 1) / stride : 0;
        try {
            next.resize(dealt + 1);
        } catch (const std::bad_alloc&) {
            return false;
        }
        // The chain's k-th line: its start, then the lines dealt to it.
        const uint64_t start = static_cast<uint64_t>(chainStartLine(static_cast<int>(chain)));
        const auto member = [&](uint64_t k) { return k == 0 ? start : otherLine(chain + (k - 1) * stride); };
        sattoloCycle(next, generator);
        const uint64_t offset = static_cast<uint64_t>(chainPointerOffset(static_cast<int>(chain)));
        for (uint64_t k = 0; k < next.size(); ++k) link(block, member(k), member(next[k]), offset);
    }
    return true;
}

uint64_t ChaseGenerator::next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint32_t ChaseGenerator::below(uint32_t bound) {
    return static_cast<uint32_t>(((next() >> 32) * bound) >> 32);
}

unsigned char* buildChase(unsigned char* block, int64_t blockBytes, ChaseOrder order) {
    const uint64_t lines = static_cast<uint64_t>(blockBytes / CHASE_LINE_BYTES);
    ChaseGenerator generator;
    switch (order) {
        case ChaseOrder::RANDOM: return linkRandom(block, lines, generator);
        case ChaseOrder::IN_PAGE: return linkInPage(block, lines, generator);
        case ChaseOrder::SEQUENTIAL: linkSequential(block, lines); return block;
    }
    return nullptr;
}
