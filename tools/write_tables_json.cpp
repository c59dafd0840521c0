// Writes the tables the program is built from as JSON for the report tool and
// the tests: the kernels (kernels/kernel_list.def), the loaded-latency
// table's loaders (kernels/loader_list.def), the extensions
// (isa/extension_list.def), the fields of the records
// (driver/record_fields.def), every column of every row, named by the table's
// own *_COLUMNS line; the directions and registers of kernels/kernel_table.h,
// the chase's loads per pass, the parallel-chains kernels of each target and
// where their chains start, and how far past its page a copy's destination
// starts. The C preprocessor reads the tables here as it
// does for the program, so no second grammar of them exists. The build runs
// this on the machine that builds, whatever the target.
//
// A cell is a string literal, true or false, a whole number (written in
// decimal) or a name (written as a string); anything else stops the build.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "isa/capability_mask.h"
#include "kernels/chase_chains.h"
#include "kernels/chase_loads.h"
#include "kernels/copy_and_fill.h"
#include "kernels/kernel_table.h"
#include "kernels/loader_kernels.h"

namespace {

struct Table {
    const char* name;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

[[noreturn]] void fail(const std::string& problem) {
    std::cerr << "write_tables_json: " << problem << "\n";
    std::exit(1);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The macro's arguments as the preprocessor spelled them, split at the commas
// that stand outside string literals.
std::vector<std::string> arguments(const std::string& text) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    for (std::string& cell : cells) cell = trimmed(cell);
    return cells;
}

bool isName(const std::string& cell) {
    if (cell.empty() || (cell[0] >= '0' && cell[0] <= '9')) return false;
    for (const char c : cell) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return true;
}

std::string jsonValue(const std::string& cell) {
    // A literal without escapes is the same string in JSON.
    if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"' && cell.find('\\') == std::string::npos) {
        return cell;
    }
    if (cell == "true" || cell == "false") return cell;
    if (!cell.empty() && cell[0] >= '0' && cell[0] <= '9') {
        size_t used = 0;
        const unsigned long long number = std::stoull(cell, &used, 0);
        if (used == cell.size()) return std::to_string(number);
    }
    if (isName(cell)) return "\"" + cell + "\"";
    fail("a cell JSON cannot carry: " + cell);
}

void writeTable(std::ostream& out, const Table& table) {
    if (table.columns.empty() || table.rows.empty()) fail(std::string("the ") + table.name + " table is empty");
    out << " \"" << table.name << "\": [\n";
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const std::vector<std::string>& row = table.rows[r];
        if (row.size() != table.columns.size()) {
            fail(std::string("a row of the ") + table.name + " table has " + std::to_string(row.size()) +
                 " cells for " + std::to_string(table.columns.size()) + " columns");
        }
        out << "  {";
        for (size_t c = 0; c < row.size(); ++c) {
            out << (c ? ", " : "") << "\"" << table.columns[c] << "\": " << jsonValue(row[c]);
        }
        out << "}" << (r + 1 < table.rows.size() ? "," : "") << "\n";
    }
    out << " ]";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) fail("usage: write_tables_json OUTPUT.json");
    Table kernels{"kernels", {}, {}};
    Table loaders{"loaders", {}, {}};
    Table extensions{"extensions", {}, {}};
    Table recordFields{"recordFields", {}, {}};
    Table directions{"directions", {"kind", "name", "busBytesPerByte"}, {}};
    Table registers{"registers", {"kind", "accessBytes"}, {}};
    std::vector<std::string> classic;

#define KERNEL_COLUMNS(...) kernels.columns = arguments(#__VA_ARGS__);
#define KERNEL_ROW(...) kernels.rows.push_back(arguments(#__VA_ARGS__));
#include "kernels/kernel_list.def"
#undef KERNEL_COLUMNS
#undef KERNEL_ROW

#define LOADER_COLUMNS(...) loaders.columns = arguments(#__VA_ARGS__);
#define LOADER_ROW(...) loaders.rows.push_back(arguments(#__VA_ARGS__));
#include "kernels/loader_list.def"
#undef LOADER_COLUMNS
#undef LOADER_ROW

#define EXTENSION_COLUMNS(...) extensions.columns = arguments(#__VA_ARGS__);
#define EXTENSION_ROW(...) extensions.rows.push_back(arguments(#__VA_ARGS__));
#include "isa/extension_list.def"
#undef EXTENSION_COLUMNS
#undef EXTENSION_ROW

#define RECORD_FIELD_COLUMNS(...) recordFields.columns = arguments(#__VA_ARGS__);
#define RECORD_FIELD(...) recordFields.rows.push_back(arguments(#__VA_ARGS__));
#include "driver/record_fields.def"
#undef RECORD_FIELD_COLUMNS
#undef RECORD_FIELD

#define DIRECTION_ROW(kind, name, busBytes) directions.rows.push_back(arguments(#kind "," #name "," #busBytes));
    DIRECTION_LIST(DIRECTION_ROW)
#undef DIRECTION_ROW
#define REGISTER_ROW(kind, bytes) registers.rows.push_back(arguments(#kind "," #bytes));
    REGISTER_LIST(REGISTER_ROW)
#undef REGISTER_ROW

    // The extensions a run without options measures.
#define EXTENSION_ROW(capability, name, ...) \
    if (capability & CAP_CLASSIC) classic.push_back(name);
#include "isa/extension_list.def"
#undef EXTENSION_ROW

    std::ofstream out(argv[1], std::ios::binary);
    out << "{\n";
    writeTable(out, kernels);
    out << ",\n";
    writeTable(out, extensions);
    out << ",\n";
    writeTable(out, loaders);
    out << ",\n";
    writeTable(out, recordFields);
    out << ",\n";
    writeTable(out, directions);
    out << ",\n";
    writeTable(out, registers);
    out << ",\n \"chaseLoadsPerPass\": " << CHASE_LOADS_PER_PASS;
    out << ",\n \"copyDestinationSkewBytes\": " << COPY_DESTINATION_SKEW_BYTES;
    // The parallel-chains kernels of each target, whichever this build is for.
#define CHAIN_COUNT(chains) << (chains == 1 ? "" : ", ") << chains
    out << ",\n \"parallelChains\": {\"x86_64\": [" PARALLEL_CHAINS_X86_64(CHAIN_COUNT) << "], \"i386\": ["
        PARALLEL_CHAINS_I386(CHAIN_COUNT) << "]}";
#undef CHAIN_COUNT
    out << ",\n \"chaseChainStartBytes\": " << CHASE_CHAIN_START_BYTES;
    out << ",\n \"classicExtensions\": [";
    for (size_t i = 0; i < classic.size(); ++i) out << (i ? ", " : "") << "\"" << classic[i] << "\"";
    out << "]\n}\n";
    out.close();
    if (!out) fail(std::string("cannot write ") + argv[1]);
    return 0;
}
