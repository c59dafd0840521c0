// Every kernel, one per row of the table. The write kernels store their
// registers as they find them: as the program runs, that is what the last
// read kernel loaded (MOV and MOVNTI store EAX, the index, and EDX, the upper
// half of startTicks), except for XMM6 and XMM7 on Win64, where they are
// callee-saved and every kernel that changes them gives them back. No kernel
// has a fence: the closing CPUID is the only ordering point after the stores.
#include "kernels/kernels.h"
#include "kernels/library_frame.h"
#include "kernels/loop_bodies.h"
#include "kernels/string_frame.h"

// The definition by the row's frame; a copy loop has a destination as well.
#define K_DEFINE_READ DEFINE_TIMED_KERNEL
#define K_DEFINE_WRITE DEFINE_TIMED_KERNEL
#define K_DEFINE_COPY DEFINE_TIMED_COPY_KERNEL
#define K_DEFINE_LOOP(function, capability, direction, instruction, registers, frame, linesPerPass)      \
    K_DEFINE_##direction(function, K_TARGET_##capability,                                              \
                         K_LOOP_##frame(K_INDEX_##direction##_##registers, direction##_##registers,    \
                                        instruction, linesPerPass),                                   \
                         K_AFTER_##registers, K_CLOBBERS_##direction##_##registers)
#define K_DEFINE_CLASSIC K_DEFINE_LOOP
#define K_DEFINE_STRAIGHT K_DEFINE_LOOP
#define K_DEFINE_STRING(function, capability, direction, instruction, registers, frame, linesPerPass)    \
    DEFINE_STRING_KERNEL(function, direction, registers, instruction)
#define K_DEFINE_LIBRARY(function, capability, direction, instruction, registers, frame, linesPerPass)   \
    DEFINE_LIBRARY_KERNEL(function, direction)

#define KERNEL_ROW(function, column, direction, capability, alignedOnly, instruction, registers, frame,  \
                   linesPerPass)                                                                      \
    K_DEFINE_##frame(function, capability, direction, instruction, registers, frame, linesPerPass)
#include "kernels/kernel_list.def"
#undef KERNEL_ROW
