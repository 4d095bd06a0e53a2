// lumora-people-count: runs a video through the body pipeline frame by frame, as harbix does
// for a file with processAllFrames (on the file's own clock, people counting through a body
// aggregator), and prints the people count, the distinct ids and, against a label file, the
// id switches per labelled walker and the identity swaps, with the time per frame of
// analyzeBodies.
//
//   lumora-people-count --models DIR --video FILE [--labels FILE] [--threads N]
//                       [--body-fps dynamic|30|10|5] [--from F] [--frames N] [--tracks FILE]
//
// --from starts the run (a fresh tracker) at frame F of the file; the hand count is then
// the passages in the picture during the analysed frames.
// --tracks writes every tracked body as `frame,id,x,y,w,h`, to look at where tracks break.

#include <chrono>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <opencv2/videoio.hpp>

#include <lumora/lm_lumora.h>

#include "options.h"
#include "people_count.h"
#include "track_scoring.h"
#include "walker_labels.h"

namespace {

struct Options {
    std::string models;
    std::string video;
    std::string labels;
    int threads = 0;
    lm::Settings::TrackerFps bodyFps = lm::Settings::DYNAMIC;
    int from = 0;
    int frames = -1;  // all
    std::string tracks;
};

Options parse(int argc, char** argv) {
    const auto args = people_count::parseOptions(
        argc, argv, {"--models", "--video", "--labels", "--threads", "--body-fps", "--from", "--frames", "--tracks"});
    Options o;
    o.models = people_count::valueOr(args, "--models");
    o.video = people_count::valueOr(args, "--video");
    o.labels = people_count::valueOr(args, "--labels");
    o.threads = std::stoi(people_count::valueOr(args, "--threads", "0"));
    o.bodyFps = people_count::rateClass(people_count::valueOr(args, "--body-fps", "dynamic"));
    o.from = std::stoi(people_count::valueOr(args, "--from", "0"));
    o.frames = std::stoi(people_count::valueOr(args, "--frames", "-1"));
    o.tracks = people_count::valueOr(args, "--tracks");
    if (o.models.empty() || o.video.empty())
        throw std::invalid_argument(
            "usage: lumora-people-count --models DIR --video FILE [--labels FILE] [--threads N] "
            "[--body-fps dynamic|30|10|5] [--from F] [--frames N] [--tracks FILE]");
    if (o.from < 0) throw std::invalid_argument("--from takes a frame number from 0");
    return o;
}

using people_count::CountRun;

CountRun analyse(const Options& o) {
    cv::VideoCapture video(o.video);
    if (!video.isOpened()) throw std::runtime_error("cannot open " + o.video);
    const double fps = video.get(cv::CAP_PROP_FPS) > 0 ? video.get(cv::CAP_PROP_FPS) : 30.0;

    lm::Settings settings;
    settings.neuralNetworksPath = o.models;
    settings.logLevel = lm::Settings::WARN;
    settings.numThreads = o.threads;
    settings.bodyTrackFps = o.bodyFps;
    lm::Lumora lumora(settings);
    // Frames are skipped by reading them: seeking a compressed file may land off the frame.
    cv::Mat skipped;
    for (int f = 0; f < o.from; ++f)
        if (!video.read(skipped)) throw std::runtime_error("the video has no frame " + std::to_string(o.from));
    return people_count::countPeople(lumora, video, fps, o.frames, std::chrono::system_clock::now(), o.from);
}

std::size_t distinctIds(const CountRun& run) {
    std::set<std::uint32_t> ids;
    for (const auto& [frame, bodies] : run.bodiesByFrame)
        for (const lm::Body& body : bodies) ids.insert(body.id);
    return ids.size();
}

void writeTracks(const std::string& path, const CountRun& run) {
    std::ofstream out(path);
    if (!out) throw std::runtime_error("cannot write " + path);
    for (const auto& [frame, bodies] : run.bodiesByFrame)
        for (const lm::Body& body : bodies)
            out << fmt::format("{},{},{},{},{},{}\n", frame, body.id, body.boundingBox.x, body.boundingBox.y,
                               body.boundingBox.width, body.boundingBox.height);
}

void report(const Options& o, const CountRun& run) {
    if (!o.tracks.empty()) writeTracks(o.tracks, run);
    fmt::print("frames analysed: {}\n", run.bodiesByFrame.size());
    fmt::print("people count: {}\n", run.peopleCount);
    fmt::print("distinct ids: {}\n", distinctIds(run));
    fmt::print("analyzeBodies: {:.1f} ms per frame\n", run.msPerFrame);
    if (o.labels.empty()) return;

    const people_count::WalkerLabels labels = people_count::readWalkerLabels(o.labels);
    const int lastFrame = run.bodiesByFrame.empty() ? -1 : run.bodiesByFrame.rbegin()->first;
    fmt::print("hand count (walkers in the picture during the analysed frames): {}\n",
               people_count::passagesDuring(labels, o.from, lastFrame));

    const people_count::TrackScore score = people_count::scoreTracks(labels, run.bodiesByFrame);
    for (const auto& w : score.walkers)
        if (w.labelledBoxes > 0)
            fmt::print("walker {}: {} of {} boxes matched, {} id switches, ids {}\n", w.walker, w.matchedBoxes,
                       w.labelledBoxes, w.idSwitches, fmt::join(w.ids, " "));
    fmt::print("id switches per labelled walker: {:.2f}\n", people_count::switchesPerWalker(score));
    fmt::print("identity swaps: {}\n", score.identitySwaps);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        report(options, analyse(options));
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
