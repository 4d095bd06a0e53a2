#include "walker_boxes.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace bodyeval {

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> parts;
    std::stringstream stream(line);
    for (std::string part; std::getline(stream, part, ',');) parts.push_back(part);
    return parts;
}

int number(const std::string& text, const std::string& where) {
    std::size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size()) throw std::runtime_error(where + ": '" + text + "' is not a whole number");
    return value;
}

}  // namespace

std::map<int, FrameLabels> readWalkerLabels(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read walker labels " + path);
    std::map<int, FrameLabels> labels;
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(lineNumber);
        const auto parts = fields(line);
        if (parts.size() != 6 || (parts[0] != "walker" && parts[0] != "partial"))
            throw std::runtime_error(where + ": expected walker|partial,FRAME,X,Y,W,H");
        const int frame = number(parts[1], where);
        const cv::Rect box(number(parts[2], where), number(parts[3], where), number(parts[4], where),
                           number(parts[5], where));
        if (frame < 0 || box.width <= 0 || box.height <= 0)
            throw std::runtime_error(where + ": negative frame or empty box");
        FrameLabels& frameLabels = labels[frame];
        (parts[0] == "walker" ? frameLabels.walkers : frameLabels.partial).push_back(box);
    }
    return labels;
}

double intersectionOverUnion(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double uni = a.area() + b.area() - inter;
    return uni > 0 ? inter / uni : 0.0;
}

FrameScore scoreFrame(const FrameLabels& labels, const std::vector<cv::Rect>& detections) {
    // Every pair that could be the same person, best overlap first.
    std::vector<std::tuple<double, std::size_t, std::size_t>> pairs;
    for (std::size_t w = 0; w < labels.walkers.size(); ++w)
        for (std::size_t d = 0; d < detections.size(); ++d) {
            const double iou = intersectionOverUnion(labels.walkers[w], detections[d]);
            if (iou >= SAME_PERSON_IOU) pairs.emplace_back(iou, w, d);
        }
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return std::get<0>(a) > std::get<0>(b); });
    std::vector<bool> walkerFound(labels.walkers.size(), false), detectionUsed(detections.size(), false);
    for (const auto& [iou, w, d] : pairs) {
        if (walkerFound[w] || detectionUsed[d]) continue;
        walkerFound[w] = detectionUsed[d] = true;
    }

    FrameScore score;
    score.walkers = static_cast<int>(labels.walkers.size());
    for (std::size_t w = 0; w < labels.walkers.size(); ++w) {
        if (walkerFound[w])
            ++score.found;
        else
            score.missed.push_back(labels.walkers[w]);
    }
    for (std::size_t d = 0; d < detections.size(); ++d) {
        if (detectionUsed[d]) continue;
        // A second box on a found walker counts as false like any other stray box.
        const bool onPartialWalker = unmatched({detections[d]}, labels.partial).empty();
        if (!onPartialWalker) score.falsePositive.push_back(detections[d]);
    }
    return score;
}

std::vector<cv::Rect> unmatched(const std::vector<cv::Rect>& boxes, const std::vector<cv::Rect>& others) {
    std::vector<cv::Rect> left;
    for (const cv::Rect& box : boxes) {
        const bool matched = std::any_of(others.begin(), others.end(), [&](const cv::Rect& other) {
            return intersectionOverUnion(box, other) >= SAME_PERSON_IOU;
        });
        if (!matched) left.push_back(box);
    }
    return left;
}

}  // namespace bodyeval
