#pragma once
// Redirects std::cout and std::cerr into strings for the life of the object;
// the streams' format state is left alone, as the program leaves it.
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

struct CapturedOutput {
    std::ostringstream out, err;
    std::streambuf* savedOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* savedErr = std::cerr.rdbuf(err.rdbuf());
    ~CapturedOutput() {
        std::cout.rdbuf(savedOut);
        std::cerr.rdbuf(savedErr);
    }
};

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

inline std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0, end;
    while ((end = line.find('\t', start)) != std::string::npos) {
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}
