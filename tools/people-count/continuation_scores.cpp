// lumora-continuation-scores: how the body tracker scores a labelled walker's detection
// against the walker's own detection in the next frame (a continuation) and against the
// next-frame detections of other walkers close by (rivals), under each rate class's
// weights of the NORMAL network type, with the body encoder of the model directory. The
// previous detection stands in for the track's Kalman prediction, and one stored vector
// for the track's history of vectors.
//
//   lumora-continuation-scores --models DIR --video FILE --labels FILE [--frames N]
//
// Only the labelled frames and the frames after them are analysed.

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <opencv2/videoio.hpp>

#include "continuation_pairs.h"
#include "lm_bodydetector.h"
#include "lm_bodyencoder.h"
#include "lm_bodytracker.h"
#include "options.h"
#include "walker_labels.h"

namespace {

struct Options {
    std::string models;
    std::string video;
    std::string labels;
    int frames = -1;  // all
};

Options parse(int argc, char** argv) {
    const auto args = people_count::parseOptions(argc, argv, {"--models", "--video", "--labels", "--frames"});
    Options o;
    o.models = people_count::valueOr(args, "--models");
    o.video = people_count::valueOr(args, "--video");
    o.labels = people_count::valueOr(args, "--labels");
    o.frames = std::stoi(people_count::valueOr(args, "--frames", "-1"));
    if (o.models.empty() || o.video.empty() || o.labels.empty())
        throw std::invalid_argument(
            "usage: lumora-continuation-scores --models DIR --video FILE --labels FILE [--frames N]");
    return o;
}

struct FrameBodies {
    std::vector<cv::Rect> boxes;
    std::vector<lm::AppearanceVector> features;
};

std::map<int, FrameBodies> analyseLabelledFrames(const Options& o, const people_count::WalkerLabels& labels) {
    std::set<int> wanted;
    for (const auto& l : labels.boxes) wanted.insert({l.frame, l.frame + 1});
    lm::Settings settings;
    settings.neuralNetworksPath = o.models;
    lm::BodyDetector detector;
    lm::BodyEncoder encoder;
    detector.onSettingsUpdate(settings);
    encoder.onSettingsUpdate(settings);

    cv::VideoCapture video(o.video);
    if (!video.isOpened()) throw std::runtime_error("cannot open " + o.video);
    std::map<int, FrameBodies> byFrame;
    cv::Mat frame;
    for (int index = 0; (o.frames < 0 || index < o.frames) && video.read(frame); ++index) {
        if (wanted.count(index) == 0) continue;
        const std::vector<lm::Detection> detections = detector.detect(frame);
        FrameBodies& bodies = byFrame[index];
        for (const lm::Detection& d : detections) bodies.boxes.push_back(d.boundingBox);
        bodies.features = encoder.encodeBodies(frame, detections);
    }
    return byFrame;
}

struct Scored {
    std::vector<int> utilities;  // one per rate class: FPS_30, FPS_10, FPS_5
    float appearance = 0.0f;
};

double shareAbove(const std::vector<Scored>& pairs, std::size_t row, int threshold) {
    if (pairs.empty()) return 0.0;
    const auto above =
        std::count_if(pairs.begin(), pairs.end(), [&](const Scored& s) { return s.utilities[row] > threshold; });
    return 100.0 * static_cast<double>(above) / static_cast<double>(pairs.size());
}

template <typename Value>
double quantile(std::vector<Value> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return static_cast<double>(values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))]);
}

std::vector<int> column(const std::vector<Scored>& pairs, std::size_t row) {
    std::vector<int> values;
    for (const Scored& s : pairs) values.push_back(s.utilities[row]);
    return values;
}

std::vector<float> appearances(const std::vector<Scored>& pairs) {
    std::vector<float> values;
    for (const Scored& s : pairs) values.push_back(s.appearance);
    return values;
}

void report(const std::vector<Scored>& same, const std::vector<Scored>& rivals) {
    static const char* const CLASSES[] = {"FPS_30", "FPS_10", "FPS_5"};
    const auto& rows = lm::BodyTracker::weightTable()[lm::Settings::NORMAL];
    fmt::print("pairs: {} continuations, {} rivals (other walkers within {} widths)\n", same.size(), rivals.size(),
               people_count::RIVAL_WIDTHS);
    fmt::print(
        "appearance similarity, median (10th-90th percentile): continuations {:.3f} ({:.3f}-{:.3f}), "
        "rivals {:.3f} ({:.3f}-{:.3f})\n",
        quantile(appearances(same), 0.5), quantile(appearances(same), 0.1), quantile(appearances(same), 0.9),
        quantile(appearances(rivals), 0.5), quantile(appearances(rivals), 0.1), quantile(appearances(rivals), 0.9));
    fmt::print("{:<7} {:>9} {:>22} {:>16} {:>26}\n", "class", "threshold", "continuations above", "rivals above",
               "utility median: cont./riv.");
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const int threshold = static_cast<int>(static_cast<double>(rows[row].matchThreshold) * 1000.0);
        fmt::print("{:<7} {:>9} {:>21.1f}% {:>15.1f}% {:>18.0f} / {:.0f}\n", CLASSES[row], threshold,
                   shareAbove(same, row, threshold), shareAbove(rivals, row, threshold),
                   quantile(column(same, row), 0.5), quantile(column(rivals, row), 0.5));
    }
    // Where each row's weights would separate the two kinds: shares above other thresholds.
    fmt::print("shares above a threshold, continuations / rivals:\n{:<7}", "class");
    for (int threshold = 400; threshold <= 700; threshold += 50) fmt::print(" {:>13}", threshold);
    fmt::print("\n");
    for (std::size_t row = 0; row < rows.size(); ++row) {
        fmt::print("{:<7}", CLASSES[row]);
        for (int threshold = 400; threshold <= 700; threshold += 50)
            fmt::print(" {:>5.1f} / {:>4.1f}", shareAbove(same, row, threshold), shareAbove(rivals, row, threshold));
        fmt::print("\n");
    }
}

void run(const Options& o) {
    const people_count::WalkerLabels labels = people_count::readWalkerLabels(o.labels);
    const std::map<int, FrameBodies> byFrame = analyseLabelledFrames(o, labels);
    std::map<int, std::vector<cv::Rect>> boxes;
    for (const auto& [frame, bodies] : byFrame) boxes[frame] = bodies.boxes;

    std::vector<Scored> same;
    std::vector<Scored> rivals;
    const auto& rows = lm::BodyTracker::weightTable()[lm::Settings::NORMAL];
    for (const people_count::ContinuationPair& p : people_count::continuationPairs(labels, boxes)) {
        const FrameBodies& now = byFrame.at(p.frame);
        const FrameBodies& next = byFrame.at(p.frame + 1);
        Scored s;
        s.appearance =
            lm::Encoder::similarity(now.features[p.first], next.features[p.second], lm::BodyTracker::SIMILARITY_SCALE);
        for (const auto& row : rows)
            s.utilities.push_back(
                lm::ObjectTracker::pairUtility(row, now.boxes[p.first], next.boxes[p.second], s.appearance));
        (p.sameWalker ? same : rivals).push_back(s);
    }
    report(same, rivals);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        run(parse(argc, argv));
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
