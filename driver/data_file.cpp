#include "driver/data_file.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "driver/output_line.h"
#include "platform/platform.h"

namespace {

bool failed(const char* what, const char* path, int error) {
    std::cerr << "kestrune: cannot " << what << ' ' << path << ": " << std::strerror(error);
    endLine(std::cerr);
    return false;
}

}  // namespace

bool openDataFile(const char* path, DataFile* data) {
    *data = DataFile{};
    data->path = path;
    if (path == nullptr) return true;
    if (std::strcmp(path, "-") == 0) {
        data->toStdout = true;
        return true;
    }
    data->file =
        platformIsSpecialFile(path) ? std::fopen(path, "w") : platformCreateFileBeside(path, &data->besidePath);
    if (data->file != nullptr) return true;
    std::cerr << "kestrune: cannot create " << path;
    endLine(std::cerr);
    return false;
}

bool finishDataFile(DataFile* data, const std::string& content) {
    if (data->file == nullptr) return true;
    errno = 0;
    const bool written = std::fwrite(content.data(), 1, content.size(), data->file) == content.size() &&
                         std::fflush(data->file) == 0;
    int error = errno;
    // The close writes what is still buffered, and may fail on its own.
    const bool closed = std::fclose(data->file) == 0;
    if (written && !closed) error = errno;
    data->file = nullptr;
    const bool beside = !data->besidePath.empty();
    if (!written || !closed) {
        if (beside) std::remove(data->besidePath.c_str());
        return failed("write", data->path, error != 0 ? error : EIO);
    }
    if (beside && !platformReplaceFile(data->besidePath.c_str(), data->path)) {
        error = errno;
        std::remove(data->besidePath.c_str());
        return failed("write", data->path, error);
    }
    return true;
}

bool writeDataContent(DataFile* data, const std::string& content) {
    if (data->path == nullptr) return true;
    if (!data->toStdout) return finishDataFile(data, content);
    errno = 0;
    std::cout << content << std::flush;
    if (std::cout) return true;
    std::cerr << "kestrune: cannot write standard output: " << std::strerror(errno != 0 ? errno : EIO);
    endLine(std::cerr);
    return false;
}

void abandonDataFile(DataFile* data) {
    if (data->file == nullptr) return;
    std::fclose(data->file);
    data->file = nullptr;
    if (!data->besidePath.empty()) std::remove(data->besidePath.c_str());
}
