// The KERNEL32 services the run sequence was written against, called with the
// arguments it has always passed them.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/return_from_leaf.h"
#include "platform/windows_lookup.h"

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

// Accepts whatever the routine raised and resumes at its return address.
LONG CALLBACK onGuardedException(EXCEPTION_POINTERS* exception) {
    guardedExceptionCode = exception->ExceptionRecord->ExceptionCode;
    returnFromLeaf(*exception->ContextRecord);
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

namespace {

// The services of processor groups (Windows 7 and later) and of the current
// processor (Vista and later), looked up at run time: an import of them would
// keep the program from starting on the older systems.
template <typename Function>
Function kernel32(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

using GetActiveProcessorGroupCountCall = WORD(WINAPI*)();
using GetActiveProcessorCountCall = DWORD(WINAPI*)(WORD);
using GetThreadGroupAffinityCall = BOOL(WINAPI*)(HANDLE, GROUP_AFFINITY*);
using SetThreadGroupAffinityCall = BOOL(WINAPI*)(HANDLE, const GROUP_AFFINITY*, GROUP_AFFINITY*);
using GetCurrentProcessorNumberExCall = void(WINAPI*)(PROCESSOR_NUMBER*);
using GetCurrentProcessorNumberCall = DWORD(WINAPI*)();

const GetActiveProcessorGroupCountCall groupCount =
    kernel32<GetActiveProcessorGroupCountCall>("GetActiveProcessorGroupCount");
const GetActiveProcessorCountCall groupProcessors = kernel32<GetActiveProcessorCountCall>("GetActiveProcessorCount");
const GetThreadGroupAffinityCall threadGroupAffinity =
    kernel32<GetThreadGroupAffinityCall>("GetThreadGroupAffinity");
const SetThreadGroupAffinityCall setThreadGroupAffinity =
    kernel32<SetThreadGroupAffinityCall>("SetThreadGroupAffinity");
const GetCurrentProcessorNumberExCall currentProcessorEx =
    kernel32<GetCurrentProcessorNumberExCall>("GetCurrentProcessorNumberEx");
const GetCurrentProcessorNumberCall currentProcessor =
    kernel32<GetCurrentProcessorNumberCall>("GetCurrentProcessorNumber");

constexpr int MASK_BITS = static_cast<int>(sizeof(DWORD_PTR) * 8);

void addProcessors(std::vector<ProcessorId>* processors, int group, DWORD_PTR mask) {
    for (int number = 0; number < MASK_BITS; ++number) {
        if ((mask >> number) & 1) processors->push_back({group, number});
    }
}

}  // namespace

std::vector<ProcessorId> platformUsableProcessors() {
    // Windows 9X runs a program on one processor.
    if (platformOsFamily() != OsFamily::NT) return {{0, 0}};
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(thisProcess, &process, &system) == 0) return {};
    GROUP_AFFINITY primary{};
    const int groups = groupCount ? static_cast<int>(groupCount()) : 1;
    if (groups <= 1 || !groupProcessors || !setThreadGroupAffinity || !threadGroupAffinity ||
        !threadGroupAffinity(GetCurrentThread(), &primary)) {
        std::vector<ProcessorId> processors;
        addProcessors(&processors, 0, process);
        return processors;
    }
    // The process mask covers the group the process started in (and is zero
    // once its threads span several groups); a thread may be placed in any
    // other group with every active processor of it.
    std::vector<ProcessorId> processors;
    for (int group = 0; group < groups; ++group) {
        const DWORD count = groupProcessors(static_cast<WORD>(group));
        const DWORD_PTR all = count >= static_cast<DWORD>(MASK_BITS) ? ~DWORD_PTR{0} : (DWORD_PTR{1} << count) - 1;
        addProcessors(&processors, group, group == primary.Group && process != 0 ? process : all);
    }
    return processors;
}

// Sleep(0) rather than SwitchToThread, which Windows 9X lacks.
void platformYield() { Sleep(0); }

bool platformPinThread(const ProcessorId& processor) {
    if (processor.number < 0 || processor.number >= MASK_BITS) return false;
    const DWORD_PTR mask = DWORD_PTR{1} << processor.number;
    if (setThreadGroupAffinity) {
        GROUP_AFFINITY affinity{};
        affinity.Mask = mask;
        affinity.Group = static_cast<WORD>(processor.group);
        return setThreadGroupAffinity(GetCurrentThread(), &affinity, nullptr) != 0;
    }
    return processor.group == 0 && SetThreadAffinityMask(GetCurrentThread(), mask) != 0;
}

bool platformCurrentProcessor(ProcessorId* processor) {
    if (currentProcessorEx) {
        PROCESSOR_NUMBER number{};
        currentProcessorEx(&number);
        *processor = {number.Group, number.Number};
        return true;
    }
    // Older systems cannot say.
    if (!currentProcessor) return false;
    *processor = {0, static_cast<int>(currentProcessor())};
    return true;
}

namespace {

volatile LONG interruption = 0;
// Set once the run has written what it measured: a closing console waits for
// it, since the system ends the process when the handler returns.
HANDLE runEnded = nullptr;
constexpr DWORD CLOSE_WAIT_MILLISECONDS = 4500;  // the system allows about 5 s

// The exit statuses of the signals the events stand for on other systems:
// SIGINT for Ctrl-C and Ctrl-Break, SIGHUP for the console closing.
BOOL WINAPI onConsoleEvent(DWORD event) {
    LONG status = 0;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) status = 130;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) status = 129;
    if (status == 0) return FALSE;
    InterlockedCompareExchange(&interruption, status, 0);
    if (status == 129 && runEnded != nullptr) WaitForSingleObject(runEnded, CLOSE_WAIT_MILLISECONDS);
    return TRUE;
}

void signalRunEnded() {
    if (runEnded != nullptr) SetEvent(runEnded);
}

}  // namespace

void platformCatchInterruptions() {
    if (runEnded == nullptr) runEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Set when the process ends: a closing console's handler then returns.
    std::atexit(signalRunEnded);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int platformInterruption() { return static_cast<int>(interruption); }

uint64_t platformMonotonicMilliseconds() {
    // GetTickCount wraps after 49 days; the run counts whole wraps.
    static DWORD last = GetTickCount();
    static uint64_t wraps = 0;
    const DWORD now = GetTickCount();
    if (now < last) ++wraps;
    last = now;
    return (wraps << 32) + now;
}

bool platformStandardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool platformIsSpecialFile(const char* path) {
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    return type != FILE_TYPE_DISK;
}

namespace {

// errno for the Windows errors a data file meets, so that every message
// reads alike.
int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        default: return EIO;
    }
}

}  // namespace

std::FILE* platformCreateFileBeside(const char* path, std::string* name) {
    const std::string given = path;
    const std::string::size_type slash = given.find_last_of("/\\:");
    const std::string directory = slash == std::string::npos ? "." : given.substr(0, slash + 1);
    char made[MAX_PATH];
    // Creates the file with a name of its own, so that no other can be taken.
    if (GetTempFileNameA(directory.c_str(), "kst", 0, made) == 0) {
        errno = errnoOf(GetLastError());
        return nullptr;
    }
    std::FILE* file = std::fopen(made, "w");
    if (file == nullptr) {
        const int error = errno;
        DeleteFileA(made);
        errno = error;
        return nullptr;
    }
    *name = made;
    return file;
}

bool platformReplaceFile(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    // Windows 9X has no MoveFileEx: the old file goes first.
    if (GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
        DeleteFileA(to);
        if (MoveFileA(from, to)) return true;
    }
    errno = errnoOf(GetLastError());
    return false;
}

namespace {

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
