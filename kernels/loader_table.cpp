#include "kernels/loader_kernels.h"

const LoaderSpec LOADER_TABLE[] = {
#define LOADER_ROW(function, load, capability, instruction, registers, column) \
    {#function, Direction::load, capability, instruction, RegisterKind::registers, column, function},
#include "kernels/loader_list.def"
#undef LOADER_ROW
};

const size_t LOADER_COUNT = sizeof LOADER_TABLE / sizeof LOADER_TABLE[0];

const LoaderSpec* widestLoader(Direction load, CapabilityMask mask) {
    for (size_t k = 0; k < LOADER_COUNT; ++k) {
        const LoaderSpec& loader = LOADER_TABLE[k];
        if (loader.load == load && (mask & loader.capability) == loader.capability) return &loader;
    }
    return nullptr;
}
