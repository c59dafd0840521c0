#pragma once
// Windows only: how an exception handler skips the rest of a guarded leaf
// routine that faulted.
#include <windows.h>

// Resumes at the routine's return address, as if it had executed its RET: the
// routine is a leaf that has not touched the stack.
inline void returnFromLeaf(CONTEXT& context) {
#if defined(_WIN64)
    context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
    context.Rsp += sizeof(void*);
#else
    context.Eip = *reinterpret_cast<DWORD*>(context.Esp);
    context.Esp += sizeof(void*);
#endif
}
