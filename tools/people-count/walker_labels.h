#pragma once
// Hand labels of the people who cross a video: each walker's passage (the first and the
// last frame in which any part of the walker is in the picture) and a few boxes per walker.
//
// File format, one record a line, '#' starts a comment:
//   passage,<walker>,<entry frame>,<exit frame>
//   box,<walker>,<frame>,<x>,<y>,<width>,<height>
// Frames count from 0; boxes are in pixels of the video's frame.

#include <map>
#include <string>
#include <vector>

#include <opencv2/core/types.hpp>

namespace people_count {

struct Passage {
    int entryFrame = 0;
    int exitFrame = 0;
};

struct LabelledBox {
    int walker = 0;
    int frame = 0;
    cv::Rect box;
};

struct WalkerLabels {
    std::map<int, Passage> passages;  // by walker
    std::vector<LabelledBox> boxes;   // in file order
};

// Throws std::runtime_error naming the line that cannot be read.
WalkerLabels readWalkerLabels(const std::string& path);

// The hand count of the frames `first` to `last` (inclusive): the passages in the picture
// during any of them, so a run that starts mid-video also counts who is already there.
int passagesDuring(const WalkerLabels& labels, int first, int last);

}  // namespace people_count
