#include "kernels/kernel_table.h"

namespace {
constexpr Direction READ = Direction::READ;
constexpr Direction WRITE = Direction::WRITE;
constexpr RegisterKind GP32 = RegisterKind::GP32;
constexpr RegisterKind GP16 = RegisterKind::GP16;
constexpr RegisterKind MMX = RegisterKind::MMX;
constexpr RegisterKind XMM = RegisterKind::XMM;
constexpr RegisterKind YMM = RegisterKind::YMM;
constexpr RegisterKind ZMM = RegisterKind::ZMM;
}  // namespace

const KernelSpec KERNEL_TABLE[] = {
#define KERNEL_ROW(function, column, direction, capability, alignedOnly, instruction, registers, ...) \
    {#function, column, direction, capability, alignedOnly, instruction, registers, function},
#include "kernels/kernel_list.def"
#undef KERNEL_ROW
};

const size_t KERNEL_COUNT = sizeof(KERNEL_TABLE) / sizeof(KERNEL_TABLE[0]);

std::vector<const KernelSpec*> tableColumns(Direction direction, CapabilityMask mask, bool aligned16) {
    std::vector<const KernelSpec*> columns;
    for (size_t k = 0; k < KERNEL_COUNT; ++k) {
        const KernelSpec& kernel = KERNEL_TABLE[k];
        if (kernel.direction == direction && columnShown(kernel, mask, aligned16)) columns.push_back(&kernel);
    }
    return columns;
}

int accessBytes(RegisterKind registers) {
    switch (registers) {
        case RegisterKind::GP16: return 2;
        case RegisterKind::GP32: return 4;
        case RegisterKind::MMX: return 8;
        case RegisterKind::XMM: return 16;
        case RegisterKind::YMM: return 32;
        case RegisterKind::ZMM: return 64;
    }
    return 0;
}
