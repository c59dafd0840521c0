// The KERNEL32 services the run sequence was written against, called with the
// arguments it has always passed them.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace {

// The size the version query is told: the size of OSVERSIONINFOA, passed as
// the literal it has always been.
constexpr DWORD VERSION_INFO_BYTES = 148;
static_assert(sizeof(OSVERSIONINFOA) == VERSION_INFO_BYTES, "OSVERSIONINFOA is the 148-byte record");

// x86 pages are 4 KiB unless large pages are asked for, and they are not.
constexpr size_t PAGE_BYTES = 4096;

// Asked for before any other service; the pseudo-handle stands for this
// process in every later call.
const HANDLE thisProcess = GetCurrentProcess();

}  // namespace

OsFamily platformOsFamily() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = VERSION_INFO_BYTES;
    // A failed query leaves the platform id zero, which reads as the 9X family.
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT ? OsFamily::NT : OsFamily::WIN9X;
}

bool platformGetAffinityMasks(uint32_t* processMask, uint32_t* systemMask) {
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(thisProcess, &process, &system) == 0) return false;
    // 64-bit Windows has 64-bit masks; the run only looks at the first 32
    // processors.
    *processMask = static_cast<uint32_t>(process);
    *systemMask = static_cast<uint32_t>(system);
    return true;
}

void platformSetAffinityMask(uint32_t mask) { SetProcessAffinityMask(thisProcess, mask); }

void platformRaisePriority() { SetPriorityClass(thisProcess, HIGH_PRIORITY_CLASS); }

WallClockReading platformWallClockUtc() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void platformSleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void* platformAllocateBuffer(size_t bytes) {
    void* buffer = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
    if (buffer == nullptr) return nullptr;
    // Under Wine the commit is a Linux mapping, and a never-written page there
    // reads from the one shared zero page: every read of a large block would
    // be a cache hit. A write gives each page memory of its own; on Windows
    // it only brings the first touch forward.
    volatile unsigned char* bytesOf = static_cast<unsigned char*>(buffer);
    for (size_t offset = 0; offset < bytes; offset += PAGE_BYTES) bytesOf[offset] = 0;
    return buffer;
}

void platformReleaseBuffer(void* buffer, size_t) { VirtualFree(buffer, 0, MEM_RELEASE); }

namespace {

// Zero until the guarded routine raises something: no exception has code 0.
volatile DWORD guardedExceptionCode;

// Accepts whatever the routine raised and resumes at its return address, as if
// it had executed its RET: the routine is a leaf that has not touched the stack.
LONG CALLBACK onGuardedException(EXCEPTION_POINTERS* exception) {
    guardedExceptionCode = exception->ExceptionRecord->ExceptionCode;
    CONTEXT& context = *exception->ContextRecord;
#if defined(_WIN64)
    context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
    context.Rsp += sizeof(void*);
#else
    context.Eip = *reinterpret_cast<DWORD*>(context.Esp);
    context.Esp += sizeof(void*);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

GuardOutcome platformRunGuarded(void (*instruction)()) {
    // MinGW has no __try. A vectored handler sees every exception of the
    // process first, so it is registered only for the length of the call.
    guardedExceptionCode = 0;
    PVOID handler = AddVectoredExceptionHandler(1, onGuardedException);
    instruction();
    const DWORD code = guardedExceptionCode;
    if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
    if (code == 0) return GuardOutcome::COMPLETED;
    return code == STATUS_ILLEGAL_INSTRUCTION ? GuardOutcome::ILLEGAL_INSTRUCTION : GuardOutcome::OTHER_FAULT;
}

namespace {

struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

DWORD WINAPI runThread(LPVOID start) {
    const ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    what.entry(what.argument);
    return 0;
}

}  // namespace

bool platformStartThread(void (*entry)(void*), void* argument, PlatformThread* thread) {
    ThreadStart* start = new ThreadStart{entry, argument};
    const HANDLE handle = CreateThread(nullptr, 0, runThread, start, 0, nullptr);
    if (handle == nullptr) {
        delete start;
        return false;
    }
    *thread = reinterpret_cast<PlatformThread>(handle);
    return true;
}

void platformJoinThread(PlatformThread thread) {
    const HANDLE handle = reinterpret_cast<HANDLE>(thread);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

bool platformPinThread(int processor) {
    return SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << processor) != 0;
}

int platformCurrentProcessor() {
    // Windows Vista and later have it; older systems cannot say.
    using GetProcessorNumber = DWORD(WINAPI*)();
    static const GetProcessorNumber query = reinterpret_cast<GetProcessorNumber>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentProcessorNumber")));
    return query ? static_cast<int>(query()) : -1;
}

namespace {

// Windows 9X and the first NT versions have no large pages, so every call
// they lack is looked up rather than imported: the program must still load
// there.
template <typename Function>
Function lookUp(const char* library, const char* name) {
    HMODULE module = GetModuleHandleA(library);
    if (module == nullptr) module = LoadLibraryA(library);
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// Large pages need the "Lock pages in memory" right, and a right the process
// holds must be enabled in its own token before use: that changes nothing
// outside this process. False when the process does not hold it.
bool enableLockPagesRight() {
    using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using LookUpPrivilege = BOOL(WINAPI*)(LPCSTR, LPCSTR, PLUID);
    using AdjustPrivileges = BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
    const auto openToken = lookUp<OpenToken>("advapi32.dll", "OpenProcessToken");
    const auto lookUpPrivilege = lookUp<LookUpPrivilege>("advapi32.dll", "LookupPrivilegeValueA");
    const auto adjust = lookUp<AdjustPrivileges>("advapi32.dll", "AdjustTokenPrivileges");
    HANDLE token = nullptr;
    if (!openToken || !lookUpPrivilege || !adjust || !openToken(thisProcess, TOKEN_ADJUST_PRIVILEGES, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = lookUpPrivilege(nullptr, "SeLockMemoryPrivilege", &wanted.Privileges[0].Luid) &&
                   adjust(token, FALSE, &wanted, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

}  // namespace

void* platformAllocateHugePageBuffer(size_t bytes, HugePageOutcome* outcome) {
    *outcome = HugePageOutcome{};
    using LargePageMinimum = SIZE_T(WINAPI*)();
    const auto largePageMinimum = lookUp<LargePageMinimum>("kernel32.dll", "GetLargePageMinimum");
    const size_t page = largePageMinimum ? largePageMinimum() : 0;
    if (page != HUGE_PAGE_BYTES) {
        outcome->refusal = "this version of Windows has no 2MB large pages";
    } else if (!enableLockPagesRight()) {
        outcome->refusal = "the process does not hold the \"Lock pages in memory\" right (SeLockMemoryPrivilege)";
    } else {
        const size_t rounded = (bytes + page - 1) / page * page;
        if (void* buffer = VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE)) {
            // Large pages are never paged out or shared: the whole buffer is on them.
            outcome->share = 1.0;
            outcome->mappedBytes = rounded;
            return buffer;
        }
        outcome->refusal = "Windows found no " + std::to_string(rounded >> 20) +
                           "MB of contiguous free memory for large pages (error " + std::to_string(GetLastError()) +
                           ")";
    }
    outcome->mappedBytes = bytes;
    return platformAllocateBuffer(bytes);
}
