#pragma once
#include <cstdint>

// Usable SIMD extensions. The gaps in the numbering are deliberate: the SSE
// family together is 0x38.
using CapabilityMask = uint32_t;

constexpr CapabilityMask CAP_MMX = 0x01;
constexpr CapabilityMask CAP_SSE = 0x08;
constexpr CapabilityMask CAP_SSE2 = 0x10;
constexpr CapabilityMask CAP_SSE3 = 0x20;
constexpr CapabilityMask CAP_SSE_FAMILY = CAP_SSE | CAP_SSE2 | CAP_SSE3;
