// The one place the description executes CPUID; tests link a fake in its
// place to describe any processor.
#include "probe/cpuid_leaves.h"

namespace {

constexpr uint32_t EXTENDED_BASE = 0x80000000;
// Sub-leaves past this many are not caches but a broken list.
constexpr uint32_t MAX_CACHE_SUBLEAVES = 16;

CpuidRegisters cpuid(uint32_t leaf, uint32_t subleaf = 0) {
    CpuidRegisters registers;
    uint32_t a = leaf, b, c = subleaf, d;
    asm volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
    registers.eax = a;
    registers.ebx = b;
    registers.ecx = c;
    registers.edx = d;
    return registers;
}

std::vector<CpuidRegisters> cacheSubleaves(uint32_t leaf) {
    std::vector<CpuidRegisters> subleaves;
    for (uint32_t subleaf = 0; subleaf < MAX_CACHE_SUBLEAVES; ++subleaf) {
        const CpuidRegisters registers = cpuid(leaf, subleaf);
        if ((registers.eax & 0x1f) == 0) break;
        subleaves.push_back(registers);
    }
    return subleaves;
}

}  // namespace

CpuidReadings readCpuid() {
    CpuidReadings readings;
    readings.leaf0 = cpuid(0);
    readings.maxLeaf = readings.leaf0.eax;
    if (readings.maxLeaf >= 1) readings.leaf1 = cpuid(1);
    // AMD reserves leaf 4: it reads as zeros there.
    if (readings.maxLeaf >= 4) readings.leaf4 = cacheSubleaves(4);
    const uint32_t maxExtended = cpuid(EXTENDED_BASE).eax;
    readings.maxExtendedLeaf = maxExtended >= EXTENDED_BASE ? maxExtended : 0;
    if (readings.maxExtendedLeaf >= EXTENDED_BASE + 4) {
        for (uint32_t i = 0; i < 3; ++i) readings.brand[i] = cpuid(EXTENDED_BASE + 2 + i);
    }
    if (readings.maxExtendedLeaf >= EXTENDED_BASE + 5) readings.leaf80000005 = cpuid(EXTENDED_BASE + 5);
    if (readings.maxExtendedLeaf >= EXTENDED_BASE + 6) readings.leaf80000006 = cpuid(EXTENDED_BASE + 6);
    if (readings.maxExtendedLeaf >= EXTENDED_BASE + 0x1d) readings.leaf8000001d = cacheSubleaves(EXTENDED_BASE + 0x1d);
    return readings;
}
