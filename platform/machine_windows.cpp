// What Windows says of the machine: GetLogicalProcessorInformationEx for the
// cores, packages, NUMA nodes and caches (processor groups included), the
// memory status, the "Lock pages in memory" right, and the version. Every
// service newer than Windows 98 is looked up at run time: an import of it
// would keep the program from starting there.
#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_lookup.h"

namespace {

constexpr int MASK_BITS = static_cast<int>(sizeof(KAFFINITY) * 8);
constexpr WORD ALL_GROUPS = 0xffff;
constexpr BYTE FULLY_ASSOCIATIVE = 0xff;

std::vector<ProcessorId> processorsOf(const GROUP_AFFINITY& affinity) {
    std::vector<ProcessorId> processors;
    for (int number = 0; number < MASK_BITS; ++number) {
        if ((affinity.Mask >> number) & 1) processors.push_back({affinity.Group, number});
    }
    return processors;
}

std::string kindOf(PROCESSOR_CACHE_TYPE type) {
    switch (type) {
        case CacheUnified: return "unified";
        case CacheInstruction: return "instruction";
        case CacheData: return "data";
        default: return "";  // a trace cache holds decoded instructions, not memory
    }
}

int onlineProcessors() {
    using ActiveProcessorCount = DWORD(WINAPI*)(WORD);
    if (const auto count = lookUp<ActiveProcessorCount>("kernel32.dll", "GetActiveProcessorCount")) {
        return static_cast<int>(count(ALL_GROUPS));
    }
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

// The places of the processors, numbered core by core and package by package
// in the order the system lists them.
void placeProcessors(const std::vector<std::pair<LOGICAL_PROCESSOR_RELATIONSHIP, std::vector<ProcessorId>>>& sets,
                     PlatformTopology* topology) {
    std::map<std::pair<int, int>, PlatformProcessorPlace> places;
    int cores = 0, packages = 0;
    for (const auto& set : sets) {
        const int number = set.first == RelationProcessorCore ? cores++ : packages++;
        for (const ProcessorId& id : set.second) {
            PlatformProcessorPlace& place = places[{id.group, id.number}];
            place.id = id;
            (set.first == RelationProcessorCore ? place.core : place.package) = number;
        }
    }
    for (const PlatformNode& node : topology->nodes) {
        for (const ProcessorId& id : node.processors) places[{id.group, id.number}].node = node.node;
    }
    for (const auto& place : places) topology->processors.push_back(place.second);
}

}  // namespace

PlatformTopology platformTopology() {
    PlatformTopology topology;
    topology.online = onlineProcessors();
    if (platformOsFamily() != OsFamily::NT) {
        topology.notes.push_back("Windows 9X has no GetLogicalProcessorInformationEx: the cores, packages, NUMA "
                                 "nodes and the system's caches are unknown");
        return topology;
    }
    using LogicalProcessorInformation =
        BOOL(WINAPI*)(LOGICAL_PROCESSOR_RELATIONSHIP, PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, PDWORD);
    const auto information =
        lookUp<LogicalProcessorInformation>("kernel32.dll", "GetLogicalProcessorInformationEx");
    if (information == nullptr) {
        topology.notes.push_back("this Windows has no GetLogicalProcessorInformationEx (Windows 7 and later have "
                                 "it): the cores, packages, NUMA nodes and the system's caches are unknown");
        return topology;
    }
    DWORD bytes = 0;
    information(RelationAll, nullptr, &bytes);
    std::vector<unsigned char> buffer(bytes);
    if (bytes == 0 || !information(RelationAll, reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(
                                                    buffer.data()), &bytes)) {
        topology.notes.push_back("GetLogicalProcessorInformationEx failed (error " +
                                 std::to_string(GetLastError()) + "): the cores, packages, NUMA nodes and the "
                                 "system's caches are unknown");
        return topology;
    }
    std::vector<std::pair<LOGICAL_PROCESSOR_RELATIONSHIP, std::vector<ProcessorId>>> sets;
    for (DWORD at = 0; at < bytes;) {
        const auto* entry = reinterpret_cast<const SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.data() + at);
        if (entry->Size == 0) break;
        at += entry->Size;
        switch (entry->Relationship) {
            case RelationProcessorCore:
            case RelationProcessorPackage: {
                std::vector<ProcessorId> processors;
                for (WORD group = 0; group < entry->Processor.GroupCount; ++group) {
                    for (const ProcessorId& id : processorsOf(entry->Processor.GroupMask[group])) {
                        processors.push_back(id);
                    }
                }
                sets.push_back({entry->Relationship, processors});
                break;
            }
            case RelationNumaNode: {
                PlatformNode node;
                node.node = static_cast<int>(entry->NumaNode.NodeNumber);
                node.processors = processorsOf(entry->NumaNode.GroupMask);
                topology.nodes.push_back(node);
                break;
            }
            case RelationCache: {
                PlatformCache cache;
                cache.level = entry->Cache.Level;
                cache.kind = kindOf(entry->Cache.Type);
                if (cache.kind.empty()) break;
                cache.sizeBytes = entry->Cache.CacheSize;
                cache.lineBytes = entry->Cache.LineSize;
                cache.ways = entry->Cache.Associativity == FULLY_ASSOCIATIVE ? 0 : entry->Cache.Associativity;
                cache.processors = processorsOf(entry->Cache.GroupMask);
                topology.caches.push_back(cache);
                break;
            }
            default: break;
        }
    }
    placeProcessors(sets, &topology);
    if (topology.caches.empty()) topology.notes.push_back("the system reports no caches");
    if (!topology.nodes.empty()) {
        topology.notes.push_back("Windows says how much of a NUMA node's memory is free, not how much it has: "
                                 "the nodes' memory is unknown");
    }
    return topology;
}

namespace {

// Whether the process's token holds the "Lock pages in memory" right, enabled
// or not: large pages need it.
bool holdsLockPagesRight() {
    using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using TokenInformation = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    using LookUpPrivilege = BOOL(WINAPI*)(LPCSTR, LPCSTR, PLUID);
    const auto openToken = lookUp<OpenToken>("advapi32.dll", "OpenProcessToken");
    const auto tokenInformation = lookUp<TokenInformation>("advapi32.dll", "GetTokenInformation");
    const auto lookUpPrivilege = lookUp<LookUpPrivilege>("advapi32.dll", "LookupPrivilegeValueA");
    LUID wanted{};
    HANDLE token = nullptr;
    if (!openToken || !tokenInformation || !lookUpPrivilege ||
        !lookUpPrivilege(nullptr, "SeLockMemoryPrivilege", &wanted) ||
        !openToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD bytes = 0;
    tokenInformation(token, TokenPrivileges, nullptr, 0, &bytes);
    std::vector<unsigned char> buffer(bytes + sizeof(TOKEN_PRIVILEGES));
    bool held = false;
    if (tokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID& luid = privileges->Privileges[i].Luid;
            if (luid.LowPart == wanted.LowPart && luid.HighPart == wanted.HighPart) held = true;
        }
    }
    CloseHandle(token);
    return held;
}

}  // namespace

PlatformMemory platformMemory() {
    PlatformMemory memory;
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    memory.pageBytes = info.dwPageSize;
    using MemoryStatusEx = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (const auto statusEx = lookUp<MemoryStatusEx>("kernel32.dll", "GlobalMemoryStatusEx")) {
        if (statusEx(&status)) memory.totalBytes = static_cast<int64_t>(status.ullTotalPhys);
    } else {
        MEMORYSTATUS old{};
        old.dwLength = sizeof old;
        GlobalMemoryStatus(&old);
        memory.totalBytes = static_cast<int64_t>(old.dwTotalPhys);
    }
    if (platformOsFamily() != OsFamily::NT) {
        memory.hugePages = "Windows 9X has no large pages";
        return memory;
    }
    using LargePageMinimum = SIZE_T(WINAPI*)();
    const auto largePageMinimum = lookUp<LargePageMinimum>("kernel32.dll", "GetLargePageMinimum");
    if (!largePageMinimum || largePageMinimum() != HUGE_PAGE_BYTES) {
        memory.hugePages = "this version of Windows has no 2 MiB large pages";
        return memory;
    }
    memory.hugePagesAvailable = holdsLockPagesRight();
    memory.hugePages = memory.hugePagesAvailable ? "Lock pages in memory: held" : "Lock pages in memory: not held";
    return memory;
}

namespace {

// The marketing name of a Windows version, as far as its numbers tell it.
std::string windowsName(DWORD platform, DWORD major, DWORD minor, DWORD build, bool server) {
    if (platform != VER_PLATFORM_WIN32_NT) {
        if (major == 4 && minor == 0) return "Windows 95";
        if (major == 4 && minor == 10) return "Windows 98";
        if (major == 4 && minor == 90) return "Windows Me";
        return "Windows 9X";
    }
    if (server) {
        if (major == 6 && minor == 0) return "Windows Server 2008";
        if (major == 6 && minor == 1) return "Windows Server 2008 R2";
        if (major == 6 && minor == 2) return "Windows Server 2012";
        if (major == 6 && minor == 3) return "Windows Server 2012 R2";
        if (major == 10) return build >= 20348 ? "Windows Server 2022" : build >= 17763 ? "Windows Server 2019"
                                                                                         : "Windows Server 2016";
        return "Windows Server";
    }
    if (major == 5 && minor == 0) return "Windows 2000";
    if (major == 5) return "Windows XP";
    if (major == 6 && minor == 0) return "Windows Vista";
    if (major == 6 && minor == 1) return "Windows 7";
    if (major == 6 && minor == 2) return "Windows 8";
    if (major == 6 && minor == 3) return "Windows 8.1";
    if (major == 10) return build >= 22000 ? "Windows 11" : "Windows 10";
    return "Windows NT";
}

std::string narrow(const WCHAR* text) {
    std::string result;
    for (; *text; ++text) result += *text < 0x80 ? static_cast<char>(*text) : '?';
    return result;
}

}  // namespace

PlatformSystem platformSystem() {
    PlatformSystem system;
    // GetVersionEx answers an unmanifested program with Windows 8's numbers;
    // ntdll's RtlGetVersion tells the truth.
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    DWORD platform = 0, major = 0, minor = 0, build = 0;
    std::string servicePack;
    bool server = false;
    const auto rtlGetVersion = lookUp<RtlGetVersion>("ntdll.dll", "RtlGetVersion");
    if (platformOsFamily() == OsFamily::NT && rtlGetVersion && rtlGetVersion(&version) == 0) {
        platform = version.dwPlatformId;
        major = version.dwMajorVersion;
        minor = version.dwMinorVersion;
        build = version.dwBuildNumber;
        servicePack = narrow(version.szCSDVersion);
        // Left 0 by some systems (Wine's 32-bit half among them): only a
        // server that says so is one.
        server = version.wProductType == VER_NT_SERVER || version.wProductType == VER_NT_DOMAIN_CONTROLLER;
    } else {
        OSVERSIONINFOA old{};
        old.dwOSVersionInfoSize = sizeof old;
        GetVersionExA(&old);
        platform = old.dwPlatformId;
        major = old.dwMajorVersion;
        minor = old.dwMinorVersion;
        // The 9X family keeps the build in the low word.
        build = platform == VER_PLATFORM_WIN32_NT ? old.dwBuildNumber : (old.dwBuildNumber & 0xffff);
        servicePack = old.szCSDVersion;
    }
    // Windows 98 Second Edition's is " A".
    while (!servicePack.empty() && servicePack.back() == ' ') servicePack.pop_back();
    while (!servicePack.empty() && servicePack.front() == ' ') servicePack.erase(0, 1);
    system.osName = windowsName(platform, major, minor, build, server);
    system.kernelRelease = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
    system.osVersion = system.kernelRelease + (servicePack.empty() ? "" : " " + servicePack);

    // Wine answers as the Windows it is set to be, and says so only here.
    using WineVersion = const char*(CDECL*)();
    using WineHostVersion = void(CDECL*)(const char**, const char**);
    if (const auto wineVersion = lookUp<WineVersion>("ntdll.dll", "wine_get_version")) {
        std::string note = std::string("running under Wine ") + wineVersion();
        const char* sysname = nullptr;
        const char* release = nullptr;
        if (const auto host = lookUp<WineHostVersion>("ntdll.dll", "wine_get_host_version")) host(&sysname, &release);
        if (sysname && release) note += std::string(" on ") + sysname + " " + release;
        system.notes.push_back(note);
    }

    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    if (GetComputerNameA(name, &length)) {
        system.hostName = name;
    } else {
        system.notes.push_back("GetComputerName failed: the host name is unknown");
    }
    return system;
}

int64_t platformSecondsSinceEpoch() {
    // A FILETIME counts 100 ns from 1601-01-01.
    constexpr int64_t TICKS_PER_SECOND = 10000000;
    constexpr int64_t SECONDS_1601_TO_1970 = 11644473600;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / TICKS_PER_SECOND - SECONDS_1601_TO_1970;
}
