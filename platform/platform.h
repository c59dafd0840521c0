#pragma once
// The effects the run sequence needs from the operating system. Windows gets
// them from KERNEL32; other systems supply the same effects in their own way.
// Tests link a fake implementation of this header in place of the real one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class OsFamily { NT, WIN9X };

// A UTC wall-clock reading to the millisecond, as Windows' SYSTEMTIME gives it.
struct WallClockReading {
    uint16_t year;
    uint16_t month;  // 1 to 12
    uint16_t day;    // 1 to 31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// Systems with processor affinity take the NT-family path.
OsFamily platformOsFamily();

// False when the query fails. The masks cover the first 32 processors.
bool platformGetAffinityMasks(uint32_t* processMask, uint32_t* systemMask);

// Pins the process to the processors of the mask; the outcome is not reported.
void platformSetAffinityMask(uint32_t mask);

// Raises the process's scheduling priority for the rest of its life; a refusal
// is ignored.
void platformRaisePriority();

WallClockReading platformWallClockUtc();

// Waits without using the processor.
void platformSleepMilliseconds(uint32_t milliseconds);

// Committed, readable and writable, page-aligned, zero-filled memory, or null.
void* platformAllocateBuffer(size_t bytes);
void platformReleaseBuffer(void* buffer, size_t bytes);

// The page a request for large pages asks for: the x86 page of the second
// level, 2 MiB.
constexpr size_t HUGE_PAGE_BYTES = size_t{1} << 21;

// What a request for 2 MiB pages obtained.
struct HugePageOutcome {
    double share = 0.0;    // of the buffer's bytes on 2 MiB pages, 0 to 1
    std::string refusal;   // with no share: why, naming the setting or right
    size_t mappedBytes = 0;  // what platformReleaseBuffer must be given back
};

// A buffer as platformAllocateBuffer gives, on 2 MiB pages as far as the
// system gives them without any of its settings being changed; where it gives
// none, on its small pages. Null only when there is no memory at all.
void* platformAllocateHugePageBuffer(size_t bytes, HugePageOutcome* outcome);

// How an instruction routine ended when run under the guard.
enum class GuardOutcome { COMPLETED, ILLEGAL_INSTRUCTION, OTHER_FAULT };

// Runs `instruction`, a leaf routine written in assembly that executes its one
// instruction and returns, and catches any fault it raises. A fault resumes at
// the routine's return address, so the routine must not touch the stack
// before the instruction under test.
GuardOutcome platformRunGuarded(void (*instruction)());

// Threads for runs on several processors at once. A handle stands for a
// started thread until it is joined.
using PlatformThread = uintptr_t;

// Starts entry(argument) on a new thread; false when the system refuses.
bool platformStartThread(void (*entry)(void*), void* argument, PlatformThread* thread);
void platformJoinThread(PlatformThread thread);

// One logical processor: Windows numbers them within processor groups of up
// to 64; other systems have one group.
struct ProcessorId {
    int group;
    int number;
};
inline bool operator==(const ProcessorId& a, const ProcessorId& b) {
    return a.group == b.group && a.number == b.number;
}

// Every processor this process may run threads on, in the system's order
// (group by group, lowest number first), however many there are; empty when
// the system cannot say.
std::vector<ProcessorId> platformUsableProcessors();

// Offers the rest of the calling thread's time slice to another thread.
void platformYield();

// Pins the calling thread to one processor; false when refused.
bool platformPinThread(const ProcessorId& processor);

// The processor the calling thread runs on now; false when the system cannot
// say.
bool platformCurrentProcessor(ProcessorId* processor);

// Interruptions: Ctrl-C, a request to terminate, the terminal or console
// closing. Once caught, they no longer end the process; the run asks after
// each cell whether one came.
void platformCatchInterruptions();
// 0 while none has come; else the exit status the first one asks for (on
// Linux 128 plus the signal's number).
int platformInterruption();

// Milliseconds from an arbitrary start, never going back.
uint64_t platformMonotonicMilliseconds();

// Whether standard error is a terminal (a console on Windows).
bool platformStandardErrorIsTerminal();

// Data files. Whether `path` names something that is not a regular file (a
// device, a pipe, a terminal): such a name is written in place, never
// replaced. A name that does not exist yet is a regular file to be.
bool platformIsSpecialFile(const char* path);
// A new file beside `path` (same directory) with a name no other file has,
// open for writing in text mode; null when it cannot be created, with errno
// saying why.
std::FILE* platformCreateFileBeside(const char* path, std::string* name);
// Puts the file `from` in the place of `to` in one step, replacing what was
// there; false with errno saying why.
bool platformReplaceFile(const char* from, const char* to);

// What the system says of the machine, for its description. A figure the
// system cannot give stays -1 or empty, and `notes` say in a sentence each
// what it could not give and why, or what else a reader should know.

// One logical processor's place; -1 where the system cannot say.
struct PlatformProcessorPlace {
    ProcessorId id;
    int core = -1;     // system-wide: the SMT siblings of one core share it
    int package = -1;
    int node = -1;
};

// One instance of a cache: the processors listed share it.
struct PlatformCache {
    int level = 0;
    std::string kind;  // "data", "instruction" or "unified"
    int64_t sizeBytes = -1;
    int lineBytes = -1;
    int ways = -1;     // 0: fully associative
    std::vector<ProcessorId> processors;
};

struct PlatformNode {
    int node = 0;
    std::vector<ProcessorId> processors;
    int64_t memoryBytes = -1;
};

struct PlatformTopology {
    int online = -1;                                 // logical processors online in the system
    std::vector<PlatformProcessorPlace> processors;  // every online processor the system places
    std::vector<PlatformCache> caches;               // every instance, as the system lists them
    std::vector<PlatformNode> nodes;
    std::vector<std::string> notes;
};
PlatformTopology platformTopology();

struct PlatformMemory {
    int64_t totalBytes = -1;
    int64_t pageBytes = -1;
    bool hugePagesAvailable = false;  // whether 2 MiB pages can be had without changing a setting
    std::string hugePages;            // how, e.g. "transparent: madvise; reserved: 0"
    std::vector<std::string> notes;
};
PlatformMemory platformMemory();

struct PlatformSystem {
    std::string osName, osVersion, kernelRelease, hostName;
    std::vector<std::string> notes;
};
PlatformSystem platformSystem();

// Seconds since 1970-01-01 UTC, for the date a report names.
int64_t platformSecondsSinceEpoch();

#if defined(__linux__)
// The Linux description read from the files under `root` ("" for this
// system's own /sys, /proc and /etc), so that a test can lay out any machine.
PlatformTopology linuxTopologyUnder(const std::string& root);
PlatformMemory linuxMemoryUnder(const std::string& root);
#endif
