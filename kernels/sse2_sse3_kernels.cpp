// SSE2 and SSE3 kernels. The XMM write kernels store XMM0-XMM7 as they find
// them; MOVNTI stores EAX (the index) and EDX (upper half of startTicks) like
// the 32-bit MOV store.
#include "kernels/kernels.h"
#include "kernels/loop_bodies.h"

DEFINE_TIMED_KERNEL(readLddqu, K_SSE3_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_LOAD_BLOCK("lddqu")), "",
                    K_XMM_CLOBBERS)
DEFINE_TIMED_KERNEL(readMovdqu, K_SSE2_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_LOAD_BLOCK("movdqu")), "",
                    K_XMM_CLOBBERS)
DEFINE_TIMED_KERNEL(readMovdqa, K_SSE2_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_LOAD_BLOCK("movdqa")), "",
                    K_XMM_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovdqu, K_SSE2_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movdqu")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovdqa, K_SSE2_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movdqa")), "",
                    K_NO_EXTRA_CLOBBERS)
// No SFENCE in either non-temporal kernel: the closing CPUID is the only
// ordering point after the stores.
DEFINE_TIMED_KERNEL(writeMovntdq, K_SSE2_TARGET, K_INDEX_EAX, K_ONE_BLOCK(XMM_STORE_BLOCK("movntdq")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMovnti, K_SSE2_TARGET, K_INDEX_EAX, K_TWO_HALVES(GP32_STORE_HALF("movnti")), "",
                    K_NO_EXTRA_CLOBBERS)
