#pragma once
// Whether a process has an OpenCL driver loaded: the libraries the ICD loader opens, named
// in /etc/OpenCL/vendors (PoCL's, with LLVM, here). The ICD loader itself is a small stub
// that OpenCV links; a driver is what costs tens of MB resident and a thread pool.

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace lmtest {

inline std::vector<std::string> openClDrivers() {
    std::vector<std::string> drivers;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/OpenCL/vendors", error)) {
        std::ifstream icd(entry.path());
        std::string library;
        if (icd >> library) drivers.push_back(std::filesystem::path(library).filename().string());
    }
    return drivers;
}

// `process` is a process id or "self".
inline bool openClDriverMapped(const std::string& process = "self") {
    const std::vector<std::string> drivers = openClDrivers();
    std::ifstream maps("/proc/" + process + "/maps");
    std::string line;
    while (std::getline(maps, line))
        for (const std::string& driver : drivers)
            if (line.find(driver) != std::string::npos) return true;
    return false;
}

}  // namespace lmtest
