#pragma once
// Whether the networks can run on OpenCV's OpenCL target in this test process. Some OpenCL
// drivers abort the whole process while OpenCV builds its dnn kernels (PoCL's pthread
// driver on some processors does) and some deadlock when several threads run networks at
// once (PoCL's basic driver does), so a test never finds out by trying: it asks the
// lumora-opencl-check tool of the same build tree, run once per test process as a child,
// and skips with the tool's answer.

#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include "support/build_tree.h"
#include "support/child_process.h"

namespace lmtest {

// Each member is empty where the OpenCL target runs the networks that way, else why not.
struct OpenClAnswer {
    std::optional<std::string> fromOneThread;
    std::optional<std::string> fromSeveralThreads;
};

namespace detail {

inline std::string lastLine(const std::string& text) {
    std::istringstream lines(text);
    std::string line, last;
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    return last;
}

// The tool's exit statuses: 0 works from several threads, 3 from one only, 1 not at all.
inline OpenClAnswer askOpenClCheck() {
    ChildProcess check({buildTreeTool("opencl-check", "lumora-opencl-check").string()});
    const std::optional<int> status = check.wait(std::chrono::minutes(5));
    if (!status) {
        const std::string late = "lumora-opencl-check did not answer within 5 minutes";
        return {late, late};
    }
    const std::string why = detail::lastLine(check.output());
    switch (*status) {
        case 0: return {};
        case 3: return {std::nullopt, why};
        case 1: return {why, why};
        default: {
            const std::string died =
                "the OpenCL driver ends the process that runs OpenCV's dnn kernels "
                "(lumora-opencl-check exit status " +
                std::to_string(*status) + ", last line: \"" + why + "\")";
            return {died, died};
        }
    }
}

}  // namespace detail

inline const OpenClAnswer& openClAnswer() {
    static const OpenClAnswer answer = detail::askOpenClCheck();
    return answer;
}

// Nothing when one thread can run the networks on the OpenCL target; otherwise why not, for
// GTEST_SKIP.
inline const std::optional<std::string>& openClTargetUnavailable() { return openClAnswer().fromOneThread; }

// The same for several threads at once, as the GPU_MT target runs the face networks.
inline const std::optional<std::string>& openClTargetUnavailableFromSeveralThreads() {
    return openClAnswer().fromSeveralThreads;
}

}  // namespace lmtest
