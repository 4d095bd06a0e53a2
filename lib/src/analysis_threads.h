#pragma once
// One pool of threads for the whole analysis. The facade's parallel face tasks and
// OpenCV's own loops (every cv::parallel_for_, each network layer among them) run in one
// TBB arena, so that the two never hold more threads between them than the thread count
// asks for: OpenCV's loops are handed to that arena as its parallel back end, and
// cv::setNumThreads (the settings' numThreads) sizes it. Face tasks in the caller's arena
// beside OpenCV's own would be bounded by the machine, not by numThreads: at 2 a frame's work
// spreads over every core (bench/lib_real_threads_bench compares both set-ups).

#include <functional>

namespace lm::analysis_threads {

// Makes the arena OpenCV's parallel back end, keeping OpenCV's thread count. Called once at
// library load, before other threads run OpenCV (OpenCV's switch of back end is not
// thread-safe).
void install();

// Gives OpenCV its built-in back end back: at library unload, so that OpenCV never calls into
// an unloaded library, and in benchmarks that compare both set-ups in one run.
void uninstall();

// Runs the work inside the arena, the calling thread taking part; without the arena
// installed, on the calling thread as it is.
void run(const std::function<void()>& work);

}  // namespace lm::analysis_threads
