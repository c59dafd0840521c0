// The program's load-latency chase beside the bench's own, turn about in one
// process, so that the host's slow moments (main memory is shared with other
// guests, and a random chase's time drifts by a fifth within a minute) fall on
// both alike. The bench's chase is written apart from the program's: a plain
// C++ loop that follows pointers through one cycle over every 64-byte line of
// a block, timed with the monotonic clock; its generator and shuffle are the
// standard library's. The cycle is random over the whole block ("random"), or
// random line by line inside each 4 KiB page with the pages themselves in a
// random cycle ("in-page"). The program's chase is its own: its chain builder
// and its timed kernel. Both chains live in one block, the program's in the
// first eight bytes of every line and the plain one's in the second half, so
// that both walk the same lines of the same pages: two blocks would each get
// pages of their own, and where a block's memory lands is not the chases'.
//
// Usage: interleaved_chase CPU random|in-page BLOCK_BYTES LOADS TURNS HUGE(0|1)
// HUGE 1 asks for transparent huge pages on 2 MiB-aligned mappings.
// Prints the share of the block on huge pages twice (the plain chain's, the
// program's: the two lie in one block), then per turn "<plain ns per load>
// <program's ns per load>": each turn is a pair, the chase that goes first
// alternating from turn to turn.
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "driver/latency_chase.h"
#include "kernels/chase_loads.h"
#include "pin_to_cpu.h"

namespace {

constexpr size_t LINE = 64;
constexpr size_t PAGE = 4096;
constexpr size_t HUGE_PAGE = 2 << 20;
static_assert(CHASE_LOADS_PER_PASS == 16, "the plain chase writes out sixteen loads a pass");
#define FOLLOW(p) p = *static_cast<void**>(p)
#define FOLLOW_FOUR(p) \
    FOLLOW(p);         \
    FOLLOW(p);         \
    FOLLOW(p);         \
    FOLLOW(p)

// Where the plain chain keeps its pointer in each line: clear of the
// program's chain, which keeps its own at the start of the line.
constexpr size_t PLAIN_POINTER_OFFSET = LINE / 2;

// Line numbers in the order the chase visits them.
std::vector<size_t> visitOrder(size_t lines, bool inPage, std::mt19937_64& generator) {
    std::vector<size_t> order(lines);
    std::iota(order.begin(), order.end(), 0);
    if (!inPage) {
        std::shuffle(order.begin() + 1, order.end(), generator);
        return order;
    }
    const size_t perPage = PAGE / LINE;
    std::vector<size_t> pages(lines / perPage);
    std::iota(pages.begin(), pages.end(), 0);
    std::shuffle(pages.begin() + 1, pages.end(), generator);
    order.clear();
    for (size_t page : pages) {
        std::vector<size_t> inside(perPage);
        std::iota(inside.begin(), inside.end(), page * perPage);
        std::shuffle(inside.begin(), inside.end(), generator);
        order.insert(order.end(), inside.begin(), inside.end());
    }
    return order;
}

// The share of [block, block + bytes) that /proc/self/smaps shows on huge pages.
double hugeShare(const unsigned char* block, size_t bytes) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long start, end;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find(':') > line.find(' ')) {
            inside = start <= reinterpret_cast<uintptr_t>(block) && reinterpret_cast<uintptr_t>(block) < end;
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            return std::atof(line.c_str() + std::strlen("AnonHugePages:")) * 1024.0 / static_cast<double>(bytes);
        }
    }
    return 0.0;
}

double nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// A 2 MiB-aligned block inside a larger mapping, advised before it is touched.
unsigned char* mapBlock(size_t bytes, bool huge) {
    const size_t mapped = bytes + HUGE_PAGE;
    void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) std::exit(2);
    auto* block = reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(mapping) + HUGE_PAGE - 1) &
                                                   ~(uintptr_t{HUGE_PAGE} - 1));
    madvise(block, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    std::memset(block, 1, bytes);
    return block;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: interleaved_chase CPU random|in-page BLOCK_BYTES LOADS TURNS HUGE\n");
        return 64;
    }
    pinToCpuFromArguments(argc, argv);
    const bool inPage = std::strcmp(argv[2], "in-page") == 0;
    const size_t bytes = std::strtoull(argv[3], nullptr, 10);
    const long loads = std::atol(argv[4]) / CHASE_LOADS_PER_PASS * CHASE_LOADS_PER_PASS;
    const int turns = std::atoi(argv[5]);
    const bool huge = std::atoi(argv[6]) != 0;

    unsigned char* const block = mapBlock(bytes, huge);
    void* const programStart = buildChase(block, static_cast<int64_t>(bytes),
                                          inPage ? ChaseOrder::IN_PAGE : ChaseOrder::RANDOM);
    if (programStart == nullptr) return 2;
    std::mt19937_64 generator(20261210);
    const std::vector<size_t> order = visitOrder(bytes / LINE, inPage, generator);
    unsigned char* const plainBase = block + PLAIN_POINTER_OFFSET;
    for (size_t k = 0; k < order.size(); ++k) {
        void** at = reinterpret_cast<void**>(plainBase + order[k] * LINE);
        *at = plainBase + order[(k + 1) % order.size()] * LINE;
    }

    void* volatile sink;
    std::vector<double> plainNs(turns), programNs(turns);
    for (int turn = 0; turn < turns; ++turn) {
        // The chase that goes first alternates, so that neither always follows
        // the other's disturbance.
        for (int side = 0; side < 2; ++side) {
            const bool plain = (side == 0) == (turn % 2 == 0);
            const double start = nowNs();
            if (plain) {
                // As many loads a pass as the program's kernel makes, each an
                // instruction of its own: the core's prefetchers learn per load
                // instruction, so that a one-load loop would show them another
                // pattern than the kernel's sixteen over the same kind of cycle.
                // They are written out, not left to an unrolling the compiler
                // may decline; each depends on the one before, so none can go.
                void* p = plainBase;
                for (long n = 0; n < loads; n += CHASE_LOADS_PER_PASS) {
                    FOLLOW_FOUR(p);
                    FOLLOW_FOUR(p);
                    FOLLOW_FOUR(p);
                    FOLLOW_FOUR(p);
                }
                sink = p;
                plainNs[turn] = (nowNs() - start) / static_cast<double>(loads);
            } else {
                // The kernel's own window adds two serialising stamps, a few
                // microseconds against the chase's tenths of a second.
                sink = chaseLoads(programStart, static_cast<int32_t>(loads / CHASE_LOADS_PER_PASS));
                programNs[turn] = (nowNs() - start) / static_cast<double>(loads);
            }
        }
    }
    (void)sink;
    const double share = hugeShare(block, bytes);
    std::printf("%.3f %.3f\n", share, share);
    for (int turn = 0; turn < turns; ++turn) std::printf("%.3f %.3f\n", plainNs[turn], programNs[turn]);
    return 0;
}
