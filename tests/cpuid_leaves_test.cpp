// The CPUID decoders with given register values: the identity, Intel's leaf
// 4 and AMD's 0x8000001D, and AMD's older 0x80000005/6 where those are
// missing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "probe/cpuid_leaves.h"

namespace {

TEST(CpuidIdentity, DisplayFamilyAndModelCountTheExtendedFieldsOnlyWhereTheyApply) {
    const struct {
        uint32_t eax;
        int family, model, stepping;
    } cases[] = {
        {0x00b00f21, 26, 2, 1},    // Zen 5: family 15 + 11
        {0x00a20f12, 25, 33, 2},   // Zen 3: the extended model counts with family 15
        {0x000906ea, 6, 158, 10},  // an Intel family 6 core: the extended model counts
        {0x00000f29, 15, 2, 9},    // an early family 15: no extension
        {0x0ff00673, 6, 7, 3},     // the extended family is ignored below 15
        {0x00010543, 5, 4, 3},     // the extended model is ignored in family 5
    };
    for (const auto& c : cases) {
        const DisplayModel model = cpuidDisplayModel(c.eax);
        EXPECT_EQ((std::vector<int>{model.family, model.model, model.stepping}),
                  (std::vector<int>{c.family, c.model, c.stepping}))
            << std::hex << c.eax;
    }
}

TEST(CpuidIdentity, VendorAndBrandReadAsTextWithSpacesTrimmed) {
    EXPECT_EQ(cpuidVendor({0, 0x68747541, 0x444d4163, 0x69746e65}), "AuthenticAMD");
    EXPECT_EQ(cpuidVendor({}), "");
    CpuidRegisters brand[3];
    const char text[48] = "      Intel(R) Xeon(R) CPU E5-2690 v4 @ 2.60GHz";
    std::memcpy(brand, text, sizeof text);
    EXPECT_EQ(cpuidBrand(brand), "Intel(R) Xeon(R) CPU E5-2690 v4 @ 2.60GHz");
    CpuidRegisters none[3];
    EXPECT_EQ(cpuidBrand(none), "");
}

TEST(CpuidIdentity, LeafOnesCountIsOnlyThereWithTheHttBit) {
    EXPECT_EQ(cpuidLogicalPerPackage({0x00b00f21, 0xd0fe0800, 0, 0x178bfbff}), 254);
    EXPECT_EQ(cpuidLogicalPerPackage({0x00b00f21, 0xd0fe0800, 0, 0x078bfbff}), -1);
}

TEST(DeterministicCacheLeaf, EachFieldDecodes) {
    const struct {
        CpuidRegisters leaf;
        int level;
        const char* kind;
        int64_t size;
        int ways, line, sharedBy;
    } cases[] = {
        // Intel: L1 data, 8 ways x 64 sets of 64 B, one thread.
        {{0x00000121, 0x01c0003f, 63, 0}, 1, "data", 32 << 10, 8, 64, 1},
        // Intel: L1 instruction shared by two SMT siblings.
        {{0x00004122, 0x01c0003f, 63, 0}, 1, "instruction", 32 << 10, 8, 64, 2},
        // Intel: L3 of 12 MiB, 16 ways, room for 16 sharers.
        {{0x0003c163, 0x03c0003f, 12287, 0}, 3, "unified", 12 << 20, 16, 64, 16},
        // AMD 0x8000001D: a Zen 3 L3 of 32 MiB shared by 16.
        {{0x0003c163, 0x03c0003f, 32767, 0}, 3, "unified", 32 << 20, 16, 64, 16},
        // Fully associative (EAX bit 9): ways 0, the size from the geometry.
        {{0x00000321, 0x00c0003f, 0, 0}, 1, "data", 4 * 64, 0, 64, 1},
        // Two partitions of 128 B lines.
        {{0x00000143, 0x01c0107f, 1023, 0}, 2, "unified", int64_t{8} * 2 * 128 * 1024, 8, 128, 1},
    };
    for (const auto& c : cases) {
        CacheDescription cache;
        ASSERT_TRUE(cacheFromDeterministicLeaf(c.leaf, "cpuid 4", &cache)) << std::hex << c.leaf.eax;
        EXPECT_EQ(cache.level, c.level);
        EXPECT_EQ(cache.kind, c.kind);
        EXPECT_EQ(cache.sizeBytes, c.size) << std::hex << c.leaf.eax;
        EXPECT_EQ((std::vector<int>{cache.ways, cache.lineBytes, cache.sharedBy}),
                  (std::vector<int>{c.ways, c.line, c.sharedBy}))
            << std::hex << c.leaf.eax;
        EXPECT_EQ(cache.source, "cpuid 4");
    }
    CacheDescription untouched;
    EXPECT_FALSE(cacheFromDeterministicLeaf({}, "cpuid 4", &untouched));
    EXPECT_FALSE(cacheFromDeterministicLeaf({0x00000124, 0, 0, 0}, "cpuid 4", &untouched));  // type 4: reserved
}

TEST(LegacyCacheLeaves, AmdsOlderLeavesGiveWhatTheyHaveAndSayWhatTheyDefer) {
    const struct {
        const char* name;
        CpuidRegisters leaf5, leaf6;
        std::vector<std::string> caches;  // level, kind, size, ways, line
        size_t notes;
    } cases[] = {
        {"a Zen 5 guest: the L3's ways deferred to 0x8000001d",
         {0xff60ff40, 0xff60ff40, 0x300c0140, 0x20080140},
         {0x40802040, 0x60804040, 0x04006140, 0x0fe09140},
         {"1 data 49152 12 64", "1 instruction 32768 8 64", "2 unified 1048576 8 64", "3 unified 532676608 -1 64"},
         1},
        {"a K8: 16-way L2, 2-way L1, no L3",
         {0, 0, 0x40020140, 0x40020140},
         {0, 0, 0x02008140, 0},
         {"1 data 65536 2 64", "1 instruction 65536 2 64", "2 unified 524288 16 64"},
         0},
        {"an Intel: no 0x80000005, only the L2 in 0x80000006",
         {0, 0, 0, 0},
         {0, 0, 0x01006040, 0},
         {"2 unified 262144 8 64"},
         0},
        {"a fully associative L1 and L2",
         {0, 0, 0x10ff0140, 0},
         {0, 0, 0x0100f040, 0},
         {"1 data 16384 0 64", "2 unified 262144 0 64"},
         0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> notes;
        std::vector<std::string> caches;
        for (const CacheDescription& cache : cachesFromLegacyLeaves(c.leaf5, c.leaf6, &notes)) {
            caches.push_back(std::to_string(cache.level) + " " + cache.kind + " " + std::to_string(cache.sizeBytes) +
                             " " + std::to_string(cache.ways) + " " + std::to_string(cache.lineBytes));
            EXPECT_EQ(cache.sharedBy, -1) << c.name;
            EXPECT_EQ(cache.source, cache.level == 1 ? "cpuid 0x80000005" : "cpuid 0x80000006") << c.name;
        }
        EXPECT_EQ(caches, c.caches) << c.name;
        EXPECT_EQ(notes.size(), c.notes) << c.name;
    }
}

}  // namespace
