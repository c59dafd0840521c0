// What Linux says of the machine: sysfs for the processors, caches and NUMA
// nodes, /proc/meminfo and the huge page settings for the memory, os-release
// and uname for the system. Every path is read under a root, so that a test
// can lay out a machine of any shape in a directory of its own.
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

const std::string CPU_DIRECTORY = "/sys/devices/system/cpu";
const std::string NODE_DIRECTORY = "/sys/devices/system/node";
const std::string THP_ENABLED = "/sys/kernel/mm/transparent_hugepage/enabled";
// The reserve of pages of the second level, 2 MiB.
const std::string RESERVED_HUGE_PAGES = "/sys/kernel/mm/hugepages/hugepages-2048kB";

// The whole of a small system file, or false when it cannot be read.
bool readText(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
    return true;
}

// A file holding one whole number; -1 when absent or not a number.
int64_t readNumber(const std::string& path) {
    std::string text;
    if (!readText(path, &text) || text.empty()) return -1;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    return end != nullptr && *end == '\0' ? value : -1;
}

// A list as sysfs writes one, "0-3,6"; false when it is malformed.
bool parseProcessorList(const std::string& text, std::vector<int>* numbers) {
    numbers->clear();
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty()) continue;
        const std::string::size_type dash = item.find('-');
        char* end = nullptr;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (dash != std::string::npos) last = std::strtol(item.c_str() + dash + 1, &end, 10);
        if (end == nullptr || *end != '\0' || first < 0 || last < first) return false;
        for (long number = first; number <= last; ++number) numbers->push_back(static_cast<int>(number));
    }
    return true;
}

std::vector<int> readProcessorList(const std::string& path) {
    std::string text;
    std::vector<int> numbers;
    if (!readText(path, &text) || !parseProcessorList(text, &numbers)) numbers.clear();
    return numbers;
}

std::vector<ProcessorId> idsOf(const std::vector<int>& numbers) {
    std::vector<ProcessorId> ids;
    for (const int number : numbers) ids.push_back({0, number});
    return ids;
}

// "48K", "1024K", "32M" as sysfs writes cache sizes.
int64_t parseSize(const std::string& text) {
    char* end = nullptr;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || number < 0) return -1;
    const std::string unit = end;
    if (unit.empty()) return number;
    if (unit == "K") return number << 10;
    if (unit == "M") return number << 20;
    if (unit == "G") return number << 30;
    return -1;
}

std::string kindOf(const std::string& sysfsType) {
    if (sysfsType == "Data") return "data";
    if (sysfsType == "Instruction") return "instruction";
    if (sysfsType == "Unified") return "unified";
    return "";
}

// The caches of one processor, each instance once: processors that share an
// instance list the same processors in it.
void addCaches(const std::string& cpuDirectory, std::vector<PlatformCache>* caches,
               std::vector<std::vector<int>>* sharers) {
    for (int index = 0;; ++index) {
        const std::string directory = cpuDirectory + "/cache/index" + std::to_string(index);
        std::string type;
        if (!readText(directory + "/type", &type)) return;
        PlatformCache cache;
        cache.level = static_cast<int>(readNumber(directory + "/level"));
        cache.kind = kindOf(type);
        if (cache.kind.empty()) continue;  // a trace cache holds decoded instructions, not memory
        std::string size;
        if (readText(directory + "/size", &size)) cache.sizeBytes = parseSize(size);
        cache.lineBytes = static_cast<int>(readNumber(directory + "/coherency_line_size"));
        cache.ways = static_cast<int>(readNumber(directory + "/ways_of_associativity"));
        const std::vector<int> shared = readProcessorList(directory + "/shared_cpu_list");
        bool known = false;
        for (size_t i = 0; i < caches->size(); ++i) {
            const PlatformCache& other = (*caches)[i];
            if (other.level == cache.level && other.kind == cache.kind && (*sharers)[i] == shared) known = true;
        }
        if (known) continue;
        cache.processors = idsOf(shared);
        caches->push_back(cache);
        sharers->push_back(shared);
    }
}

}  // namespace

PlatformTopology linuxTopologyUnder(const std::string& root) {
    PlatformTopology topology;
    const std::string cpus = root + CPU_DIRECTORY;
    std::vector<int> online = readProcessorList(cpus + "/online");
    if (online.empty()) {
        topology.notes.push_back("the system does not list its online processors (" + cpus + "/online)");
        if (root.empty()) {
            const long count = sysconf(_SC_NPROCESSORS_ONLN);
            if (count > 0) topology.online = static_cast<int>(count);
        }
        return topology;
    }
    topology.online = static_cast<int>(online.size());

    // Cores are numbered across the system by their set of SMT siblings.
    std::map<std::vector<int>, int> coreNumbers;
    std::vector<std::vector<int>> sharers;
    bool anyTopology = false;
    for (const int cpu : online) {
        const std::string directory = cpus + "/cpu" + std::to_string(cpu);
        PlatformProcessorPlace place;
        place.id = {0, cpu};
        place.package = static_cast<int>(readNumber(directory + "/topology/physical_package_id"));
        std::vector<int> siblings = readProcessorList(directory + "/topology/core_cpus_list");
        if (siblings.empty()) siblings = readProcessorList(directory + "/topology/thread_siblings_list");
        if (!siblings.empty()) {
            const auto inserted = coreNumbers.insert({siblings, static_cast<int>(coreNumbers.size())});
            place.core = inserted.first->second;
        }
        anyTopology = anyTopology || place.package >= 0 || place.core >= 0;
        topology.processors.push_back(place);
        addCaches(directory, &topology.caches, &sharers);
    }
    if (!anyTopology) topology.notes.push_back("the system gives no cores or packages (" + cpus + "/cpu0/topology)");
    if (topology.caches.empty()) {
        topology.notes.push_back("the system reports no caches (" + cpus + "/cpu0/cache is missing)");
    }

    const std::string nodes = root + NODE_DIRECTORY;
    const std::vector<int> nodeNumbers = readProcessorList(nodes + "/online");
    if (nodeNumbers.empty()) {
        topology.notes.push_back("the system lists no NUMA nodes (" + nodes + "/online)");
    }
    for (const int number : nodeNumbers) {
        const std::string directory = nodes + "/node" + std::to_string(number);
        PlatformNode node;
        node.node = number;
        const std::vector<int> members = readProcessorList(directory + "/cpulist");
        node.processors = idsOf(members);
        std::ifstream meminfo(directory + "/meminfo");
        std::string line;
        while (std::getline(meminfo, line)) {
            long long kilobytes = 0;
            int ignored = 0;
            if (std::sscanf(line.c_str(), "Node %d MemTotal: %lld kB", &ignored, &kilobytes) == 2) {
                node.memoryBytes = kilobytes * 1024;
            }
        }
        for (PlatformProcessorPlace& place : topology.processors) {
            if (std::find(members.begin(), members.end(), place.id.number) != members.end()) place.node = number;
        }
        topology.nodes.push_back(node);
    }
    return topology;
}

PlatformMemory linuxMemoryUnder(const std::string& root) {
    PlatformMemory memory;
    std::ifstream meminfo(root + "/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        long long kilobytes = 0;
        if (std::sscanf(line.c_str(), "MemTotal: %lld kB", &kilobytes) == 1) memory.totalBytes = kilobytes * 1024;
    }
    if (memory.totalBytes < 0) memory.notes.push_back("no MemTotal in " + root + "/proc/meminfo");
    memory.pageBytes = sysconf(_SC_PAGESIZE);

    // The mode is the bracketed word: "always [madvise] never".
    std::string modes, mode;
    if (readText(root + THP_ENABLED, &modes)) {
        const std::string::size_type open = modes.find('['), close = modes.find(']');
        if (open != std::string::npos && close > open) mode = modes.substr(open + 1, close - open - 1);
    }
    const int64_t reserved = readNumber(root + RESERVED_HUGE_PAGES + "/nr_hugepages");
    const int64_t free = readNumber(root + RESERVED_HUGE_PAGES + "/free_hugepages");
    memory.hugePagesAvailable = mode == "always" || mode == "madvise" || free > 0;
    memory.hugePages = "transparent: " + (mode.empty() ? std::string("none") : mode) +
                       "; reserved: " + (reserved < 0 ? std::string("none") : std::to_string(reserved));
    if (reserved > 0) memory.hugePages += " (" + std::to_string(free < 0 ? 0 : free) + " free)";
    return memory;
}

PlatformTopology platformTopology() { return linuxTopologyUnder(""); }

PlatformMemory platformMemory() { return linuxMemoryUnder(""); }

namespace {

// A value of os-release, its quotes taken off.
std::string osReleaseValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return "";
}

}  // namespace

PlatformSystem platformSystem() {
    PlatformSystem system;
    utsname names{};
    const bool named = uname(&names) == 0;
    if (named) {
        system.kernelRelease = names.release;
        system.hostName = names.nodename;
    } else {
        system.notes.push_back("uname() failed: no kernel release or host name");
    }
    std::string release;
    if (readText("/etc/os-release", &release) || readText("/usr/lib/os-release", &release)) {
        system.osName = osReleaseValue(release, "PRETTY_NAME");
        system.osVersion = osReleaseValue(release, "VERSION");
        if (system.osVersion.empty()) system.osVersion = osReleaseValue(release, "VERSION_ID");
    } else {
        system.notes.push_back("no /etc/os-release: the distribution is unknown");
    }
    if (system.osName.empty() && named) system.osName = names.sysname;
    return system;
}

int64_t platformSecondsSinceEpoch() { return static_cast<int64_t>(time(nullptr)); }
