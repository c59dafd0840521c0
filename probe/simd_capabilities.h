#pragma once
#include <cstdint>

#include "probe/capability_mask.h"

// What CPUID leaf 1 reports: each flag from its own bit, none implying another.
CapabilityMask capabilityMaskFromCpuid(uint32_t edx, uint32_t ecx);

CapabilityMask detectSimdCapabilities();
