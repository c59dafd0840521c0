#pragma once
// Calls that Windows 9X or the first NT versions lack are looked up at run
// time rather than imported: the program must still load there.
#include <windows.h>

// The function `name` of `library`, or null where the system has none.
template <typename Function>
Function lookUp(const char* library, const char* name) {
    HMODULE module = GetModuleHandleA(library);
    if (module == nullptr) module = LoadLibraryA(library);
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
