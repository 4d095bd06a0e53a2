#pragma once
// Model directories for the program's tests, written at test time by the lumora-models tool
// of the same build tree (the program's tests link the shared library only, so they run the
// tool rather than the writer's code).

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "support/build_tree.h"
#include "support/temp_dir.h"

namespace lmtest {

// Runs the tool with `options` into `directory`; throws when it fails.
inline void writeModels(const std::string& directory, const std::string& options = "") {
    const std::string command = "'" + buildTreeTool("lumora-models", "lumora-models").string() + "' " + options + " '" +
                                directory + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("lumora-models failed: " + command);
}

// All test networks, written once per test process into a folder removed at exit.
inline const std::string& appTestNetworksDir() {
    static const TempDir dir;
    static const std::string path = [] {
        const std::string p = dir.file("networks");
        writeModels(p);
        return p;
    }();
    return path;
}

}  // namespace lmtest
