// Time of each network stage on the generated test networks: per face for the five
// estimators, per frame for the two detectors, per body for the encoder. The networks are
// tiny, so this measures the stages' own cost (crop, blob, pass set-up, decoding) rather
// than a real model's.

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "lm_age_gender.h"
#include "lm_bodydetector.h"
#include "lm_bodyencoder.h"
#include "lm_emotions.h"
#include "lm_facedetector.h"
#include "lm_facemask.h"
#include "lm_headpose.h"
#include "lm_smile.h"
#include "support/generated_networks.h"

namespace {

lm::Settings benchSettings() {
    lm::Settings s;
    s.neuralNetworksPath = lmtest::testNetworksDir();
    s.faceConfidenceThreshold = 0.5f;
    return s;
}

cv::Mat benchFrame() {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
    return frame;
}

std::vector<lm::Person> facesInARow(int count) {
    std::vector<lm::Person> people;
    for (int i = 0; i < count; ++i) {
        lm::Person p;
        p.boundingBox = cv::Rect(20 + (i % 8) * 75, 40 + (i / 8) * 110, 60, 80);
        p.distanceFromCamera = 150;
        people.push_back(p);
    }
    return people;
}

// Seconds per item, shown beside the time per iteration.
void perItem(benchmark::State& state, const char* name, std::int64_t items) {
    state.counters[name] = benchmark::Counter(
        static_cast<double>(items), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <typename Estimator>
void estimateFaces(benchmark::State& state) {
    Estimator stage;
    stage.onSettingsUpdate(benchSettings());
    const cv::Mat frame = benchFrame();
    const auto faces = static_cast<int>(state.range(0));
    std::vector<lm::Person> people = facesInARow(faces);
    stage.estimate(frame, people);  // the first pass allocates; measure the ones after it
    for (auto _ : state) {
        stage.estimate(frame, people);
        benchmark::DoNotOptimize(people.data());
    }
    perItem(state, "per_face", faces);
}

// A frame with one bright square on each of a detector's first slots.
cv::Mat frameWithSquares(const std::vector<cv::Rect>& squares) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(0));
    for (const cv::Rect& r : squares) frame(r).setTo(cv::Scalar::all(230));
    return frame;
}

void detectFaces(benchmark::State& state) {
    lm::FaceDetector detector;
    detector.onSettingsUpdate(benchSettings());
    const cv::Mat frame = frameWithSquares({{80, 0, 120, 120}, {220, 0, 180, 180}, {0, 240, 240, 240}});
    detector.detect(frame);
    std::size_t found = 0;
    for (auto _ : state) found = detector.detect(frame).size();
    state.counters["faces"] = static_cast<double>(found);
    perItem(state, "per_frame", 1);
}

void detectBodies(benchmark::State& state) {
    lm::BodyDetector detector;
    detector.onSettingsUpdate(benchSettings());
    const cv::Mat frame = frameWithSquares({{0, 0, 80, 120}, {160, 120, 80, 120}, {400, 240, 80, 120}});
    detector.detect(frame);
    std::size_t found = 0;
    for (auto _ : state) found = detector.detect(frame).size();
    state.counters["bodies"] = static_cast<double>(found);
    perItem(state, "per_frame", 1);
}

void encodeBodies(benchmark::State& state) {
    lm::BodyEncoder encoder;
    encoder.onSettingsUpdate(benchSettings());
    const cv::Mat frame = benchFrame();
    const auto count = static_cast<int>(state.range(0));
    std::vector<lm::Detection> bodies(count);
    for (int i = 0; i < count; ++i) bodies[i].boundingBox = cv::Rect(10 + (i % 8) * 78, 10 + (i / 8) * 150, 70, 140);
    encoder.encodeBodies(frame, bodies);
    for (auto _ : state) benchmark::DoNotOptimize(encoder.encodeBodies(frame, bodies));
    perItem(state, "per_body", count);
}

// A settings update that changes nothing: the face detector reloads, the others only set
// their target.
template <typename Stage>
void unchangedUpdate(benchmark::State& state) {
    Stage stage;
    const lm::Settings s = benchSettings();
    stage.onSettingsUpdate(s);
    for (auto _ : state) stage.onSettingsUpdate(s);
}

BENCHMARK_TEMPLATE(estimateFaces, lm::AgeGender)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(estimateFaces, lm::HeadposeEstimator)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(estimateFaces, lm::Smile)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(estimateFaces, lm::FaceMask)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(estimateFaces, lm::EmotionsEstimator)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(detectFaces)->Unit(benchmark::kMicrosecond);
BENCHMARK(detectBodies)->Unit(benchmark::kMicrosecond);
BENCHMARK(encodeBodies)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(unchangedUpdate, lm::FaceDetector)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(unchangedUpdate, lm::Smile)->Unit(benchmark::kMicrosecond);

}  // namespace
