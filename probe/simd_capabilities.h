#pragma once
#include <cstdint>

#include "isa/capability_mask.h"

// What CPUID leaf 1 reports: each flag from its own bit, none implying another.
CapabilityMask capabilityMaskFromCpuid(uint32_t edx, uint32_t ecx);

CapabilityMask detectSimdCapabilities();

// The extensions beyond the classic four: what the processor reports, and
// which of those the operating system lets run (AVX and AVX-512 need their
// register state saved, which XGETBV shows; SSE4.1 needs only SSE's).
struct ExtendedSupport {
    CapabilityMask processor = 0;
    CapabilityMask enabled = 0;
};

// From CPUID leaf 1 ECX, leaf 7 sub-leaf 0 EBX (0 when the processor has no
// leaf 7) and XCR0 (read only when leaf 1 reports OSXSAVE; 0 otherwise).
ExtendedSupport extendedSupportFromCpuid(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0);

ExtendedSupport detectExtendedSupport();
