#pragma once
// This process's memory for the memory benchmarks: what is resident, and what the C
// library's allocator has handed out and not had back (small blocks from its arenas and
// the large ones it maps one by one).

#include <malloc.h>
#include <fstream>
#include <string>

namespace lmtest {

// VmRSS in MiB.
inline double residentMiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024.0;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

inline double heapInUseMiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

}  // namespace lmtest
