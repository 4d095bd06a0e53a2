// face-eval: makes the labelled face scenes and scores the face networks on them.
//
//   face-eval make   --photos DIR [--labels DIR] [--count N] [--seed S]
//   face-eval render --photos DIR [--labels DIR] --out DIR [--scenes N] [--network a] [--threshold 0.5]
//   face-eval score  --photos DIR [--labels DIR] [--part tuning|heldout|all]
//                    [--networks a,b] [--thresholds 0.8,0.5] [--ranges REGULAR,LONG] [--weights DIR]
//                    [--by-class 1]   (also the recall of masked and of bare faces alone)
//                    [--list-false 1] (every false positive, with its scene)
//                    a network name ending in +faceverify has the shipped second look beside it
//   face-eval verify --photos DIR [--labels DIR] [--part tuning|heldout] [--floor 0.2] [--look 0.2] [--features mean|halves|quarters|landmarks]
//                    [--detector weighed|offset] [--penalties 1,10,100,1000]
//                    [--cache DIR] [--weights DIR] [--photo-candidates FILE] [--write-readout FILE]
//   face-eval harvest --out FILE [--floor 0.5]   (the detector's candidates on Debian's photographs)
//   face-eval sheets --photo-candidates FILE --out DIR   (numbered crops for labelling them)
//   face-eval profile --network a [--range REGULAR|LONG] [--threads 1] [--quantized 0|1] [--target cpu|opencl]
//
// --labels defaults to this tool's data/ folder; --weights to the source tree's
// .cache/weights (scripts/fetch-weights).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include "candidates.h"
#include "lm_facedetector.h"
#include "photo_candidates.h"
#include "profile.h"
#include "real/real_models.h"
#include "scene_set.h"
#include "scoring.h"
#include "verifier_study.h"

namespace {

using namespace faceeval;
namespace fs = std::filesystem;

const char* const USAGE =
    "usage: face-eval make|render|score --photos DIR [--labels DIR] [--out DIR] [--count N] [--seed S]\n"
    "       [--scenes N] [--part tuning|heldout|all] [--networks a,b] [--thresholds 0.8,0.5] [--ranges REGULAR,LONG]\n"
    "       [--weights DIR]\n"
    "       face-eval verify --photos DIR [--part tuning|heldout] [--floor 0.2] [--features "
    "mean|halves|quarters|landmarks]\n"
    "       face-eval harvest --out FILE [--floor 0.5]\n"
    "       face-eval sheets --photo-candidates FILE --out DIR\n"
    "       face-eval profile --network a [--range REGULAR|LONG] [--threads N] [--quantized 0|1] [--target "
    "cpu|opencl]\n";

const std::vector<cv::Size> SCENE_SIZES = {{640, 480}, {1024, 768}};

std::map<std::string, std::string> parseOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0) throw std::invalid_argument("unexpected " + key);
        options[key.substr(2)] = argv[i + 1];
    }
    return options;
}

std::string option(const std::map<std::string, std::string>& options, const std::string& key,
                   const std::string& fallback) {
    const auto it = options.find(key);
    if (it != options.end()) return it->second;
    if (fallback.empty()) throw std::invalid_argument("--" + key + " is required");
    return fallback;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) items.push_back(item);
    return items;
}

Sources sourcesFrom(const std::map<std::string, std::string>& options) {
    return {option(options, "photos", ""), SKIMAGE_DATA, OPENCV_DATA};
}

std::string labelsDir(const std::map<std::string, std::string>& options) {
    return option(options, "labels", FACE_EVAL_DATA_DIR);
}

int make(const std::map<std::string, std::string>& options) {
    const int count = std::stoi(option(options, "count", "200"));
    const auto seed = static_cast<std::uint32_t>(std::stoul(option(options, "seed", "20")));
    const std::vector<SceneSpec> scenes = drawScenes(sourcesFrom(options), SCENE_SIZES, count, seed);
    writeScenes(scenes, labelsDir(options));
    std::size_t faces = 0;
    for (const SceneSpec& scene : scenes) faces += scene.faces.size();
    std::printf("%zu scenes, %zu faces written to %s\n", scenes.size(), faces, labelsDir(options).c_str());
    return 0;
}

struct Range {
    const char* name;
    lm::Settings::Range range;
    cv::Size size;
};
const Range RANGES[] = {{"REGULAR", lm::Settings::REGULAR, {640, 480}}, {"LONG", lm::Settings::LONG, {1024, 768}}};

// A network name ending in this has the shipped second look beside it.
const std::string WITH_SECOND_LOOK = "+faceverify";

bool withSecondLook(const std::string& name) {
    return name.size() > WITH_SECOND_LOOK.size() &&
           name.compare(name.size() - WITH_SECOND_LOOK.size(), WITH_SECOND_LOOK.size(), WITH_SECOND_LOOK) == 0;
}

// Writes the candidate under both detector names, so the library's stage loads it as it
// loads the shipped networks, and the second look when its name asks for it (any left by
// the candidate before is removed).
void writeCandidate(const std::string& name, const lm::models::real::WeightsDir& weights, const std::string& dir) {
    const bool secondLook = withSecondLook(name);
    const Candidate candidate =
        candidateNamed(secondLook ? name.substr(0, name.size() - WITH_SECOND_LOOK.size()) : name);
    for (const char* file : {"faceverify.xml.enc", "faceverify_quantized.xml.enc"}) fs::remove(fs::path(dir) / file);
    if (secondLook) lm::models::real::writeRealModel(weights, lm::models::real::realModel("faceverify"), dir);
    for (const Range& range : RANGES) {
        const cv::Size size = range.size;
        const lm::models::real::RealModel model{
            range.range == lm::Settings::REGULAR ? "detect_regular" : "detect_long",
            [&](const lm::models::real::WeightsDir& w) { return candidate.build(w, size.width, size.height); }};
        lm::models::real::writeRealModel(weights, model, dir);
    }
}

// The recall of masked and of bare faces alone, over the same matching of the whole scene.
struct Result {
    Tally tally;
    Tally masked;
    Tally bare;
    double milliseconds = 0;
};

// With `listFalse`, every false positive is printed with its scene, for viewing.
Result scoreRange(lm::FaceDetector& detector, const std::vector<std::pair<cv::Mat, const SceneSpec*>>& frames,
                  bool listFalse = false) {
    Result result;
    double total = 0;
    for (const auto& [frame, scene] : frames) {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<lm::Person> people = detector.detect(frame);
        total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::vector<Detection> detections;
        for (const lm::Person& person : people) detections.push_back({person.boundingBox, person.detectionConfidence});
        std::vector<cv::Rect> faces;
        for (const FaceSpec& face : scene->faces) faces.push_back(face.face);
        const SceneScore score = scoreScene(faces, detections);
        if (listFalse)
            for (const Detection& d : score.falseDetections)
                std::printf("  false face: scene %d (%s) at (%d,%d) %dx%d, %.3f\n", scene->id,
                            scene->background.c_str(), d.box.x, d.box.y, d.box.width, d.box.height, d.confidence);
        result.tally.add(faces, score);
        result.masked.add(faces, score, facesOfClass(*scene, true));
        result.bare.add(faces, score, facesOfClass(*scene, false));
    }
    result.milliseconds = frames.empty() ? 0 : total / frames.size();
    return result;
}

struct ModelDir {
    fs::path path = fs::temp_directory_path() / ("face-eval-" + std::to_string(::getpid()));
    ModelDir() { fs::create_directories(path); }
    ~ModelDir() { fs::remove_all(path); }
};

std::unique_ptr<lm::FaceDetector> detectorFor(const std::string& modelDir, const Range& range, float threshold) {
    lm::Settings settings;
    settings.neuralNetworksPath = modelDir;
    settings.detectionRange = range.range;
    settings.faceConfidenceThreshold = threshold;
    auto detector = std::make_unique<lm::FaceDetector>();
    detector->onSettingsUpdate(settings);
    return detector;
}

// The scenes with their labels in green and, given --network, its detections at
// --threshold in red with their confidence.
int render(const std::map<std::string, std::string>& options) {
    const Sources sources = sourcesFrom(options);
    const std::string out = option(options, "out", "");
    fs::create_directories(out);
    const std::vector<SceneSpec> scenes = readScenes(labelsDir(options));
    const auto limit = static_cast<std::size_t>(std::stoul(option(options, "scenes", std::to_string(scenes.size()))));
    const std::string network = option(options, "network", "-");
    const ModelDir modelDir;
    std::map<int, std::unique_ptr<lm::FaceDetector>> detectors;
    if (network != "-") {
        writeCandidate(network, {option(options, "weights", FACE_EVAL_WEIGHTS_DIR)}, modelDir.path.string());
        for (const Range& range : RANGES)
            detectors[range.size.width] =
                detectorFor(modelDir.path.string(), range, std::stof(option(options, "threshold", "0.5")));
    }
    for (std::size_t i = 0; i < scenes.size() && i < limit; ++i) {
        cv::Mat image = renderScene(scenes[i], sources);
        std::vector<lm::Person> people;
        if (detectors.count(image.cols)) people = detectors[image.cols]->detect(image);
        for (const FaceSpec& face : scenes[i].faces) cv::rectangle(image, face.face, {0, 255, 0}, 1);
        for (const lm::Person& person : people) {
            cv::rectangle(image, person.boundingBox, {0, 0, 255}, 1);
            cv::putText(image, cv::format("%.2f", person.detectionConfidence), person.boundingBox.tl(),
                        cv::FONT_HERSHEY_PLAIN, 0.8, {0, 0, 255});
        }
        cv::imwrite(out + "/scene_" + std::to_string(scenes[i].id) + ".png", image);
    }
    return 0;
}

void printHeader() {
    std::printf("| network | range | threshold |");
    for (const Band& band : BANDS) std::printf(" recall %s |", band.name);
    std::printf(" FP/frame | ms/frame |\n|---|---|---|");
    for (std::size_t b = 0; b < BANDS.size(); ++b) std::printf("---|");
    std::printf("---|---|\n");
}

int score(const std::map<std::string, std::string>& options) {
    const Sources sources = sourcesFrom(options);
    const std::string part = option(options, "part", "tuning");
    const std::vector<std::string> names = splitList(option(options, "networks", "ssd-native"));
    const std::vector<std::string> thresholds = splitList(option(options, "thresholds", "0.8,0.5"));
    const std::vector<std::string> ranges = splitList(option(options, "ranges", "REGULAR,LONG"));
    const lm::models::real::WeightsDir weights{option(options, "weights", FACE_EVAL_WEIGHTS_DIR)};
    const bool byClass = option(options, "by-class", "0") == "1";
    const bool listFalse = option(options, "list-false", "0") == "1";

    std::map<std::string, std::vector<std::pair<cv::Mat, const SceneSpec*>>> framesBySize;
    const std::vector<SceneSpec> scenes = readScenes(labelsDir(options));
    int faces = 0;
    for (const SceneSpec& scene : scenes) {
        if (part != "all" && part != partName(scene.part)) continue;
        framesBySize[std::to_string(scene.size.width)].push_back({renderScene(scene, sources), &scene});
        faces += static_cast<int>(scene.faces.size());
    }
    std::printf("part %s: %d faces\n", part.c_str(), faces);

    const ModelDir modelDir;
    printHeader();
    for (const std::string& name : names) {
        writeCandidate(name, weights, modelDir.path.string());
        for (const Range& range : RANGES) {
            if (std::find(ranges.begin(), ranges.end(), range.name) == ranges.end()) continue;
            const auto& frames = framesBySize[std::to_string(range.size.width)];
            for (const std::string& threshold : thresholds) {
                const auto detector = detectorFor(modelDir.path.string(), range, std::stof(threshold));
                const Result result = scoreRange(*detector, frames, listFalse);
                std::printf("| %s | %s | %s |", name.c_str(), range.name, threshold.c_str());
                for (std::size_t b = 0; b < BANDS.size(); ++b)
                    std::printf(" %.3f (%d) |", result.tally.recall(b), result.tally.faces(b));
                std::printf(" %.3f | %.1f |\n", result.tally.falsePositivesPerFrame(), result.milliseconds);
                if (byClass)
                    for (const auto& [label, tally] :
                         {std::pair{"masked faces", &result.masked}, std::pair{"bare faces", &result.bare}}) {
                        std::printf("| %s, %s | %s | %s |", name.c_str(), label, range.name, threshold.c_str());
                        for (std::size_t b = 0; b < BANDS.size(); ++b)
                            std::printf(" %.3f (%d) |", tally->recall(b), tally->faces(b));
                        std::printf(" | |\n");
                    }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}

int verify(const std::map<std::string, std::string>& options) {
    VerifierStudy study;
    study.sources = sourcesFrom(options);
    study.labelsDir = labelsDir(options);
    study.weights = {option(options, "weights", FACE_EVAL_WEIGHTS_DIR)};
    study.part = option(options, "part", "tuning");
    if (study.part != "tuning" && study.part != "heldout") throw std::invalid_argument("--part tuning|heldout");
    study.candidateFloor = std::stof(option(options, "floor", "0.2"));
    study.secondLook = std::max(study.candidateFloor, std::stof(option(options, "look", "0")));
    study.features = option(options, "features", "halves");
    study.detectorOffset = option(options, "detector", "weighed") == "offset";
    if (options.count("penalties")) {
        study.penalties.clear();
        for (const std::string& penalty : splitList(options.at("penalties")))
            study.penalties.push_back(std::stod(penalty));
    }
    if (options.count("cache")) study.cacheDir = options.at("cache");
    if (options.count("photo-candidates")) study.photoCandidates = options.at("photo-candidates");
    if (options.count("write-readout")) study.readoutSource = options.at("write-readout");
    studyVerifier(study, stdout);
    return 0;
}

int harvest(const std::map<std::string, std::string>& options) {
    VerifierStudy study;
    study.weights = {option(options, "weights", FACE_EVAL_WEIGHTS_DIR)};
    study.candidateFloor = std::stof(option(options, "floor", "0.5"));
    harvestPhotoCandidates(study, option(options, "out", ""), stdout);
    return 0;
}

int sheets(const std::map<std::string, std::string>& options) {
    writeLabelSheets(readPhotoCandidates(option(options, "photo-candidates", "")), option(options, "out", ""));
    return 0;
}

int profile(const std::map<std::string, std::string>& options) {
    ProfileRequest request;
    const bool isLong = option(options, "range", "REGULAR") == "LONG";
    request.width = isLong ? 1024 : 640;
    request.height = isLong ? 768 : 480;
    request.threads = std::stoi(option(options, "threads", "1"));
    request.quantized = option(options, "quantized", "0") == "1";
    request.openCl = option(options, "target", "cpu") == "opencl";
    printProfile(candidateNamed(option(options, "network", "")), {option(options, "weights", FACE_EVAL_WEIGHTS_DIR)},
                 request);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::invalid_argument("no command");
        const std::string command = argv[1];
        const auto options = parseOptions(argc, argv);
        if (command == "make") return make(options);
        if (command == "render") return render(options);
        if (command == "score") return score(options);
        if (command == "profile") return profile(options);
        if (command == "verify") return verify(options);
        if (command == "harvest") return harvest(options);
        if (command == "sheets") return sheets(options);
        throw std::invalid_argument("unknown command " + command);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "face-eval: %s\n%s", e.what(), USAGE);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "face-eval: %s\n", e.what());
        return 1;
    }
}
