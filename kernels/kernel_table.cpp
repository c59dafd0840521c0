#include "kernels/kernel_table.h"

namespace {
constexpr Direction READ = Direction::READ;
constexpr Direction WRITE = Direction::WRITE;
constexpr RegisterKind GP32 = RegisterKind::GP32;
constexpr RegisterKind GP16 = RegisterKind::GP16;
constexpr RegisterKind MMX = RegisterKind::MMX;
constexpr RegisterKind XMM = RegisterKind::XMM;
}  // namespace

const KernelSpec KERNEL_TABLE[] = {
#define KERNEL_ROW(function, column, direction, capability, aligned16, instruction, registers) \
    {#function, column, direction, capability, aligned16, instruction, registers, function},
#include "kernels/kernel_list.def"
#undef KERNEL_ROW
};

const size_t KERNEL_COUNT = sizeof(KERNEL_TABLE) / sizeof(KERNEL_TABLE[0]);
