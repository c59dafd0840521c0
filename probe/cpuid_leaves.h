#pragma once
// What the processor says of itself through CPUID, read once into plain
// registers, and the plain functions that decode them: the identity and the
// caches. Tests give the decoders any register values.
#include <cstdint>
#include <string>
#include <vector>

#include "probe/machine_description.h"

struct CpuidRegisters {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

struct CpuidReadings {
    uint32_t maxLeaf = 0;          // leaf 0 EAX
    uint32_t maxExtendedLeaf = 0;  // leaf 0x80000000 EAX; 0 when there are no extended leaves
    CpuidRegisters leaf0, leaf1;
    CpuidRegisters brand[3];       // leaves 0x80000002-4
    std::vector<CpuidRegisters> leaf4;          // sub-leaves up to the first null one
    std::vector<CpuidRegisters> leaf8000001d;   // likewise
    CpuidRegisters leaf80000005, leaf80000006;
};

// Reads this processor's leaves.
CpuidReadings readCpuid();

// "GenuineIntel", "AuthenticAMD" ... from leaf 0's EBX, EDX, ECX.
std::string cpuidVendor(const CpuidRegisters& leaf0);

// The brand string of leaves 0x80000002-4, spaces at either end trimmed.
std::string cpuidBrand(const CpuidRegisters brand[3]);

// The display family, model and stepping of leaf 1 EAX: the extended family
// counts only with base family 15, the extended model with 6 or 15.
struct DisplayModel {
    int family, model, stepping;
};
DisplayModel cpuidDisplayModel(uint32_t leaf1Eax);

// The logical processors leaf 1 EBX says a package has room for (bits 23-16),
// or -1 when EDX bit 28 does not vouch for the field.
int cpuidLogicalPerPackage(const CpuidRegisters& leaf1);

// One sub-leaf of leaf 4 (Intel) or 0x8000001D (AMD), which share a layout;
// false for the null sub-leaf that ends the list. `source` names the leaf.
bool cacheFromDeterministicLeaf(const CpuidRegisters& leaf, const char* source, CacheDescription* cache);

// AMD's older leaves: L1 data and instruction from 0x80000005, L2 and L3 from
// 0x80000006 (Intel fills only the L2 of 0x80000006). A field that defers to
// leaf 0x8000001D leaves the figure unknown, with a note.
std::vector<CacheDescription> cachesFromLegacyLeaves(const CpuidRegisters& leaf80000005,
                                                     const CpuidRegisters& leaf80000006,
                                                     std::vector<std::string>* notes);
