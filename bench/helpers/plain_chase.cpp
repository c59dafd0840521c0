// The bench's own load-latency chase, written apart from the program's: a
// plain C++ loop that follows pointers through one cycle over every 64-byte
// line of a block, timed with the monotonic clock. The cycle is random over
// the whole block ("random"), or random line by line inside each 4 KiB page
// with the pages themselves in a random cycle ("in-page"). Its generator and
// shuffle are the standard library's, not the program's.
//
// Usage: plain_chase CPU random|in-page BLOCK_BYTES LOADS HUGE(0|1)
// HUGE 1 asks for transparent huge pages on a 2 MiB-aligned mapping.
// Prints "<ns per load> <share of the block on huge pages>", the fastest of
// three passes.
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

#include "pin_to_cpu.h"

namespace {

constexpr size_t LINE = 64;
constexpr size_t PAGE = 4096;
constexpr size_t HUGE_PAGE = 2 << 20;
constexpr int PASSES = 3;

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: plain_chase CPU random|in-page BLOCK_BYTES LOADS HUGE\n");
        return 64;
    }
    pinToCpuFromArguments(argc, argv);
    const bool inPage = std::strcmp(argv[2], "in-page") == 0;
    const size_t bytes = std::strtoull(argv[3], nullptr, 10);
    const long loads = std::atol(argv[4]);
    const bool huge = std::atoi(argv[5]) != 0;

    // A 2 MiB-aligned block inside a larger mapping, advised before it is touched.
    const size_t mapped = bytes + HUGE_PAGE;
    void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return 2;
    auto* block = reinterpret_cast<unsigned char*>((reinterpret_cast<uintptr_t>(mapping) + HUGE_PAGE - 1) &
                                                   ~(uintptr_t{HUGE_PAGE} - 1));
    madvise(block, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    std::memset(block, 1, bytes);

    std::mt19937_64 generator(20261210);
    const std::vector<size_t> order = visitOrder(bytes / LINE, inPage, generator);
    for (size_t k = 0; k < order.size(); ++k) {
        void** at = reinterpret_cast<void**>(block + order[k] * LINE);
        *at = block + order[(k + 1) % order.size()] * LINE;
    }

    void* volatile sink;
    double best = 0.0;
    for (int pass = 0; pass < PASSES; ++pass) {
        void* p = block;
        const double start = nowNs();
        for (long n = 0; n < loads; ++n) p = *static_cast<void**>(p);
        const double ns = (nowNs() - start) / static_cast<double>(loads);
        sink = p;
        if (pass == 0 || ns < best) best = ns;
    }
    (void)sink;
    std::printf("%.3f %.3f\n", best, hugeShare(block, bytes));
    munmap(mapping, mapped);
    return 0;
}
