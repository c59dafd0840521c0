// The program's own kernels, from its kernel table, run in turns over one
// block and timed run by run: one side of the bench's paired comparisons.
// Each run moves RUN_BYTES (or the whole block, when it is larger) as one
// timed window, as a cell of the program's tables does, so that the other side
// of a pair can be given the same block and the same run length. With several
// threads each has a block of its own, on processors CPU, CPU+1, ..., and
// every run starts on all of them at once; a run's ticks are its slowest
// thread's.
//
// Usage: kernel_turns CPU THREADS TURNS BLOCK_BYTES RUN_BYTES KERNEL...
//        kernel_turns CPU list
// KERNEL is DIRECTION:COLUMN as the tables name them ("read:MOVAPS",
// "copy:REP MOVSB"), or "all" for every kernel the processor runs.
// Prints per kernel one line, tab-separated: direction, column, block bytes,
// bytes one thread moved in a run, then the ticks of each turn's run. "list"
// prints the direction and column of every kernel the processor runs.
// Before the first turn each kernel runs once unrecorded, so that the caches
// and the TLB hold what they hold in the program's steady rows; then, turn
// after turn, each chosen kernel runs once, in reverse order every other turn.
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kernels/copy_and_fill.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "probe/simd_capabilities.h"

namespace {

std::vector<const KernelSpec*> shownKernels() {
    // Linux lets every process use SSE, so what the processor and XCR0 report
    // is what runs.
    const CapabilityMask mask = detectSimdCapabilities() | detectExtendedSupport().enabled;
    std::vector<const KernelSpec*> kernels;
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        if (columnShown(KERNEL_TABLE[k], mask, true)) kernels.push_back(&KERNEL_TABLE[k]);
    }
    return kernels;
}

std::string nameOf(const KernelSpec& kernel) {
    return std::string(directionName(kernel.direction)) + ":" + kernel.column;
}

void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Every thread waits here until all have come, once per run.
struct StartLine {
    std::atomic<int> arrived{0};
    std::atomic<int> generation{0};
    int threads = 1;

    void wait() {
        const int mine = generation.load();
        if (arrived.fetch_add(1) + 1 == threads) {
            arrived.store(0);
            generation.fetch_add(1);
        } else {
            while (generation.load() == mine) {
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[2]) == "list") {
        for (const KernelSpec* kernel : shownKernels()) std::printf("%s\t%s\n", directionName(kernel->direction),
                                                                    kernel->column);
        return 0;
    }
    if (argc < 7) {
        std::fprintf(stderr, "usage: kernel_turns CPU THREADS TURNS BLOCK_BYTES RUN_BYTES KERNEL...\n");
        return 64;
    }
    const int firstCpu = std::atoi(argv[1]);
    const int threads = std::max(1, std::atoi(argv[2]));
    const int turns = std::max(1, std::atoi(argv[3]));
    const long blockBytes = std::atol(argv[4]);
    const long long runBytes = std::atoll(argv[5]);
    std::vector<const KernelSpec*> chosen;
    const std::vector<const KernelSpec*> shown = shownKernels();
    for (int argument = 6; argument < argc; ++argument) {
        const std::string wanted = argv[argument];
        const size_t before = chosen.size();
        for (const KernelSpec* kernel : shown) {
            if (wanted == "all" || wanted == nameOf(*kernel)) chosen.push_back(kernel);
        }
        if (chosen.size() == before) {
            std::fprintf(stderr, "kernel_turns: %s: not a kernel this processor runs\n", argv[argument]);
            return 64;
        }
    }
    const auto blockLines = static_cast<int32_t>(blockBytes / LINE_BYTES);
    const auto lineCount =
        static_cast<int32_t>(std::max<long long>(runBytes / LINE_BYTES, static_cast<long long>(blockLines)));

    // ticks[kernel][turn][thread]
    std::vector<std::vector<std::vector<double>>> ticks(
        chosen.size(), std::vector<std::vector<double>>(turns, std::vector<double>(threads)));
    StartLine start;
    start.threads = threads;
    std::atomic<bool> failed{false};
    auto work = [&](int index) {
        pinTo(firstCpu + index);
        // A fresh page-aligned block per thread, as the program's first pass has;
        // a copy writes past its block, so its buffer holds the destination too.
        const bool copies = std::any_of(chosen.begin(), chosen.end(),
                                        [](const KernelSpec* kernel) { return kernel->direction == Direction::COPY; });
        const size_t bufferBytes = static_cast<size_t>(copies ? copyFootprintBytes(blockBytes) : blockBytes);
        void* block = mmap(nullptr, bufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                           -1, 0);
        if (block == MAP_FAILED) failed = true;
        for (const KernelSpec* kernel : chosen) {
            start.wait();
            if (!failed) kernel->run(block, blockLines, lineCount);
        }
        // Turn after turn, every chosen kernel once: the host's slow moments
        // fall on all of them alike. Every other turn runs them in reverse, so
        // that no kernel always follows the same one (a store after stores
        // meets a store buffer and caches its predecessor left).
        for (int turn = 0; turn < turns; ++turn) {
            for (size_t step = 0; step < chosen.size(); ++step) {
                const size_t k = turn % 2 == 0 ? step : chosen.size() - 1 - step;
                start.wait();
                if (!failed) chosen[k]->run(block, blockLines, lineCount);
                ticks[k][turn][index] = static_cast<double>(timingRecord.elapsedTicks);
            }
        }
        if (block != MAP_FAILED) munmap(block, bufferBytes);
    };
    std::vector<std::thread> others;
    for (int index = 1; index < threads; ++index) others.emplace_back(work, index);
    work(0);
    for (std::thread& other : others) other.join();
    if (failed) return 2;

    for (size_t k = 0; k < chosen.size(); ++k) {
        std::printf("%s\t%s\t%ld\t%lld", directionName(chosen[k]->direction), chosen[k]->column, blockBytes,
                    static_cast<long long>(lineCount) * LINE_BYTES);
        for (const std::vector<double>& turn : ticks[k]) {
            std::printf("\t%.0f", *std::max_element(turn.begin(), turn.end()));
        }
        std::printf("\n");
    }
    return 0;
}
