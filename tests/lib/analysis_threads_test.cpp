// The analysis's one thread pool: the face tasks and OpenCV's loops inside them never use
// more threads between them than the settings' numThreads, and the count can change while
// loops run elsewhere.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <tbb/parallel_invoke.h>
#include <opencv2/core/utility.hpp>

#include "analysis_threads.h"
#include "lumora/lm_lumora.h"
#include "support/stages.h"

namespace {

class ThreadCountGuard {
public:
    ThreadCountGuard() : mThreads(cv::getNumThreads()) {}
    ~ThreadCountGuard() { cv::setNumThreads(mThreads); }
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

private:
    int mThreads;
};

// The threads that ran any part of six tasks shaped like the face tasks: each runs OpenCV
// loops, slow enough that every thread the pool offers gets a share.
std::set<std::thread::id> threadsOfSixTasksWithLoops() {
    std::mutex mutex;
    std::set<std::thread::id> seen;
    const auto note = [&] {
        const std::lock_guard lock(mutex);
        seen.insert(std::this_thread::get_id());
    };
    const auto task = [&] {
        note();
        for (int loop = 0; loop < 3; ++loop) {
            cv::parallel_for_(cv::Range(0, 32), [&](const cv::Range& range) {
                for (int i = range.start; i < range.end; ++i) {
                    note();
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
            });
        }
    };
    lm::analysis_threads::run([&] { tbb::parallel_invoke(task, task, task, task, task, task); });
    return seen;
}

TEST(AnalysisThreads, FaceTasksAndOpenCvLoopsShareTheThreadCountOfTheSettings) {
    const ThreadCountGuard guard;
    lmtest::ModelDir models;
    struct Case {
        int numThreads;
        int openCvThreads;  // what cv::getNumThreads reports afterwards
    };
    const Case cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.numThreads);
        lm::Settings s = models.settings();
        s.numThreads = c.numThreads;
        lm::Lumora lumora(s);
        EXPECT_EQ(cv::getNumThreads(), c.openCvThreads);
        const auto threads = threadsOfSixTasksWithLoops();
        EXPECT_LE(threads.size(), static_cast<std::size_t>(c.openCvThreads));
        if (c.openCvThreads > 1) {
            EXPECT_GT(threads.size(), 1u);
        }
    }
}

TEST(AnalysisThreads, DefaultCountIsOneThreadPerCore) {
    const ThreadCountGuard guard;
    cv::setNumThreads(-1);
    EXPECT_EQ(cv::getNumThreads(), cv::getNumberOfCPUs());
    EXPECT_LE(threadsOfSixTasksWithLoops().size(), static_cast<std::size_t>(cv::getNumberOfCPUs()));
}

// At library unload (and in the benchmarks that compare both) OpenCV gets its own pool back,
// with the count the settings gave.
TEST(AnalysisThreads, OpenCvsOwnPoolTakesOverWithTheSameCount) {
    const ThreadCountGuard guard;
    cv::setNumThreads(3);
    lm::analysis_threads::uninstall();
    EXPECT_EQ(cv::getNumThreads(), 3);
    lm::analysis_threads::install();
    EXPECT_EQ(cv::getNumThreads(), 3);
    EXPECT_LE(threadsOfSixTasksWithLoops().size(), 3u);
}

// A settings change on one thread while another analyses: the loop that runs keeps its
// pool until it ends, and every index is still visited once.
TEST(AnalysisThreads, CountChangesWhileLoopsRunElsewhere) {
    const ThreadCountGuard guard;
    std::atomic<bool> done{false};
    std::atomic<long> visits{0};
    constexpr int LOOPS = 200;
    constexpr int INDICES = 64;
    std::thread analysis([&] {
        for (int loop = 0; loop < LOOPS; ++loop) {
            lm::analysis_threads::run([&] {
                cv::parallel_for_(cv::Range(0, INDICES),
                                  [&](const cv::Range& range) { visits += range.end - range.start; });
            });
        }
        done = true;
    });
    for (int change = 0; !done; ++change) {
        cv::setNumThreads(2 + change % 3);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    analysis.join();
    EXPECT_EQ(visits.load(), static_cast<long>(LOOPS) * INDICES);
}

}  // namespace
