// Why the MOVQ write cells sit about 10% under the two-stores-a-cycle limit
// while every other store column reaches it: the program's write loop run over
// a 4 KiB block with three kinds of 8-byte store, nothing else changed.
//   mmx_movq    the program's own MOVQ write kernel (MOVQ from MM0-MM7)
//   xmm_movq    MOVQ from XMM0-XMM7 (SSE2 form, same 8 bytes)
//   xmm_movsd   MOVSD from XMM0-XMM7, as likwid-bench's scalar store
// The two variants are built from the program's own timed frame and two-half
// body, so the loop around the store is the program's to the byte. If only the
// MMX form falls short, the shortfall is the core's, not the loop's.
//
// Usage: mmx_store_loop CPU. Prints "<variant> <bytes per core cycle>" per line.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../helpers/pin_to_cpu.h"
#include "../helpers/tsc_stamp.h"
#include "../helpers/median.h"
#include "kernels/dependent_add_clock.h"
#include "kernels/kernels.h"
#include "kernels/loop_bodies.h"

// Eight 8-byte stores from XMM0-XMM7 per 64-byte half, as MMX_STORE_HALF
// stores from MM0-MM7.
#define XMM_LOW_STORE_HALF(insn)                                \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " %%xmm\\n, \\n*8(" K_CURSOR ")\n\t"                   \
    ".endr\n\t"

DEFINE_TIMED_KERNEL(writeXmmMovq, K_TARGET_CAP_SSE2, K_INDEX_WRITE_XMM, K_TWO_HALVES(XMM_LOW_STORE_HALF("movq")),
                    K_AFTER_XMM, K_CLOBBERS_WRITE_XMM)
DEFINE_TIMED_KERNEL(writeXmmMovsd, K_TARGET_CAP_SSE2, K_INDEX_WRITE_XMM, K_TWO_HALVES(XMM_LOW_STORE_HALF("movsd")),
                    K_AFTER_XMM, K_CLOBBERS_WRITE_XMM)

namespace {

constexpr int32_t BLOCK_LINES = 4096 / LINE_BYTES;
constexpr int SAMPLES = 9;

double ticksPerAdd() { return ticksPerDependentAdd(5000, fencedTicks); }

}  // namespace

int main(int argc, char** argv) {
    pinToCpuFromArguments(argc, argv);
    auto* block = static_cast<unsigned char*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
    if (block == MAP_FAILED) return 1;
    const struct {
        const char* name;
        TransferKernel run;
    } variants[] = {{"mmx_movq", writeMovq}, {"xmm_movq", writeXmmMovq}, {"xmm_movsd", writeXmmMovsd}};
    for (const auto& variant : variants) {
        std::vector<double> perCycle;
        for (int i = 0; i < SAMPLES; ++i) {
            const double cycleTicks = ticksPerAdd();
            variant.run(block, BLOCK_LINES, RUN_LINES);
            const double ticks = static_cast<double>(timingRecord.elapsedTicks);
            perCycle.push_back(static_cast<double>(RUN_LINES) * LINE_BYTES / (ticks / cycleTicks));
        }
        std::printf("%s %.3f\n", variant.name, median(perCycle));
    }
    return 0;
}
