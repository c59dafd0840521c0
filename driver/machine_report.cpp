#include "driver/machine_report.h"

#include <algorithm>
#include <iostream>
#include <map>

#include "driver/json_text.h"
#include "driver/output_line.h"

namespace {

void line(const std::string& key, const std::string& value) {
    std::cout << key << ": " << value;
    endLine(std::cout);
}

std::string orUnknown(const std::string& text) { return text.empty() ? "unknown" : text; }

std::string count(int value) { return value < 0 ? "unknown" : std::to_string(value); }

std::string plural(int value, const char* one, const char* many) {
    return count(value) + " " + (value == 1 ? one : many);
}

// Whole KiB, MiB or GiB where the size divides, bytes otherwise.
std::string cacheSize(int64_t bytes) {
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

// Memory to a tenth of a GiB, with the bytes.
std::string memorySize(int64_t bytes) {
    if (bytes < 0) return "unknown";
    const int64_t tenths = (bytes * 10 + (int64_t{1} << 29)) >> 30;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GiB (" + std::to_string(bytes) +
           " bytes)";
}

// Processors as ranges, "0-3,8"; with the group before each number where
// there is more than one group, "0:0-63,1:0-63".
std::string processorList(const std::vector<ProcessorId>& processors) {
    const bool groups = std::any_of(processors.begin(), processors.end(),
                                    [](const ProcessorId& id) { return id.group != 0; });
    std::string text;
    for (size_t i = 0; i < processors.size();) {
        size_t last = i;
        while (last + 1 < processors.size() && processors[last + 1].group == processors[i].group &&
               processors[last + 1].number == processors[last].number + 1) {
            ++last;
        }
        const std::string prefix = groups ? std::to_string(processors[i].group) + ":" : "";
        text += (text.empty() ? "" : ",") + prefix + std::to_string(processors[i].number);
        if (last > i) text += "-" + std::to_string(processors[last].number);
        i = last + 1;
    }
    return text.empty() ? "none" : text;
}

// The usable processors grouped by core, in the order of their first member.
std::vector<std::vector<ProcessorId>> coreGroups(const MachineDescription& machine) {
    std::vector<std::vector<ProcessorId>> groups;
    std::map<int, size_t> indexOfCore;
    for (const ProcessorPlace& place : machine.processors) {
        if (place.core < 0) continue;
        const auto found = indexOfCore.find(place.core);
        if (found == indexOfCore.end()) {
            indexOfCore[place.core] = groups.size();
            groups.push_back({place.id});
        } else {
            groups[found->second].push_back(place.id);
        }
    }
    return groups;
}

std::string threadsPerCore(const MachineDescription& machine) {
    const std::vector<std::vector<ProcessorId>> groups = coreGroups(machine);
    if (groups.empty()) return "threads per core unknown";
    size_t fewest = groups.front().size(), most = fewest;
    for (const auto& group : groups) {
        fewest = std::min(fewest, group.size());
        most = std::max(most, group.size());
    }
    const std::string range = fewest == most ? std::to_string(most) : std::to_string(fewest) + " to " +
                                                                          std::to_string(most);
    return range + (most == 1 ? " thread per core" : " threads per core");
}

std::string cacheLine(const CacheDescription& cache) {
    std::string text = cacheSize(cache.sizeBytes) + " " + cache.kind;
    if (cache.ways == 0) text += ", fully associative";
    if (cache.ways > 0) text += ", " + std::to_string(cache.ways) + "-way";
    if (cache.lineBytes > 0) text += ", " + std::to_string(cache.lineBytes) + " B lines";
    if (cache.sharedBy > 0) text += ", shared by " + std::to_string(cache.sharedBy);
    text += " (" + cache.source + ")";
    if (cache.doubtful) text += "; doubtful: " + cache.doubt;
    return text;
}

std::string jsonCount(int64_t value) { return value < 0 ? "null" : std::to_string(value); }

std::string jsonId(const ProcessorId& id) {
    return "{\"group\": " + std::to_string(id.group) + ", \"number\": " + std::to_string(id.number) + "}";
}

std::string jsonIds(const std::vector<ProcessorId>& ids) { return jsonList(ids, jsonId); }

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string jsonPlace(const ProcessorPlace& place) {
    return "{\"group\": " + std::to_string(place.id.group) + ", \"number\": " + std::to_string(place.id.number) +
           ", \"core\": " + jsonCount(place.core) + ", \"package\": " + jsonCount(place.package) +
           ", \"node\": " + jsonCount(place.node) + ", \"cache_instances\": " +
           jsonList(place.cacheInstances, [](int instance) { return jsonCount(instance); }) + "}";
}

std::string jsonCache(const CacheDescription& cache) {
    return "{\"level\": " + std::to_string(cache.level) + ", \"type\": " + jsonString(cache.kind) +
           ", \"size\": " + jsonCount(cache.sizeBytes) + ", \"line_size\": " + jsonCount(cache.lineBytes) +
           ", \"ways\": " + jsonCount(cache.ways) + ", \"num_sharing\": " + jsonCount(cache.sharedBy) +
           ", \"source\": " + jsonString(cache.source) + ", \"doubtful\": " + jsonBool(cache.doubtful) +
           ", \"doubt\": " + (cache.doubtful ? jsonString(cache.doubt) : std::string("null")) + "}";
}

std::string jsonNode(const NodeDescription& node) {
    return "{\"node\": " + std::to_string(node.node) + ", \"processors\": " + jsonIds(node.processors) +
           ", \"memory_bytes\": " + jsonCount(node.memoryBytes) + "}";
}

// Days since 1970-01-01 to a proleptic Gregorian date.
void civilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

std::string twoDigits(int64_t value) { return (value < 10 ? "0" : "") + std::to_string(value); }

}  // namespace

std::string cacheKey(const CacheDescription& cache) {
    const std::string level = "L" + std::to_string(cache.level);
    if (cache.kind == "data") return level + "d";
    if (cache.kind == "instruction") return level + "i";
    return level;
}

void printMachineDescription(const MachineDescription& machine) {
    line("processor", orUnknown(machine.brand));
    line("vendor", orUnknown(machine.vendor) + ", family " + count(machine.family) + ", model " +
                       count(machine.model) + ", stepping " + count(machine.stepping));
    line("processors", count(machine.logicalOnline) + " online, " + count(machine.logicalUsable) + " usable");
    line("cores", count(machine.cores) + " in " + plural(machine.packages, "package", "packages") +
                      ", " + threadsPerCore(machine));
    if (machine.nodes.empty()) line("nodes", "unknown");
    for (const NodeDescription& node : machine.nodes) {
        line("node " + std::to_string(node.node),
             "processors " + processorList(node.processors) + ", memory " + memorySize(node.memoryBytes));
    }
    if (machine.caches.empty()) line("caches", "unknown");
    for (const CacheDescription& cache : machine.caches) line(cacheKey(cache), cacheLine(cache));
    line("memory", memorySize(machine.memoryBytes) + ", " +
                       (machine.pageBytes < 0 ? "unknown" : cacheSize(machine.pageBytes)) + " pages");
    line("huge pages", std::string(machine.hugePagesAvailable ? "2 MiB pages can be had" : "no 2 MiB pages") +
                           " (" + machine.hugePages + ")");
    line("os", orUnknown(machine.osName) + ", version " + orUnknown(machine.osVersion));
    line("kernel", orUnknown(machine.kernelRelease));
    line("host", orUnknown(machine.hostName));
    line("kestrune", machine.version + ", " + machine.target + ", " + machine.compiler);
    for (const std::string& note : machine.notes) line("note", note);
}

std::string machineJson(const MachineDescription& machine) {
    std::vector<std::vector<ProcessorId>> siblings;
    for (const auto& group : coreGroups(machine)) {
        if (group.size() >= 2) siblings.push_back(group);
    }
    const std::string indent = "\n  ";
    return "{" + indent + "\"processor\": {\"vendor\": " + jsonString(machine.vendor) +
           ", \"brand\": " + jsonString(machine.brand) + ", \"family\": " + jsonCount(machine.family) +
           ", \"model\": " + jsonCount(machine.model) + ", \"stepping\": " + jsonCount(machine.stepping) + "}," +
           indent + "\"processors\": {\"online\": " + jsonCount(machine.logicalOnline) +
           ", \"usable\": " + jsonCount(machine.logicalUsable) + ", \"cores\": " + jsonCount(machine.cores) +
           ", \"packages\": " + jsonCount(machine.packages) + ", \"smt_siblings\": " + jsonList(siblings, jsonIds) +
           "," + indent + "  \"places\": " + jsonList(machine.processors, jsonPlace) + "}," +
           indent + "\"nodes\": " + jsonList(machine.nodes, jsonNode) + "," +
           indent + "\"caches\": " + jsonList(machine.caches, jsonCache) + "," +
           indent + "\"memory\": {\"total_bytes\": " + jsonCount(machine.memoryBytes) +
           ", \"page_bytes\": " + jsonCount(machine.pageBytes) +
           ", \"huge_pages_available\": " + jsonBool(machine.hugePagesAvailable) +
           ", \"huge_pages\": " + jsonString(machine.hugePages) + "}," +
           indent + "\"system\": {\"os_name\": " + jsonString(machine.osName) +
           ", \"os_version\": " + jsonString(machine.osVersion) +
           ", \"kernel_release\": " + jsonString(machine.kernelRelease) +
           ", \"host_name\": " + jsonString(machine.hostName) + "}," +
           indent + "\"kestrune\": {\"version\": " + jsonString(machine.version) +
           ", \"target\": " + jsonString(machine.target) + ", \"compiler\": " + jsonString(machine.compiler) + "}," +
           indent + "\"notes\": " + jsonStrings(machine.notes) + "\n }";
}

std::string runJson(const RunFacts& run) {
    return "{\"date\": " + jsonString(isoDate(run.startSeconds)) + ", \"host_name\": " + jsonString(run.hostName) +
           ", \"command_line\": " + jsonStrings(run.commandLine) +
           ", \"duration_seconds\": " + jsonNumber(run.durationSeconds) +
           ", \"complete\": " + jsonBool(run.complete) + "}";
}

std::string isoDate(int64_t secondsSinceEpoch) {
    const int64_t secondsPerDay = 86400;
    int64_t days = secondsSinceEpoch / secondsPerDay;
    int64_t seconds = secondsSinceEpoch % secondsPerDay;
    if (seconds < 0) {
        seconds += secondsPerDay;
        --days;
    }
    int64_t year = 0;
    int month = 0, day = 0;
    civilFromDays(days, &year, &month, &day);
    return std::to_string(year) + "-" + twoDigits(month) + "-" + twoDigits(day) + "T" + twoDigits(seconds / 3600) +
           ":" + twoDigits(seconds / 60 % 60) + ":" + twoDigits(seconds % 60) + "Z";
}
