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

}  // namespace people_count
