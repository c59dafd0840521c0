#include "driver/progress.h"

#include <iostream>
#include <string>

#include "driver/report.h"
#include "platform/platform.h"

namespace {

uint64_t startMilliseconds = 0;
size_t shownLength = 0;

// A carriage return goes back to the start of the line; spaces cover what a
// longer line before left there.
void overwrite(const std::string& text) {
    std::string line = "\r" + text;
    if (text.size() < shownLength) line += std::string(shownLength - text.size(), ' ') + "\r" + text;
    shownLength = text.size();
    std::cerr << line << std::flush;
}

}  // namespace

void startProgress() {
    startMilliseconds = platformMonotonicMilliseconds();
    shownLength = 0;
}

void showProgress(const char* title, int64_t blockBytes) { showProgressRow(title, blockLabel(blockBytes)); }

void showProgressRow(const char* title, const std::string& row) {
    const uint64_t seconds = (platformMonotonicMilliseconds() - startMilliseconds) / 1000;
    overwrite("kestrune: " + std::string(title) + ", row " + row + ", " + std::to_string(seconds) + " s");
}

void endProgress() {
    if (shownLength == 0) return;
    overwrite("");
}
