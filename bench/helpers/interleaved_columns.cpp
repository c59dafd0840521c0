// Whether columns of one width differ by their code alone: every kernel of the
// 16-byte-aligned tables, from the program's own kernel table, run over one
// block in turn, turn after turn, in one process, so that the host's slow
// moments fall on all of them alike. A column that still trails its width here
// trails because of its loop.
//
// Usage: interleaved_columns CPU TURNS BLOCK_BYTES...
// Prints "<read|write|copy|fill> <column> <block bytes> <median ticks of a
// run> <fewest ticks>" per kernel and block; every run moves RUN_LINES lines,
// or the whole block when it is larger, so speeds go as the bytes moved over
// the ticks. A copy writes past its block, so the buffer holds its
// destination as well.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "driver/median.h"
#include "kernels/copy_and_fill.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "pin_to_cpu.h"
#include "probe/simd_capabilities.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: interleaved_columns CPU TURNS BLOCK_BYTES...\n");
        return 64;
    }
    pinToCpuFromArguments(argc, argv);
    const int turns = std::atoi(argv[2]);
    // Linux lets every process use SSE, so what the processor and XCR0 report is
    // what runs.
    const CapabilityMask mask = detectSimdCapabilities() | detectExtendedSupport().enabled;
    std::vector<const KernelSpec*> kernels;
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        if (columnShown(KERNEL_TABLE[k], mask, true)) kernels.push_back(&KERNEL_TABLE[k]);
    }
    for (int argument = 3; argument < argc; ++argument) {
        const long blockBytes = std::atol(argv[argument]);
        // A fresh page-aligned block, as the program's first pass has.
        const size_t bufferBytes = static_cast<size_t>(copyFootprintBytes(blockBytes));
        void* block = mmap(nullptr, bufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                           -1, 0);
        if (block == MAP_FAILED) return 2;
        const auto blockLines = static_cast<int32_t>(blockBytes / LINE_BYTES);
        std::vector<std::vector<double>> ticks(kernels.size());
        for (int turn = 0; turn < turns; ++turn) {
            for (size_t k = 0; k < kernels.size(); ++k) {
                kernels[k]->run(block, blockLines, std::max(RUN_LINES, blockLines));
                ticks[k].push_back(static_cast<double>(timingRecord.elapsedTicks));
            }
        }
        for (size_t k = 0; k < kernels.size(); ++k) {
            std::printf("%s %s %ld %.0f %.0f\n", directionName(kernels[k]->direction),
                        kernels[k]->column, blockBytes, median(ticks[k]),
                        *std::min_element(ticks[k].begin(), ticks[k].end()));
        }
        munmap(block, bufferBytes);
    }
    return 0;
}
