// The Linux description: read from this system's own files and set against
// them, and parsed from a small tree laid out like sysfs and /proc for a
// machine of two packages, SMT pairs, two nodes and caches, which few test
// machines have (a virtual machine may have no cache directory at all).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "probe/machine_description.h"

namespace {

std::string firstLineOf(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The value after "key:" in a file of such lines (/proc/meminfo, /proc/cpuinfo).
std::string fieldOf(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const std::string rest = line.substr(key.size());
        const std::string::size_type colon = rest.find(':');
        if (colon == std::string::npos || rest.find_first_not_of(" \t") != colon) continue;
        const std::string::size_type value = rest.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? "" : rest.substr(value);
    }
    return "";
}

bool exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

TEST(LinuxDescription, AgreesWithTheSystemsOwnFiles) {
    const MachineDescription machine = describeMachine();
    const long long kilobytes = std::atoll(fieldOf("/proc/meminfo", "MemTotal").c_str());
    EXPECT_EQ(machine.memoryBytes, kilobytes * 1024);
    EXPECT_EQ(machine.pageBytes, sysconf(_SC_PAGESIZE));
    EXPECT_EQ(machine.logicalOnline, sysconf(_SC_NPROCESSORS_ONLN));
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_EQ(machine.logicalUsable, CPU_COUNT(&allowed));

    // The processor as the kernel decoded it.
#if defined(__i386__)
    std::cout << "the i386 build runs under qemu-i386, whose processor is not the one /proc/cpuinfo describes: "
                 "the processor is not compared" << std::endl;
#else
    EXPECT_EQ(machine.vendor, fieldOf("/proc/cpuinfo", "vendor_id"));
    EXPECT_EQ(std::to_string(machine.family), fieldOf("/proc/cpuinfo", "cpu family"));
    EXPECT_EQ(std::to_string(machine.model), fieldOf("/proc/cpuinfo", "model"));
    EXPECT_EQ(std::to_string(machine.stepping), fieldOf("/proc/cpuinfo", "stepping"));
#endif

    // Cores and packages as the topology files count them.
    std::set<std::string> packages, cores;
    for (const ProcessorPlace& place : machine.processors) {
        const std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(place.id.number) + "/topology/";
        if (!exists(topology)) continue;
        packages.insert(firstLineOf(topology + "physical_package_id"));
        cores.insert(firstLineOf(topology + "thread_siblings_list"));
        EXPECT_GE(place.core, 0);
    }
    if (!packages.empty() && machine.logicalUsable == machine.logicalOnline) {
        EXPECT_EQ(machine.packages, static_cast<int>(packages.size()));
        EXPECT_EQ(machine.cores, static_cast<int>(cores.size()));
    }
    if (exists("/sys/devices/system/node/node0")) {
        EXPECT_FALSE(machine.nodes.empty());
        EXPECT_EQ(machine.nodes.front().memoryBytes,
                  std::atoll(fieldOf("/sys/devices/system/node/node0/meminfo", "Node 0 MemTotal").c_str()) * 1024);
    }

    // Every cache sysfs reports for processor 0 is in the description with its size.
    const std::string caches = "/sys/devices/system/cpu/cpu0/cache/";
    if (!exists(caches + "index0")) {
        std::cout << "this system reports no caches in " << caches
                  << ": only the laid-out tree below tests the cache files" << std::endl;
        EXPECT_TRUE(std::any_of(machine.notes.begin(), machine.notes.end(), [](const std::string& note) {
            return note.find("reports no caches") != std::string::npos;
        }));
        return;
    }
    for (int index = 0; exists(caches + "index" + std::to_string(index)); ++index) {
        const std::string directory = caches + "index" + std::to_string(index) + "/";
        const int level = std::atoi(firstLineOf(directory + "level").c_str());
        std::string kind = firstLineOf(directory + "type");
        if (kind == "Data") kind = "data";
        if (kind == "Instruction") kind = "instruction";
        if (kind == "Unified") kind = "unified";
        const auto found = std::find_if(machine.caches.begin(), machine.caches.end(), [&](const CacheDescription& c) {
            return c.level == level && c.kind == kind;
        });
        ASSERT_NE(found, machine.caches.end()) << directory;
        EXPECT_EQ(std::to_string(found->sizeBytes >> 10) + "K", firstLineOf(directory + "size")) << directory;
    }
}

// A tree laid out like the system's files, removed afterwards.
class LaidOutTree : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override {
        char pattern[] = "/tmp/kestrune-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + root + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    void file(const std::string& path, const std::string& content) {
        std::string::size_type slash = 0;
        while ((slash = path.find('/', slash + 1)) != std::string::npos) {
            mkdir((root + path.substr(0, slash)).c_str(), 0755);
        }
        std::ofstream(root + path) << content << "\n";
    }

    void cache(int cpu, int index, int level, const char* type, const char* size, int ways, const char* shared) {
        const std::string directory =
            "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cache/index" + std::to_string(index) + "/";
        file(directory + "level", std::to_string(level));
        file(directory + "type", type);
        file(directory + "size", size);
        file(directory + "coherency_line_size", "64");
        file(directory + "ways_of_associativity", std::to_string(ways));
        file(directory + "shared_cpu_list", shared);
    }
};

std::vector<int> numbers(const std::vector<ProcessorId>& ids) {
    std::vector<int> list;
    for (const ProcessorId& id : ids) list.push_back(id.number);
    return list;
}

TEST_F(LaidOutTree, TwoPackagesOfSmtPairsInTwoNodesWithTheirCaches) {
    // cpu0 and cpu2 are one core of package 0, cpu1 and cpu3 one of package 1.
    file("/sys/devices/system/cpu/online", "0-3");
    for (int cpu = 0; cpu < 4; ++cpu) {
        const std::string topology = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        const std::string siblings = cpu % 2 == 0 ? "0,2" : "1,3";
        file(topology + "physical_package_id", std::to_string(cpu % 2));
        file(topology + "core_cpus_list", siblings);
        cache(cpu, 0, 1, "Data", "48K", 12, siblings.c_str());
        cache(cpu, 1, 1, "Instruction", "32K", 8, siblings.c_str());
        cache(cpu, 2, 2, "Unified", "1024K", 16, siblings.c_str());
        cache(cpu, 3, 3, "Unified", "32M", 16, siblings.c_str());
    }
    file("/sys/devices/system/node/online", "0-1");
    file("/sys/devices/system/node/node0/cpulist", "0,2");
    file("/sys/devices/system/node/node1/cpulist", "1,3");
    file("/sys/devices/system/node/node0/meminfo", "Node 0 MemTotal:        1048576 kB\nNode 0 MemFree: 1 kB");
    file("/sys/devices/system/node/node1/meminfo", "Node 1 MemTotal:        2097152 kB");
    file("/proc/meminfo", "MemTotal:        3145728 kB\nMemFree:         1000 kB");
    file("/sys/kernel/mm/transparent_hugepage/enabled", "always madvise [never]");
    file("/sys/kernel/mm/hugepages/hugepages-2048kB/nr_hugepages", "4");
    file("/sys/kernel/mm/hugepages/hugepages-2048kB/free_hugepages", "3");

    const PlatformTopology topology = linuxTopologyUnder(root);
    EXPECT_EQ(topology.online, 4);
    EXPECT_TRUE(topology.notes.empty()) << topology.notes.front();
    ASSERT_EQ(topology.processors.size(), 4u);
    std::vector<std::vector<int>> places;
    for (const PlatformProcessorPlace& place : topology.processors) {
        places.push_back({place.id.number, place.core, place.package, place.node});
    }
    EXPECT_EQ(places, (std::vector<std::vector<int>>{{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 0, 0, 0}, {3, 1, 1, 1}}));
    // Each instance once, with the processors that share it.
    ASSERT_EQ(topology.caches.size(), 8u);
    std::vector<std::string> caches;
    for (const PlatformCache& cache : topology.caches) {
        std::string sharers;
        for (const int number : numbers(cache.processors)) sharers += std::to_string(number);
        caches.push_back("L" + std::to_string(cache.level) + " " + cache.kind + " " + std::to_string(cache.sizeBytes) +
                         " " + std::to_string(cache.ways) + "-way " + std::to_string(cache.lineBytes) + " " + sharers);
    }
    EXPECT_EQ(caches, (std::vector<std::string>{"L1 data 49152 12-way 64 02", "L1 instruction 32768 8-way 64 02",
                                                "L2 unified 1048576 16-way 64 02", "L3 unified 33554432 16-way 64 02",
                                                "L1 data 49152 12-way 64 13", "L1 instruction 32768 8-way 64 13",
                                                "L2 unified 1048576 16-way 64 13",
                                                "L3 unified 33554432 16-way 64 13"}));
    ASSERT_EQ(topology.nodes.size(), 2u);
    EXPECT_EQ(numbers(topology.nodes[1].processors), (std::vector<int>{1, 3}));
    EXPECT_EQ(topology.nodes[1].memoryBytes, int64_t{2} << 30);

    const PlatformMemory memory = linuxMemoryUnder(root);
    EXPECT_EQ(memory.totalBytes, int64_t{3} << 30);
    EXPECT_TRUE(memory.hugePagesAvailable);  // the reserve has free pages though THP is off
    EXPECT_EQ(memory.hugePages, "transparent: never; reserved: 4 (3 free)");
}

TEST_F(LaidOutTree, AMachineThatSaysLittleSaysWhatIsMissing) {
    file("/sys/devices/system/cpu/online", "0-1");
    file("/sys/devices/system/cpu/cpu0/topology/physical_package_id", "0");
    file("/sys/devices/system/cpu/cpu0/topology/thread_siblings_list", "0");
    file("/sys/kernel/mm/transparent_hugepage/enabled", "always [madvise] never");
    const PlatformTopology topology = linuxTopologyUnder(root);
    EXPECT_EQ(topology.online, 2);
    EXPECT_TRUE(topology.caches.empty());
    ASSERT_EQ(topology.processors.size(), 2u);
    EXPECT_EQ(topology.processors[0].core, 0);  // from the older thread_siblings_list
    EXPECT_EQ(topology.processors[1].core, -1);
    const std::string notes = [&] {
        std::string all;
        for (const std::string& note : topology.notes) all += note + "\n";
        return all;
    }();
    EXPECT_NE(notes.find("the system reports no caches (" + root + "/sys/devices/system/cpu/cpu0/cache is missing)"),
              std::string::npos)
        << notes;
    EXPECT_NE(notes.find("lists no NUMA nodes"), std::string::npos) << notes;
    const PlatformMemory memory = linuxMemoryUnder(root);
    EXPECT_EQ(memory.totalBytes, -1);
    EXPECT_TRUE(memory.hugePagesAvailable);
    EXPECT_EQ(memory.hugePages, "transparent: madvise; reserved: none");
    EXPECT_EQ(memory.notes.size(), 1u);
}

}  // namespace
