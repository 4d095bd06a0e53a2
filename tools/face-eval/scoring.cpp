#include "scoring.h"

#include <algorithm>

namespace faceeval {

double iou(const cv::Rect& a, const cv::Rect& b) {
    const double shared = (a & b).area();
    const double joined = a.area() + b.area() - shared;
    return joined > 0 ? shared / joined : 0.0;
}

SceneScore scoreScene(const std::vector<cv::Rect>& faces, std::vector<Detection> detections) {
    std::stable_sort(detections.begin(), detections.end(),
                     [](const Detection& a, const Detection& b) { return a.confidence > b.confidence; });
    SceneScore score;
    score.found.assign(faces.size(), false);
    for (const Detection& detection : detections) {
        int best = -1;
        double bestIou = MATCH_IOU;
        for (std::size_t i = 0; i < faces.size(); ++i) {
            const double overlap = iou(detection.box, faces[i]);
            if (!score.found[i] && overlap >= bestIou) {
                best = static_cast<int>(i);
                bestIou = overlap;
            }
        }
        if (best >= 0)
            score.found[best] = true;
        else if (detection.box.width >= IGNORED_WIDTH)
            score.falseDetections.push_back(detection);
    }
    return score;
}

void Tally::add(const std::vector<cv::Rect>& faces, const SceneScore& score, const std::vector<bool>& counted) {
    for (std::size_t i = 0; i < faces.size(); ++i)
        if (counted.empty() || counted[i])
            for (std::size_t b = 0; b < BANDS.size(); ++b)
                if (faces[i].width >= BANDS[b].low && faces[i].width < BANDS[b].high) {
                    ++mFaces[b];
                    mFound[b] += score.found[i] ? 1 : 0;
                }
    mFalsePositives += score.falsePositives();
    ++mFrames;
}

double Tally::recall(std::size_t band) const {
    return mFaces[band] > 0 ? static_cast<double>(mFound[band]) / mFaces[band] : 0.0;
}

int Tally::faces(std::size_t band) const { return mFaces[band]; }

double Tally::falsePositivesPerFrame() const {
    return mFrames > 0 ? static_cast<double>(mFalsePositives) / mFrames : 0.0;
}

}  // namespace faceeval
