// The machine description against the fake system, for the shapes a test
// machine lacks (packages, SMT pairs, NUMA nodes, processor groups, a CPUID
// that disagrees with the system), and --describe and the JSON reports that
// carry it, run whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/machine_report.h"
#include "probe/machine_description.h"
#include "tests/fakes/fake_machine.h"
#include "tests/program_run.h"

namespace {

class Description : public ::testing::Test {
protected:
    void SetUp() override { resetFakes(); }
};

const CacheDescription* findCache(const MachineDescription& machine, int level, const std::string& kind) {
    for (const CacheDescription& cache : machine.caches) {
        if (cache.level == level && cache.kind == kind) return &cache;
    }
    return nullptr;
}

const ProcessorPlace& placeOf(const MachineDescription& machine, int number) {
    for (const ProcessorPlace& place : machine.processors) {
        if (place.id.number == number) return place;
    }
    static const ProcessorPlace none{};
    return none;
}

// A leaf-4 (or 0x8000001D) sub-leaf: type 1 data, 2 instruction, 3 unified.
CpuidRegisters deterministicLeaf(int type, int level, int sharedBy, int ways, int sets) {
    const uint32_t eax = static_cast<uint32_t>(type | (level << 5) | ((sharedBy - 1) << 14));
    const uint32_t ebx = static_cast<uint32_t>(((ways - 1) << 22) | 63);
    return {eax, ebx, static_cast<uint32_t>(sets - 1), 0};
}

PlatformCache instance(int level, const char* kind, int64_t size, int ways, std::vector<ProcessorId> processors) {
    return {level, kind, size, 64, ways, std::move(processors)};
}

ProgramRun describeRun(const char* jsonPath = nullptr) {
    RunOptions options;
    options.describe = true;
    options.jsonPath = jsonPath;
    options.commandLine = {"kestrune", "--describe"};
    return runWith(options);
}

// Two packages of two cores with two SMT siblings each, a node per package:
// processors 0-3 in package 0 (cores 0 and 1 as 0+2 and 1+3), 4-7 in
// package 1; a private L1 data cache and L2 per core, an L3 per package.
void twoPackagesWithSmtPairs() {
    PlatformTopology& topology = fakeSystem.topology;
    topology = PlatformTopology{};
    topology.online = 8;
    fakeSystem.processors.clear();
    for (int number = 0; number < 8; ++number) {
        const int package = number / 4;
        const int core = package * 2 + number % 2;
        topology.processors.push_back({{0, number}, core, package, package});
        fakeSystem.processors.push_back({0, number});
    }
    for (int core = 0; core < 4; ++core) {
        const int first = (core / 2) * 4 + core % 2;
        const std::vector<ProcessorId> siblings = {{0, first}, {0, first + 2}};
        topology.caches.push_back(instance(1, "data", 32 << 10, 8, siblings));
        topology.caches.push_back(instance(2, "unified", 1 << 20, 16, siblings));
    }
    for (int package = 0; package < 2; ++package) {
        std::vector<ProcessorId> members;
        for (int number = package * 4; number < package * 4 + 4; ++number) members.push_back({0, number});
        topology.caches.push_back(instance(3, "unified", 16 << 20, 16, members));
        topology.nodes.push_back({package, members, int64_t{16} << 30});
    }
    fakeSystem.cpuid.leaf4 = {deterministicLeaf(1, 1, 2, 8, 64), deterministicLeaf(3, 2, 2, 16, 1024),
                              deterministicLeaf(3, 3, 16, 16, 16384)};
}

TEST_F(Description, CpuidAndTheSystemAgreeingGiveBothAsTheSource) {
    const MachineDescription machine = describeMachine();
    EXPECT_EQ(machine.vendor, "GenuineIntel");
    EXPECT_EQ(machine.brand, "Fake(R) Processor @ 3.00GHz");
    EXPECT_EQ((std::vector<int>{machine.family, machine.model, machine.stepping}), (std::vector<int>{6, 158, 10}));
    EXPECT_EQ((std::vector<int>{machine.logicalOnline, machine.logicalUsable, machine.cores, machine.packages}),
              (std::vector<int>{2, 2, 2, 1}));
    ASSERT_EQ(machine.caches.size(), 2u);
    const CacheDescription& l1 = machine.caches[0];
    const CacheDescription& l2 = machine.caches[1];
    EXPECT_EQ((std::vector<int64_t>{l1.level, l1.sizeBytes, l1.ways, l1.lineBytes, l1.sharedBy}),
              (std::vector<int64_t>{1, 32768, 8, 64, 1}));
    EXPECT_EQ((std::vector<int64_t>{l2.level, l2.sizeBytes, l2.ways, l2.sharedBy}),
              (std::vector<int64_t>{2, 1 << 20, 16, 2}));
    for (const CacheDescription& cache : machine.caches) {
        EXPECT_EQ(cache.source, "cpuid 4 and os");
        EXPECT_FALSE(cache.doubtful) << cache.doubt;
    }
    EXPECT_EQ(placeOf(machine, 0).cacheInstances, (std::vector<int>{0, 0}));
    EXPECT_EQ(placeOf(machine, 1).cacheInstances, (std::vector<int>{1, 0}));
    EXPECT_TRUE(machine.notes.empty()) << machine.notes.front();
}

TEST_F(Description, TwoPackagesWithSmtPairsAndTwoNodesPlaceEveryProcessor) {
    twoPackagesWithSmtPairs();
    const MachineDescription machine = describeMachine();
    EXPECT_EQ((std::vector<int>{machine.logicalOnline, machine.cores, machine.packages}),
              (std::vector<int>{8, 4, 2}));
    ASSERT_EQ(machine.nodes.size(), 2u);
    EXPECT_EQ(machine.nodes[1].memoryBytes, int64_t{16} << 30);
    EXPECT_EQ(placeOf(machine, 5).node, 1);
    const struct {
        int a, b;
        bool siblings;
        int sharedLevel;
        bool differentPackages, differentNodes;
    } pairs[] = {
        {0, 2, true, 1, false, false},   // SMT siblings share the core's L1
        {0, 1, false, 3, false, false},  // two cores of a package share its L3
        {1, 3, true, 1, false, false},
        {0, 4, false, 0, true, true},    // nothing across packages
        {7, 3, false, 0, true, true},
    };
    for (const auto& pair : pairs) {
        const PairRelation relation = pairRelation(machine, {0, pair.a}, {0, pair.b});
        const std::string where = std::to_string(pair.a) + "," + std::to_string(pair.b);
        EXPECT_EQ(relation.siblings, pair.siblings) << where;
        EXPECT_EQ(relation.sharedCacheLevel, pair.sharedLevel) << where;
        EXPECT_EQ(relation.differentPackages, pair.differentPackages) << where;
        EXPECT_EQ(relation.differentNodes, pair.differentNodes) << where;
    }
    // The sharers are the system's count; CPUID's 16 for the L3 is room for ids.
    EXPECT_EQ(findCache(machine, 3, "unified")->sharedBy, 4);
    EXPECT_FALSE(findCache(machine, 3, "unified")->doubtful);
    const std::string json = machineJson(machine);
    EXPECT_NE(json.find("\"smt_siblings\": [[{\"group\": 0, \"number\": 0}, {\"group\": 0, \"number\": 2}], "
                        "[{\"group\": 0, \"number\": 1}, {\"group\": 0, \"number\": 3}], "),
              std::string::npos)
        << json;
}

TEST_F(Description, ThreeHundredProcessorsInFiveGroupsKeepTheTeamsOrder) {
    PlatformTopology& topology = fakeSystem.topology;
    topology = PlatformTopology{};
    topology.online = 300;
    fakeSystem.processors.clear();
    for (int group = 0; group < 5; ++group) {
        std::vector<ProcessorId> members;
        for (int number = 0; number < 60; ++number) {
            // The system lists its processors core by core; the team's order,
            // group by group, is the usable processors' own.
            topology.processors.insert(topology.processors.begin(), {{group, number}, group * 60 + number, group / 3, group});
            fakeSystem.processors.push_back({group, number});
            members.push_back({group, number});
        }
        topology.nodes.push_back({group, members, -1});
    }
    topology.caches.clear();
    const MachineDescription machine = describeMachine();
    EXPECT_EQ(machine.logicalUsable, 300);
    EXPECT_EQ(machine.cores, 300);
    EXPECT_EQ(machine.packages, 2);
    ASSERT_EQ(machine.processors.size(), 300u);
    for (size_t i = 0; i < machine.processors.size(); ++i) {
        EXPECT_EQ(machine.processors[i].id, fakeSystem.processors[i]) << i;
        EXPECT_EQ(machine.processors[i].node, machine.processors[i].id.group) << i;
    }
    const PairRelation across = pairRelation(machine, {0, 5}, {4, 5});
    EXPECT_TRUE(across.differentPackages);
    EXPECT_TRUE(across.differentNodes);
    EXPECT_FALSE(across.siblings);

    const ProgramRun run = describeRun();
    EXPECT_NE(std::find(run.out.begin(), run.out.end(), "node 3: processors 3:0-59, memory unknown"), run.out.end());
    EXPECT_NE(std::find(run.out.begin(), run.out.end(), "processors: 300 online, 300 usable"), run.out.end());
}

TEST_F(Description, WhereCpuidAndTheSystemDisagreeTheRecordSaysSoAndKeepsTheSystems) {
    // CPUID: L1 data private, L2 1 MiB 16-way private, an L3 of 8 MiB.
    fakeSystem.cpuid.leaf4 = {deterministicLeaf(1, 1, 1, 8, 64), deterministicLeaf(3, 2, 1, 16, 1024),
                              deterministicLeaf(3, 3, 2, 16, 8192)};
    // The system: the same L1, an L2 of 512 KiB 8-way shared by both, no L3.
    fakeSystem.topology.caches = {instance(1, "data", 32768, 8, {{0, 0}}), instance(1, "data", 32768, 8, {{0, 1}}),
                                  instance(2, "unified", 512 << 10, 8, {{0, 0}, {0, 1}})};
    const MachineDescription machine = describeMachine();
    const CacheDescription* l1 = findCache(machine, 1, "data");
    const CacheDescription* l2 = findCache(machine, 2, "unified");
    const CacheDescription* l3 = findCache(machine, 3, "unified");
    ASSERT_TRUE(l1 && l2 && l3);
    EXPECT_FALSE(l1->doubtful);
    EXPECT_TRUE(l2->doubtful);
    EXPECT_EQ(l2->source, "os");
    EXPECT_EQ(l2->sizeBytes, 512 << 10);
    EXPECT_EQ(l2->doubt, "cpuid 4 says 1 MiB, 16-way, 64 B lines; the system reports 512 KiB, 8-way, 64 B lines");
    EXPECT_TRUE(l3->doubtful);
    EXPECT_EQ(l3->source, "cpuid 4");
    EXPECT_EQ(l3->doubt, "the system reports no L3 unified cache");

    // Fewer sharers in CPUID's room for ids than the system reports.
    fakeSystem.topology.caches = {instance(1, "data", 32768, 8, {{0, 0}, {0, 1}})};
    fakeSystem.cpuid.leaf4 = {deterministicLeaf(1, 1, 1, 8, 64)};
    const CacheDescription shared = describeMachine().caches.at(0);
    EXPECT_TRUE(shared.doubtful);
    EXPECT_EQ(shared.sharedBy, 2);
    EXPECT_NE(shared.doubt.find("at most 1 processors share it; the system reports 2"), std::string::npos);
}

// A two-processor guest of a large host: no caches from the system, an empty
// leaf 0x8000001D, the host's L3 in leaf 0x80000006 and room for 254
// processors in leaf 1.
void guestOfALargeHost() {
    fakeSystem.cpuid = CpuidReadings{};
    fakeSystem.cpuid.maxLeaf = 0xd;
    fakeSystem.cpuid.maxExtendedLeaf = 0x80000021;
    fakeSystem.cpuid.leaf0 = {0xd, 0x68747541, 0x444d4163, 0x69746e65};  // "AuthenticAMD"
    fakeSystem.cpuid.leaf1 = {0x00b00f21, 0xd0fe0800, 0xfed83203, 0x178bfbff};
    fakeSystem.cpuid.leaf80000005 = {0xff60ff40, 0xff60ff40, 0x300c0140, 0x20080140};
    fakeSystem.cpuid.leaf80000006 = {0x40802040, 0x60804040, 0x04006140, 0x0fe09140};
    fakeSystem.topology.caches.clear();
    fakeSystem.topology.notes = {"the system reports no caches"};
}

TEST_F(Description, AHostsCacheSeenFromASmallGuestIsDoubtfulAndTheRestStands) {
    guestOfALargeHost();
    const MachineDescription machine = describeMachine();
    EXPECT_EQ((std::vector<int>{machine.family, machine.model, machine.stepping}), (std::vector<int>{26, 2, 1}));
    ASSERT_EQ(machine.caches.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(machine.caches[i].doubtful) << machine.caches[i].doubt;
    const CacheDescription& l3 = machine.caches[3];
    EXPECT_EQ(l3.sizeBytes, int64_t{508} << 20);
    EXPECT_EQ(l3.source, "cpuid 0x80000006");
    EXPECT_TRUE(l3.doubtful);
    EXPECT_NE(l3.doubt.find("508 MiB for at most 2 processors"), std::string::npos) << l3.doubt;
    const std::string notes = [&] {
        std::string all;
        for (const std::string& note : machine.notes) all += note + "\n";
        return all;
    }();
    for (const char* expected : {"the system reports no caches\n", "CPUID leaf 0x8000001d is empty",
                                 "CPUID leaf 1 claims 254 logical processors", "leaves the L3's associativity"}) {
        EXPECT_NE(notes.find(expected), std::string::npos) << expected << " in\n" << notes;
    }
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST_F(Description, DescribePrintsKeyValueLinesMeasuresNothingAndExitsZero) {
    guestOfALargeHost();
    fakeSystem.cpuid.leaf8000001d = {deterministicLeaf(3, 2, 2, 16, 1024)};
    const ProgramRun run = describeRun();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    for (const std::string& line : run.out) EXPECT_NE(line.find(": "), std::string::npos) << line;
    const char* expected[] = {
        "vendor: AuthenticAMD, family 26, model 2, stepping 1",
        "L2: 1 MiB unified, 16-way, 64 B lines, shared by 2 (cpuid 0x8000001d)",
        "host: fakehost",
        "note: the system reports no caches",
    };
    for (const char* line : expected) {
        EXPECT_NE(std::find(run.out.begin(), run.out.end(), line), run.out.end()) << line;
    }
    EXPECT_TRUE(std::any_of(run.out.begin(), run.out.end(), [](const std::string& line) {
        return line.rfind("kestrune: " KESTRUNE_VERSION ", ", 0) == 0;
    }));
    EXPECT_TRUE(fakeSystem.sleeps.empty());
    EXPECT_TRUE(fakeKernels.calls.empty());
    EXPECT_EQ(fakeSystem.allocations, 0);
    EXPECT_EQ(fakeSystem.priorityRaises, 0);
}

TEST_F(Description, DescribeWithJsonWritesMachineAndRunAndTheSameText) {
    twoPackagesWithSmtPairs();
    fakeSystem.topology.caches[0].sizeBytes = 48 << 10;  // the first core's L1 disagrees with CPUID
    const std::string path = "describe-test.json";
    const ProgramRun run = describeRun(path.c_str());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(std::find(run.out.begin(), run.out.end(), "cores: 4 in 2 packages, 2 threads per core"), run.out.end());
    const std::string document = contents(path);
    std::remove(path.c_str());
    EXPECT_EQ(document.find("{\n \"machine\": {\n  \"processor\": {\"vendor\": \"GenuineIntel\""), 0u) << document;
    EXPECT_NE(document.find("\"doubtful\": true, \"doubt\": \"the system reports instances of 48 KiB and of 32 KiB"),
              std::string::npos)
        << document;
    EXPECT_NE(document.find("\n \"run\": {\"date\": \"2026-12-11T11:01:02Z\", \"host_name\": \"fakehost\", "
                            "\"command_line\": [\"kestrune\", \"--describe\"], \"duration_seconds\": "),
              std::string::npos)
        << document;
    EXPECT_NE(document.find("\"complete\": true}\n}\n"), std::string::npos);
    EXPECT_EQ(document.find("\"cells\""), std::string::npos);
}

TEST_F(Description, EveryJsonReportCarriesMachineAndRunAndTheClassicRunReadsNeither) {
    RunOptions options;
    options.maxBlockBytes = 256;
    const ProgramRun classic = runWith(options);
    EXPECT_EQ(classic.exitCode, 0);
    EXPECT_EQ(fakeSystem.topologyReads, 0);
    resetFakes();
    fakeSystem.topology.online = 77;
    const std::string path = "describe-report-test.json";
    options.jsonPath = path.c_str();
    options.commandLine = {"kestrune", "--max-size", "256B", "--json", path};
    const ProgramRun reported = runWith(options);
    EXPECT_EQ(reported.exitCode, 0);
    EXPECT_EQ(reported.out, classic.out);
    EXPECT_EQ(fakeSystem.topologyReads, 1);
    const std::string document = contents(path);
    std::remove(path.c_str());
    EXPECT_EQ(document.find("{\n \"complete\": true,\n \"report\": "), 0u);
    EXPECT_NE(document.find("\n \"machine\": {\n  \"processor\": "), std::string::npos);
    EXPECT_NE(document.find("\"processors\": {\"online\": 77,"), std::string::npos);
    EXPECT_NE(document.find("\n \"run\": {\"date\": \"2026-12-11T11:01:02Z\", \"host_name\": \"fakehost\", "
                            "\"command_line\": [\"kestrune\", \"--max-size\", \"256B\", \"--json\", \"" +
                            path + "\"], \"duration_seconds\": "),
              std::string::npos)
        << document;
    EXPECT_LT(document.find("\"run\": "), document.find("\"cells\": ["));
}

TEST(IsoDate, CountsDaysAcrossLeapYearsAndCenturies) {
    const struct {
        int64_t seconds;
        const char* date;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {1796986862, "2026-12-11T11:01:02Z"},
        {4107542399, "2100-02-28T23:59:59Z"},
        {-1, "1969-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(isoDate(c.seconds), c.date) << c.seconds;
}

}  // namespace
