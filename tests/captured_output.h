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

// Every piece between separators, the last one included even when empty.
inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0, end;
    while ((end = text.find(separator, start)) != std::string::npos) {
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// The lines of the text; a final newline ends the last line, it does not start one.
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines = split(text, '\n');
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

inline std::vector<std::string> splitFields(const std::string& line) { return split(line, '\t'); }
