#pragma once
// Small MJPG AVI files written at test time.
//
// Grey videos (up to 30 frames): frame i is a flat grey of level 16 + 8 * i, so a test can
// tell which frame it got despite JPEG losses.
//
// Square videos for the generated test networks: 640 x 480, bright squares on black, every
// frame the same. The networks see a square drawn exactly on one of their slots: a face on
// slot 7 of the face detector, a body on the last slot of the first row of the body
// detector. Neither square reaches the other detector's threshold on any slot.

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace lmtest {

// Writes `frames` frames of `size`, frame i being `frameAt(i)`.
inline void writeVideo(const std::string& path, int frames, double fps, cv::Size size,
                       const std::function<cv::Mat(int)>& frameAt) {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size);
    if (!writer.isOpened()) throw std::runtime_error("cannot write test video " + path);
    for (int i = 0; i < frames; ++i) writer.write(frameAt(i));
}

inline int videoFrameLevel(int index) { return 16 + 8 * index; }

inline void writeTestVideo(const std::string& path, int frames, double fps, cv::Size size = {160, 120}) {
    writeVideo(path, frames, fps, size,
               [&](int i) { return cv::Mat(size, CV_8UC3, cv::Scalar::all(videoFrameLevel(i))); });
}

// The index of the frame a picture came from, or -1 when its level matches none.
inline int videoFrameIndex(const cv::Mat& picture, int frames) {
    const double level = cv::mean(picture)[0];
    for (int i = 0; i < frames; ++i)
        if (std::abs(level - videoFrameLevel(i)) < 3.0) return i;
    return -1;
}

inline const cv::Rect FACE_SQUARE(340, 240, 120, 120);
inline const cv::Rect BODY_SQUARE(560, 0, 80, 120);
inline const cv::Size SQUARES_VIDEO_SIZE(640, 480);
constexpr int SQUARE_LEVEL = 230;

inline void writeSquaresVideo(const std::string& path, int frames, double fps, const std::vector<cv::Rect>& squares) {
    cv::Mat frame(SQUARES_VIDEO_SIZE, CV_8UC3, cv::Scalar::all(0));
    for (const auto& square : squares) cv::rectangle(frame, square, cv::Scalar::all(SQUARE_LEVEL), cv::FILLED);
    writeVideo(path, frames, fps, SQUARES_VIDEO_SIZE, [&](int) { return frame; });
}

}  // namespace lmtest
