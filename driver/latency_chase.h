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

// The parallel chains' order: the block's lines dealt out to `chains`
// chains, line n to chain n modulo `chains`, and each chain linked into one
// random cycle of its own lines (Sattolo's algorithm, as RANDOM), so that the
// chains share no line and chain k holds line k, where its kernel starts it.
// One chain is RANDOM's cycle. `chains` is at most the block's lines. False
// when the working memory for the order cannot be had.
bool buildChains(unsigned char* block, int64_t blockBytes, int chains);

// A 64-bit generator (splitmix64): quick, and every bit of its output depends
// on every bit of its state, so long orders drawn from it stay random.
struct ChaseGenerator {
    uint64_t state = CHASE_SEED;
    uint64_t next();
    // Uniform in [0, bound) for bound below 2^32, from the high 32 bits.
    uint32_t below(uint32_t bound);
};
