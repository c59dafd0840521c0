#pragma once
// One line on standard error, rewritten in place, saying which table and row
// a run is measuring and for how long it has run: for a user whose terminal
// shows nothing else while standard output carries a data format.
#include <cstdint>
#include <string>

void startProgress();
void showProgress(const char* title, int64_t blockBytes);
// The same for a table whose steps are not block sizes: `step` says where it is.
void showProgressStep(const char* title, const std::string& step);
// Clears the line, leaving the terminal as it found it.
void endProgress();
