#pragma once
// Small MJPG AVI files written at test time (up to 30 frames). Frame i is a flat grey of
// level 16 + 8 * i, so a test can tell which frame it got despite JPEG losses.

#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace lmtest {

inline int videoFrameLevel(int index) { return 16 + 8 * index; }

inline void writeTestVideo(const std::string& path, int frames, double fps, cv::Size size = {160, 120}) {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size);
    if (!writer.isOpened()) throw std::runtime_error("cannot write test video " + path);
    for (int i = 0; i < frames; ++i) writer.write(cv::Mat(size, CV_8UC3, cv::Scalar::all(videoFrameLevel(i))));
}

// The index of the frame a picture came from, or -1 when its level matches none.
inline int videoFrameIndex(const cv::Mat& picture, int frames) {
    const double level = cv::mean(picture)[0];
    for (int i = 0; i < frames; ++i)
        if (std::abs(level - videoFrameLevel(i)) < 3.0) return i;
    return -1;
}

}  // namespace lmtest
