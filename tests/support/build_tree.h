#pragma once
// Programs of the build tree that a test runs: a test program lies in tests/ of its tree,
// each tool in tools/<folder>/ beside it.

#include <filesystem>
#include <string>

namespace lmtest {

inline std::filesystem::path buildTreeTool(const std::string& folder, const std::string& program) {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return self.parent_path().parent_path() / "tools" / folder / program;
}

}  // namespace lmtest
