#pragma once
// Loop bodies, each parameterised by the instruction it repeats. Every access
// addresses the cursor plus a constant displacement, in ascending order.
#include "kernels/timed_frame.h"

// Register n at offset 8n of each 64-byte half.
#define MMX_LOAD_HALF(insn)                                     \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " \\n*8(" K_CURSOR "), %%mm\\n\n\t"                    \
    ".endr\n\t"

#define MMX_STORE_HALF(insn)                                    \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " %%mm\\n, \\n*8(" K_CURSOR ")\n\t"                    \
    ".endr\n\t"

// Register n at offset 16n of the line.
#define XMM_LOAD_BLOCK(insn)                                    \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " \\n*16(" K_CURSOR "), %%xmm\\n\n\t"                  \
    ".endr\n\t"

#define XMM_STORE_BLOCK(insn)                                   \
    ".irp n,0,1,2,3,4,5,6,7\n\t"                                \
    insn " %%xmm\\n, \\n*16(" K_CURSOR ")\n\t"                  \
    ".endr\n\t"

// Sixteen 32-bit accesses per 64-byte half, alternating EAX and EDX.
#define GP32_LOAD_HALF(insn)                                    \
    ".irp off,0,8,16,24,32,40,48,56\n\t"                        \
    insn " \\off(" K_CURSOR "), %%eax\n\t"                      \
    insn " \\off+4(" K_CURSOR "), %%edx\n\t"                    \
    ".endr\n\t"

#define GP32_STORE_HALF(insn)                                   \
    ".irp off,0,8,16,24,32,40,48,56\n\t"                        \
    insn " %%eax, \\off(" K_CURSOR ")\n\t"                      \
    insn " %%edx, \\off+4(" K_CURSOR ")\n\t"                    \
    ".endr\n\t"

// Thirty-two 16-bit accesses per half: loads zero-extend into EAX and EDX,
// stores take AX and DX.
#define GP16_LOAD_HALF(insn)                                    \
    ".irp off,0,4,8,12,16,20,24,28,32,36,40,44,48,52,56,60\n\t" \
    insn " \\off(" K_CURSOR "), %%eax\n\t"                      \
    insn " \\off+2(" K_CURSOR "), %%edx\n\t"                    \
    ".endr\n\t"

#define GP16_STORE_HALF(insn)                                   \
    ".irp off,0,4,8,12,16,20,24,28,32,36,40,44,48,52,56,60\n\t" \
    insn " %%ax, \\off(" K_CURSOR ")\n\t"                       \
    insn " %%dx, \\off+2(" K_CURSOR ")\n\t"                     \
    ".endr\n\t"
