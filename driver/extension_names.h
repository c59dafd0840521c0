#pragma once
#include "isa/capability_mask.h"

// Every extension the tables may use (isa/extension_list.def): its flag,
// its name on the capability line (in the line's order) and how --isa spells it.
struct ExtensionName {
    CapabilityMask capability;
    const char* name;
    const char* option;
};

inline constexpr ExtensionName EXTENSION_NAMES[] = {
#define EXTENSION_ROW(capability, name, option, ...) {capability, name, option},
#include "isa/extension_list.def"
#undef EXTENSION_ROW
};
