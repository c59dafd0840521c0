// What a non-temporal store cell measures. The program's MOVNTDQ kernel has no
// fence: the closing CPUID is its only ordering point. This runs that kernel
// (the real one, from the kernel library) and varies one thing at a time:
//   program      data as the program stores it (see below), block written by
//                ordinary stores just before, as the MOVDQA cell before it does
//   +sfence      the same with SFENCE before the closing stamp
//   flushed      the block evicted with CLFLUSH before the run instead
//   zeros        every stored byte zero
//   nonzero      every stored byte 0x5a
//   nonzero+sf   nonzero data with SFENCE, as fencing tools that store data do
// and, after a "program" run, times SFENCE between two stamps against two bare
// stamps: what the closing CPUID left undrained. The program's frame has no
// place for a fence, so the two fenced variants run a copy of it (same stamps,
// loop head on a 64-byte line, per-line cursor reset, eight MOVNTDQ per 128
// bytes) with SFENCE added before the closing CPUID.
//
// The data: the program's write kernels store XMM0-XMM7 as the driver leaves
// them, and a debugger at writeMovntdq shows XMM0 = XMM1 = {0, 100} (the
// report's number formatting) and XMM2-XMM7 zero.
//
// Usage: nt_store_ordering CPU TSC_MHZ. Prints GiB/s per variant and block.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../helpers/pin_to_cpu.h"
#include "../helpers/median.h"
#include "kernels/kernels.h"
#include "kernels/timing_record.h"

namespace {

constexpr size_t BUFFER_BYTES = 0x2000000;
constexpr int SAMPLES = 11;

// A copy of the program's frame around MOVNTDQ with SFENCE before the closing
// CPUID; the unfenced runs call the program's writeMovntdq itself.
__attribute__((noinline)) uint64_t ntRunFenced(unsigned char* base, int32_t blockLines) {
    uint32_t startLow, startHigh, endLow, endHigh;
    asm volatile("cpuid\n\trdtsc\n\t"
                 "mov %%eax, %[sl]\n\tmov %%edx, %[sh]\n\t"
                 "xor %%eax, %%eax\n\t"
                 ".p2align 6,0x90\n"
                 "1:\n\t"
                 "test %[mask], %%eax\n\tjnz 3f\n\tmov %[base], %%r11\n"
                 "3:\n\t"
                 ".irp n,0,1,2,3,4,5,6,7\n\tmovntdq %%xmm\\n, \\n*16(%%r11)\n\t.endr\n\t"
                 "add $128, %%r11\n\t"
                 "inc %%eax\n\tcmp %[count], %%eax\n\tjl 1b\n\t"
                 "sfence\n\t"
                 "cpuid\n\trdtsc\n\t"
                 : "=&a"(endLow), "=&d"(endHigh), [sl] "=&m"(startLow), [sh] "=&m"(startHigh)
                 : [base] "r"(base), [mask] "r"(blockLines - 1), [count] "r"(RUN_LINES)
                 : "rbx", "rcx", "r11", "memory", "cc");
    return ((uint64_t{endHigh} << 32) | endLow) - ((uint64_t{startHigh} << 32) | startLow);
}

uint64_t ntRunAsProgram(unsigned char* base, int32_t blockLines) {
    writeMovntdq(base, blockLines, RUN_LINES);
    return timingRecord.elapsedTicks;
}

uint64_t fencedStampGap() {
    const uint64_t before = readSerialisedTicks();
    asm volatile("sfence" : : : "memory");
    return readSerialisedTicks() - before;
}

void ordinaryStores(unsigned char* block, size_t bytes) {
    for (size_t offset = 0; offset < bytes; offset += 16) {
        asm volatile("movdqa %%xmm0, (%0)" : : "r"(block + offset) : "memory");
    }
}

void flush(unsigned char* block, size_t bytes) {
    for (size_t offset = 0; offset < bytes; offset += 64) {
        asm volatile("clflush (%0)" : : "r"(block + offset) : "memory");
    }
    asm volatile("mfence" : : : "memory");
}

// Loads XMM0-XMM7 with the data a variant stores; nothing in between may touch
// them, so the stores follow at once.
void loadData(const uint64_t (&pattern)[16]) {
    asm volatile(".irp n,0,1,2,3,4,5,6,7\n\tmovdqu \\n*16(%0), %%xmm\\n\n\t.endr"
                 : : "r"(pattern) : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
}

const uint64_t PROGRAM_DATA[16] = {0, 100, 0, 100};
const uint64_t ZERO_DATA[16] = {};
uint64_t nonzeroData[16];

enum class Before { ORDINARY_STORES, FLUSH };

struct Variant {
    const char* name;
    const uint64_t* data;
    Before before;
    bool fence;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CPU TSC_MHZ\n", argv[0]);
        return 2;
    }
    pinToCpuFromArguments(argc, argv);
    const double ticksPerSecond = std::atof(argv[2]) * 1e6;
    std::memset(nonzeroData, 0x5a, sizeof nonzeroData);

    auto* buffer = static_cast<unsigned char*>(
        mmap(nullptr, BUFFER_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
    if (buffer == MAP_FAILED) return 1;
    std::memset(buffer, 0, BUFFER_BYTES);

    const Variant variants[] = {
        {"program", PROGRAM_DATA, Before::ORDINARY_STORES, false},
        {"+sfence", PROGRAM_DATA, Before::ORDINARY_STORES, true},
        {"flushed", PROGRAM_DATA, Before::FLUSH, false},
        {"zeros", ZERO_DATA, Before::ORDINARY_STORES, false},
        {"nonzero", nonzeroData, Before::ORDINARY_STORES, false},
        {"nonzero+sf", nonzeroData, Before::ORDINARY_STORES, true},
    };

    std::vector<double> idle;
    for (int i = 0; i < 15; ++i) {
        const uint64_t a = readSerialisedTicks();
        idle.push_back(static_cast<double>(readSerialisedTicks() - a));
    }
    std::printf("bare_stamp_pair_ticks %.0f\n", median(idle));
    std::printf("block");
    for (const Variant& v : variants) std::printf(" %s", v.name);
    std::printf(" drain_ticks\n");

    const int32_t blocks[] = {4096, 8192, 65536, 1 << 20, 8 << 20, 32 << 20};
    for (int32_t blockBytes : blocks) {
        const int32_t blockLines = blockBytes / 128;
        std::printf("%d", blockBytes);
        for (const Variant& v : variants) {
            std::vector<double> rates;
            for (int s = 0; s < SAMPLES; ++s) {
                if (v.before == Before::FLUSH) {
                    flush(buffer, static_cast<size_t>(blockBytes));
                } else {
                    ordinaryStores(buffer, static_cast<size_t>(blockBytes));
                }
                loadData(*reinterpret_cast<const uint64_t(*)[16]>(v.data));
                const uint64_t ticks = v.fence ? ntRunFenced(buffer, blockLines) : ntRunAsProgram(buffer, blockLines);
                rates.push_back(67108864.0 * ticksPerSecond / static_cast<double>(ticks) / 1073741824.0);
            }
            std::printf(" %.1f", median(rates));
        }
        std::vector<double> drains;
        for (int s = 0; s < SAMPLES; ++s) {
            ordinaryStores(buffer, static_cast<size_t>(blockBytes));
            loadData(PROGRAM_DATA);
            ntRunAsProgram(buffer, blockLines);
            drains.push_back(static_cast<double>(fencedStampGap()));
        }
        std::printf(" %.0f\n", median(drains));
    }
    munmap(buffer, BUFFER_BYTES);
    return 0;
}
