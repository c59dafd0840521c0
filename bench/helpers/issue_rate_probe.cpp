// Accesses per core cycle that this core sustains for each kind of access, from
// long straight runs of independent accesses to an L1-resident block. Written
// unlike the benchmark's loops on purpose (no per-line branch, no cursor reset),
// so that it measures the hardware and not the loop it is meant to judge.
//
// Prints "<kind> <accesses per cycle>" per line, for every kind this processor
// and its operating system can run: the 32- and 64-byte kinds only with AVX and
// AVX-512F.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "pin_to_cpu.h"
#include "kernels/dependent_add_clock.h"
#include "tsc_stamp.h"
#include "driver/median.h"

namespace {

// Two accesses of 64 bytes per step over 64 steps: 8 KiB, well inside L1.
alignas(4096) unsigned char block[8192];

constexpr int ACCESSES_PER_TURN = 128;
constexpr int TURNS = 20000;
constexpr int SAMPLES = 9;

// 128 accesses per turn, two per step, each to its own address, ascending over
// 0.5 to 8 KiB by width. Not more: a turn of 256 ran 10-20% slower on Zen 5, the
// loop no longer being fed at full width; the loop's own dec/jnz is one fused
// op per 128 accesses.
#define EACH_N(access)                                                                      \
    ".irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25," \
    "26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,"  \
    "54,55,56,57,58,59,60,61,62,63\n\t" access ".endr\n\t"
#define TURN_LOOP(setup, access, after) setup "1:\n\t" EACH_N(access) "dec %0\n\tjnz 1b\n\t" after

#define XMM_REGS "xmm0", "xmm1"
#define MMX_REGS "mm0", "mm1"

__attribute__((noinline)) void scalarLoads(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "mov \\n*8(%1), %%eax\n\tmov \\n*8+4(%1), %%edx\n\t", "")
                 : "+c"(turns) : "r"(p) : "rax", "rdx", "cc");
}
__attribute__((noinline)) void xmmLoads(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "movaps \\n*32(%1), %%xmm0\n\tmovaps \\n*32+16(%1), %%xmm1\n\t", "")
                 : "+c"(turns) : "r"(p) : XMM_REGS, "cc");
}
__attribute__((target("avx"))) __attribute__((noinline)) void ymmLoads(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "vmovaps \\n*64(%1), %%ymm0\n\tvmovaps \\n*64+32(%1), %%ymm1\n\t", "vzeroupper\n\t")
                 : "+c"(turns) : "r"(p) : XMM_REGS, "cc");
}
__attribute__((target("avx512f"))) __attribute__((noinline)) void zmmLoads(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "vmovaps \\n*128(%1), %%zmm0\n\tvmovaps \\n*128+64(%1), %%zmm1\n\t",
                           "vzeroupper\n\t")
                 : "+c"(turns) : "r"(p) : XMM_REGS, "cc");
}
__attribute__((target("mmx"))) __attribute__((noinline)) void mmxLoads(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "movq \\n*16(%1), %%mm0\n\tmovq \\n*16+8(%1), %%mm1\n\t", "emms\n\t")
                 : "+c"(turns) : "r"(p) : MMX_REGS, "cc");
}
__attribute__((noinline)) void scalarStores(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("", "mov %%eax, \\n*8(%1)\n\tmov %%edx, \\n*8+4(%1)\n\t", "")
                 : "+c"(turns) : "r"(p), "a"(1), "d"(2) : "memory", "cc");
}
__attribute__((noinline)) void xmmStores(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("xorps %%xmm0, %%xmm0\n\txorps %%xmm1, %%xmm1\n\t",
                           "movaps %%xmm0, \\n*32(%1)\n\tmovaps %%xmm1, \\n*32+16(%1)\n\t", "")
                 : "+c"(turns) : "r"(p) : "memory", XMM_REGS, "cc");
}
__attribute__((target("avx"))) __attribute__((noinline)) void ymmStores(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("vxorps %%ymm0, %%ymm0, %%ymm0\n\tvxorps %%ymm1, %%ymm1, %%ymm1\n\t",
                           "vmovaps %%ymm0, \\n*64(%1)\n\tvmovaps %%ymm1, \\n*64+32(%1)\n\t", "vzeroupper\n\t")
                 : "+c"(turns) : "r"(p) : "memory", XMM_REGS, "cc");
}
__attribute__((target("avx512f"))) __attribute__((noinline)) void zmmStores(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("vpxord %%zmm0, %%zmm0, %%zmm0\n\tvpxord %%zmm1, %%zmm1, %%zmm1\n\t",
                           "vmovaps %%zmm0, \\n*128(%1)\n\tvmovaps %%zmm1, \\n*128+64(%1)\n\t", "vzeroupper\n\t")
                 : "+c"(turns) : "r"(p) : "memory", XMM_REGS, "cc");
}
__attribute__((target("mmx"))) __attribute__((noinline)) void mmxStores(unsigned char* p, int turns) {
    asm volatile(TURN_LOOP("pxor %%mm0, %%mm0\n\tpxor %%mm1, %%mm1\n\t",
                           "movq %%mm0, \\n*16(%1)\n\tmovq %%mm1, \\n*16+8(%1)\n\t", "emms\n\t")
                 : "+c"(turns) : "r"(p) : "memory", MMX_REGS, "cc");
}

double ticksPerAdd() { return ticksPerDependentAdd(5000, fencedTicks); }

double ticksPerAccess(void (*run)(unsigned char*, int)) {
    const uint64_t start = fencedTicks();
    run(block, TURNS);
    return static_cast<double>(fencedTicks() - start) / (static_cast<double>(ACCESSES_PER_TURN) * TURNS);
}

// Whether the processor reports the extension and the operating system saves
// its registers: the compiler's runtime check reads both.
bool always() { return true; }
bool hasAvx() { return __builtin_cpu_supports("avx"); }
bool hasAvx512f() { return __builtin_cpu_supports("avx512f"); }

struct Kind {
    const char* name;
    void (*run)(unsigned char*, int);
    bool (*runsHere)();
};

const Kind KINDS[] = {
    {"scalar_load", scalarLoads, always},  {"mmx_load", mmxLoads, always},
    {"xmm_load", xmmLoads, always},        {"ymm_load", ymmLoads, hasAvx},
    {"zmm_load", zmmLoads, hasAvx512f},    {"scalar_store", scalarStores, always},
    {"mmx_store", mmxStores, always},      {"xmm_store", xmmStores, always},
    {"ymm_store", ymmStores, hasAvx},      {"zmm_store", zmmStores, hasAvx512f},
};

}  // namespace

int main(int argc, char** argv) {
    pinToCpuFromArguments(argc, argv);
    __builtin_cpu_init();
    for (const Kind& kind : KINDS) {
        if (!kind.runsHere()) continue;
        std::vector<double> perCycle;
        for (int i = 0; i < SAMPLES; ++i) {
            // The clock is read next to each sample: a virtual processor's clock
            // can move between samples.
            const double cycleTicks = ticksPerAdd();
            perCycle.push_back(cycleTicks / ticksPerAccess(kind.run));
        }
        std::printf("%s %.3f\n", kind.name, median(perCycle));
    }
    return 0;
}
