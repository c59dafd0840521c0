#include "probe/simd_capabilities.h"

namespace {
constexpr uint32_t ECX_OSXSAVE = 1u << 27;

// The CPUID words the extensions are read from (isa/extension_list.def).
enum class CpuidRegister { EBX, ECX, EDX };
struct CpuidWords {
    uint32_t leaf1Edx = 0, leaf1Ecx = 0, leaf7Ebx = 0;
};

struct CpuidSource {
    CapabilityMask capability;
    uint32_t leaf;
    CpuidRegister word;
    uint32_t bit;
    uint64_t osState;
};

constexpr CpuidRegister EBX = CpuidRegister::EBX;
constexpr CpuidRegister ECX = CpuidRegister::ECX;
constexpr CpuidRegister EDX = CpuidRegister::EDX;

constexpr CpuidSource CPUID_SOURCES[] = {
#define EXTENSION_ROW(capability, name, option, cpuinfo, leaf, word, bit, osState) \
    {capability, leaf, word, bit, osState},
#include "isa/extension_list.def"
#undef EXTENSION_ROW
};

constexpr bool isRead(uint32_t leaf, CpuidRegister word) {
    return (leaf == 1 && (word == EDX || word == ECX)) || (leaf == 7 && word == EBX);
}

constexpr bool everySourceIsRead() {
    for (const CpuidSource& source : CPUID_SOURCES) {
        if (!isRead(source.leaf, source.word)) return false;
    }
    return true;
}
static_assert(everySourceIsRead(), "an extension is reported in a CPUID word the probe does not read");

uint32_t wordOf(const CpuidWords& words, uint32_t leaf, CpuidRegister word) {
    if (leaf == 7) return words.leaf7Ebx;
    return word == EDX ? words.leaf1Edx : words.leaf1Ecx;
}

// Every extension whose bit the words set, each from its own bit.
CapabilityMask reportedBy(const CpuidWords& words) {
    CapabilityMask mask = 0;
    for (const CpuidSource& source : CPUID_SOURCES) {
        if (wordOf(words, source.leaf, source.word) & (1u << source.bit)) mask |= source.capability;
    }
    return mask;
}

void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx) {
    uint32_t a = leaf, b, c = subleaf, d;
    asm volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
    *eax = a;
    *ebx = b;
    *ecx = c;
    *edx = d;
}
}  // namespace

CapabilityMask capabilityMaskFromCpuid(uint32_t edx, uint32_t ecx) {
    CpuidWords words;
    words.leaf1Edx = edx;
    words.leaf1Ecx = ecx;
    return reportedBy(words) & CAP_CLASSIC;
}

CapabilityMask detectSimdCapabilities() {
    // The system requires a processor with CPUID leaf 1; nothing checks first.
    uint32_t eax = 1, ebx, ecx = 0, edx;
    asm volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    return capabilityMaskFromCpuid(edx, ecx);
}

ExtendedSupport extendedSupportFromCpuid(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0) {
    CpuidWords words;
    words.leaf1Ecx = leaf1Ecx;
    words.leaf7Ebx = leaf7Ebx;
    ExtendedSupport support;
    support.processor = reportedBy(words) & CAP_EXTENDED;
    // XCR0 means nothing unless the OS has set OSXSAVE.
    const uint64_t osState = (leaf1Ecx & ECX_OSXSAVE) ? xcr0 : 0;
    for (const CpuidSource& source : CPUID_SOURCES) {
        if ((osState & source.osState) == source.osState) support.enabled |= support.processor & source.capability;
    }
    return support;
}

ExtendedSupport detectExtendedSupport() {
    uint32_t maxLeaf, ebx, ecx, edx, leaf1Ecx, leaf7Ebx = 0;
    cpuid(0, 0, &maxLeaf, &ebx, &ecx, &edx);
    cpuid(1, 0, &ebx, &ebx, &leaf1Ecx, &edx);
    if (maxLeaf >= 7) cpuid(7, 0, &ecx, &leaf7Ebx, &ecx, &edx);
    uint64_t xcr0 = 0;
    if (leaf1Ecx & ECX_OSXSAVE) {
        uint32_t low, high;
        asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        xcr0 = (uint64_t{high} << 32) | low;
    }
    return extendedSupportFromCpuid(leaf1Ecx, leaf7Ebx, xcr0);
}
