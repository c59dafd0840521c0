// MOV and MOVZX through EAX and EDX: every processor has them, so these carry
// no target attribute and run where the SIMD kernels cannot.
#include "kernels/kernels.h"
#include "kernels/loop_bodies.h"

// The loads go to EAX and EDX, so the index counts in ECX. The loaded values
// are never used, and nothing may remove the loads: they are asm.
DEFINE_TIMED_KERNEL(readMov32, K_NO_TARGET, K_INDEX_ECX, K_TWO_HALVES(GP32_LOAD_HALF("mov")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(readMovzx16, K_NO_TARGET, K_INDEX_ECX, K_TWO_HALVES(GP16_LOAD_HALF("movzwl")), "",
                    K_NO_EXTRA_CLOBBERS)

// EAX is the index i and EDX still holds the upper half of startTicks from the
// opening RDTSC: those are the values stored.
DEFINE_TIMED_KERNEL(writeMov32, K_NO_TARGET, K_INDEX_EAX, K_TWO_HALVES(GP32_STORE_HALF("mov")), "",
                    K_NO_EXTRA_CLOBBERS)
DEFINE_TIMED_KERNEL(writeMov16, K_NO_TARGET, K_INDEX_EAX, K_TWO_HALVES(GP16_STORE_HALF("mov")), "",
                    K_NO_EXTRA_CLOBBERS)
