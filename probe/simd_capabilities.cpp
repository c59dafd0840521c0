#include "probe/simd_capabilities.h"

namespace {
constexpr uint32_t EDX_MMX = 1u << 23;
constexpr uint32_t EDX_SSE = 1u << 25;
constexpr uint32_t EDX_SSE2 = 1u << 26;
constexpr uint32_t ECX_SSE3 = 1u << 0;
constexpr uint32_t ECX_SSE41 = 1u << 19;
constexpr uint32_t ECX_OSXSAVE = 1u << 27;
constexpr uint32_t ECX_AVX = 1u << 28;
constexpr uint32_t EBX7_AVX512F = 1u << 16;
// XCR0: SSE and AVX state (bits 1, 2); AVX-512 adds opmask, upper ZMM0-15
// and ZMM16-31 (bits 5, 6, 7).
constexpr uint64_t XCR0_AVX_STATE = 0x06;
constexpr uint64_t XCR0_AVX512_STATE = 0xE6;

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
    CapabilityMask mask = 0;
    if (edx & EDX_MMX) mask |= CAP_MMX;
    if (edx & EDX_SSE) mask |= CAP_SSE;
    if (edx & EDX_SSE2) mask |= CAP_SSE2;
    if (ecx & ECX_SSE3) mask |= CAP_SSE3;
    return mask;
}

CapabilityMask detectSimdCapabilities() {
    // The system requires a processor with CPUID leaf 1; nothing checks first.
    uint32_t eax = 1, ebx, ecx = 0, edx;
    asm volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    return capabilityMaskFromCpuid(edx, ecx);
}

ExtendedSupport extendedSupportFromCpuid(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0) {
    ExtendedSupport support;
    if (leaf1Ecx & ECX_SSE41) support.processor |= CAP_SSE41;
    if (leaf1Ecx & ECX_AVX) support.processor |= CAP_AVX;
    if (leaf7Ebx & EBX7_AVX512F) support.processor |= CAP_AVX512F;
    // XCR0 means nothing unless the OS has set OSXSAVE.
    const uint64_t osState = (leaf1Ecx & ECX_OSXSAVE) ? xcr0 : 0;
    support.enabled = support.processor & CAP_SSE41;
    if ((osState & XCR0_AVX_STATE) == XCR0_AVX_STATE) support.enabled |= support.processor & CAP_AVX;
    if ((osState & XCR0_AVX512_STATE) == XCR0_AVX512_STATE) support.enabled |= support.processor & CAP_AVX512F;
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
