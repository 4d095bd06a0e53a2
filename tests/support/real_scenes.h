#pragma once
// 640 x 480 frames composed of real faces (Debian's sample photographs and their mirror
// images) for the benchmarks of the real networks: the faces the converted face detector
// finds, on a grey frame or over a frame of walkers.

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "support/real_media.h"

namespace lmtest::real_scenes {

struct SampleFace {
    std::string path;
    cv::Rect box;  // the converted face detector's box on the photograph
};

// A square around the face, twice the box's larger side, as big as the photograph allows.
inline cv::Mat faceSurroundings(const SampleFace& face) {
    const cv::Mat photo = real_media::image(face.path);
    const int side = std::min({2 * std::max(face.box.width, face.box.height), photo.cols, photo.rows});
    const cv::Point centre = (face.box.tl() + face.box.br()) / 2;
    const int x = std::clamp(centre.x - side / 2, 0, photo.cols - side);
    const int y = std::clamp(centre.y - side / 2, 0, photo.rows - side);
    return photo(cv::Rect(x, y, side, side)).clone();
}

// Six faces: three photographs and their mirror images.
inline const std::vector<cv::Mat>& faceTiles() {
    static const std::vector<cv::Mat> tiles = [] {
        const SampleFace samples[] = {
            {real_media::SKIMAGE + "astronaut.png", {177, 74, 93, 101}},
            {real_media::OPENCV_HTML + "227943776_1.jpg", {145, 103, 144, 177}},
            {real_media::OPENCV_HTML + "230501201_1.jpg", {163, 240, 317, 365}},
        };
        std::vector<cv::Mat> result;
        for (const SampleFace& s : samples) result.push_back(faceSurroundings(s));
        for (const SampleFace& s : samples) {
            cv::Mat mirrored;
            cv::flip(faceSurroundings(s), mirrored, 1);
            result.push_back(mirrored);
        }
        return result;
    }();
    return tiles;
}

// Up to six faces on a grey 640 x 480 frame, in a grid of 3 x 2 cells of 213 x 240 pixels.
inline cv::Mat frameWithFaces(int faces) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(128));
    constexpr int SIDE = 200;
    for (int i = 0; i < faces; ++i) {
        const cv::Rect cell((i % 3) * 213 + (213 - SIDE) / 2, (i / 3) * 240 + (240 - SIDE) / 2, SIDE, SIDE);
        cv::resize(faceTiles()[i], frame(cell), cell.size(), 0, 0, cv::INTER_AREA);
    }
    return frame;
}

// Four people facing the camera and two walking: the 4-face grid (whose four people the
// body detector finds too) with the right pair of walkers of vtest.avi frame 300, twice
// their size, in the fifth cell. 4 faces and 6 bodies.
inline cv::Mat frameWithFacesAndWalkers() {
    cv::Mat frame = frameWithFaces(4);
    const cv::Mat video = real_media::videoFrames(300, 1).front();
    const cv::Rect walkers(560, 140, 100, 110);
    const cv::Rect cell(213 + 6, 240 + 10, 200, 220);
    cv::resize(video(walkers), frame(cell), cell.size(), 0, 0, cv::INTER_LINEAR);
    return frame;
}

}  // namespace lmtest::real_scenes
