#include "util/filesystem.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace lm::fs {

namespace {

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) throw std::runtime_error("Error opening file : " + path);
    // A directory opens as a stream but has no size to read: report it as unreadable.
    if (!isRegularFile(path)) throw std::runtime_error("Error reading file : " + path);

    std::string content(static_cast<size_t>(getFileSize(path)), '\0');
    file.seekg(0);
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file || file.gcount() != static_cast<std::streamsize>(content.size()))
        throw std::runtime_error("Error reading file : " + path);
    return content;
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) throw std::runtime_error("Error opening file : " + path);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    file.close();
    if (file.fail()) throw std::runtime_error("Error writing file : " + path);
}

std::int64_t getFileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file.tellg();
    if (size < 0) throw std::runtime_error("Cannot get file size : " + path);
    return static_cast<std::int64_t>(size);
}

bool removeFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool renameFile(const std::string& source, const std::string& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

bool renameOrRemoveFile(const std::string& source, const std::string& target) {
    if (renameFile(source, target)) return true;
    removeFile(source);
    return false;
}

}  // namespace lm::fs
