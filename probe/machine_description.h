#pragma once
// What machine a run measured: the processor, its logical processors and how
// they sit in cores, packages and memory nodes, the caches, the memory and the
// system. Read once at start (CPUID here, the rest from the platform layer)
// and handed down: --describe prints it, every --json report carries it, and
// the tables that depend on where two processors sit (core to core) take the
// pairs' relations from it. Every figure says where it came from; a figure
// that is missing stays missing (-1 or empty), and one that is implausible or
// that CPUID and the system disagree on is marked doubtful with the reason.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// One cache as the description keeps it: one level and kind.
struct CacheDescription {
    int level = 0;                 // 1, 2, 3 ...
    std::string kind;              // "data", "instruction" or "unified"
    int64_t sizeBytes = -1;        // one instance's size
    int lineBytes = -1;
    int ways = -1;                 // 0: fully associative
    int sharedBy = -1;             // logical processors sharing one instance
    std::string source;            // e.g. "cpuid 4", "cpuid 0x8000001d", "cpuid 0x80000006", "os"
    bool doubtful = false;
    std::string doubt;             // why, when doubtful: e.g. "cpuid says 508 MiB; the system reports none"
};

// One logical processor and where it sits; -1 where the system cannot say.
struct ProcessorPlace {
    ProcessorId id;
    int core = -1;      // system-wide core number: SMT siblings share it
    int package = -1;
    int node = -1;      // NUMA node
    // For each entry of MachineDescription::caches, which instance of that
    // cache this processor uses (processors with the same number share it);
    // -1 where the system cannot say.
    std::vector<int> cacheInstances;
};

struct NodeDescription {
    int node = 0;
    std::vector<ProcessorId> processors;
    int64_t memoryBytes = -1;
};

struct MachineDescription {
    // The processor (CPUID).
    std::string vendor;            // "AuthenticAMD", "GenuineIntel" ...
    std::string brand;             // leaves 0x80000002-4, trimmed; empty if absent
    int family = -1, model = -1, stepping = -1;  // display family and model
    // The processors.
    int logicalOnline = -1;        // online in the system
    int logicalUsable = -1;        // the process may run on
    int cores = -1;
    int packages = -1;
    std::vector<ProcessorPlace> processors;  // every usable processor, in the system's order
    std::vector<NodeDescription> nodes;
    // The caches, level by level, data before instruction.
    std::vector<CacheDescription> caches;
    // The memory.
    int64_t memoryBytes = -1;
    int64_t pageBytes = -1;
    bool hugePagesAvailable = false;  // whether 2 MiB pages can be had
    std::string hugePages;            // how: "transparent: madvise; reserved: 0", "Lock pages in memory: not held"
    // The system and the program.
    std::string osName, osVersion, kernelRelease;
    std::string hostName;
    std::string version;           // Kestrune's, e.g. "1.0"
    std::string target;            // linux-x86_64, linux-i386, windows-i686, windows-x86_64
    std::string compiler;          // e.g. "GCC 12.2.0"
    // What is missing or implausible, one sentence each, for a person.
    std::vector<std::string> notes;
};

// The description of this machine, read on the first call and kept.
const MachineDescription& machineDescription();

// Reads the machine afresh; machineDescription() keeps what its first call
// read until forgetMachineDescription(), for tests that change the machine.
MachineDescription describeMachine();
void forgetMachineDescription();

// More cache than any processor has for each logical processor that shares
// it (the largest-cache server parts have about 24 MiB of L3 for each): a
// cache past this many bytes for each processor of this system that may share
// it is implausible, typically a virtual machine's view of its host's cache.
constexpr int64_t MAX_CACHE_BYTES_PER_PROCESSOR = int64_t{32} << 20;

// Where two processors sit relative to each other, for the core-to-core table.
struct PairRelation {
    bool siblings = false;          // SMT siblings of one core
    int sharedCacheLevel = 0;       // the lowest cache level the two share; 0 none or unknown
    bool differentPackages = false;
    bool differentNodes = false;
};
PairRelation pairRelation(const MachineDescription& machine, const ProcessorId& a, const ProcessorId& b);
