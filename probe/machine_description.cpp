#include "probe/machine_description.h"

#include <algorithm>
#include <set>
#include <string>

#include "probe/cpuid_leaves.h"

namespace {

constexpr uint32_t LEAF_8000001D = 0x8000001d;

bool isAmdLike(const std::string& vendor) { return vendor == "AuthenticAMD" || vendor == "HygonGenuine"; }

// A size as a person reads it: whole KiB, MiB or GiB where it divides, bytes
// otherwise.
std::string sizeText(int64_t bytes) {
    if (bytes < 0) return "unknown size";
    const struct {
        int shift;
        const char* unit;
    } units[] = {{30, " GiB"}, {20, " MiB"}, {10, " KiB"}};
    for (const auto& unit : units) {
        const int64_t scale = int64_t{1} << unit.shift;
        if (bytes >= scale && bytes % scale == 0) return std::to_string(bytes / scale) + unit.unit;
    }
    return std::to_string(bytes) + " B";
}

std::string figuresText(const CacheDescription& cache) {
    std::string text = sizeText(cache.sizeBytes);
    if (cache.ways == 0) text += ", fully associative";
    if (cache.ways > 0) text += ", " + std::to_string(cache.ways) + "-way";
    if (cache.lineBytes > 0) text += ", " + std::to_string(cache.lineBytes) + " B lines";
    return text;
}

std::string levelName(const CacheDescription& cache) { return "L" + std::to_string(cache.level); }

void addDoubt(CacheDescription* cache, const std::string& why) {
    cache->doubtful = true;
    cache->doubt += (cache->doubt.empty() ? "" : "; ") + why;
}

int kindOrder(const std::string& kind) { return kind == "data" ? 0 : kind == "instruction" ? 1 : 2; }

bool sameCache(const CacheDescription& cache, int level, const std::string& kind) {
    return cache.level == level && cache.kind == kind;
}

// The caches CPUID describes: the deterministic leaf of the vendor, else the
// older leaves, with a note on what was missing.
std::vector<CacheDescription> cpuidCaches(const CpuidReadings& cpuid, const std::string& vendor,
                                          std::vector<std::string>* notes) {
    const bool amd = isAmdLike(vendor);
    const std::vector<CpuidRegisters>& leaves = amd ? cpuid.leaf8000001d : cpuid.leaf4;
    const char* source = amd ? "cpuid 0x8000001d" : "cpuid 4";
    std::vector<CacheDescription> caches;
    for (const CpuidRegisters& leaf : leaves) {
        CacheDescription cache;
        if (cacheFromDeterministicLeaf(leaf, source, &cache)) caches.push_back(cache);
    }
    if (!caches.empty()) return caches;
    const bool hasLeaf = amd ? cpuid.maxExtendedLeaf >= LEAF_8000001D : cpuid.maxLeaf >= 4;
    notes->push_back(std::string("CPUID leaf ") + (amd ? "0x8000001d" : "4") +
                     (hasLeaf ? " is empty" : " is missing") + ": the caches come from leaves 0x80000005 and "
                     "0x80000006");
    caches = cachesFromLegacyLeaves(cpuid.leaf80000005, cpuid.leaf80000006, notes);
    if (caches.empty()) notes->push_back("CPUID describes no cache");
    return caches;
}

// What the system reports of one level and kind: the first instance's
// figures, and every instance for the processors' places.
struct SystemCache {
    CacheDescription figures;
    std::vector<const PlatformCache*> instances;
};

std::vector<SystemCache> systemCaches(const PlatformTopology& topology) {
    std::vector<SystemCache> caches;
    for (const PlatformCache& instance : topology.caches) {
        auto found = std::find_if(caches.begin(), caches.end(), [&](const SystemCache& cache) {
            return sameCache(cache.figures, instance.level, instance.kind);
        });
        if (found == caches.end()) {
            SystemCache cache;
            cache.figures.level = instance.level;
            cache.figures.kind = instance.kind;
            cache.figures.sizeBytes = instance.sizeBytes;
            cache.figures.lineBytes = instance.lineBytes;
            cache.figures.ways = instance.ways;
            cache.figures.sharedBy = instance.processors.empty() ? -1 : static_cast<int>(instance.processors.size());
            cache.figures.source = "os";
            caches.push_back(cache);
            found = caches.end() - 1;
        } else if (instance.sizeBytes != found->figures.sizeBytes) {
            addDoubt(&found->figures, "the system reports instances of " + sizeText(found->figures.sizeBytes) +
                                          " and of " + sizeText(instance.sizeBytes) + ": its processors differ");
        }
        found->instances.push_back(&instance);
    }
    return caches;
}

bool differ(int64_t a, int64_t b) { return a >= 0 && b >= 0 && a != b; }

// CPUID's word on a cache set against the system's: the system's figures
// where they differ, with both in the doubt.
CacheDescription checked(const CacheDescription& fromCpuid, const SystemCache& fromSystem) {
    const CacheDescription& system = fromSystem.figures;
    CacheDescription cache = fromCpuid;
    if (differ(fromCpuid.sizeBytes, system.sizeBytes) || differ(fromCpuid.lineBytes, system.lineBytes) ||
        differ(fromCpuid.ways, system.ways)) {
        cache = system;
        addDoubt(&cache, fromCpuid.source + " says " + figuresText(fromCpuid) + "; the system reports " +
                             figuresText(system));
        return cache;
    }
    cache.source = fromCpuid.source + " and os";
    cache.doubtful = system.doubtful;
    cache.doubt = system.doubt;
    if (system.sharedBy > 0) {
        // CPUID's count is room for ids, at least what shares it.
        if (fromCpuid.sharedBy > 0 && fromCpuid.sharedBy < system.sharedBy) {
            addDoubt(&cache, fromCpuid.source + " says at most " + std::to_string(fromCpuid.sharedBy) +
                                 " processors share it; the system reports " + std::to_string(system.sharedBy));
        }
        cache.sharedBy = system.sharedBy;
    }
    return cache;
}

// A cache far larger than the processors that may share it ever have.
void checkPlausible(CacheDescription* cache, int online) {
    // CPUID's count of sharers is room for ids, which a system may not fill.
    int sharers = cache->sharedBy > 0 ? cache->sharedBy : online;
    if (online > 0 && sharers > online) sharers = online;
    if (sharers <= 0 || cache->sizeBytes <= MAX_CACHE_BYTES_PER_PROCESSOR * sharers) return;
    addDoubt(cache, cache->source + " says " + sizeText(cache->sizeBytes) + " for at most " +
                        std::to_string(sharers) + " processors of this system (" +
                        sizeText(cache->sizeBytes / sharers) + " each), more than any processor has: "
                        "likely a host's cache, not this system's share");
}

int indexOfInstance(const SystemCache& cache, const ProcessorId& id) {
    for (size_t i = 0; i < cache.instances.size(); ++i) {
        const std::vector<ProcessorId>& members = cache.instances[i]->processors;
        if (std::find(members.begin(), members.end(), id) != members.end()) return static_cast<int>(i);
    }
    return -1;
}

void describeCaches(const CpuidReadings& cpuid, const PlatformTopology& topology, MachineDescription* machine) {
    const std::vector<CacheDescription> fromCpuid = cpuidCaches(cpuid, machine->vendor, &machine->notes);
    const std::vector<SystemCache> fromSystem = systemCaches(topology);
    for (const CacheDescription& cache : fromCpuid) {
        const auto system = std::find_if(fromSystem.begin(), fromSystem.end(), [&](const SystemCache& reported) {
            return sameCache(reported.figures, cache.level, cache.kind);
        });
        if (system != fromSystem.end()) {
            machine->caches.push_back(checked(cache, *system));
            continue;
        }
        machine->caches.push_back(cache);
        if (!fromSystem.empty()) {
            addDoubt(&machine->caches.back(), "the system reports no " + levelName(cache) + " " + cache.kind + " cache");
        }
    }
    for (const SystemCache& system : fromSystem) {
        const bool known = std::any_of(machine->caches.begin(), machine->caches.end(), [&](const CacheDescription& c) {
            return sameCache(c, system.figures.level, system.figures.kind);
        });
        if (!known) machine->caches.push_back(system.figures);
    }
    for (CacheDescription& cache : machine->caches) checkPlausible(&cache, machine->logicalOnline);
    std::stable_sort(machine->caches.begin(), machine->caches.end(),
                     [](const CacheDescription& a, const CacheDescription& b) {
                         return a.level != b.level ? a.level < b.level : kindOrder(a.kind) < kindOrder(b.kind);
                     });
    // Which instance of each cache every processor uses, where the system says.
    for (ProcessorPlace& place : machine->processors) {
        for (const CacheDescription& cache : machine->caches) {
            const auto system = std::find_if(fromSystem.begin(), fromSystem.end(), [&](const SystemCache& reported) {
                return sameCache(reported.figures, cache.level, cache.kind);
            });
            place.cacheInstances.push_back(system == fromSystem.end() ? -1 : indexOfInstance(*system, place.id));
        }
    }
}

int distinct(const std::vector<PlatformProcessorPlace>& places, int PlatformProcessorPlace::*field) {
    std::set<int> numbers;
    for (const PlatformProcessorPlace& place : places) {
        if (place.*field >= 0) numbers.insert(place.*field);
    }
    return numbers.empty() ? -1 : static_cast<int>(numbers.size());
}

void describeProcessors(const PlatformTopology& topology, const std::vector<ProcessorId>& usable,
                        MachineDescription* machine) {
    machine->logicalOnline = topology.online;
    machine->logicalUsable = usable.empty() ? -1 : static_cast<int>(usable.size());
    machine->cores = distinct(topology.processors, &PlatformProcessorPlace::core);
    machine->packages = distinct(topology.processors, &PlatformProcessorPlace::package);
    for (const ProcessorId& id : usable) {
        ProcessorPlace place;
        place.id = id;
        for (const PlatformProcessorPlace& known : topology.processors) {
            if (known.id == id) {
                place.core = known.core;
                place.package = known.package;
                place.node = known.node;
            }
        }
        machine->processors.push_back(place);
    }
    for (const PlatformNode& node : topology.nodes) machine->nodes.push_back({node.node, node.processors, node.memoryBytes});
}

// Leaf 1's count is room for processor ids in a package, which a virtual
// machine may set to anything.
void checkLeaf1Count(const CpuidReadings& cpuid, MachineDescription* machine) {
    const int claimed = cpuidLogicalPerPackage(cpuid.leaf1);
    if (claimed <= 0 || machine->logicalOnline <= 0) return;
    const int packages = machine->packages > 0 ? machine->packages : 1;
    const int perPackage = (machine->logicalOnline + packages - 1) / packages;
    if (claimed <= perPackage) return;
    machine->notes.push_back("CPUID leaf 1 claims " + std::to_string(claimed) +
                             " logical processors in a package where the system has " +
                             std::to_string(machine->logicalOnline) + " online in " + std::to_string(packages) +
                             (packages == 1 ? " package" : " packages") +
                             ": a count of processor ids, doubtful as a count of processors and not used");
}

const char* buildTarget() {
#if defined(_WIN32) && defined(__x86_64__)
    return "windows-x86_64";
#elif defined(_WIN32)
    return "windows-i686";
#elif defined(__x86_64__)
    return "linux-x86_64";
#else
    return "linux-i386";
#endif
}

#define KESTRUNE_TEXT(x) #x
#define KESTRUNE_NUMBER(x) KESTRUNE_TEXT(x)

// The compiler's name and version, and its own words where they say more
// (MinGW's GCC calls itself "12-posix").
std::string compilerName() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    const std::string version = KESTRUNE_NUMBER(__GNUC__) "." KESTRUNE_NUMBER(__GNUC_MINOR__) "." KESTRUNE_NUMBER(
        __GNUC_PATCHLEVEL__);
    return "GCC " + version + (version == __VERSION__ ? "" : " (" __VERSION__ ")");
#else
    return "unknown";
#endif
}

void append(std::vector<std::string>* notes, const std::vector<std::string>& more) {
    notes->insert(notes->end(), more.begin(), more.end());
}

}  // namespace

MachineDescription describeMachine() {
    MachineDescription machine;
    const CpuidReadings cpuid = readCpuid();
    machine.vendor = cpuidVendor(cpuid.leaf0);
    machine.brand = cpuidBrand(cpuid.brand);
    if (cpuid.maxLeaf >= 1) {
        const DisplayModel model = cpuidDisplayModel(cpuid.leaf1.eax);
        machine.family = model.family;
        machine.model = model.model;
        machine.stepping = model.stepping;
    }
    if (machine.brand.empty()) machine.notes.push_back("CPUID gives no brand string (leaves 0x80000002-4)");

    const PlatformTopology topology = platformTopology();
    append(&machine.notes, topology.notes);
    describeProcessors(topology, platformUsableProcessors(), &machine);
    checkLeaf1Count(cpuid, &machine);
    describeCaches(cpuid, topology, &machine);

    const PlatformMemory memory = platformMemory();
    machine.memoryBytes = memory.totalBytes;
    machine.pageBytes = memory.pageBytes;
    machine.hugePagesAvailable = memory.hugePagesAvailable;
    machine.hugePages = memory.hugePages;
    append(&machine.notes, memory.notes);

    const PlatformSystem system = platformSystem();
    machine.osName = system.osName;
    machine.osVersion = system.osVersion;
    machine.kernelRelease = system.kernelRelease;
    machine.hostName = system.hostName;
    append(&machine.notes, system.notes);

    machine.version = KESTRUNE_VERSION;
    machine.target = buildTarget();
    machine.compiler = compilerName();
    return machine;
}

namespace {
bool described = false;
MachineDescription kept;
}  // namespace

const MachineDescription& machineDescription() {
    if (!described) {
        kept = describeMachine();
        described = true;
    }
    return kept;
}

void forgetMachineDescription() { described = false; }

PairRelation pairRelation(const MachineDescription& machine, const ProcessorId& a, const ProcessorId& b) {
    PairRelation relation;
    const ProcessorPlace* first = nullptr;
    const ProcessorPlace* second = nullptr;
    for (const ProcessorPlace& place : machine.processors) {
        if (place.id == a) first = &place;
        if (place.id == b) second = &place;
    }
    if (first == nullptr || second == nullptr) return relation;
    relation.siblings = first->core >= 0 && first->core == second->core;
    relation.differentPackages = first->package >= 0 && second->package >= 0 && first->package != second->package;
    relation.differentNodes = first->node >= 0 && second->node >= 0 && first->node != second->node;
    for (size_t i = 0; i < machine.caches.size() && i < first->cacheInstances.size() &&
                       i < second->cacheInstances.size();
         ++i) {
        const int instance = first->cacheInstances[i];
        if (instance >= 0 && instance == second->cacheInstances[i]) {
            relation.sharedCacheLevel = machine.caches[i].level;
            break;
        }
    }
    return relation;
}
