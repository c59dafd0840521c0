// Reads command lines, one per line of standard input, each starting with
// the program's name and its arguments split as a shell would split them, and
// hands each to the program's own option parser without running anything.
// Prints every line the parser refuses, with the parser's message, and exits
// 1 if there was one; 0 when all were accepted. The machine is the fake one,
// with processors enough for any --threads a page shows.
#include <iostream>
#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/output_line.h"
#include "tests/captured_output.h"
#include "tests/fakes/fake_machine.h"

namespace {

// The words of a command line: blanks separate them, single or double quotes
// hold blanks inside one, as the shell reads them.
bool shellWords(const std::string& line, std::vector<std::string>* words) {
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words->push_back(word);
    return quote == 0;
}

}  // namespace

int main() {
    int refused = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        std::vector<std::string> words;
        std::string problem;
        if (!shellWords(line, &words)) {
            problem = "unmatched quote";
        } else {
            resetFakes();
            fakeSystem.processMask = fakeSystem.systemMask = 0xffffffffu;
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(&word[0]);
            argv.push_back(nullptr);
            RunOptions options;
            OptionsOutcome outcome;
            std::string err;
            {
                CapturedOutput capture;  // --help and --version print; that is not a fault
                outcome = parseOptions(static_cast<int>(words.size()), argv.data(), &options);
                err = capture.err.str();
            }
            if (outcome == OptionsOutcome::USAGE_ERROR) problem = err.empty() ? "refused" : err;
        }
        if (!problem.empty()) {
            while (!problem.empty() && problem.back() == '\n') problem.pop_back();
            std::cout << "refused: " << line;
            endLine(std::cout);
            std::cout << "    " << problem;
            endLine(std::cout);
            ++refused;
        }
    }
    return refused == 0 ? 0 : 1;
}
