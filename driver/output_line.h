#pragma once
#include <ostream>

// Ends a line: a newline, then a flush, so that the report and every message
// appear line by line, even when the process is stopped in the middle of a run.
inline void endLine(std::ostream& stream) { stream << '\n' << std::flush; }
