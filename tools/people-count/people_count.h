#pragma once
// A video through the body pipeline frame by frame as harbix runs a file with every frame
// analysed: on the file's own clock, each frame's bodies into a body aggregator, and the
// people count as harbix publishes it (the tracks the aggregator finished, plus those still
// open when the video ends).

#include <cstddef>
#include <map>
#include <vector>

#include <opencv2/videoio.hpp>

#include <lumora/lm_lumora.h>
#include <lumora/lm_records.h>

namespace people_count {

struct CountRun {
    std::map<int, std::vector<lm::Body>> bodiesByFrame;  // the tracked bodies of every frame
    std::size_t peopleCount = 0;
    double msPerFrame = 0.0;  // of analyzeBodies
};

// Reads at most `frames` frames (all when negative) from the current place of `video`,
// which is frame `firstFrame` of the file: frame i is kept under index i and analysed at
// `start` + i over `fps` seconds.
CountRun countPeople(lm::Lumora& lumora, cv::VideoCapture& video, double fps, int frames, lm::TimePoint start,
                     int firstFrame = 0);

// The frames from `first` to before `end` that harbix analyses with processAllFrames off when
// each analysis takes `analysisMs` while the video plays at `fps`: each analysis takes the
// newest frame shown when the one before ends (or waits for the next one), so the frames
// between are skipped. Every frame when analysisMs is 0.
std::vector<std::size_t> analysedFrames(std::size_t first, std::size_t end, double fps, double analysisMs);

}  // namespace people_count
