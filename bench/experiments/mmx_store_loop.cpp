// Why the MOVQ write cells sit about 10% under the two-stores-a-cycle limit
// while every other store column reaches it: the program's write loop (per-line
// cursor test, two 64-byte halves, the cursor advanced between them) replayed
// over a 4 KiB block with three kinds of 8-byte store, nothing else changed.
//   mmx_movq    MOVQ from MM0-MM7, as the program's MOVQ column
//   xmm_movq    MOVQ from XMM0-XMM7 (SSE2 form, same 8 bytes)
//   xmm_movsd   MOVSD from XMM0-XMM7, as likwid-bench's scalar store
// If only the MMX form falls short, the shortfall is the core's, not the loop's.
//
// Usage: mmx_store_loop CPU. Prints "<variant> <bytes per core cycle>" per line.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../helpers/pin_to_cpu.h"
#include "../helpers/tsc_stamp.h"
#include "kernels/dependent_add_clock.h"

namespace {

constexpr int32_t RUN_LINES = 0x80000;
constexpr int32_t BLOCK_LINES = 4096 / 128;
constexpr int SAMPLES = 9;

#define HALF(store) ".irp n,0,1,2,3,4,5,6,7\n\t" store " \\n*8(%%r11)\n\t.endr\n\t"
#define WRITE_LOOP(name, store)                                                                 \
    __attribute__((noinline)) uint64_t name(unsigned char* base) {                              \
        const uint64_t start = fencedTicks();                                                  \
        asm volatile("xor %%eax, %%eax\n"                                                       \
                     "1:\n\ttest %[mask], %%eax\n\tjnz 3f\n\tmov %[base], %%r11\n"              \
                     "3:\n\t" HALF(store) "add $64, %%r11\n\t" HALF(store) "add $64, %%r11\n\t"   \
                     "inc %%eax\n\tcmp %[count], %%eax\n\tjl 1b"                                  \
                     : : [base] "r"(base), [mask] "r"(BLOCK_LINES - 1), [count] "r"(RUN_LINES)   \
                     : "rax", "r11", "memory", "cc");                                          \
        return fencedTicks() - start;                                                          \
    }

WRITE_LOOP(mmxMovq, "movq %%mm\\n,")
WRITE_LOOP(xmmMovq, "movq %%xmm\\n,")
WRITE_LOOP(xmmMovsd, "movsd %%xmm\\n,")

double ticksPerAdd() { return ticksPerDependentAdd(5000, fencedTicks); }

}  // namespace

int main(int argc, char** argv) {
    pinToCpuFromArguments(argc, argv);
    auto* block = static_cast<unsigned char*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
    if (block == MAP_FAILED) return 1;
    const struct {
        const char* name;
        uint64_t (*run)(unsigned char*);
    } variants[] = {{"mmx_movq", mmxMovq}, {"xmm_movq", xmmMovq}, {"xmm_movsd", xmmMovsd}};
    for (const auto& variant : variants) {
        std::vector<double> perCycle;
        for (int i = 0; i < SAMPLES; ++i) {
            const double cycleTicks = ticksPerAdd();
            const double ticks = static_cast<double>(variant.run(block));
            asm volatile("emms");
            perCycle.push_back(static_cast<double>(RUN_LINES) * 128.0 / (ticks / cycleTicks));
        }
        std::sort(perCycle.begin(), perCycle.end());
        std::printf("%s %.3f\n", variant.name, perCycle[SAMPLES / 2]);
    }
    return 0;
}
