#pragma once
// A data file named by --json or --csv. A regular file is written beside its
// name and renamed over it only once whole, so that an earlier file survives
// a run that fails or is cut short before it can write; a device, a pipe or a
// terminal is written in place and never replaced.
#include <cstdio>
#include <string>

struct DataFile {
    const char* path = nullptr;  // as given; null when not asked for
    bool toStdout = false;       // "-"
    std::FILE* file = nullptr;   // the file written: the name itself, or one beside it
    std::string besidePath;      // the one beside it; empty when the name is written in place
};

// Creates what the file will be written to, before anything is measured.
// False after one line on standard error.
bool openDataFile(const char* path, DataFile* data);

// Writes the content, checks every write and the close, and puts the file in
// place. False after one line on standard error naming the file and the
// reason; the name given is then left as it was, and nothing is left beside it.
bool finishDataFile(DataFile* data, const std::string& content);

// Writes the content to standard output ("-") or as finishDataFile does;
// nothing when no file was asked for. False after one line on standard error.
bool writeDataContent(DataFile* data, const std::string& content);

// Closes and removes what was made for a run that writes nothing.
void abandonDataFile(DataFile* data);
