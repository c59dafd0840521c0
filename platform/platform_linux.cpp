// Linux supplies the Windows effects the run sequence relies on: it has
// processor affinity, so it takes the NT-family path.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr int MASK_PROCESSORS = 32;

uint32_t maskOfSet(const cpu_set_t& set) {
    uint32_t mask = 0;
    for (int cpu = 0; cpu < MASK_PROCESSORS; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= uint32_t{1} << cpu;
    }
    return mask;
}

// The online processors, read as "0-3,6" from sysfs; the processor count when
// that file cannot be read.
uint32_t onlineProcessorMask() {
    uint32_t mask = 0;
    if (FILE* file = std::fopen("/sys/devices/system/cpu/online", "r")) {
        unsigned first = 0, last = 0;
        int read;
        while ((read = std::fscanf(file, "%u", &first)) == 1) {
            last = first;
            int next = std::fgetc(file);
            if (next == '-') {
                if (std::fscanf(file, "%u", &last) != 1) break;
                next = std::fgetc(file);
            }
            for (unsigned cpu = first; cpu <= last && cpu < MASK_PROCESSORS; ++cpu) {
                mask |= uint32_t{1} << cpu;
            }
            if (next != ',') break;
        }
        std::fclose(file);
    }
    if (mask == 0) {
        long count = sysconf(_SC_NPROCESSORS_ONLN);
        for (long cpu = 0; cpu < count && cpu < MASK_PROCESSORS; ++cpu) mask |= uint32_t{1} << cpu;
    }
    return mask;
}

bool pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

}  // namespace

OsFamily platformOsFamily() { return OsFamily::NT; }

bool platformGetAffinityMasks(uint32_t* processMask, uint32_t* systemMask) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    *processMask = maskOfSet(allowed);
    *systemMask = onlineProcessorMask();
    return true;
}

void platformSetAffinityMask(uint32_t mask) {
    int wanted = -1;
    for (int cpu = 0; cpu < MASK_PROCESSORS; ++cpu) {
        if (mask & (uint32_t{1} << cpu)) {
            wanted = cpu;
            break;
        }
    }
    if (wanted < 0 || pinTo(wanted)) return;
    // A cpuset that excludes the system's lowest processor refuses it; the
    // lowest processor the process may use keeps the run on one processor.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            pinTo(cpu);
            return;
        }
    }
}

void platformRaisePriority() {
    // Without the privilege this is refused, and the run goes on as it is.
    setpriority(PRIO_PROCESS, 0, -10);
}

WallClockReading platformWallClockUtc() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    WallClockReading reading{};
    reading.year = static_cast<uint16_t>(utc.tm_year + 1900);
    reading.month = static_cast<uint16_t>(utc.tm_mon + 1);
    reading.day = static_cast<uint16_t>(utc.tm_mday);
    reading.hour = static_cast<uint16_t>(utc.tm_hour);
    reading.minute = static_cast<uint16_t>(utc.tm_min);
    reading.second = static_cast<uint16_t>(utc.tm_sec);
    reading.milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return reading;
}

void platformSleepMilliseconds(uint32_t milliseconds) {
    // An absolute deadline, so that a signal that interrupts the sleep does not
    // shorten the wait.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void* platformAllocateBuffer(size_t bytes) {
    void* buffer = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (buffer == MAP_FAILED) return nullptr;
    // A never-written anonymous page reads from the one shared zero page, which
    // would make every read of a large block a cache hit. Writing each page
    // gives it memory of its own even where MAP_POPULATE fell short.
    const long pageBytes = sysconf(_SC_PAGESIZE);
    volatile unsigned char* bytesOf = static_cast<unsigned char*>(buffer);
    for (size_t offset = 0; offset < bytes; offset += static_cast<size_t>(pageBytes)) {
        bytesOf[offset] = 0;
    }
    return buffer;
}

void platformReleaseBuffer(void* buffer, size_t bytes) { munmap(buffer, bytes); }

namespace {

const int GUARDED_SIGNALS[] = {SIGILL, SIGSEGV, SIGBUS, SIGFPE, SIGTRAP};
volatile sig_atomic_t guardedSignal;

// Resumes at the guarded routine's return address, as if the routine had
// executed its RET: the routine is a leaf that has not touched the stack.
void onGuardedFault(int signal, siginfo_t*, void* context) {
    guardedSignal = signal;
    mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    greg_t& stack = machine.gregs[REG_RSP];
    machine.gregs[REG_RIP] = *reinterpret_cast<greg_t*>(stack);
    stack += sizeof(void*);
#else
    greg_t& stack = machine.gregs[REG_ESP];
    machine.gregs[REG_EIP] = *reinterpret_cast<greg_t*>(stack);
    stack += sizeof(void*);
#endif
}

}  // namespace

GuardOutcome platformRunGuarded(void (*instruction)()) {
    constexpr size_t count = sizeof GUARDED_SIGNALS / sizeof GUARDED_SIGNALS[0];
    struct sigaction guard {};
    guard.sa_sigaction = onGuardedFault;
    guard.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&guard.sa_mask);
    struct sigaction previous[count];
    for (size_t i = 0; i < count; ++i) sigaction(GUARDED_SIGNALS[i], &guard, &previous[i]);

    guardedSignal = 0;
    instruction();
    const int signal = guardedSignal;

    for (size_t i = 0; i < count; ++i) sigaction(GUARDED_SIGNALS[i], &previous[i], nullptr);
    if (signal == 0) return GuardOutcome::COMPLETED;
    return signal == SIGILL ? GuardOutcome::ILLEGAL_INSTRUCTION : GuardOutcome::OTHER_FAULT;
}

namespace {

struct ThreadStart {
    void (*entry)(void*);
    void* argument;
};

void* runThread(void* start) {
    const ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    what.entry(what.argument);
    return nullptr;
}

}  // namespace

bool platformStartThread(void (*entry)(void*), void* argument, PlatformThread* thread) {
    ThreadStart* start = new ThreadStart{entry, argument};
    pthread_t handle;
    if (pthread_create(&handle, nullptr, runThread, start) != 0) {
        delete start;
        return false;
    }
    *thread = static_cast<PlatformThread>(handle);
    return true;
}

void platformJoinThread(PlatformThread thread) { pthread_join(static_cast<pthread_t>(thread), nullptr); }

// sched_setaffinity with thread id 0 pins only the calling thread.
bool platformPinThread(int processor) { return pinTo(processor); }

int platformCurrentProcessor() { return sched_getcpu(); }
