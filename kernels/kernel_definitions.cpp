// Every kernel, one per row of the table. The write kernels store their
// registers as they find them: as the program runs, that is what the last
// read kernel loaded (MOV and MOVNTI store EAX, the index, and EDX, the upper
// half of startTicks), except for XMM6 and XMM7 on Win64, where they are
// callee-saved and every kernel that changes them gives them back. No kernel
// has a fence: the closing CPUID is the only ordering point after the stores.
#include "kernels/kernels.h"
#include "kernels/loop_bodies.h"

#define KERNEL_ROW(function, column, direction, capability, alignedOnly, instruction, registers, frame,  \
                   linesPerPass)                                                                      \
    DEFINE_TIMED_KERNEL(function, K_TARGET_##capability,                                              \
                        K_LOOP_##frame(K_INDEX_##direction##_##registers, direction##_##registers,     \
                                       instruction, linesPerPass),                                    \
                        K_AFTER_##registers, K_CLOBBERS_##direction##_##registers)
#include "kernels/kernel_list.def"
#undef KERNEL_ROW
