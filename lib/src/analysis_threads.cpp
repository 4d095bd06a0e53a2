#include "analysis_threads.h"

#include <memory>
#include <mutex>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <opencv2/core/parallel/parallel_backend.hpp>
#include <opencv2/core/utility.hpp>

namespace lm::analysis_threads {

namespace {

// OpenCV's parallel back end over one arena. cv::setNumThreads replaces the arena by one of
// the new width; a loop that already runs keeps the arena it started in until it ends, so a
// settings change on one thread never pulls an arena from under another.
class ArenaBackend final : public cv::parallel::ParallelForAPI {
public:
    void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override {
        const std::shared_ptr<tbb::task_arena> arena = current();
        // Isolated: a thread that waits for the rest of its loop takes only that loop's
        // chunks, never a whole face task, which would hold the loop up for that task's length.
        arena->execute([&] {
            tbb::this_task_arena::isolate([&] {
                tbb::parallel_for(tbb::blocked_range<int>(0, tasks), [&](const tbb::blocked_range<int>& range) {
                    body(range.begin(), range.end(), data);
                });
            });
        });
    }

    int getThreadNum() const override { return tbb::this_task_arena::current_thread_index(); }
    int getNumThreads() const override { return current()->max_concurrency(); }

    // OpenCV hands over its own reading of the count: one per core for a negative one, and 0
    // (its "no threads") or 1 for loops on the calling thread only, for which it never calls
    // parallel_for; the face tasks then share that one thread too.
    int setNumThreads(int threads) override {
        const std::lock_guard lock(mMutex);
        const int previous = mThreads;
        const int width = threads > 0 ? threads : (threads == 0 ? 1 : tbb::task_arena::automatic);
        if (width != mWidth) mArena = std::make_shared<tbb::task_arena>(width);
        mWidth = width;
        mThreads = threads;
        return previous;
    }

    const char* getName() const override { return "lumora-arena"; }

    // The count OpenCV last handed over.
    int threads() const {
        const std::lock_guard lock(mMutex);
        return mThreads;
    }

    std::shared_ptr<tbb::task_arena> current() const {
        const std::lock_guard lock(mMutex);
        return mArena;
    }

private:
    mutable std::mutex mMutex;
    int mWidth = tbb::task_arena::automatic;
    std::shared_ptr<tbb::task_arena> mArena = std::make_shared<tbb::task_arena>(mWidth);
    int mThreads = -1;
};

std::shared_ptr<ArenaBackend>& installed() {
    static std::shared_ptr<ArenaBackend> backend;
    return backend;
}

}  // namespace

void install() {
    if (installed()) return;
    installed() = std::make_shared<ArenaBackend>();
    cv::parallel::setParallelForBackend(installed(), true);
}

void uninstall() {
    if (!installed()) return;
    const int threads = installed()->threads();
    cv::parallel::setParallelForBackend(std::shared_ptr<cv::parallel::ParallelForAPI>(), false);
    installed().reset();
    cv::setNumThreads(threads);
}

void run(const std::function<void()>& work) {
    if (const std::shared_ptr<ArenaBackend> backend = installed()) {
        backend->current()->execute(work);
    } else {
        work();
    }
}

}  // namespace lm::analysis_threads
