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

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// The classic query covers the first 32 processors.
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

std::vector<ProcessorId> platformUsableProcessors() {
    // The set must be as large as the kernel's: a machine with more processors
    // than a fixed cpu_set_t holds refuses the call with EINVAL. Double it
    // until the kernel takes it.
    for (int capacity = 1024; capacity <= (1 << 22); capacity *= 2) {
        cpu_set_t* set = CPU_ALLOC(capacity);
        if (set == nullptr) return {};
        const size_t bytes = CPU_ALLOC_SIZE(capacity);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            std::vector<ProcessorId> processors;
            for (int cpu = 0; cpu < capacity; ++cpu) {
                if (CPU_ISSET_S(cpu, bytes, set)) processors.push_back({0, cpu});
            }
            CPU_FREE(set);
            return processors;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return {};
    }
    return {};
}

void platformYield() { sched_yield(); }

// sched_setaffinity with thread id 0 pins only the calling thread.
bool platformPinThread(const ProcessorId& processor) {
    const int capacity = processor.number + 1;
    cpu_set_t* set = CPU_ALLOC(capacity);
    if (set == nullptr) return false;
    const size_t bytes = CPU_ALLOC_SIZE(capacity);
    CPU_ZERO_S(bytes, set);
    CPU_SET_S(processor.number, bytes, set);
    const bool pinned = sched_setaffinity(0, bytes, set) == 0;
    CPU_FREE(set);
    return pinned;
}

bool platformCurrentProcessor(ProcessorId* processor) {
    const int cpu = sched_getcpu();
    if (cpu < 0) return false;
    *processor = {0, cpu};
    return true;
}

namespace {

volatile sig_atomic_t interruption = 0;

void onInterruption(int signal) {
    if (interruption == 0) interruption = 128 + signal;
}

}  // namespace

namespace {

constexpr const char* THP_ENABLED = "/sys/kernel/mm/transparent_hugepage/enabled";

// The first line of a small system file, or empty.
std::string firstLine(const char* path) {
    std::string line;
    if (FILE* file = std::fopen(path, "r")) {
        int c;
        while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
        std::fclose(file);
    }
    return line;
}

// Bytes of the mapping that starts at `start` that the kernel backs with
// transparent huge pages: its AnonHugePages in /proc/self/smaps.
uint64_t hugeBytesOfMapping(const void* start) {
    FILE* file = std::fopen("/proc/self/smaps", "r");
    if (file == nullptr) return 0;
    const uintptr_t address = reinterpret_cast<uintptr_t>(start);
    char line[512];
    bool inside = false;
    uint64_t huge = 0;
    while (std::fgets(line, sizeof line, file)) {
        unsigned long long from = 0, to = 0;
        unsigned long long kilobytes = 0;
        if (std::sscanf(line, "%llx-%llx ", &from, &to) == 2 && std::strchr(line, '-') < std::strchr(line, ' ')) {
            inside = address >= from && address < to;
        } else if (inside && std::sscanf(line, "AnonHugePages: %llu kB", &kilobytes) == 1) {
            huge = kilobytes * 1024;
            break;
        }
    }
    std::fclose(file);
    return huge;
}

void touchEveryPage(void* buffer, size_t bytes) {
    const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    volatile unsigned char* bytesOf = static_cast<unsigned char*>(buffer);
    for (size_t offset = 0; offset < bytes; offset += pageBytes) bytesOf[offset] = 0;
}

// A mapping of `bytes` that starts on a 2 MiB boundary, left unpopulated so
// that the first touch can fault in a huge page.
void* alignedMapping(size_t bytes) {
    const size_t reach = bytes + HUGE_PAGE_BYTES;
    void* raw = mmap(nullptr, reach, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (first + HUGE_PAGE_BYTES - 1) & ~(uintptr_t{HUGE_PAGE_BYTES} - 1);
    if (aligned > first) munmap(raw, aligned - first);
    const uintptr_t end = first + reach;
    if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

void platformCatchInterruptions() {
    struct sigaction catcher {};
    catcher.sa_handler = onInterruption;
    // Restarted, so that a signal never cuts a write of the report short.
    catcher.sa_flags = SA_RESTART;
    sigemptyset(&catcher.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &catcher, nullptr);
}

int platformInterruption() { return interruption; }

uint64_t platformMonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

bool platformStandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool platformIsSpecialFile(const char* path) {
    // A symbolic link counts too: a rename would replace the link, not the
    // file it points to.
    struct stat status {};
    if (lstat(path, &status) != 0) return false;
    return !S_ISREG(status.st_mode);
}

std::FILE* platformCreateFileBeside(const char* path, std::string* name) {
    // A hidden name in the same directory, so that the rename that puts it in
    // place stays within one file system and is atomic.
    const std::string given = path;
    const std::string::size_type slash = given.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : given.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? given : given.substr(slash + 1);
    std::string pattern = directory + "." + base + ".XXXXXX";
    const int descriptor = mkstemp(&pattern[0]);
    if (descriptor < 0) return nullptr;
    // mkstemp makes the file readable by its owner only; a data file is read
    // by others as any file this user creates is.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    std::FILE* file = fdopen(descriptor, "w");
    if (file == nullptr) {
        const int error = errno;
        close(descriptor);
        unlink(pattern.c_str());
        errno = error;
        return nullptr;
    }
    *name = pattern;
    return file;
}

bool platformReplaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void* platformAllocateHugePageBuffer(size_t bytes, HugePageOutcome* outcome) {
    *outcome = HugePageOutcome{};
    const size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
    // Pages the administrator reserved: a private mapping takes its share of
    // the reserve when it is made, so success means every page is there.
    void* reserved = mmap(nullptr, rounded, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB | (21 << MAP_HUGE_SHIFT) | MAP_POPULATE, -1, 0);
    if (reserved != MAP_FAILED) {
        touchEveryPage(reserved, rounded);
        outcome->share = 1.0;
        outcome->mappedBytes = rounded;
        return reserved;
    }
    const std::string reserve = "no 2MB pages are reserved for it (/proc/sys/vm/nr_hugepages)";
    if (firstLine(THP_ENABLED).find("[never]") != std::string::npos) {
        outcome->refusal = reserve + " and transparent huge pages are off (" + THP_ENABLED + " is never)";
    } else if (void* buffer = alignedMapping(rounded)) {
        if (madvise(buffer, rounded, MADV_HUGEPAGE) != 0) {
            outcome->refusal = reserve + " and madvise(MADV_HUGEPAGE) was refused: this kernel has no "
                                         "transparent huge pages";
        }
        touchEveryPage(buffer, rounded);
        outcome->mappedBytes = rounded;
        const double share = static_cast<double>(hugeBytesOfMapping(buffer)) / static_cast<double>(rounded);
        outcome->share = share > 1.0 ? 1.0 : share;
        if (outcome->share == 0.0 && outcome->refusal.empty()) {
            outcome->refusal = reserve + ", and the kernel gave no transparent huge page (" + THP_ENABLED + " is '" +
                               firstLine(THP_ENABLED) + "'; memory may be too fragmented, see "
                               "/sys/kernel/mm/transparent_hugepage/defrag)";
        }
        return buffer;
    }
    outcome->mappedBytes = bytes;
    return platformAllocateBuffer(bytes);
}
