#pragma once

// True unless executing an SSE instruction faults as an illegal instruction,
// which is how a system that does not save the SSE state refuses it.
bool probeOsSseSupport();
