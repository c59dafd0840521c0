#include "driver/cell_records.h"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "driver/output_line.h"
#include "kernels/kernel_table.h"

namespace {

// Seventeen significant digits bring every double back exactly.
std::string exactNumber(double value) {
    std::ostringstream text;
    text << std::setprecision(17) << value;
    return text.str();
}

// JSON has no infinity or NaN.
std::string jsonNumber(double value) { return std::isfinite(value) ? exactNumber(value) : "null"; }

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char hex[] = "0123456789abcdef";
            quoted += "\\u00";
            quoted += hex[(c >> 4) & 0xF];
            quoted += hex[c & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A JSON array of the values, each written by `write`.
template <typename Value, typename Write>
std::string jsonList(const std::vector<Value>& values, Write write) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) list += (i ? ", " : "") + write(values[i]);
    return list + "]";
}

std::string jsonStrings(const std::vector<std::string>& texts) { return jsonList(texts, jsonString); }
std::string jsonNumbers(const std::vector<double>& values) { return jsonList(values, jsonNumber); }

bool isLatency(const CellRecord& cell) { return std::string(cell.direction) == LATENCY_DIRECTION; }

bool anyLatency(const std::vector<CellRecord>& cells) {
    for (const CellRecord& cell : cells) {
        if (isLatency(cell)) return true;
    }
    return false;
}

// The copy and fill cells carry the bytes the memory system moved beside the
// bytes copied or filled.
bool hasBusBytes(const CellRecord& cell) {
    const std::string direction = cell.direction;
    return direction == directionName(Direction::COPY) || direction == directionName(Direction::FILL);
}

bool anyBusBytes(const std::vector<CellRecord>& cells) {
    for (const CellRecord& cell : cells) {
        if (hasBusBytes(cell)) return true;
    }
    return false;
}

// A latency cell: its order stands as the column, its figures per load.
void writeJsonLatencyCell(std::ostream& out, bool perCycle, const CellRecord& cell) {
    out << "  {\"direction\": " << jsonString(cell.direction) << ", \"block_bytes\": " << cell.blockBytes
        << ", \"block\": " << jsonString(cell.block) << ", \"column\": " << jsonString(cell.instruction)
        << ", \"ns_per_load\": " << jsonNumber(cell.nsPerLoad) << ", \"value\": " << jsonString(cell.value)
        << ", \"unit\": " << jsonString(cell.unit) << ", \"threads\": " << cell.threads
        << ", \"samples_ns_per_load\": " << jsonNumbers(cell.samplesNsPerLoad);
    if (perCycle) {
        out << ", \"core_mhz\": " << jsonNumber(cell.coreMHz)
            << ", \"cycles_per_load\": " << jsonNumber(cell.cyclesPerLoad);
    }
}

void writeSamples(std::ostream& out, const std::vector<double>& samples) {
    for (size_t i = 0; i < samples.size(); ++i) out << (i ? ";" : "") << exactNumber(samples[i]);
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
    out << " \"cells\": [";
    endLine(out);
    for (size_t i = 0; i < cells.size(); ++i) {
        const CellRecord& cell = cells[i];
        if (isLatency(cell)) {
            writeJsonLatencyCell(out, run.perCycle, cell);
            out << "}" << (i + 1 < cells.size() ? "," : "");
            endLine(out);
            continue;
        }
        out << "  {\"direction\": " << jsonString(cell.direction) << ", \"alignment_bytes\": " << cell.alignmentBytes
            << ", \"block_bytes\": " << cell.blockBytes << ", \"block\": " << jsonString(cell.block)
            << ", \"instruction\": " << jsonString(cell.instruction)
            << ", \"bytes_per_second\": " << jsonNumber(cell.bytesPerSecond);
        if (hasBusBytes(cell)) out << ", \"bus_bytes_per_second\": " << jsonNumber(cell.busBytesPerSecond);
        out << ", \"value\": "
            << jsonString(cell.value) << ", \"unit\": " << jsonString(cell.unit) << ", \"threads\": " << cell.threads
            << ", \"samples_bytes_per_second\": " << jsonNumbers(cell.samplesBytesPerSecond);
        if (run.perCycle) {
            out << ", \"core_mhz\": " << jsonNumber(cell.coreMHz)
                << ", \"bytes_per_cycle\": " << jsonNumber(cell.bytesPerCycle);
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
    // The bus bytes of the copy and fill cells follow the throughput fields,
    // and the latency fields follow them, each only in a run that measured
    // such cells; each record leaves the fields it has not empty.
    const bool latency = anyLatency(cells);
    const bool busBytes = anyBusBytes(cells);
    out << "direction,alignment_bytes,block_bytes,block,instruction,bytes_per_second,value,unit,threads,"
           "samples_bytes_per_second";
    if (perCycle) out << ",core_mhz,bytes_per_cycle";
    if (busBytes) out << ",bus_bytes_per_second";
    if (latency) out << ",column,ns_per_load,samples_ns_per_load" << (perCycle ? ",cycles_per_load" : "");
    endLine(out);
    for (const CellRecord& cell : cells) {
        if (isLatency(cell)) {
            out << cell.direction << ",," << cell.blockBytes << ',' << cell.block << ",,," << cell.value << ','
                << cell.unit << ',' << cell.threads << ',';
            if (perCycle) out << ',' << exactNumber(cell.coreMHz) << ',';
            if (busBytes) out << ',';
            out << ',' << cell.instruction << ',' << exactNumber(cell.nsPerLoad) << ',';
            writeSamples(out, cell.samplesNsPerLoad);
            if (perCycle) out << ',' << exactNumber(cell.cyclesPerLoad);
            endLine(out);
            continue;
        }
        // Instruction labels hold parentheses but never commas or quotes; the
        // samples are one field, separated by semicolons.
        out << cell.direction << ',' << cell.alignmentBytes << ',' << cell.blockBytes << ',' << cell.block << ','
            << cell.instruction << ',' << exactNumber(cell.bytesPerSecond) << ',' << cell.value << ',' << cell.unit
            << ',' << cell.threads << ',';
        writeSamples(out, cell.samplesBytesPerSecond);
        if (perCycle) out << ',' << exactNumber(cell.coreMHz) << ',' << exactNumber(cell.bytesPerCycle);
        if (busBytes) out << ',' << (hasBusBytes(cell) ? exactNumber(cell.busBytesPerSecond) : "");
        if (latency) out << (perCycle ? ",,,," : ",,,");
        endLine(out);
    }
}
