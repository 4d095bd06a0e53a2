// One tracker update against the number of tracks and detections (equal, up to 100 x 100):
// faces without appearance vectors, bodies with a full ring of 20 stored vectors per track.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "clock.h"
#include "lm_bodytracker.h"
#include "lm_facetracker.h"
#include "support/tracking.h"

namespace {

using namespace std::chrono_literals;

const cv::Mat& fullHdFrame() {
    static const cv::Mat frame(cv::Size(1920, 1080), CV_8UC1, cv::Scalar(0));
    return frame;
}

// n boxes on a grid, apart enough to be told from each other, jittered per frame.
std::vector<cv::Rect> gridBoxes(int n, int frame) {
    std::vector<cv::Rect> boxes;
    for (int i = 0; i < n; ++i) {
        const int jitter = (frame + i) % 3;
        boxes.emplace_back(20 + (i % 10) * 180 + jitter, 20 + (i / 10) * 100 + jitter, 60, 60);
    }
    return boxes;
}

void BM_FaceTrackerUpdate(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    lm::clock::FakeClock clock;
    lm::FaceTracker tracker;
    lm::ObjectTracker::Features none;
    int frame = 0;
    for (; frame < 25; ++frame) {
        clock.advance(40ms);
        auto detections = lmtest::detectionsAt(gridBoxes(n, frame));
        tracker.update(detections, fullHdFrame(), none, 0.0f);
    }
    for (auto _ : state) {
        state.PauseTiming();
        clock.advance(40ms);
        auto detections = lmtest::detectionsAt(gridBoxes(n, frame++));
        state.ResumeTiming();
        tracker.update(detections, fullHdFrame(), none, 0.0f);
        benchmark::DoNotOptimize(detections.data());
    }
    state.counters["tracks"] = static_cast<double>(tracker.getTrackedObjects().size());
}
BENCHMARK(BM_FaceTrackerUpdate)->Arg(1)->Arg(10)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_BodyTrackerUpdate(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    lm::clock::FakeClock clock;
    lm::BodyTracker tracker;
    std::mt19937 rng(7);
    std::normal_distribution<float> value(0.0f, 0.3f);
    std::vector<lm::AppearanceVector> looks(static_cast<std::size_t>(n));
    for (auto& look : looks)
        for (float& v : look) v = value(rng);
    const auto featuresFor = [&] { return lm::ObjectTracker::Features(looks); };

    int frame = 0;
    for (; frame < 25; ++frame) {  // fills every track's ring of 20 vectors
        clock.advance(40ms);
        auto detections = lmtest::detectionsAt(gridBoxes(n, frame));
        auto features = featuresFor();
        tracker.update(detections, fullHdFrame(), features, 35.616783f);
    }
    for (auto _ : state) {
        state.PauseTiming();
        clock.advance(40ms);
        auto detections = lmtest::detectionsAt(gridBoxes(n, frame++));
        auto features = featuresFor();
        state.ResumeTiming();
        tracker.update(detections, fullHdFrame(), features, 35.616783f);
        benchmark::DoNotOptimize(detections.data());
    }
    state.counters["tracks"] = static_cast<double>(tracker.getTrackedObjects().size());
}
BENCHMARK(BM_BodyTrackerUpdate)->Arg(1)->Arg(10)->Arg(25)->Arg(50)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
