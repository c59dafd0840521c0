#include "probe/simd_capabilities.h"

namespace {
constexpr uint32_t EDX_MMX = 1u << 23;
constexpr uint32_t EDX_SSE = 1u << 25;
constexpr uint32_t EDX_SSE2 = 1u << 26;
constexpr uint32_t ECX_SSE3 = 1u << 0;
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
