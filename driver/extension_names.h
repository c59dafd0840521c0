#pragma once
#include "kernels/capability_mask.h"

// Every extension the tables may use: its flag, its name on the capability
// line (in the line's order) and how --isa spells it.
struct ExtensionName {
    CapabilityMask capability;
    const char* name;
    const char* option;
};

inline constexpr ExtensionName EXTENSION_NAMES[] = {
    {CAP_MMX, "MMX", "mmx"},          {CAP_SSE, "SSE", "sse"}, {CAP_SSE2, "SSE2", "sse2"},
    {CAP_SSE3, "SSE3", "sse3"},       {CAP_SSE41, "SSE4.1", "sse4.1"}, {CAP_AVX, "AVX", "avx"},
    {CAP_AVX512F, "AVX512F", "avx512"},
};
