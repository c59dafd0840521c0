#include "kernels/kernel_table.h"

namespace {
constexpr Direction READ = Direction::READ;
constexpr Direction WRITE = Direction::WRITE;
constexpr Direction COPY = Direction::COPY;
constexpr Direction FILL = Direction::FILL;
constexpr RegisterKind GP32 = RegisterKind::GP32;
constexpr RegisterKind GP16 = RegisterKind::GP16;
constexpr RegisterKind MMX = RegisterKind::MMX;
constexpr RegisterKind XMM = RegisterKind::XMM;
constexpr RegisterKind YMM = RegisterKind::YMM;
constexpr RegisterKind ZMM = RegisterKind::ZMM;
constexpr RegisterKind STR8 = RegisterKind::STR8;
constexpr RegisterKind STR32 = RegisterKind::STR32;
constexpr RegisterKind LIB = RegisterKind::LIB;
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
