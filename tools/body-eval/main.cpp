// body-eval: the body-detector candidates on vtest.avi, each built from the fetched weights
// and read through the library's network reader, run as the body detector runs them
// (DetectionModel, 640 x 480 blob, threshold 0.7).
//
//   body-eval --profile CANDIDATE [--threads N]      time per layer type of one forward pass
//             [--layers K] [--target opencl] [--passes P]  (the K slowest layers; on OpenCL)
//   body-eval --labels FILE [--candidates A,B,...]   recall and false positives on the labels
//             [--frames F1,F2,...]                   (of these labelled frames only)
//   body-eval --compare A --against B --review DIR   over the whole video: the boxes each finds
//                                                    that the other does not, cut out to view
//   body-eval --write-model DIR --candidate A        writes A as DIR/bodydetect*.enc, plain and
//                                                    "_quantized", for lumora-people-count
//   body-eval --draw FRAME --candidate A --out PNG   one frame with a 50 px grid and the boxes
//             [--region X,Y,W,H]                     (or a part of it, four times larger)

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "candidates.h"
#include "real/ir_emit.h"
#include "real/real_models.h"
#include "util/ir_reader.h"
#include "walker_boxes.h"

namespace {

namespace real = lm::models::real;
using bodyeval::Candidate;

const std::string VIDEO = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";

struct Options {
    std::map<std::string, std::string> values;
    std::string get(const std::string& key, const std::string& fallback = "") const {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    bool has(const std::string& key) const { return values.count(key) > 0; }
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || i + 1 >= argc) throw std::invalid_argument("expected --key value at " + key);
        options.values[key.substr(2)] = argv[++i];
    }
    return options;
}

cv::dnn::Net network(const Candidate& candidate, const std::string& weights) {
    const real::IrPair ir = real::emitIr(real::convertBodyDetector({weights}, candidate.options), false);
    return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
}

// As lm::BodyDetector sets up and runs its model.
class Detector {
public:
    Detector(const Candidate& candidate, const std::string& weights) : mModel(network(candidate, weights)) {
        mModel.setInputScale(1.0).setInputSwapRB(true).setInputSize({640, 480}).setInputMean({123, 117, 104, 0});
    }
    std::vector<cv::Rect> detect(const cv::Mat& frame) {
        std::vector<int> classes;
        std::vector<cv::Rect> boxes;
        mModel.detect(frame, classes, mScores, boxes, 0.7f, 0.0f);
        return boxes;
    }
    // The confidences of the last detect's boxes.
    const std::vector<float>& scores() const { return mScores; }

private:
    cv::dnn::DetectionModel mModel;
    std::vector<float> mScores;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, ',');) parts.push_back(part);
    return parts;
}

cv::Mat frameAt(cv::VideoCapture& video, int frame) {
    video.set(cv::CAP_PROP_POS_FRAMES, frame);
    cv::Mat image;
    video >> image;
    if (image.empty()) throw std::runtime_error("cannot read frame " + std::to_string(frame) + " of " + VIDEO);
    return image;
}

// Milliseconds per layer type over `passes` forward passes, largest first.
int profile(const Options& options, const std::string& weights) {
    if (options.has("threads")) cv::setNumThreads(std::stoi(options.get("threads")));
    cv::dnn::Net net = network(bodyeval::candidateNamed(options.get("profile")), weights);
    if (options.get("target") == "opencl") net.setPreferableTarget(cv::dnn::DNN_TARGET_OPENCL);
    cv::VideoCapture video(VIDEO);
    const cv::Mat blob = cv::dnn::blobFromImage(frameAt(video, 300), 1.0, {640, 480}, {123, 117, 104}, true, false);
    const int passes = std::stoi(options.get("passes", "20"));
    std::map<std::string, std::pair<double, int>> byType;
    double total = 0;
    net.setInput(blob);
    net.forward();
    for (int pass = 0; pass < passes; ++pass) {
        net.setInput(blob);
        net.forward();
        std::vector<double> timings;
        total += static_cast<double>(net.getPerfProfile(timings)) / cv::getTickFrequency() * 1000.0;
        // getPerfProfile lists the layers that ran, in id order, the input layer left out.
        std::vector<std::string> names = net.getLayerNames();
        for (std::size_t i = 0; i < timings.size() && i < names.size(); ++i) {
            const auto layer = net.getLayer(names[i]);
            auto& entry = byType[layer->type];
            entry.first += timings[i] / cv::getTickFrequency() * 1000.0;
            if (pass == 0 && timings[i] > 0) ++entry.second;
        }
    }
    if (options.has("layers")) {
        std::vector<double> timings;
        net.getPerfProfile(timings);
        const std::vector<std::string> names = net.getLayerNames();
        std::vector<std::size_t> order(std::min(timings.size(), names.size()));
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return timings[x] > timings[y]; });
        for (std::size_t k = 0; k < order.size() && k < static_cast<std::size_t>(std::stoi(options.get("layers"))); ++k)
            fmt::print("  {:7.2f} ms  {}\n", timings[order[k]] / cv::getTickFrequency() * 1000.0, names[order[k]]);
    }
    std::vector<std::pair<std::string, std::pair<double, int>>> rows(byType.begin(), byType.end());
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.first > b.second.first; });
    fmt::print("{}: {:.1f} ms a pass on {} threads\n", options.get("profile"), total / passes, cv::getNumThreads());
    for (const auto& [type, entry] : rows)
        if (entry.first > 0)
            fmt::print("  {:<14} {:7.2f} ms  {:3d} layers\n", type, entry.first / passes, entry.second);
    return 0;
}

int scoreLabels(const Options& options, const std::string& weights) {
    auto labels = bodyeval::readWalkerLabels(options.get("labels"));
    if (options.has("frames")) {
        std::map<int, bodyeval::FrameLabels> chosen;
        for (const std::string& frame : split(options.get("frames")))
            chosen[std::stoi(frame)] = labels.at(std::stoi(frame));
        labels = chosen;
    }
    std::vector<std::string> names = split(options.get("candidates", "centernet-640x480"));
    cv::VideoCapture video(VIDEO);
    std::map<int, cv::Mat> frames;
    for (const auto& [frame, unused] : labels) frames[frame] = frameAt(video, frame);
    fmt::print("{:<28} {:>8} {:>7} {:>6}  missed / false (frame: x,y,w,h)\n", "candidate", "walkers", "found", "false");
    for (const std::string& name : names) {
        Detector detector(bodyeval::candidateNamed(name), weights);
        int walkers = 0, found = 0, falsePositives = 0;
        std::string notes;
        for (const auto& [frame, frameLabels] : labels) {
            const bodyeval::FrameScore score = bodyeval::scoreFrame(frameLabels, detector.detect(frames[frame]));
            walkers += score.walkers;
            found += score.found;
            falsePositives += static_cast<int>(score.falsePositive.size());
            for (const cv::Rect& r : score.missed)
                notes += fmt::format(" miss {}:{},{},{},{}", frame, r.x, r.y, r.width, r.height);
            for (const cv::Rect& r : score.falsePositive)
                notes += fmt::format(" false {}:{},{},{},{}", frame, r.x, r.y, r.width, r.height);
        }
        fmt::print("{:<28} {:>8} {:>7} {:>6} {}\n", name, walkers, found, falsePositives, notes);
    }
    return 0;
}

// Crops of the boxes one detector finds and the other does not, with context, 12 to a sheet.
class ReviewSheets {
public:
    ReviewSheets(std::string dir, std::string tag) : mDir(std::move(dir)), mTag(std::move(tag)) {}
    void add(const cv::Mat& frame, int frameNumber, const cv::Rect& box) {
        const cv::Rect context = cv::Rect(box.x - box.width, box.y - box.height / 2, box.width * 3, box.height * 2) &
                                 cv::Rect(0, 0, frame.cols, frame.rows);
        cv::Mat tile = frame(context).clone();
        cv::rectangle(tile, box - context.tl(), {0, 0, 255}, 1);
        cv::resize(tile, tile, {TILE, TILE});
        cv::putText(tile, fmt::format("#{} f{}", mCount, frameNumber), {3, 14}, cv::FONT_HERSHEY_SIMPLEX, 0.45,
                    {0, 255, 255}, 1);
        mTiles.push_back(tile);
        ++mCount;
        if (mTiles.size() == 12) flush();
    }
    void flush() {
        if (mTiles.empty()) return;
        cv::Mat sheet(TILE * 3, TILE * 4, CV_8UC3, cv::Scalar::all(0));
        for (std::size_t i = 0; i < mTiles.size(); ++i)
            mTiles[i].copyTo(
                sheet(cv::Rect(static_cast<int>(i % 4) * TILE, static_cast<int>(i / 4) * TILE, TILE, TILE)));
        cv::imwrite(fmt::format("{}/{}-{:03d}.png", mDir, mTag, mSheet++), sheet);
        mTiles.clear();
    }
    int count() const { return mCount; }

private:
    static constexpr int TILE = 200;
    std::string mDir, mTag;
    std::vector<cv::Mat> mTiles;
    int mCount = 0, mSheet = 0;
};

int compare(const Options& options, const std::string& weights) {
    const std::string nameA = options.get("compare"), nameB = options.get("against");
    const std::string dir = options.get("review");
    std::filesystem::create_directories(dir);
    Detector a(bodyeval::candidateNamed(nameA), weights), b(bodyeval::candidateNamed(nameB), weights);
    ReviewSheets onlyA(dir, "only-" + nameA), onlyB(dir, "only-" + nameB);
    cv::VideoCapture video(VIDEO);
    long boxesA = 0, boxesB = 0;
    int frameNumber = 0;
    for (cv::Mat frame; video.read(frame); ++frameNumber) {
        const auto found = a.detect(frame), reference = b.detect(frame);
        boxesA += static_cast<long>(found.size());
        boxesB += static_cast<long>(reference.size());
        for (const cv::Rect& box : bodyeval::unmatched(found, reference)) onlyA.add(frame, frameNumber, box);
        for (const cv::Rect& box : bodyeval::unmatched(reference, found)) onlyB.add(frame, frameNumber, box);
    }
    onlyA.flush();
    onlyB.flush();
    fmt::print("{} frames: {} {} boxes, {} of them not found by {}; {} {} boxes, {} of them not found by {}\n",
               frameNumber, nameA, boxesA, onlyA.count(), nameB, nameB, boxesB, onlyB.count(), nameA);
    fmt::print("sheets in {}\n", dir);
    return 0;
}

int writeModel(const Options& options, const std::string& weights) {
    const real::BodyDetectorOptions detector = bodyeval::candidateNamed(options.get("candidate")).options;
    real::writeRealModel(
        {weights}, {"bodydetect", [&](const real::WeightsDir& w) { return real::convertBodyDetector(w, detector); }},
        options.get("write-model"));
    return 0;
}

int draw(const Options& options, const std::string& weights) {
    cv::VideoCapture video(VIDEO);
    cv::Mat frame = frameAt(video, std::stoi(options.get("draw")));
    Detector detector(bodyeval::candidateNamed(options.get("candidate", "centernet-640x480")), weights);
    const auto boxes = detector.detect(frame);
    for (int x = 0; x < frame.cols; x += 50) cv::line(frame, {x, 0}, {x, frame.rows}, {80, 80, 80}, 1);
    for (int y = 0; y < frame.rows; y += 50) cv::line(frame, {0, y}, {frame.cols, y}, {80, 80, 80}, 1);
    for (const cv::Rect& box : boxes) {
        cv::rectangle(frame, box, {0, 0, 255}, 1);
        fmt::print("{},{},{},{}\n", box.x, box.y, box.width, box.height);
    }
    if (options.has("region")) {
        // A close look at one part of the frame, four times larger.
        const auto r = split(options.get("region"));
        const cv::Rect region(std::stoi(r.at(0)), std::stoi(r.at(1)), std::stoi(r.at(2)), std::stoi(r.at(3)));
        cv::resize(frame(region & cv::Rect(0, 0, frame.cols, frame.rows)), frame, {}, 4, 4, cv::INTER_NEAREST);
    }
    cv::imwrite(options.get("out"), frame);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        const std::string weights = options.get("weights", BODY_EVAL_WEIGHTS_DIR);
        if (options.has("profile")) return profile(options, weights);
        if (options.has("labels")) return scoreLabels(options, weights);
        if (options.has("compare")) return compare(options, weights);
        if (options.has("draw")) return draw(options, weights);
        if (options.has("write-model")) return writeModel(options, weights);
        std::cerr << "usage: see the head of tools/body-eval/main.cpp\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "body-eval: " << e.what() << "\n";
        return 1;
    }
}
