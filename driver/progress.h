#pragma once
// One line on standard error, rewritten in place, saying which table and row
// a run is measuring and for how long it has run: for a user whose terminal
// shows nothing else while standard output carries a data format.
#include <cstdint>
#include <string>

void startProgress();
void showProgress(const char* title, int64_t blockBytes);
// A row that is not a block size, by its label.
void showProgressRow(const char* title, const std::string& row);
// Clears the line, leaving the terminal as it found it.
void endProgress();
