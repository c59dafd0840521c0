#pragma once
// The effects the run sequence needs from the operating system. Windows gets
// them from KERNEL32; other systems supply the same effects in their own way.
// Tests link a fake implementation of this header in place of the real one.
#include <cstddef>
#include <cstdint>
#include <string>

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

// Pins the calling thread to one processor (0 is the lowest); false when
// refused.
bool platformPinThread(int processor);

// The processor the calling thread runs on now, or -1 when the system cannot
// say.
int platformCurrentProcessor();
