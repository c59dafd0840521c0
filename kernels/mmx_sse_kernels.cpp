// MMX and SSE kernels. The write kernels store MM0-MM7 / XMM0-XMM7 as they find
// them: as the program runs, that is what the last read kernel loaded, except
// for XMM6 and XMM7 on Win64, where they are callee-saved and every kernel
// that changes them gives them back.
#include "kernels/kernels.h"
#include "kernels/loop_bodies.h"

// EMMS after the record is written, outside the timed window: the driver's
// floating-point arithmetic right after the call needs an empty x87 stack.
#define AFTER_MMX "emms\n\t"

DEFINE_TIMED_KERNEL(readMovq, K_MMX_TARGET, K_INDEX_EAX, K_TWO_HALVES(MMX_LOAD_HALF("movq")),
                    AFTER_MMX, K_MMX_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovq, K_MMX_TARGET, K_INDEX_EAX, K_TWO_HALVES(MMX_STORE_HALF("movq")),
                    AFTER_MMX, K_MMX_CLOBBERS)
// No SFENCE: the closing CPUID is the only ordering point after the stores.
DEFINE_TIMED_KERNEL(writeMovntq, K_MMX_TARGET, K_INDEX_EAX, K_TWO_HALVES(MMX_STORE_HALF("movntq")),
                    AFTER_MMX, K_MMX_CLOBBERS)

DEFINE_TIMED_KERNEL(readMovups, K_SSE_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_LOAD_BLOCK("movups")), "",
                    K_XMM_CLOBBERS)
DEFINE_TIMED_KERNEL(readMovaps, K_SSE_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_LOAD_BLOCK("movaps")), "",
                    K_XMM_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovups, K_SSE_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movups")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovaps, K_SSE_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movaps")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovntps, K_SSE_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movntps")), "",
                    K_NO_EXTRA_CLOBBERS)
