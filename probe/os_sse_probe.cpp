#include "probe/os_sse_probe.h"

#include "platform/platform.h"
#include "probe/guarded_routine.h"

// XORPS XMM0, XMM0 clears XMM0 and does nothing else.
DEFINE_GUARDED_ROUTINE(executeXorpsXmm0, "xorps %xmm0, %xmm0")

bool probeOsSseSupport() {
    // Any fault but an illegal instruction still counts as support.
    return platformRunGuarded(executeXorpsXmm0) != GuardOutcome::ILLEGAL_INSTRUCTION;
}
