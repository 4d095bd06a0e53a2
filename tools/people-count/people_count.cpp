#include "people_count.h"

#include <algorithm>
#include <chrono>

#include <lumora/lm_aggregator.h>

namespace people_count {

CountRun countPeople(lm::Lumora& lumora, cv::VideoCapture& video, double fps, int frames, lm::TimePoint start,
                     int firstFrame) {
    lm::BodyAggregator aggregator;
    CountRun run;
    std::chrono::steady_clock::duration analysing{};
    cv::Mat frame;
    int read = 0;
    for (; (frames < 0 || read < frames) && video.read(frame); ++read) {
        const int index = firstFrame + read;
        const lm::TimePoint frameTime =
            start + std::chrono::milliseconds(static_cast<long long>(index * 1000.0 / fps + 0.5));
        const auto before = std::chrono::steady_clock::now();
        std::vector<lm::Body> bodies = lumora.analyzeBodies(frame, frameTime);
        analysing += std::chrono::steady_clock::now() - before;
        aggregator.newDetections(bodies, frameTime);
        run.peopleCount += aggregator.getFinalizedAggregations(true).size();
        run.bodiesByFrame[index] = std::move(bodies);
    }
    // As harbix at the end of a file: the tracks still open count too.
    run.peopleCount += aggregator.getAllAggregations().size();
    if (read > 0) run.msPerFrame = std::chrono::duration<double, std::milli>(analysing).count() / read;
    return run;
}

std::vector<std::size_t> analysedFrames(std::size_t first, std::size_t end, double fps, double analysisMs) {
    std::vector<std::size_t> frames;
    double done = 0;  // when the last analysis ended, in ms after frame `first` was shown
    for (std::size_t index = first; index < end;) {
        frames.push_back(index);
        const double shown = static_cast<double>(index - first) * 1000.0 / fps;
        done = std::max(done, shown) + analysisMs;
        const auto newest = first + static_cast<std::size_t>(done * fps / 1000.0 + 1e-9);
        index = std::max(index + 1, newest);
    }
    return frames;
}

}  // namespace people_count
