#pragma once
// How detections are scored against the labelled faces.
//
// A detection matches a labelled face when their intersection over union is at least
// MATCH_IOU. Detections are taken by falling confidence, each to the still unmatched face
// it overlaps most; a face is found once at most. A detection that matches no face is a
// false positive, unless it is narrower than IGNORED_WIDTH: no labelled face is that small,
// and the backgrounds' own people (vtest.avi's walkers) have faces of that size.

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace faceeval {

constexpr double MATCH_IOU = 0.4;
constexpr int IGNORED_WIDTH = 14;

struct Detection {
    cv::Rect box;
    float confidence = 0;
};

// Face-width bands, in pixels of the scene: [low, high).
struct Band {
    const char* name;
    int low;
    int high;
};
constexpr std::array<Band, 5> BANDS = {
    {{"20-40", 20, 40}, {"24-40", 24, 40}, {"40-80", 40, 80}, {"80+", 80, 1 << 20}, {">=40", 40, 1 << 20}}};

double iou(const cv::Rect& a, const cv::Rect& b);

struct SceneScore {
    std::vector<bool> found;                 // per labelled face
    std::vector<Detection> falseDetections;  // the false positives
    int falsePositives() const { return static_cast<int>(falseDetections.size()); }
};

SceneScore scoreScene(const std::vector<cv::Rect>& faces, std::vector<Detection> detections);

// Totals over scenes.
class Tally {
public:
    // `counted`, when given, names the faces whose recall this tally keeps (a class of
    // them); the false positives are always the whole scene's.
    void add(const std::vector<cv::Rect>& faces, const SceneScore& score, const std::vector<bool>& counted = {});
    // Over the faces of BANDS[band].
    double recall(std::size_t band) const;
    int faces(std::size_t band) const;
    double falsePositivesPerFrame() const;
    int frames() const { return mFrames; }

private:
    std::array<int, BANDS.size()> mFaces{};
    std::array<int, BANDS.size()> mFound{};
    int mFalsePositives = 0;
    int mFrames = 0;
};

}  // namespace faceeval
