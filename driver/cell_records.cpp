#include "driver/cell_records.h"

#include "driver/json_text.h"
#include "driver/output_line.h"
#include "kernels/kernel_table.h"

namespace {

bool isLatency(const CellRecord& cell) { return std::string(cell.direction) == LATENCY_DIRECTION; }
bool isCoreToCore(const CellRecord& cell) { return std::string(cell.direction) == CORE_TO_CORE_DIRECTION; }
bool isChains(const CellRecord& cell) { return std::string(cell.direction) == PARALLEL_CHAINS_DIRECTION; }

bool isLoaded(const CellRecord& cell) { return std::string(cell.direction) == LOADED_LATENCY_RECORD_DIRECTION; }

// The read, write, copy and fill cells: the directions of the kernel table.
bool isThroughput(const CellRecord& cell) {
    const std::string direction = cell.direction;
#define THROUGHPUT_DIRECTION(kind, name, busBytes) \
    if (direction == name) return true;
    DIRECTION_LIST(THROUGHPUT_DIRECTION)
#undef THROUGHPUT_DIRECTION
    return false;
}

bool anyOf(const std::vector<CellRecord>& cells, bool (*kind)(const CellRecord&)) {
    for (const CellRecord& cell : cells) {
        if (kind(cell)) return true;
    }
    return false;
}

// The copy and fill cells carry the bytes the memory system moved beside the
// bytes copied or filled.
bool hasBusBytes(const CellRecord& cell) {
    const std::string direction = cell.direction;
    return direction == directionName(Direction::COPY) || direction == directionName(Direction::FILL);
}

// The fields, in order, from the one list of them.
enum class RecordField {
#define RECORD_FIELD(name, ...) name,
#include "driver/record_fields.def"
#undef RECORD_FIELD
};
enum class RecordCells { ALL, BLOCKS, THROUGHPUT, LATENCY, COPY_FILL, CHAINS, CHASE, LOADED, CORE_TO_CORE };
struct RecordFieldRow {
    RecordField field;
    const char* name;
    RecordCells cells;
    bool perCycle;
};
constexpr RecordFieldRow RECORD_FIELDS[] = {
#define RECORD_FIELD(name, cells, perCycle, fromText) {RecordField::name, #name, RecordCells::cells, perCycle},
#include "driver/record_fields.def"
#undef RECORD_FIELD
};

// What kinds of cell a run measured, which decides the fields its records have.
struct RunCells {
    bool perCycle;
    bool latency;
    bool busBytes;
    bool chains;
    bool loaded;
    bool coreToCore;
};

RunCells runCellsOf(bool perCycle, const std::vector<CellRecord>& cells) {
    return {perCycle, anyOf(cells, isLatency), anyOf(cells, hasBusBytes), anyOf(cells, isChains),
            anyOf(cells, isLoaded), anyOf(cells, isCoreToCore)};
}

// Whether the run's records have the field at all: the per-cycle ones only
// with --per-cycle, the latency ones only when latency was measured, the copy
// and fill ones only when copies and fills were, and so on.
bool inRun(const RecordFieldRow& row, const RunCells& run) {
    if (row.perCycle && !run.perCycle) return false;
    switch (row.cells) {
        case RecordCells::ALL:
        case RecordCells::BLOCKS:
        case RecordCells::THROUGHPUT: return true;
        case RecordCells::LATENCY: return run.latency;
        case RecordCells::COPY_FILL: return run.busBytes;
        case RecordCells::CHAINS: return run.chains;
        case RecordCells::CHASE: return run.latency || run.chains || run.loaded;
        case RecordCells::LOADED: return run.loaded;
        case RecordCells::CORE_TO_CORE: return run.coreToCore;
    }
    return false;
}

// Whether this cell's record holds the field: the other kinds of cell leave it
// out of JSON and empty in CSV.
bool inCell(const RecordFieldRow& row, const CellRecord& cell) {
    switch (row.cells) {
        case RecordCells::ALL: return true;
        case RecordCells::BLOCKS: return !isCoreToCore(cell);
        case RecordCells::THROUGHPUT: return isThroughput(cell);
        case RecordCells::LATENCY: return isLatency(cell);
        case RecordCells::COPY_FILL: return hasBusBytes(cell);
        case RecordCells::CHAINS: return isChains(cell);
        case RecordCells::CHASE: return isLatency(cell) || isChains(cell) || isLoaded(cell);
        case RecordCells::LOADED: return isLoaded(cell);
        case RecordCells::CORE_TO_CORE: return isCoreToCore(cell);
    }
    return false;
}

// One field's value, which JSON and CSV each write in their own way.
struct FieldValue {
    enum class Kind { TEXT, COUNT, NUMBER, NUMBERS, FLAG, ABSENT } kind;  // ABSENT: left out of JSON, empty in CSV
    std::string text;
    int64_t count;
    double number;
    const std::vector<double>* numbers;
};

FieldValue text(const std::string& value) { return {FieldValue::Kind::TEXT, value, 0, 0, nullptr}; }
FieldValue count(int64_t value) { return {FieldValue::Kind::COUNT, "", value, 0, nullptr}; }
FieldValue number(double value) { return {FieldValue::Kind::NUMBER, "", 0, value, nullptr}; }
FieldValue numbers(const std::vector<double>& values) { return {FieldValue::Kind::NUMBERS, "", 0, 0, &values}; }
FieldValue flag(bool value) { return {FieldValue::Kind::FLAG, "", value ? 1 : 0, 0, nullptr}; }
FieldValue absent() { return {FieldValue::Kind::ABSENT, "", 0, 0, nullptr}; }

// A latency cell's order stands as its column, where a throughput cell's
// instruction does.
FieldValue valueOf(const CellRecord& cell, RecordField field) {
    switch (field) {
        case RecordField::direction: return text(cell.direction);
        case RecordField::alignment_bytes: return count(cell.alignmentBytes);
        case RecordField::block_bytes: return count(cell.blockBytes);
        case RecordField::block: return text(cell.block);
        case RecordField::instruction: return text(cell.instruction);
        case RecordField::bytes_per_second: return number(cell.bytesPerSecond);
        case RecordField::bus_bytes_per_second: return number(cell.busBytesPerSecond);
        case RecordField::value: return text(cell.value);
        case RecordField::unit: return text(cell.unit);
        case RecordField::threads: return count(cell.threads);
        case RecordField::samples_bytes_per_second: return numbers(cell.samplesBytesPerSecond);
        case RecordField::core_mhz: return number(cell.coreMHz);
        case RecordField::bytes_per_cycle: return number(cell.bytesPerCycle);
        case RecordField::column: return text(cell.instruction);
        case RecordField::ns_per_load: return number(cell.nsPerLoad);
        case RecordField::samples_ns_per_load: return numbers(cell.samplesNsPerLoad);
        case RecordField::cycles_per_load: return number(cell.cyclesPerLoad);
        case RecordField::chains: return count(cell.chains);
        case RecordField::from_processor: return text(cell.fromProcessor);
        case RecordField::to_processor: return text(cell.toProcessor);
        case RecordField::timed_by: return text(cell.timedBy);
        case RecordField::siblings: return flag(cell.siblings);
        case RecordField::shared_cache_level: return count(cell.sharedCacheLevel);
        case RecordField::different_packages: return flag(cell.differentPackages);
        case RecordField::different_nodes: return flag(cell.differentNodes);
        case RecordField::ns_one_way: return number(cell.nsOneWay);
        case RecordField::cycles_one_way: return number(cell.cyclesOneWay);
        case RecordField::delay_cycles: return cell.delayCycles < 0 ? absent() : count(cell.delayCycles);
        case RecordField::load: return text(cell.load ? cell.load : "");
        case RecordField::bandwidth_bytes_per_second: return number(cell.bandwidthBytesPerSecond);
    }
    return text("");
}

std::string jsonOf(const FieldValue& value) {
    switch (value.kind) {
        case FieldValue::Kind::TEXT: return jsonString(value.text);
        case FieldValue::Kind::COUNT: return std::to_string(value.count);
        case FieldValue::Kind::NUMBER: return jsonNumber(value.number);
        case FieldValue::Kind::NUMBERS: return jsonNumbers(*value.numbers);
        case FieldValue::Kind::FLAG: return value.count ? "true" : "false";
        case FieldValue::Kind::ABSENT: break;
    }
    return "null";
}

// Instruction labels hold parentheses but never commas or quotes; the samples
// are one field, separated by semicolons.
std::string csvOf(const FieldValue& value) {
    switch (value.kind) {
        case FieldValue::Kind::TEXT: return value.text;
        case FieldValue::Kind::COUNT: return std::to_string(value.count);
        case FieldValue::Kind::NUMBER: return exactNumber(value.number);
        case FieldValue::Kind::NUMBERS: {
            std::string joined;
            for (size_t i = 0; i < value.numbers->size(); ++i) {
                joined += (i ? ";" : "") + exactNumber((*value.numbers)[i]);
            }
            return joined;
        }
        case FieldValue::Kind::FLAG: return value.count ? "true" : "false";
        case FieldValue::Kind::ABSENT: break;
    }
    return "";
}

}  // namespace

void writeJsonRecords(std::ostream& out, const RunDescription& run, const std::vector<CellRecord>& cells) {
    out << "{";
    endLine(out);
    out << " \"complete\": " << (run.complete ? "true" : "false") << ",";
    endLine(out);
    out << " \"report\": {\"version\": " << jsonString(run.banner) << ", \"os\": " << jsonString(run.os)
        << ", \"simd\": " << jsonStrings(run.simd) << ", \"sse_supported_by_os\": "
        << (run.sseSupportedByOs < 0 ? "null" : run.sseSupportedByOs ? "true" : "false")
        << ", \"avx_supported_by_os\": "
        << (run.avxSupportedByOs.empty() ? std::string("null") : jsonString(run.avxSupportedByOs))
        << ", \"cpu_clock_mhz\": " << jsonNumber(run.cpuClockMHz) << ", \"threads\": " << run.threads
        << ", \"repeat\": " << run.repeat << ", \"per_cycle\": " << (run.perCycle ? "true" : "false")
        << ", \"lines\": " << jsonStrings(run.lines) << "},";
    endLine(out);
    if (!run.machineJson.empty()) {
        out << " \"machine\": " << run.machineJson << ",";
        endLine(out);
    }
    if (!run.runJson.empty()) {
        out << " \"run\": " << run.runJson << ",";
        endLine(out);
    }
    out << " \"cells\": [";
    endLine(out);
    const RunCells runCells = runCellsOf(run.perCycle, cells);
    for (size_t i = 0; i < cells.size(); ++i) {
        const CellRecord& cell = cells[i];
        out << "  {";
        const char* separator = "";
        for (const RecordFieldRow& row : RECORD_FIELDS) {
            if (!inRun(row, runCells) || !inCell(row, cell)) continue;
            const FieldValue value = valueOf(cell, row.field);
            if (value.kind == FieldValue::Kind::ABSENT) continue;
            out << separator << jsonString(row.name) << ": " << jsonOf(value);
            separator = ", ";
        }
        out << "}" << (i + 1 < cells.size() ? "," : "");
        endLine(out);
    }
    out << " ]";
    endLine(out);
    out << "}";
    endLine(out);
}

void writeCsvRecords(std::ostream& out, bool perCycle, const std::vector<CellRecord>& cells) {
    // Each record leaves the fields of the other kinds of cell empty.
    const RunCells runCells = runCellsOf(perCycle, cells);
    const char* separator = "";
    for (const RecordFieldRow& row : RECORD_FIELDS) {
        if (!inRun(row, runCells)) continue;
        out << separator << row.name;
        separator = ",";
    }
    endLine(out);
    for (const CellRecord& cell : cells) {
        separator = "";
        for (const RecordFieldRow& row : RECORD_FIELDS) {
            if (!inRun(row, runCells)) continue;
            out << separator << (inCell(row, cell) ? csvOf(valueOf(cell, row.field)) : "");
            separator = ",";
        }
        endLine(out);
    }
}
