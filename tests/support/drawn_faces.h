#pragma once
// Frames drawn for the generated test networks as the facade sees them: faces painted on
// the slots of the face detector, bodies on the cells of the body detector, each in a colour
// that fixes what the estimators read from it (tools/lumora-models/README.md).

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "face_estimator.h"
#include "test_networks.h"

namespace lmtest {

// A colour given as red, green, blue.
struct Rgb {
    int red, green, blue;
};

// Yaw (R - 128) / 2 = 0: viewing at every distance. Brightness 0.55.
inline constexpr Rgb LOOKING{129, 160, 128};
// Yaw 60: not viewing, but still dwelling for a near face. Brightness 0.70.
inline constexpr Rgb LOOKING_AWAY{249, 160, 128};

// A face: a slot of the face detector and its colour.
struct DrawnFace {
    std::size_t slot;
    Rgb colour;
};

// A slot of a detector in pixels of a frame of the given size.
inline cv::Rect slotRect(const std::string& base, std::size_t index, cv::Size frame = {640, 480}) {
    const lm::models::Slot s = lm::models::detectorSlots(base).at(index);
    return {cvRound(s.x0 * frame.width), cvRound(s.y0 * frame.height), cvRound((s.x1 - s.x0) * frame.width),
            cvRound((s.y1 - s.y0) * frame.height)};
}

// Paints the slot and, with a margin of two pixels, the square that the estimators crop
// around the box the detector reports for it (the slot a pixel wider and higher), so that
// every stage reads the face's colour alone. The crops of the regular detector's slots
// reach no other slot far enough to raise its brightness above a few per cent.
inline cv::Mat drawFaces(const std::vector<DrawnFace>& faces, const std::string& detector = "detect_regular",
                         cv::Size size = {640, 480}) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(0));
    for (const DrawnFace& face : faces) {
        const cv::Scalar bgr(face.colour.blue, face.colour.green, face.colour.red);
        const cv::Rect slot = slotRect(detector, face.slot, size);
        const cv::Rect reported(slot.x, slot.y, slot.width + 1, slot.height + 1);
        const cv::Rect crop = lm::faceCropSquare(reported, frame);
        const cv::Rect painted = cv::Rect(crop.x - 2, crop.y - 2, crop.width + 4, crop.height + 4) & cv::Rect({}, size);
        frame(painted).setTo(bgr);
        frame(slot).setTo(bgr);
    }
    return frame;
}

// A body: a cell (column 0..7, row 0..3) of the body detector's grid and its colour.
struct DrawnBody {
    int column, row;
    Rgb colour;
};

inline cv::Mat drawBodies(const std::vector<DrawnBody>& bodies) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(0));
    for (const DrawnBody& b : bodies)
        frame(cv::Rect(b.column * 80, b.row * 120, 80, 120))
            .setTo(cv::Scalar(b.colour.blue, b.colour.green, b.colour.red));
    return frame;
}

}  // namespace lmtest
