#pragma once
// The pointer chase the latency table times: each 64-byte line of the block
// holds, in its first bytes, the address of the line to load next (a pointer
// of the target's width), so that every load waits for the one before it.
#include <cstddef>
#include <cstdint>

// A cache line: the unit the chase moves by, one load per line.
constexpr int64_t CHASE_LINE_BYTES = 64;
// The page of the IN-PAGE order: the system's small page, which address
// translation maps as one piece.
constexpr int64_t CHASE_PAGE_BYTES = 4096;
// Every run chases the same order: the generator starts from this seed.
constexpr uint64_t CHASE_SEED = 0x4b657374726e6531ull;

// The three orders, in the table's column order.
enum class ChaseOrder { RANDOM, IN_PAGE, SEQUENTIAL };

// Links every line of the block into one cycle in the given order and
// returns the line the chase starts from. RANDOM:
// one random cycle through all lines (Sattolo's algorithm). IN_PAGE: all lines
// of a page in random order before the next page, the pages themselves in a
// random cycle; a block smaller than a page is one page. SEQUENTIAL: the lines
// in address order, the last back to the first. Null when the working memory
// for the random order cannot be had.
unsigned char* buildChase(unsigned char* block, int64_t blockBytes, ChaseOrder order);

// Where chain k starts (its kernel starts it k * CHASE_CHAIN_START_BYTES
// past the block): the line, and the offset in every line of the chain,
// where its pointers sit.
int64_t chainStartLine(int chain);
int64_t chainPointerOffset(int chain);
// Whether every chain's start lies in the block, each on a line of its own.
bool chainsFit(int64_t blockBytes, int chains);

// The parallel chains' order: each chain's start line, then the block's other
// lines dealt out in turn to chain 0, 1, ...; each chain linked into one
// random cycle of its own lines (Sattolo's algorithm, as RANDOM) through the
// pointers at its own offset, so that the chains share no line. One chain is
// RANDOM's cycle. Needs chainsFit. False when the working memory for the
// order cannot be had.
bool buildChains(unsigned char* block, int64_t blockBytes, int chains);

// A 64-bit generator (splitmix64): quick, and every bit of its output depends
// on every bit of its state, so long orders drawn from it stay random.
struct ChaseGenerator {
    uint64_t state = CHASE_SEED;
    uint64_t next();
    // Uniform in [0, bound) for bound below 2^32, from the high 32 bits.
    uint32_t below(uint32_t bound);
};
