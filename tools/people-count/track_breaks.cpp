// lumora-track-breaks: why a labelled walker's id changes. The video's bodies (detector
// boxes and appearance vectors) run through the body tracker on the file's clock as
// analyzeBodies runs them; before each update the tracks and their Kalman predictions are
// kept, so that at the frame where a walker's new id is born the tool can tell what became
// of the walker's old track: deleted before (and why), given by the assignment to another
// detection, or refused under the match threshold (with each term of its utility). It
// also prints the people count and the distinct ids of the replay, as lumora-people-count
// counts them, with the hand count of the replayed frames.
//
//   lumora-track-breaks --models DIR --video FILE --labels FILE [--cache FILE] [--from F] [--frames N]
//                       [--tracks FILE] [--analysis-ms T] [--body-fps dynamic|30|10|5]
//
// --from starts the replay (a fresh tracker) at frame F, so that a part of the video is
// measured on its own. --tracks writes every tracked body as `frame,id,x,y,w,h`, as
// lumora-people-count does.
//
// --analysis-ms replays the video as harbix analyses a file with processAllFrames off on a
// machine that takes T ms a frame: the video plays at its own rate and each analysis takes
// the newest frame shown when the one before ends, so the frames between are skipped, the
// same ones at every run.
//
// --cache keeps the bodies of the video in a file: read when it is there, written when not,
// so that a change of the tracker is measured again in seconds.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/videoio.hpp>

#include <lumora/lm_aggregator.h>

#include "lm_bodydetector.h"
#include "lm_bodyencoder.h"
#include "lm_bodytracker.h"
#include "options.h"
#include "people_count.h"
#include "track_scoring.h"
#include "walker_labels.h"

namespace {

struct Options {
    std::string models;
    std::string video;
    std::string labels;
    std::string cache;
    int from = 0;
    int frames = -1;  // all, from `from` on
    std::string tracks;
    double analysisMs = 0;  // 0: every frame
    lm::Settings::TrackerFps bodyFps = lm::Settings::DYNAMIC;
};

Options parse(int argc, char** argv) {
    const auto args = people_count::parseOptions(argc, argv,
                                                 {"--models", "--video", "--labels", "--cache", "--from", "--frames",
                                                  "--tracks", "--analysis-ms", "--body-fps"});
    Options o;
    o.models = people_count::valueOr(args, "--models");
    o.video = people_count::valueOr(args, "--video");
    o.labels = people_count::valueOr(args, "--labels");
    o.cache = people_count::valueOr(args, "--cache");
    o.from = std::stoi(people_count::valueOr(args, "--from", "0"));
    o.frames = std::stoi(people_count::valueOr(args, "--frames", "-1"));
    o.tracks = people_count::valueOr(args, "--tracks");
    o.analysisMs = std::stod(people_count::valueOr(args, "--analysis-ms", "0"));
    o.bodyFps = people_count::rateClass(people_count::valueOr(args, "--body-fps", "dynamic"));
    if (o.models.empty() || o.video.empty() || o.labels.empty())
        throw std::invalid_argument(
            "usage: lumora-track-breaks --models DIR --video FILE --labels FILE "
            "[--cache FILE] [--from F] [--frames N] [--tracks FILE] [--analysis-ms T] "
            "[--body-fps dynamic|30|10|5]");
    if (o.from < 0) throw std::invalid_argument("--from takes a frame number from 0");
    if (!(o.analysisMs >= 0)) throw std::invalid_argument("--analysis-ms takes a time from 0");
    return o;
}

struct FrameBodies {
    std::vector<lm::Detection> detections;
    std::vector<lm::AppearanceVector> features;
};

struct Video {
    double fps = 10.0;
    cv::Size frameSize;
    std::vector<FrameBodies> frames;
};

// The cache: fps, frame count, then per frame the detection count and per detection its
// box, confidence and appearance vector, in the machine's own byte order.
template <typename Value>
void put(std::ostream& out, const Value& value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof(value));
}

template <typename Value>
Value take(std::istream& in) {
    Value value{};
    if (!in.read(reinterpret_cast<char*>(&value), sizeof(value))) throw std::runtime_error("truncated body cache");
    return value;
}

void writeCache(const std::string& path, const Video& video) {
    std::ofstream out(path, std::ios::binary);
    put(out, video.fps);
    put(out, video.frameSize);
    put(out, static_cast<std::uint32_t>(video.frames.size()));
    for (const FrameBodies& frame : video.frames) {
        put(out, static_cast<std::uint32_t>(frame.detections.size()));
        for (std::size_t j = 0; j < frame.detections.size(); ++j) {
            const cv::Rect& b = frame.detections[j].boundingBox;
            for (int v : {b.x, b.y, b.width, b.height}) put(out, v);
            put(out, frame.detections[j].detectionConfidence);
            put(out, frame.features[j]);
        }
    }
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::optional<Video> readCache(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Video video;
    video.fps = take<double>(in);
    video.frameSize = take<cv::Size>(in);
    video.frames.resize(take<std::uint32_t>(in));
    for (FrameBodies& frame : video.frames) {
        const auto count = take<std::uint32_t>(in);
        for (std::uint32_t j = 0; j < count; ++j) {
            lm::Detection& d = frame.detections.emplace_back();
            d.boundingBox.x = take<int>(in);
            d.boundingBox.y = take<int>(in);
            d.boundingBox.width = take<int>(in);
            d.boundingBox.height = take<int>(in);
            d.detectionConfidence = take<float>(in);
            frame.features.push_back(take<lm::AppearanceVector>(in));
        }
    }
    return video;
}

Video analyseVideo(const Options& o) {
    cv::VideoCapture capture(o.video);
    if (!capture.isOpened()) throw std::runtime_error("cannot open " + o.video);
    lm::Settings settings;
    settings.neuralNetworksPath = o.models;
    lm::BodyDetector detector;
    lm::BodyEncoder encoder;
    detector.onSettingsUpdate(settings);
    encoder.onSettingsUpdate(settings);
    Video video;
    if (capture.get(cv::CAP_PROP_FPS) > 0) video.fps = capture.get(cv::CAP_PROP_FPS);
    cv::Mat frame;
    const int needed = o.frames < 0 ? -1 : o.from + o.frames;
    for (int index = 0; (needed < 0 || index < needed) && capture.read(frame); ++index) {
        video.frameSize = frame.size();
        FrameBodies& bodies = video.frames.emplace_back();
        bodies.detections = detector.detect(frame);
        bodies.features = encoder.encodeBodies(frame, bodies.detections);
    }
    return video;
}

Video loadVideo(const Options& o) {
    if (!o.cache.empty())
        if (std::optional<Video> cached = readCache(o.cache)) return *cached;
    Video video = analyseVideo(o);
    if (!o.cache.empty()) writeCache(o.cache, video);
    return video;
}

// A track as it stood before one update, with the box the update predicts for it.
struct TrackBefore {
    std::uint32_t id = 0;
    std::uint32_t hits = 0;
    std::uint32_t missedFrames = 0;  // before this update
    cv::Rect lastBox;                // matched or predicted in the previous update
    cv::Rect predicted;
    float spread = 0.0f;  // of the predicted centre, pixels
    lm::ObjectTracker::FeatureHistory features;
};

struct UtilityTerms {
    float iou = 0.0f;
    float distance = 0.0f;
    float size = 0.0f;
    float appearance = 0.0f;
    int utility = 0;
};

struct FrameRecord {
    std::size_t videoFrame = 0;
    std::vector<TrackBefore> before;
    std::vector<lm::Body> bodies;  // with the ids the update gave them
};

struct Replay {
    std::size_t first = 0;            // the video frame the replay starts at
    std::vector<FrameRecord> frames;  // the analysed frames, from `first` on
    std::size_t peopleCount = 0;
    lm::ObjectTracker::Weights weights{};
};

std::vector<TrackBefore> tracksBefore(const lm::BodyTracker& tracker, std::chrono::milliseconds elapsed) {
    std::vector<TrackBefore> result;
    for (lm::ObjectTracker::TrackedObject& t : tracker.getTrackedObjects()) {
        t.kalmanFilter.step(elapsed);
        result.push_back({t.id, t.hits, t.missedFrames, t.box, t.kalmanFilter.getPrediction(),
                          t.kalmanFilter.centreSpread(), t.featureHistory});
    }
    return result;
}

Replay replay(const Video& video, const Options& o) {
    lm::BodyTracker tracker;
    lm::Settings settings;
    settings.bodyTrackFps = o.bodyFps;
    tracker.onSettingsUpdate(settings);
    lm::BodyAggregator aggregator;
    const lm::TimePoint start = std::chrono::system_clock::now();
    Replay result;
    result.first = static_cast<std::size_t>(o.from);
    const std::size_t end = o.frames < 0
                                ? video.frames.size()
                                : std::min(video.frames.size(), result.first + static_cast<std::size_t>(o.frames));
    std::uint32_t lastId = 0;
    std::optional<lm::TimePoint> previous;
    const cv::Mat frame(video.frameSize, CV_8UC1);  // the tracker reads only its size
    for (const std::size_t index : people_count::analysedFrames(result.first, end, video.fps, o.analysisMs)) {
        const lm::TimePoint frameTime =
            start +
            std::chrono::milliseconds(static_cast<long long>(static_cast<double>(index) * 1000.0 / video.fps + 0.5));
        const auto elapsed = previous ? std::chrono::duration_cast<std::chrono::milliseconds>(frameTime - *previous)
                                      : std::chrono::milliseconds(0);
        previous = frameTime;
        FrameRecord& record = result.frames.emplace_back();
        record.videoFrame = index;
        record.before = tracksBefore(tracker, elapsed);

        std::vector<lm::Detection> detections = video.frames[index].detections;
        for (lm::Detection& d : detections) d.detectionTime = frameTime;
        lm::ObjectTracker::Features features = video.frames[index].features;
        tracker.update(detections, frame, features, lm::BodyTracker::SIMILARITY_SCALE, frameTime);
        for (const lm::Detection& d : detections) {
            record.bodies.push_back({d.id, d.boundingBox, d.detectionConfidence, d.detectionTime, d.detectionDuration});
            lastId = std::max(lastId, d.id);
        }
        aggregator.newDetections(record.bodies, frameTime);
        result.peopleCount += aggregator.getFinalizedAggregations(true).size();
    }
    result.peopleCount += aggregator.getAllAggregations().size();
    result.weights = tracker.getWeights();
    return result;
}

UtilityTerms termsOf(const lm::ObjectTracker::Weights& w, const TrackBefore& track, const cv::Rect& box,
                     const lm::AppearanceVector& feature) {
    UtilityTerms t;
    track.features.forEachOldestFirst([&](const lm::AppearanceVector& stored) {
        t.appearance =
            std::max(t.appearance, lm::Encoder::similarity(stored, feature, lm::BodyTracker::SIMILARITY_SCALE));
    });
    // The box terms as the tracker measures them: against the nearest place the track may
    // have reached.
    const cv::Rect a = lm::ObjectTracker::comparedBox(track.predicted, track.spread, box, t.appearance);
    t.iou = static_cast<float>((a & box).area()) / static_cast<float>(a.area() + box.area() - (a & box).area());
    const cv::Point ca((a.x + (a.x + a.width)) / 2, (a.y + (a.y + a.height)) / 2);
    const cv::Point cb((box.x + (box.x + box.width)) / 2, (box.y + (box.y + box.height)) / 2);
    const auto d = static_cast<float>(cv::norm(ca - cb));
    t.distance = 1.0f / std::pow(2.0f, d / (static_cast<float>(a.width + box.width) * 0.5f));
    t.size = static_cast<float>(std::min(a.area(), box.area())) / static_cast<float>(std::max(a.area(), box.area()));
    t.utility = lm::ObjectTracker::pairUtility(w, a, box, t.appearance);
    return t;
}

// The term whose shortfall costs the pair most utility: weight x (1 - term).
std::string weakestTerm(const lm::ObjectTracker::Weights& w, const UtilityTerms& t) {
    const std::pair<float, const char*> losses[] = {{w.iou * (1 - t.iou), "IoU"},
                                                    {w.distance * (1 - t.distance), "distance"},
                                                    {w.size * (1 - t.size), "size"},
                                                    {w.appearance * (1 - t.appearance), "appearance"}};
    return std::max_element(std::begin(losses), std::end(losses))->second;
}

double centreShift(const cv::Rect& from, const cv::Rect& to) {
    const cv::Point2d a(from.x + from.width / 2.0, from.y + from.height / 2.0);
    const cv::Point2d b(to.x + to.width / 2.0, to.y + to.height / 2.0);
    return cv::norm(a - b) / std::max(1.0, (from.width + to.width) / 2.0);
}

std::optional<std::size_t> birthFrame(const Replay& run, std::uint32_t id) {
    for (std::size_t f = 0; f < run.frames.size(); ++f)
        for (const lm::Body& b : run.frames[f].bodies)
            if (b.id == id) return f;
    return std::nullopt;
}

const TrackBefore* trackIn(const std::vector<TrackBefore>& tracks, std::uint32_t id) {
    const auto it = std::find_if(tracks.begin(), tracks.end(), [&](const TrackBefore& t) { return t.id == id; });
    return it == tracks.end() ? nullptr : &*it;
}

// The last frame before `frame` at which a track with `id` stood, or nothing.
std::optional<std::size_t> lastAlive(const Replay& run, std::uint32_t id, std::size_t frame) {
    for (std::size_t f = frame; f-- > 0;)
        if (trackIn(run.frames[f].before, id) != nullptr) return f;
    return std::nullopt;
}

// Why the track of `oldId` did not take the detection that opened `newId`.
std::string explain(const Replay& run, const Video& video, std::uint32_t oldId, std::uint32_t newId) {
    const std::optional<std::size_t> born = birthFrame(run, newId);
    const std::optional<std::size_t> oldBorn = birthFrame(run, oldId);
    if (!born || !oldBorn) return "not seen";
    if (*born < *oldBorn)
        return fmt::format("taken over: id {} is older (born at frame {})", newId, run.frames[*born].videoFrame);
    const FrameRecord& at = run.frames[*born];
    const auto body =
        std::find_if(at.bodies.begin(), at.bodies.end(), [&](const lm::Body& b) { return b.id == newId; });
    const TrackBefore* old = trackIn(at.before, oldId);
    if (old == nullptr) {
        const std::optional<std::size_t> last = lastAlive(run, oldId, *born);
        const TrackBefore* end = last ? trackIn(run.frames[*last].before, oldId) : nullptr;
        if (end == nullptr) return fmt::format("frame {}: old track never stood", run.frames[*born].videoFrame);
        return fmt::format("frame {}: old track deleted at frame {} ({} hits, {} misses then), {} frames before",
                           run.frames[*born].videoFrame, run.frames[*last].videoFrame, end->hits, end->missedFrames + 1,
                           run.frames[*born].videoFrame - run.frames[*last].videoFrame);
    }
    const std::size_t j = static_cast<std::size_t>(body - at.bodies.begin());
    const UtilityTerms t = termsOf(run.weights, *old, body->boundingBox, video.frames[at.videoFrame].features[j]);
    const auto continued =
        std::find_if(at.bodies.begin(), at.bodies.end(), [&](const lm::Body& b) { return b.id == oldId; });
    const int threshold = static_cast<int>(static_cast<double>(run.weights.matchThreshold) * 1000.0);
    const std::string fate = continued != at.bodies.end() ? "assigned another detection"
                             : t.utility > threshold      ? "missed (the assignment paired it elsewhere)"
                                                          : "refused";
    return fmt::format(
        "frame {}: old track alive ({} hits, {} misses), {}; utility {} (threshold {}): IoU {:.2f}, "
        "distance {:.2f}, size {:.2f}, appearance {:.2f}, weakest {}; prediction moved {:.2f} widths "
        "from the last box, detection {:.2f} widths from the prediction (its spread {:.2f} widths)",
        at.videoFrame, old->hits, old->missedFrames, fate, t.utility, threshold, t.iou, t.distance, t.size,
        t.appearance, weakestTerm(run.weights, t), centreShift(old->lastBox, old->predicted),
        centreShift(old->predicted, body->boundingBox),
        old->spread / std::max(1.0, (old->predicted.width + body->boundingBox.width) / 2.0));
}

void report(const Options& o, const Video& video, const Replay& run) {
    const people_count::WalkerLabels labels = people_count::readWalkerLabels(o.labels);
    std::map<int, std::vector<lm::Body>> bodiesByFrame;
    std::set<std::uint32_t> ids;
    for (std::size_t f = 0; f < run.frames.size(); ++f) {
        bodiesByFrame[static_cast<int>(run.frames[f].videoFrame)] = run.frames[f].bodies;
        for (const lm::Body& b : run.frames[f].bodies) ids.insert(b.id);
    }
    if (!o.tracks.empty()) {
        std::ofstream out(o.tracks);
        if (!out) throw std::runtime_error("cannot write " + o.tracks);
        for (const auto& [f, bodies] : bodiesByFrame)
            for (const lm::Body& b : bodies)
                out << fmt::format("{},{},{},{},{},{}\n", f, b.id, b.boundingBox.x, b.boundingBox.y,
                                   b.boundingBox.width, b.boundingBox.height);
    }
    const people_count::TrackScore score = people_count::scoreTracks(labels, bodiesByFrame);
    const int last =
        run.frames.empty() ? static_cast<int>(run.first) - 1 : static_cast<int>(run.frames.back().videoFrame);
    fmt::print("frames {} to {} ({} analysed): people count {} (hand count {}), distinct ids {}\n", run.first, last,
               run.frames.size(), run.peopleCount,
               people_count::passagesDuring(labels, static_cast<int>(run.first), last), ids.size());
    fmt::print("id switches per labelled walker: {:.2f}, identity swaps: {}\n", people_count::switchesPerWalker(score),
               score.identitySwaps);
    for (const people_count::WalkerScore& w : score.walkers)
        for (std::size_t k = 1; k < w.ids.size(); ++k)
            fmt::print("walker {}: {} -> {}: {}\n", w.walker, w.ids[k - 1], w.ids[k],
                       explain(run, video, w.ids[k - 1], w.ids[k]));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        cv::setNumThreads(4);
        const Video video = loadVideo(options);
        report(options, video, replay(video, options));
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
