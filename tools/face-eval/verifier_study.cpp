#include "verifier_study.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <unistd.h>

#include "face_estimator.h"
#include "lm_facedetector.h"
#include "photo_candidates.h"
#include "readout_fit.h"
#include "real/face_verifier.h"
#include "real/facemask.h"
#include "real/ir_emit.h"
#include "real/real_models.h"
#include "scoring.h"
#include "training/split.h"
#include "util/ir_reader.h"

namespace faceeval {

namespace {

namespace fs = std::filesystem;
namespace real = lm::models::real;

// The estimators' input: the face-mask network reads what the age/gender network reads.
const cv::Size CROP_INPUT(112, 112);
constexpr int FOLDS = 5;
// Every pooling of a candidate, side by side: the trunk's mean, halves and quarters, then the
// landmark network's cells as the face-mask network reads them.
constexpr int TRUNK_COLUMNS = 512 + 1024 + 2048;
constexpr int POOLED_COLUMNS = TRUNK_COLUMNS + real::MASK_FEATURE_COUNT;
constexpr int COMPONENTS = 200;

struct Candidate {
    std::size_t scene;  // index into the scenes measured, or into the photographs for a photo's
    cv::Rect box;
    float score = 0;     // the detector's reported confidence
    bool face = false;   // overlaps a labelled face at MATCH_IOU
    cv::Mat features;    // one row; empty when the box is too small to crop
    bool photo = false;  // a candidate of a real photograph, labelled by eye
};

struct Scene {
    const SceneSpec* spec;
    std::vector<cv::Rect> faces;
};

struct Collection {
    std::vector<Scene> scenes;
    std::vector<Candidate> candidates;
    double featureMilliseconds = 0;  // per candidate, both feature networks
};

// The judged candidates of the real photographs of one part.
struct PhotoCollection {
    std::vector<std::string> images;
    std::vector<Candidate> candidates;
};

double logit(double p) {
    const double clamped = std::clamp(p, 1e-6, 1.0 - 1e-6);
    return std::log(clamped / (1.0 - clamped));
}

bool overlapsAFace(const cv::Rect& box, const std::vector<cv::Rect>& faces) {
    return std::any_of(faces.begin(), faces.end(), [&](const cv::Rect& f) { return iou(box, f) >= MATCH_IOU; });
}

// The trunk's [1,512,7,7] map pooled into one row: over the whole face ("mean"), over its
// upper and lower rows 0-3 and 3-6 ("halves", as the face-mask network pools), or over the
// four overlapping 4 x 4 corners ("quarters").
cv::Mat pooled(const cv::Mat& map, const std::string& pooling) {
    const int channels = map.size[1];
    const cv::Mat planes(channels, 49, CV_32F, const_cast<float*>(map.ptr<float>()));
    std::vector<cv::Rect> cells;
    if (pooling == "mean")
        cells = {{0, 0, 7, 7}};
    else if (pooling == "halves")
        cells = {{0, 0, 7, 4}, {0, 3, 7, 4}};
    else if (pooling == "quarters")
        cells = {{0, 0, 4, 4}, {3, 0, 4, 4}, {0, 3, 4, 4}, {3, 3, 4, 4}};
    else
        throw std::invalid_argument("no pooling called " + pooling);
    cv::Mat row(1, channels * static_cast<int>(cells.size()), CV_32F);
    for (int c = 0; c < channels; ++c) {
        const cv::Mat plane = planes.row(c).reshape(1, 7);
        for (std::size_t k = 0; k < cells.size(); ++k)
            row.at<float>(0, c * static_cast<int>(cells.size()) + static_cast<int>(k)) =
                static_cast<float>(cv::mean(plane(cells[k]))[0]);
    }
    return row;
}

// The shipped REGULAR detector, giving every box above the floor, and the trunk alone.
struct Tools {
    fs::path modelDir = fs::temp_directory_path() / ("face-eval-verify-" + std::to_string(::getpid()));
    std::unique_ptr<lm::FaceDetector> detector;
    real::IrPair trunkIr;
    cv::dnn::Net trunk;
    real::IrPair landmarksIr;
    cv::dnn::Net landmarks;  // the face-mask network, read at its features

    explicit Tools(const VerifierStudy& study) {
        fs::create_directories(modelDir);
        real::writeRealModel(study.weights, real::realModel("detect_regular"), modelDir.string());
        lm::Settings settings;
        settings.neuralNetworksPath = modelDir.string();
        settings.faceConfidenceThreshold = study.candidateFloor;
        detector = std::make_unique<lm::FaceDetector>();
        detector->onSettingsUpdate(settings);
        real::IrGraph g("trunk");
        g.result(real::ageGenderFeatureMap(g, study.weights, g.parameter("image", {1, 3, 112, 112})));
        trunkIr = real::emitIr(g, false);
        trunk = lm::dnn::readNetFromIR(trunkIr.xml.data(), trunkIr.xml.size(), trunkIr.weights.data(),
                                       trunkIr.weights.size());
        landmarksIr = real::emitIr(real::convertFacemask(study.weights), false);
        landmarks = lm::dnn::readNetFromIR(landmarksIr.xml.data(), landmarksIr.xml.size(), landmarksIr.weights.data(),
                                           landmarksIr.weights.size());
    }
    ~Tools() { fs::remove_all(modelDir); }
};

// A collection kept between runs: the detector and the trunk are what takes the time.
void writeCache(const Collection& c, const std::string& path) {
    cv::FileStorage storage(path, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
    cv::Mat rows, features;
    for (const Candidate& k : c.candidates) {
        rows.push_back(cv::Mat(cv::Matx<double, 1, 7>(static_cast<double>(k.scene), k.box.x, k.box.y, k.box.width,
                                                      k.box.height, k.score, k.face)));
        features.push_back(k.features.empty() ? cv::Mat::zeros(1, POOLED_COLUMNS, CV_32F) : k.features);
    }
    storage << "rows" << rows << "features" << features << "ms" << c.featureMilliseconds;
}

bool readCache(Collection& c, const std::string& path) {
    cv::FileStorage storage;
    if (!fs::exists(path) || !storage.open(path, cv::FileStorage::READ)) return false;
    cv::Mat rows, features;
    storage["rows"] >> rows;
    storage["features"] >> features;
    storage["ms"] >> c.featureMilliseconds;
    for (int r = 0; r < rows.rows; ++r) {
        const auto v = [&](int k) { return rows.at<double>(r, k); };
        Candidate k{static_cast<std::size_t>(v(0)),
                    cv::Rect(int(v(1)), int(v(2)), int(v(3)), int(v(4))),
                    static_cast<float>(v(5)),
                    v(6) > 0.5,
                    {}};
        if (cv::countNonZero(features.row(r)) > 0) k.features = features.row(r).clone();
        c.candidates.push_back(k);
    }
    return true;
}

// Every pooling of the box's estimator crop, side by side; empty when the box is too small
// to crop.
cv::Mat featuresOf(Tools& tools, const cv::Mat& frame, const cv::Rect& box) {
    const cv::Rect square = lm::estimatorCrop(box, frame);
    if (square.empty()) return {};
    const cv::Mat blob =
        cv::dnn::blobFromImage(frame(square), 1.0, CROP_INPUT, lm::FACE_CROP_MEAN, true, false, CV_32F);
    tools.trunk.setInput(blob);
    const cv::Mat map = tools.trunk.forward();
    tools.landmarks.setInput(blob);
    const cv::Mat cells = tools.landmarks.forward(real::MASK_FEATURES).reshape(1, 1);
    cv::Mat features;
    cv::hconcat(std::vector<cv::Mat>{pooled(map, "mean"), pooled(map, "halves"), pooled(map, "quarters"), cells},
                features);
    return features;
}

Collection collect(const VerifierStudy& study, const std::vector<SceneSpec>& all, Part part, Tools& tools) {
    const std::string cachePath = study.cacheDir.empty() ? ""
                                                         : study.cacheDir + "/" + partName(part) + "-" +
                                                               std::to_string(study.candidateFloor) + "-" +
                                                               std::to_string(POOLED_COLUMNS) + ".yml.gz";
    Collection cached;
    if (!cachePath.empty() && readCache(cached, cachePath)) {
        for (const SceneSpec& spec : all) {
            if (spec.part != part) continue;
            Scene scene{&spec, {}};
            for (const FaceSpec& face : spec.faces) scene.faces.push_back(face.face);
            cached.scenes.push_back(scene);
        }
        return cached;
    }
    Collection c;
    double featureTime = 0;
    int cropped = 0;
    for (const SceneSpec& spec : all) {
        if (spec.part != part) continue;
        Scene scene{&spec, {}};
        for (const FaceSpec& face : spec.faces) scene.faces.push_back(face.face);
        const cv::Mat frame = renderScene(spec, study.sources);
        for (const lm::Person& person : tools.detector->detect(frame)) {
            Candidate candidate{c.scenes.size(),
                                person.boundingBox,
                                person.detectionConfidence,
                                overlapsAFace(person.boundingBox, scene.faces),
                                {}};
            const auto start = std::chrono::steady_clock::now();
            candidate.features = featuresOf(tools, frame, person.boundingBox);
            if (!candidate.features.empty()) {
                featureTime +=
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                ++cropped;
            }
            c.candidates.push_back(candidate);
        }
        c.scenes.push_back(scene);
    }
    c.featureMilliseconds = cropped ? featureTime / cropped : 0;
    if (!cachePath.empty()) writeCache(c, cachePath);
    return c;
}

// The read-out's inputs: the trunk's features and the detector's logit, each standardised
// by the statistics of the fitting rows and projected onto their leading principal
// components (a linear map, so the fitted read-out folds back onto the raw features), and
// a last column of ones.
struct Design {
    cv::Mat mean, deviation;
    cv::PCA pca;

    explicit Design(const cv::Mat& raw) {
        cv::reduce(raw, mean, 0, cv::REDUCE_AVG);
        cv::Mat centred = raw - cv::repeat(mean, raw.rows, 1);
        cv::reduce(centred.mul(centred), deviation, 0, cv::REDUCE_AVG);
        cv::sqrt(deviation, deviation);
        deviation += 1e-6;
        pca = cv::PCA(standardised(raw), cv::noArray(), cv::PCA::DATA_AS_ROW, std::min(COMPONENTS, raw.cols));
    }
    cv::Mat standardised(const cv::Mat& raw) const {
        return (raw - cv::repeat(mean, raw.rows, 1)) / cv::repeat(deviation, raw.rows, 1);
    }
    cv::Mat rows(const cv::Mat& raw) const {
        cv::Mat x;
        cv::hconcat(pca.project(standardised(raw)), cv::Mat::ones(raw.rows, 1, CV_64F), x);
        return x;
    }
};

// Where each pooling lies in a candidate's stored features: mean, halves, quarters.
cv::Range poolingColumns(const std::string& pooling) {
    if (pooling == "mean") return {0, 512};
    if (pooling == "halves") return {512, 1536};
    if (pooling == "quarters") return {1536, TRUNK_COLUMNS};
    if (pooling == "landmarks") return {TRUNK_COLUMNS, POOLED_COLUMNS};
    throw std::invalid_argument("no pooling called " + pooling);
}

// With the detector's logit as an offset, the read-out only corrects the detector:
// final logit = detector logit + read-out. Otherwise the logit is one more input.
struct ReadoutChoice {
    std::string pooling;
    bool detectorOffset = false;
};

cv::Mat rawRow(const Candidate& candidate, const ReadoutChoice& choice) {
    cv::Mat row;
    candidate.features.colRange(poolingColumns(choice.pooling)).convertTo(row, CV_64F);
    if (!choice.detectorOffset) cv::hconcat(row, cv::Mat(1, 1, CV_64F, cv::Scalar(logit(candidate.score))), row);
    return row;
}

double offsetOf(const Candidate& candidate, const ReadoutChoice& choice) {
    return choice.detectorOffset ? logit(candidate.score) : 0.0;
}

// A read-out fitted on candidates: the design of its rows and the weights over them.
struct FittedReadout {
    Design design;
    cv::Mat weights;
};

FittedReadout fitReadout(const std::vector<const Candidate*>& fit, double penalty, const ReadoutChoice& choice) {
    cv::Mat raw, offset, y;
    for (const Candidate* c : fit) {
        raw.push_back(rawRow(*c, choice));
        offset.push_back(offsetOf(*c, choice));
        y.push_back(c->face ? 1.0 : 0.0);
    }
    Design design(raw);
    cv::Mat w = fitLogistic(design.rows(raw), offset, y, penalty);
    return {std::move(design), w};
}

std::vector<double> applyReadout(const FittedReadout& readout, const std::vector<const Candidate*>& apply,
                                 const ReadoutChoice& choice) {
    cv::Mat target, targetOffset;
    for (const Candidate* c : apply) {
        target.push_back(rawRow(*c, choice));
        targetOffset.push_back(offsetOf(*c, choice));
    }
    std::vector<double> probabilities;
    if (target.empty()) return probabilities;
    const cv::Mat p = sigmoid(readout.design.rows(target) * readout.weights + targetOffset);
    for (int r = 0; r < p.rows; ++r) probabilities.push_back(p.at<double>(r));
    return probabilities;
}

// The probability of each row of `apply` from a read-out fitted on the rows of `fit`.
std::vector<double> fitAndApply(const std::vector<const Candidate*>& fit, const std::vector<const Candidate*>& apply,
                                double penalty, const ReadoutChoice& choice) {
    return applyReadout(fitReadout(fit, penalty, choice), apply, choice);
}

// The fit carried back onto the raw cells, as the network's dense layer reads them:
// correction = w . ((f - mean) / deviation - pcaMean) E^T + b, plus `shift`.
real::CellReadout foldedReadout(const FittedReadout& fitted, double shift) {
    const cv::PCA& pca = fitted.design.pca;
    const int components = pca.eigenvectors.rows;
    const cv::Mat perStandard = pca.eigenvectors.t() * fitted.weights.rowRange(0, components);
    real::CellReadout readout{std::vector<float>(real::MASK_FEATURE_COUNT, 0.0f), 0.0f};
    if (perStandard.rows != real::MASK_FEATURE_COUNT)
        throw std::invalid_argument("only a read-out of the landmark cells alone can be written");
    double bias = fitted.weights.at<double>(components) - perStandard.dot(pca.mean.t()) + shift;
    for (int k = 0; k < perStandard.rows; ++k) {
        const double weight = perStandard.at<double>(k) / fitted.design.deviation.at<double>(k);
        readout.weights[k] = static_cast<float>(weight);
        bias -= weight * fitted.design.mean.at<double>(k);
    }
    readout.bias = static_cast<float>(bias);
    return readout;
}

std::vector<const Candidate*> croppable(const Collection& c, int fold, bool inFold) {
    std::vector<const Candidate*> chosen;
    for (const Candidate& candidate : c.candidates) {
        if (candidate.features.empty()) continue;
        const bool member = c.scenes[candidate.scene].spec->id % FOLDS == fold;
        if (fold < 0 || member == inFold) chosen.push_back(&candidate);
    }
    return chosen;
}

// The photographs' candidates of one fold (fold -1: all), folded by the photograph's name.
std::vector<const Candidate*> photoMembers(const PhotoCollection& photos, int fold, bool inFold) {
    std::vector<const Candidate*> chosen;
    for (const Candidate& candidate : photos.candidates) {
        if (candidate.features.empty()) continue;
        const bool member =
            static_cast<int>(lm::models::training::nameHash(photos.images[candidate.scene]) % FOLDS) == fold;
        if (fold < 0 || member == inFold) chosen.push_back(&candidate);
    }
    return chosen;
}

std::vector<const Candidate*> joined(std::vector<const Candidate*> a, const std::vector<const Candidate*>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Each candidate's confidence, 0 for one too small to crop.
std::vector<double> confidencesOf(const std::vector<Candidate>& candidates,
                                  const std::map<const Candidate*, double>& byCandidate) {
    std::vector<double> confidences;
    for (const Candidate& candidate : candidates) {
        const auto it = byCandidate.find(&candidate);
        confidences.push_back(it == byCandidate.end() ? 0.0 : it->second);
    }
    return confidences;
}

struct Confidences {
    std::vector<double> scenes;  // per candidate of the scenes
    std::vector<double> photos;  // per candidate of the photographs
};

// Confidence of every candidate of the scenes and of the photographs scored by read-outs that
// never saw its scene or its photograph; each read-out is fitted on the candidates of both
// outside its fold.
Confidences outOfFold(const Collection& c, const PhotoCollection& photos, double penalty, const ReadoutChoice& choice) {
    std::map<const Candidate*, double> byCandidate;
    for (int fold = 0; fold < FOLDS; ++fold) {
        const auto apply = joined(croppable(c, fold, true), photoMembers(photos, fold, true));
        const auto fit = joined(croppable(c, fold, false), photoMembers(photos, fold, false));
        const auto p = fitAndApply(fit, apply, penalty, choice);
        for (std::size_t i = 0; i < apply.size(); ++i) byCandidate[apply[i]] = p[i];
    }
    return {confidencesOf(c.candidates, byCandidate), confidencesOf(photos.candidates, byCandidate)};
}

double logLoss(const Collection& c, const std::vector<double>& p) {
    double loss = 0;
    for (std::size_t i = 0; i < p.size(); ++i)
        loss -= std::log(std::clamp(c.candidates[i].face ? p[i] : 1.0 - p[i], 1e-9, 1.0));
    return loss / static_cast<double>(p.size());
}

// Which faces a tally counts: all, or only those of masked or of bare photographs (their
// recall over the matching of the whole scene).
enum class Faces { All, Masked, Bare };

// The scenes of one size scored with the candidates that reach the threshold.
Tally tallyAt(const Collection& c, const std::vector<double>& confidences, double threshold, int width,
              Faces faces = Faces::All) {
    std::vector<std::vector<Detection>> detections(c.scenes.size());
    for (std::size_t i = 0; i < c.candidates.size(); ++i)
        if (confidences[i] >= threshold)
            detections[c.candidates[i].scene].push_back({c.candidates[i].box, static_cast<float>(confidences[i])});
    Tally tally;
    for (std::size_t s = 0; s < c.scenes.size(); ++s) {
        if (c.scenes[s].spec->size.width != width) continue;
        const std::vector<bool> counted =
            faces == Faces::All ? std::vector<bool>{} : facesOfClass(*c.scenes[s].spec, faces == Faces::Masked);
        tally.add(c.scenes[s].faces, scoreScene(c.scenes[s].faces, detections[s]), counted);
    }
    return tally;
}

// The lowest candidate confidence at which the false faces a frame stay within the target.
double thresholdFor(const Collection& c, const std::vector<double>& confidences, double target, int width) {
    std::vector<double> levels = confidences;
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    for (const double level : levels)
        if (tallyAt(c, confidences, level, width).falsePositivesPerFrame() <= target) return level;
    return 1.0;
}

void printRow(std::FILE* out, const char* name, double threshold, const Tally& tally) {
    std::fprintf(out, "| %s | %.4f |", name, threshold);
    for (std::size_t b = 0; b < BANDS.size(); ++b) std::fprintf(out, " %.3f (%d) |", tally.recall(b), tally.faces(b));
    std::fprintf(out, " %.3f |\n", tally.falsePositivesPerFrame());
}

std::vector<double> detectorScores(const std::vector<Candidate>& candidates) {
    std::vector<double> scores;
    for (const Candidate& candidate : candidates) scores.push_back(candidate.score);
    return scores;
}

// Both thresholds come from the tuning part.
void printComparison(std::FILE* out, const Collection& c, const std::vector<double>& verified, double verifiedThreshold,
                     double detectorThreshold, float secondLook) {
    constexpr int WIDTH = 640;
    const std::vector<double> detector = detectorScores(c.candidates);
    std::fprintf(out, "| confidence | threshold |");
    for (const Band& band : BANDS) std::fprintf(out, " recall %s |", band.name);
    std::fprintf(out, " FP/frame |\n|---|---|");
    for (std::size_t b = 0; b <= BANDS.size(); ++b) std::fprintf(out, "---|");
    std::fprintf(out, "\n");
    printRow(out, "detector, shipped 0.8", 0.8, tallyAt(c, detector, 0.8, WIDTH));
    printRow(out, "detector, lowest within target", detectorThreshold, tallyAt(c, detector, detectorThreshold, WIDTH));
    // Lower thresholds would miss the boxes that fell below the second look.
    if (secondLook <= 0.5) printRow(out, "detector, 0.5", 0.5, tallyAt(c, detector, 0.5, WIDTH));
    printRow(out, "verified", verifiedThreshold, tallyAt(c, verified, verifiedThreshold, WIDTH));
    for (const auto& [name, faces] : {std::pair{"masked", Faces::Masked}, std::pair{"bare", Faces::Bare}}) {
        printRow(out, (std::string("detector, shipped 0.8, ") + name).c_str(), 0.8,
                 tallyAt(c, detector, 0.8, WIDTH, faces));
        printRow(out, (std::string("verified, ") + name).c_str(), verifiedThreshold,
                 tallyAt(c, verified, verifiedThreshold, WIDTH, faces));
    }
}

// The photographs' labelled faces found and their false faces at a threshold.
void printPhotoRow(std::FILE* out, const char* name, double threshold, const PhotoCollection& photos,
                   const std::vector<double>& confidences) {
    int faces = 0, found = 0, falseFaces = 0;
    std::map<std::size_t, int> falseByPhoto;
    for (std::size_t i = 0; i < photos.candidates.size(); ++i) {
        const Candidate& k = photos.candidates[i];
        faces += k.face;
        if (confidences[i] < threshold) continue;
        found += k.face;
        if (!k.face) {
            ++falseFaces;
            ++falseByPhoto[k.scene];
        }
    }
    std::fprintf(out, "| %s | %.4f | %d of %d | %d | %zu of %zu |\n", name, threshold, found, faces, falseFaces,
                 falseByPhoto.size(), photos.images.size());
}

void printPhotoComparison(std::FILE* out, const PhotoCollection& photos, const std::vector<double>& verified,
                          double verifiedThreshold) {
    std::fprintf(
        out, "| confidence | threshold | faces found | false faces | photographs with one |\n|---|---|---|---|---|\n");
    printPhotoRow(out, "detector, shipped 0.8", 0.8, photos, detectorScores(photos.candidates));
    printPhotoRow(out, "verified", verifiedThreshold, photos, verified);
    for (std::size_t i = 0; i < photos.candidates.size(); ++i) {
        const Candidate& k = photos.candidates[i];
        const bool verifiedSays = verified[i] >= verifiedThreshold, detectorSays = k.score >= 0.8;
        if (verifiedSays != detectorSays)
            std::fprintf(out, "  %s %s (%d,%d,%dx%d): detector %.3f, verified %.3f, labelled %s\n",
                         verifiedSays ? "gained" : "lost", photos.images[k.scene].c_str(), k.box.x, k.box.y,
                         k.box.width, k.box.height, k.score, verified[i], k.face ? "face" : "not a face");
    }
}

// The judged candidates of one part's photographs at the second look, with their features
// (kept in the cache directory: the feature networks take the time).
PhotoCollection collectPhotos(const VerifierStudy& study, Part part, Tools& tools) {
    PhotoCollection photos;
    std::map<std::string, std::size_t> imageIndex;
    for (const PhotoCandidate& p : readPhotoCandidates(study.photoCandidates)) {
        if (p.label < 0 || p.score < study.secondLook || photoPart(p.image) != part) continue;
        if (!imageIndex.count(p.image)) {
            imageIndex[p.image] = photos.images.size();
            photos.images.push_back(p.image);
        }
        Candidate k{imageIndex[p.image], p.box, p.score, p.label == 1, {}, true};
        photos.candidates.push_back(k);
    }
    // The cache holds the features of the boxes it names: a label file judged anew (a box
    // dropped as "?" and another taken in) names other boxes and is looked at again.
    cv::Mat boxes;
    for (const Candidate& k : photos.candidates)
        boxes.push_back(
            cv::Mat(cv::Matx<int, 1, 5>(static_cast<int>(k.scene), k.box.x, k.box.y, k.box.width, k.box.height)));
    const std::string cachePath =
        study.cacheDir.empty() ? "" : study.cacheDir + "/photos-" + partName(part) + ".yml.gz";
    cv::FileStorage storage;
    if (!cachePath.empty() && fs::exists(cachePath) && storage.open(cachePath, cv::FileStorage::READ)) {
        cv::Mat cachedBoxes, features;
        storage["boxes"] >> cachedBoxes;
        storage["features"] >> features;
        if (cachedBoxes.size() == boxes.size() && cv::countNonZero(cachedBoxes != boxes) == 0) {
            for (std::size_t i = 0; i < photos.candidates.size(); ++i)
                if (cv::countNonZero(features.row(static_cast<int>(i))) > 0)
                    photos.candidates[i].features = features.row(static_cast<int>(i)).clone();
            return photos;
        }
    }
    std::string loaded;
    cv::Mat frame, features;
    for (Candidate& k : photos.candidates) {
        if (photos.images[k.scene] != loaded) {
            loaded = photos.images[k.scene];
            frame = loadPhoto(loaded);
        }
        k.features = featuresOf(tools, frame, k.box);
        features.push_back(k.features.empty() ? cv::Mat::zeros(1, POOLED_COLUMNS, CV_32F) : k.features);
    }
    if (!cachePath.empty() && !features.empty()) {
        cv::FileStorage writer(cachePath, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
        writer << "boxes" << boxes << "features" << features;
    }
    return photos;
}

// The stage reports a verified box at 0.8 where the tuning part's threshold would keep it.
const double DEFAULT_THRESHOLD_LOGIT = std::log(0.8 / 0.2);

void writeVerifierSource(const VerifierStudy& study, const real::CellReadout& readout, std::FILE* out) {
    if (study.features != "landmarks" || !study.detectorOffset)
        throw std::invalid_argument("--write-readout needs --features landmarks --detector offset");
    const std::string comment =
        "// Written by `face-eval verify --part heldout --features landmarks --detector offset\n"
        "// --write-readout FILE`; recompute it rather than edit it. Fitted on the detector's candidates\n"
        "// of the tuning part of the labelled face scenes (tools/face-eval) and of the tuning part of\n"
        "// the labelled photographs (tools/face-eval/data/photo-candidates.csv); its bias shifted so\n"
        "// that a verified 0.8 keeps what the tuning part's threshold keeps.\n";
    std::ofstream file(study.readoutSource);
    file << real::cellReadoutSource(readout, comment, "real/face_verifier.h", "fittedVerifierReadout");
    if (!file) throw std::runtime_error("cannot write " + study.readoutSource);
    std::fprintf(out, "read-out written to %s\n", study.readoutSource.c_str());
}

}  // namespace

void harvestPhotoCandidates(const VerifierStudy& study, const std::string& path, std::FILE* out) {
    Tools tools(study);
    std::vector<PhotoCandidate> candidates;
    const std::vector<std::string> images = debianPhotos();
    for (const std::string& image : images)
        for (const lm::Person& person : tools.detector->detect(loadPhoto(image)))
            candidates.push_back({image, person.boundingBox, person.detectionConfidence, -1});
    writePhotoCandidates(candidates, path);
    std::fprintf(out, "%zu photographs, %zu candidates at %.2f written to %s\n", images.size(), candidates.size(),
                 study.candidateFloor, path.c_str());
}

// Candidates below the score of a second look: they fall out before the read-out.
void keepSecondLooks(Collection& c, float secondLook) {
    c.candidates.erase(std::remove_if(c.candidates.begin(), c.candidates.end(),
                                      [&](const Candidate& k) { return k.score < secondLook; }),
                       c.candidates.end());
}

void studyVerifier(const VerifierStudy& study, std::FILE* out) {
    const ReadoutChoice choice{study.features, study.detectorOffset};
    Tools tools(study);
    const std::vector<SceneSpec> scenes = readScenes(study.labelsDir);
    Collection tuning = collect(study, scenes, Part::Tuning, tools);
    keepSecondLooks(tuning, study.secondLook);
    const PhotoCollection noPhotos;
    const PhotoCollection tuningPhotos =
        study.photoCandidates.empty() ? noPhotos : collectPhotos(study, Part::Tuning, tools);
    int faces = 0;
    for (const Candidate& c : tuning.candidates) faces += c.face;
    std::fprintf(out,
                 "tuning: %zu scenes, %zu candidates at %.2f (%d on a face), features %.2f ms a candidate (trunk and "
                 "landmark network); %zu photographs, %zu judged candidates\n",
                 tuning.scenes.size(), tuning.candidates.size(), study.secondLook, faces, tuning.featureMilliseconds,
                 tuningPhotos.images.size(), tuningPhotos.candidates.size());
    std::fflush(out);

    double penalty = study.penalties.front(), bestLoss = 1e300;
    Confidences bestOutOfFold;
    for (const double candidatePenalty : study.penalties) {
        const Confidences p = outOfFold(tuning, tuningPhotos, candidatePenalty, choice);
        const double loss = logLoss(tuning, p.scenes);
        std::fprintf(out, "penalty %.0f: out-of-fold log loss %.4f\n", candidatePenalty, loss);
        std::fflush(out);
        if (loss < bestLoss) {
            bestLoss = loss;
            penalty = candidatePenalty;
            bestOutOfFold = p;
        }
    }
    // The verified threshold is chosen on the tuning part's out-of-fold confidences only.
    const double threshold = thresholdFor(tuning, bestOutOfFold.scenes, study.targetFalsePerFrame, 640);
    const double detectorThreshold =
        thresholdFor(tuning, detectorScores(tuning.candidates), study.targetFalsePerFrame, 640);
    std::fprintf(out, "penalty %.0f, verified threshold %.4f (logit %.3f), detector alone %.4f\n", penalty, threshold,
                 logit(threshold), detectorThreshold);
    if (study.part == "tuning") {
        std::fprintf(out, "tuning part, 640 x 480, verified by folds of scenes:\n");
        printComparison(out, tuning, bestOutOfFold.scenes, threshold, detectorThreshold, study.secondLook);
        if (!tuningPhotos.images.empty()) {
            std::fprintf(out, "tuning photographs, verified by folds of photographs:\n");
            printPhotoComparison(out, tuningPhotos, bestOutOfFold.photos, threshold);
        }
        return;
    }
    Collection heldOut = collect(study, scenes, Part::HeldOut, tools);
    keepSecondLooks(heldOut, study.secondLook);
    const PhotoCollection heldOutPhotos =
        study.photoCandidates.empty() ? noPhotos : collectPhotos(study, Part::HeldOut, tools);
    const auto fit = joined(croppable(tuning, -1, true), photoMembers(tuningPhotos, -1, true));
    const auto apply = joined(croppable(heldOut, -1, true), photoMembers(heldOutPhotos, -1, true));
    const FittedReadout fitted = fitReadout(fit, penalty, choice);
    const std::vector<double> p = applyReadout(fitted, apply, choice);
    if (!study.readoutSource.empty())
        writeVerifierSource(study, foldedReadout(fitted, DEFAULT_THRESHOLD_LOGIT - logit(threshold)), out);
    std::map<const Candidate*, double> byCandidate;
    for (std::size_t i = 0; i < apply.size(); ++i) byCandidate[apply[i]] = p[i];
    std::fprintf(out, "held-out part, 640 x 480, read-out fitted on the whole tuning part (%zu candidates):\n",
                 heldOut.candidates.size());
    printComparison(out, heldOut, confidencesOf(heldOut.candidates, byCandidate), threshold, detectorThreshold,
                    study.secondLook);
    if (!heldOutPhotos.images.empty()) {
        std::fprintf(out, "held-out photographs, read-out fitted on the whole tuning part:\n");
        printPhotoComparison(out, heldOutPhotos, confidencesOf(heldOutPhotos.candidates, byCandidate), threshold);
    }
}

}  // namespace faceeval
