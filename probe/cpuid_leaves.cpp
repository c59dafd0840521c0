#include "probe/cpuid_leaves.h"

#include <cstring>

namespace {

std::string wordText(uint32_t word) {
    char text[4];
    std::memcpy(text, &word, sizeof text);
    return std::string(text, sizeof text);
}

uint32_t bits(uint32_t word, int high, int low) { return (word >> low) & ((uint32_t{1} << (high - low + 1)) - 1); }

constexpr uint32_t EDX_HTT = 1u << 28;

// The type field of the deterministic cache leaves.
const char* kindOfType(uint32_t type) {
    switch (type) {
        case 1: return "data";
        case 2: return "instruction";
        case 3: return "unified";
        default: return nullptr;
    }
}

// The 4-bit associativity of leaf 0x80000006: ways, 0 for fully
// associative, -1 where the field says nothing (reserved, or "see leaf
// 0x8000001D").
constexpr int LEGACY_WAYS[16] = {-1, 1, 2, 3, 4, 6, 8, -1, 16, -1, 32, 48, 64, 96, 128, 0};
constexpr uint32_t LEGACY_WAYS_DEFERRED = 9;
constexpr uint32_t L1_FULLY_ASSOCIATIVE = 0xff;
constexpr int64_t L3_UNIT_BYTES = 512 * 1024;

// An L1 of leaf 0x80000005: size in KiB (31-24), ways (23-16), line (7-0).
bool legacyL1(uint32_t word, const char* kind, CacheDescription* cache) {
    if (bits(word, 31, 24) == 0) return false;
    cache->level = 1;
    cache->kind = kind;
    cache->sizeBytes = int64_t{bits(word, 31, 24)} * 1024;
    const uint32_t ways = bits(word, 23, 16);
    cache->ways = ways == L1_FULLY_ASSOCIATIVE ? 0 : ways == 0 ? -1 : static_cast<int>(ways);
    cache->lineBytes = static_cast<int>(bits(word, 7, 0));
    cache->source = "cpuid 0x80000005";
    return true;
}

int legacyWays(uint32_t field, const char* level, std::vector<std::string>* notes) {
    if (field == LEGACY_WAYS_DEFERRED) {
        notes->push_back(std::string("CPUID leaf 0x80000006 leaves the ") + level +
                         "'s associativity to leaf 0x8000001d");
    }
    return LEGACY_WAYS[field];
}

}  // namespace

std::string cpuidVendor(const CpuidRegisters& leaf0) {
    const std::string text = wordText(leaf0.ebx) + wordText(leaf0.edx) + wordText(leaf0.ecx);
    return text.substr(0, text.find('\0'));
}

std::string cpuidBrand(const CpuidRegisters brand[3]) {
    std::string text;
    for (int i = 0; i < 3; ++i) {
        text += wordText(brand[i].eax) + wordText(brand[i].ebx) + wordText(brand[i].ecx) + wordText(brand[i].edx);
    }
    text = text.substr(0, text.find('\0'));
    const std::string::size_type first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

DisplayModel cpuidDisplayModel(uint32_t leaf1Eax) {
    const int baseFamily = static_cast<int>(bits(leaf1Eax, 11, 8));
    DisplayModel model;
    model.family = baseFamily == 15 ? baseFamily + static_cast<int>(bits(leaf1Eax, 27, 20)) : baseFamily;
    model.model = static_cast<int>(bits(leaf1Eax, 7, 4));
    if (baseFamily == 6 || baseFamily == 15) model.model += static_cast<int>(bits(leaf1Eax, 19, 16)) << 4;
    model.stepping = static_cast<int>(bits(leaf1Eax, 3, 0));
    return model;
}

int cpuidLogicalPerPackage(const CpuidRegisters& leaf1) {
    return (leaf1.edx & EDX_HTT) ? static_cast<int>(bits(leaf1.ebx, 23, 16)) : -1;
}

bool cacheFromDeterministicLeaf(const CpuidRegisters& leaf, const char* source, CacheDescription* cache) {
    const char* kind = kindOfType(bits(leaf.eax, 4, 0));
    if (kind == nullptr) return false;
    *cache = CacheDescription{};
    cache->level = static_cast<int>(bits(leaf.eax, 7, 5));
    cache->kind = kind;
    const int64_t ways = int64_t{bits(leaf.ebx, 31, 22)} + 1;
    const int64_t partitions = int64_t{bits(leaf.ebx, 21, 12)} + 1;
    const int64_t line = int64_t{bits(leaf.ebx, 11, 0)} + 1;
    const int64_t sets = int64_t{leaf.ecx} + 1;
    cache->sizeBytes = ways * partitions * line * sets;
    cache->lineBytes = static_cast<int>(line);
    cache->ways = (leaf.eax & (1u << 9)) ? 0 : static_cast<int>(ways);
    // The most logical processors that may share it: room for ids, which a
    // system may not fill.
    cache->sharedBy = static_cast<int>(bits(leaf.eax, 25, 14)) + 1;
    cache->source = source;
    return true;
}

std::vector<CacheDescription> cachesFromLegacyLeaves(const CpuidRegisters& leaf80000005,
                                                     const CpuidRegisters& leaf80000006,
                                                     std::vector<std::string>* notes) {
    std::vector<CacheDescription> caches;
    CacheDescription cache;
    if (legacyL1(leaf80000005.ecx, "data", &cache)) caches.push_back(cache);
    cache = CacheDescription{};
    if (legacyL1(leaf80000005.edx, "instruction", &cache)) caches.push_back(cache);
    const uint32_t l2 = leaf80000006.ecx, l3 = leaf80000006.edx;
    if (bits(l2, 31, 16) != 0 && bits(l2, 15, 12) != 0) {
        cache = CacheDescription{};
        cache.level = 2;
        cache.kind = "unified";
        cache.sizeBytes = int64_t{bits(l2, 31, 16)} * 1024;
        cache.ways = legacyWays(bits(l2, 15, 12), "L2", notes);
        cache.lineBytes = static_cast<int>(bits(l2, 7, 0));
        cache.source = "cpuid 0x80000006";
        caches.push_back(cache);
    }
    if (bits(l3, 31, 18) != 0 && bits(l3, 15, 12) != 0) {
        cache = CacheDescription{};
        cache.level = 3;
        cache.kind = "unified";
        cache.sizeBytes = int64_t{bits(l3, 31, 18)} * L3_UNIT_BYTES;
        cache.ways = legacyWays(bits(l3, 15, 12), "L3", notes);
        cache.lineBytes = static_cast<int>(bits(l3, 7, 0));
        cache.source = "cpuid 0x80000006";
        caches.push_back(cache);
    }
    return caches;
}
