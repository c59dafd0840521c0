#pragma once
// JSON as the data files write it: exact numbers, null for what is not a
// number, strings escaped so that any text reads back.
#include <string>
#include <vector>

// Seventeen significant digits bring every double back exactly.
std::string exactNumber(double value);

// JSON has no infinity or NaN: those are null.
std::string jsonNumber(double value);

std::string jsonString(const std::string& text);

// A JSON array of the values, each written by `write`.
template <typename Value, typename Write>
std::string jsonList(const std::vector<Value>& values, Write write) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i) list += (i ? ", " : "") + write(values[i]);
    return list + "]";
}

inline std::string jsonStrings(const std::vector<std::string>& texts) { return jsonList(texts, jsonString); }
inline std::string jsonNumbers(const std::vector<double>& values) { return jsonList(values, jsonNumber); }
