#pragma once
#include <cstdint>

// Usable SIMD extensions. The gaps in the numbering are deliberate: the SSE
// family together is 0x38. The extensions above SSE3 are measured only when
// the user asks for them.
using CapabilityMask = uint32_t;

constexpr CapabilityMask CAP_MMX = 0x01;
constexpr CapabilityMask CAP_SSE = 0x08;
constexpr CapabilityMask CAP_SSE2 = 0x10;
constexpr CapabilityMask CAP_SSE3 = 0x20;
constexpr CapabilityMask CAP_SSE_FAMILY = CAP_SSE | CAP_SSE2 | CAP_SSE3;
constexpr CapabilityMask CAP_CLASSIC = CAP_MMX | CAP_SSE_FAMILY;

constexpr CapabilityMask CAP_SSE41 = 0x40;
constexpr CapabilityMask CAP_AVX = 0x80;
constexpr CapabilityMask CAP_AVX512F = 0x100;
constexpr CapabilityMask CAP_EXTENDED = CAP_SSE41 | CAP_AVX | CAP_AVX512F;
