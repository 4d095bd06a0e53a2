#include "training/facemask_training.h"

#include <array>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <stdexcept>

#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>

#include "face_estimator.h"
#include "real/facemask.h"
#include "real/ir_emit.h"
#include "training/split.h"
#include "training/stage_crops.h"
#include "util/ir_reader.h"

namespace lm::models::training {

namespace {

const cv::Size STAGE_INPUT(112, 112);
const char* const MASK_OUTPUT = "model/mask/Softmax";
constexpr int MASK_CLASS = 2;
constexpr int CALIBRATION_BANDS = 10;
constexpr std::size_t PROGRESS_STEP = 500;
// Below the pipeline's default 0.8, so that faces the detector is less sure of (masked ones
// above all) are learnt too; the figures are given for both thresholds.
constexpr float DETECTION_THRESHOLD = 0.5f;
constexpr float DEFAULT_THRESHOLD = 0.8f;
constexpr int NEWTON_ITERATIONS = 50;
const double PENALTIES[] = {0.1, 1.0, 10.0, 100.0, 1000.0};
const int COMPONENT_COUNTS[] = {32, 64, 128, 256};
constexpr int MAX_COMPONENTS = 256;

// Faces that are not in the set: Debian's sample photographs, none of them masked.
const char* const SAMPLE_PHOTOS[] = {
    "/usr/lib/python3/dist-packages/skimage/data/astronaut.png",
    "/usr/share/doc/opencv-doc/examples/data/messi5.jpg",
    "/usr/share/doc/opencv-doc/examples/data/basketball1.png",
    "/usr/share/doc/opencv-doc/examples/data/basketball2.png",
    "/usr/share/doc/opencv-doc/opencv4/html/227943776_1.jpg",
    "/usr/share/doc/opencv-doc/opencv4/html/230501201_1.jpg",
    "/usr/share/doc/opencv-doc/opencv4/html/studentsSample_input.jpg",
};

struct Face {
    const LabelledPhoto* photo;
    StageCrop crop;
    int group = 0;  // near duplicates share one
    bool test = false;
};

// A network read back through the library's reader; the IR texts stay with it.
struct Network {
    real::IrPair ir;
    cv::dnn::Net net;
};

Network readNetwork(const real::IrGraph& graph, bool quantized) {
    Network n{real::emitIr(graph, quantized), {}};
    n.net = lm::dnn::readNetFromIR(n.ir.xml.data(), n.ir.xml.size(), n.ir.weights.data(), n.ir.weights.size());
    return n;
}

cv::Mat outputFor(cv::dnn::Net& net, const cv::Mat& input, const std::string& layer) {
    net.setInput(cv::dnn::blobFromImage(input, 1.0, STAGE_INPUT, lm::FACE_CROP_MEAN, true, false, CV_32F));
    return net.forward(layer).reshape(1, 1).clone();
}

// The crops of a previous run, when the cache holds them: "index.txt" lists each photo
// with how its face was found and its confidence, and NAME.png holds the crop.
std::map<std::string, StageCrop> readCropCache(const std::string& dir) {
    std::map<std::string, StageCrop> crops;
    std::ifstream index(dir + "/index.txt");
    std::string name;
    int found = 0;
    float confidence = 0.0f;
    while (index >> name >> found >> confidence) {
        StageCrop crop{static_cast<FaceFound>(found), confidence, {}};
        if (crop.found != FaceFound::None) crop.input = cv::imread(dir + "/" + name + ".png");
        crops[name] = crop;
    }
    return crops;
}

void writeCropCache(const std::string& dir, const std::vector<LabelledPhoto>& photos,
                    const std::vector<StageCrop>& crops) {
    std::ofstream index(dir + "/index.txt");
    for (std::size_t i = 0; i < photos.size(); ++i) {
        index << photos[i].name << " " << static_cast<int>(crops[i].found) << " " << crops[i].confidence << "\n";
        if (crops[i].found != FaceFound::None) cv::imwrite(dir + "/" + photos[i].name + ".png", crops[i].input);
    }
}

std::vector<StageCrop> cropPhotos(const std::vector<LabelledPhoto>& photos, const FacemaskTraining& training,
                                  std::ostream& report) {
    std::map<std::string, StageCrop> cached;
    if (!training.cropCache.empty()) cached = readCropCache(training.cropCache);
    std::vector<StageCrop> crops;
    std::unique_ptr<StageCropper> cropper;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        if (const auto it = cached.find(photos[i].name); it != cached.end()) {
            crops.push_back(it->second);
            continue;
        }
        if (!cropper)
            cropper = std::make_unique<StageCropper>(training.weights, training.scratchDir, DETECTION_THRESHOLD);
        const cv::Mat image = cv::imread(photos[i].path);
        if (image.empty()) throw std::runtime_error("cannot read " + photos[i].path);
        crops.push_back(cropper->cropPhoto(image));
        if ((i + 1) % PROGRESS_STEP == 0)
            report << "  " << i + 1 << " of " << photos.size() << " photos\n" << std::flush;
    }
    if (!training.cropCache.empty() && cropper) writeCropCache(training.cropCache, photos, crops);
    return crops;
}

std::vector<Face> cropFaces(const std::vector<LabelledPhoto>& photos, const FacemaskTraining& training,
                            std::ostream& report) {
    const std::vector<StageCrop> crops = cropPhotos(photos, training, report);
    std::map<bool, std::array<int, 3>> found;  // per class: as is, on a canvas, none
    std::vector<Face> faces;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        ++found[photos[i].mask][static_cast<int>(crops[i].found)];
        if (crops[i].found != FaceFound::None) faces.push_back({&photos[i], crops[i]});
    }
    report << "face detector threshold " << DETECTION_THRESHOLD << ":\n";
    for (const bool mask : {true, false}) {
        const auto& f = found[mask];
        report << (mask ? "  with mask:    " : "  without mask: ") << f[0] + f[1] + f[2] << " photos, " << f[0] + f[1]
               << " yielded a face (" << f[0] << " as they are, " << f[1] << " on a padded canvas), " << f[2]
               << " none\n";
    }
    return faces;
}

void splitFaces(std::vector<Face>& faces, std::ostream& report) {
    std::vector<cv::Mat> inputs;
    for (const Face& face : faces) inputs.push_back(face.crop.input);
    const std::vector<int> groups = nearDuplicateGroups(inputs);
    std::map<int, const std::string*> firstName;
    std::map<int, int> sizes;
    for (std::size_t i = 0; i < faces.size(); ++i) {
        firstName.emplace(groups[i], &faces[i].photo->name);
        ++sizes[groups[i]];
    }
    int largest = 0, tests = 0;
    for (const auto& [group, size] : sizes) largest = std::max(largest, size);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        faces[i].group = groups[i];
        faces[i].test = isTestGroup(*firstName[groups[i]]);
        tests += faces[i].test;
    }
    report << "split: " << faces.size() << " faces in " << sizes.size() << " near-duplicate groups (largest " << largest
           << "); training " << faces.size() - tests << ", test " << tests << "\n";
}

// Features of every training face, one row each, their labels (1 mask) and groups.
void trainingFeatures(cv::dnn::Net& trunk, const std::vector<Face>& faces, cv::Mat& features, cv::Mat& labels,
                      std::vector<int>& groups) {
    for (const Face& face : faces) {
        if (face.test) continue;
        features.push_back(outputFor(trunk, face.crop.input, real::MASK_FEATURES));
        labels.push_back(face.photo->mask ? 1.0f : 0.0f);
        groups.push_back(face.group);
    }
}

// Logistic regression with an L2 penalty, fitted by Newton's method. x holds one row per
// face and a last column of ones (the intercept, not penalised); y is 1 for a mask.
cv::Mat fitLogistic(const cv::Mat& x, const cv::Mat& y, double penalty) {
    cv::Mat w = cv::Mat::zeros(x.cols, 1, CV_64F);
    cv::Mat ridge = cv::Mat::eye(x.cols, x.cols, CV_64F) * penalty;
    ridge.at<double>(x.cols - 1, x.cols - 1) = 0.0;
    for (int iteration = 0; iteration < NEWTON_ITERATIONS; ++iteration) {
        cv::Mat p;
        cv::exp(-(x * w), p);
        p = 1.0 / (1.0 + p);
        const cv::Mat gradient = x.t() * (p - y) + ridge * w;
        cv::Mat weighted = x.clone();
        for (int r = 0; r < x.rows; ++r) weighted.row(r) *= p.at<double>(r) * (1.0 - p.at<double>(r));
        cv::Mat step;
        cv::solve(x.t() * weighted + ridge, gradient, step, cv::DECOMP_CHOLESKY);
        w -= step;
        if (cv::norm(step, cv::NORM_INF) < 1e-7) break;
    }
    return w;
}

int misclassified(const cv::Mat& x, const cv::Mat& y, const cv::Mat& w) {
    const cv::Mat z = x * w;
    int wrong = 0;
    for (int r = 0; r < x.rows; ++r) wrong += (z.at<double>(r) >= 0.0) != (y.at<double>(r) > 0.5);
    return wrong;
}

// Which features a read-out takes, how many principal components of them, and the penalty.
struct ReadoutVariant {
    const char* features;
    int firstFeature;
    int featureCount;
    int components;
    double penalty;
};

// The candidates, fixed before any figure of the test part was printed: each map alone and
// both, projected on their leading principal components (the training part holds about
// 2,800 faces, too few for 3,072 free weights), with a range of penalties.
std::vector<ReadoutVariant> readoutVariants() {
    const struct {
        const char* name;
        int first, count;
    } sets[] = {{"fine", 0, real::MASK_FINE_FEATURES},
                {"coarse", real::MASK_FINE_FEATURES, real::MASK_COARSE_FEATURES},
                {"both", 0, real::MASK_FEATURE_COUNT}};
    std::vector<ReadoutVariant> variants;
    for (const auto& set : sets)
        for (const int components : COMPONENT_COUNTS)
            for (const double penalty : PENALTIES)
                variants.push_back({set.name, set.first, set.count, components, penalty});
    return variants;
}

// The training features of one set, standardised, and their principal axes: what a
// variant's fit starts from, computed once per set.
struct ProjectedSet {
    int firstFeature = 0;
    cv::Mat mean, deviation;  // [1, count] each, of the raw features
    cv::PCA pca;              // of the standardised features, COMPONENT_COUNTS' largest kept
    cv::Mat projected;        // [faces, components]

    ProjectedSet(const cv::Mat& raw, int first, int count) : firstFeature(first) {
        const cv::Mat part = raw.colRange(first, first + count);
        cv::reduce(part, mean, 0, cv::REDUCE_AVG);
        const cv::Mat centred = part - cv::repeat(mean, part.rows, 1);
        cv::reduce(centred.mul(centred), deviation, 0, cv::REDUCE_AVG);
        cv::sqrt(deviation, deviation);
        deviation += 1e-6;
        const cv::Mat standard = centred / cv::repeat(deviation, part.rows, 1);
        pca = cv::PCA(standard, cv::noArray(), cv::PCA::DATA_AS_ROW, MAX_COMPONENTS);
        projected = pca.project(standard);
    }

    // The first components' columns and a last column of ones (the intercept).
    cv::Mat design(int components) const {
        cv::Mat x;
        cv::hconcat(projected.colRange(0, components), cv::Mat::ones(projected.rows, 1, CV_64F), x);
        return x;
    }
};

// Errors over five folds of the training part, folds taken by near-duplicate group; the
// test part plays no role in the choice.
int foldErrors(const cv::Mat& x, const cv::Mat& y, const std::vector<int>& groups, double penalty) {
    int errors = 0;
    for (int fold = 0; fold < 5; ++fold) {
        cv::Mat fitX, fitY, heldX, heldY;
        for (int r = 0; r < x.rows; ++r) {
            (groups[r] % 5 == fold ? heldX : fitX).push_back(x.row(r));
            (groups[r] % 5 == fold ? heldY : fitY).push_back(y.row(r));
        }
        errors += misclassified(heldX, heldY, fitLogistic(fitX, fitY, penalty));
    }
    return errors;
}

// The weights of a fit in the projected space carried back onto the raw features:
// logit = w . ((f - mean) / deviation - pcaMean) E^T + b.
real::CellReadout foldedReadout(const ProjectedSet& set, int components, const cv::Mat& w) {
    const cv::Mat axes = set.pca.eigenvectors.rowRange(0, components);  // [components, count]
    const cv::Mat perStandard = axes.t() * w.rowRange(0, components);   // [count, 1]
    real::CellReadout readout{std::vector<float>(real::MASK_FEATURE_COUNT, 0.0f), 0.0f};
    double bias = w.at<double>(components) - perStandard.dot(set.pca.mean.t());
    for (int k = 0; k < perStandard.rows; ++k) {
        const double weight = perStandard.at<double>(k) / set.deviation.at<double>(k);
        readout.weights[set.firstFeature + k] = static_cast<float>(weight);
        bias -= weight * set.mean.at<double>(k);
    }
    readout.bias = static_cast<float>(bias);
    return readout;
}

// Every variant scored over the training folds; the one with the fewest errors (the
// simplest among equals, as they are listed) is fitted on the whole training part.
real::CellReadout fitReadout(const cv::Mat& features, const cv::Mat& labels, const std::vector<int>& groups,
                             std::ostream& report) {
    cv::Mat raw, y;
    features.convertTo(raw, CV_64F);
    labels.convertTo(y, CV_64F);
    std::map<std::string, std::unique_ptr<ProjectedSet>> sets;
    const ReadoutVariant* best = nullptr;
    int fewest = raw.rows + 1;
    const std::vector<ReadoutVariant> variants = readoutVariants();
    report << variants.size() << " read-outs, errors over five training folds of " << raw.rows << " faces:\n";
    for (const ReadoutVariant& v : variants) {
        auto& set = sets[v.features];
        if (!set) set = std::make_unique<ProjectedSet>(raw, v.firstFeature, v.featureCount);
        const int errors = foldErrors(set->design(v.components), y, groups, v.penalty);
        report << "  " << v.features << " " << v.components << " components, penalty " << v.penalty << ": " << errors
               << "\n";
        if (errors < fewest) {
            fewest = errors;
            best = &v;
        }
    }
    const ProjectedSet& set = *sets[best->features];
    const cv::Mat x = set.design(best->components);
    const cv::Mat w = fitLogistic(x, y, best->penalty);
    report << "chosen: " << best->features << ", " << best->components << " components, penalty " << best->penalty
           << " (" << fewest << " fold errors); training errors " << misclassified(x, y, w) << " of " << x.rows << "\n";
    return foldedReadout(set, best->components, w);
}

struct Figures {
    int masked = 0, bare = 0, falseMasks = 0, missedMasks = 0;
    std::array<int, CALIBRATION_BANDS> inBand{}, maskedInBand{};

    void add(bool mask, float probability) {
        (mask ? masked : bare) += 1;
        if (!mask && probability >= 0.5f) ++falseMasks;
        if (mask && probability < 0.5f) ++missedMasks;
        const int band = std::min(CALIBRATION_BANDS - 1, static_cast<int>(probability * CALIBRATION_BANDS));
        ++inBand[band];
        maskedInBand[band] += mask;
    }
};

void printFigures(const std::string& variant, const Figures& f, std::ostream& report) {
    const int total = f.masked + f.bare;
    report << std::fixed << std::setprecision(3) << variant << ": " << total << " test faces (" << f.masked
           << " masked, " << f.bare << " not): accuracy "
           << static_cast<double>(total - f.falseMasks - f.missedMasks) / total << ", false-mask rate "
           << static_cast<double>(f.falseMasks) / f.bare << " (" << f.falseMasks << "), missed-mask rate "
           << static_cast<double>(f.missedMasks) / f.masked << " (" << f.missedMasks << ")\n  calibration:";
    for (int b = 0; b < CALIBRATION_BANDS; ++b) {
        report << " [" << std::setprecision(1) << static_cast<double>(b) / CALIBRATION_BANDS << ","
               << static_cast<double>(b + 1) / CALIBRATION_BANDS << ") " << f.inBand[b];
        if (f.inBand[b] > 0)
            report << " " << std::setprecision(2) << static_cast<double>(f.maskedInBand[b]) / f.inBand[b];
    }
    report << "\n";
}

void printSamples(cv::dnn::Net& net, const FacemaskTraining& training, std::ostream& report) {
    StageCropper cropper(training.weights, training.scratchDir, DEFAULT_THRESHOLD);
    report << "Debian sample photos (no mask), P(mask) of the largest face at threshold " << DEFAULT_THRESHOLD << ":\n";
    for (const char* path : SAMPLE_PHOTOS) {
        const cv::Mat image = cv::imread(path);
        if (image.empty()) continue;
        const StageCrop crop = cropper.cropFrame(image);
        report << "  " << path << ": ";
        if (crop.found == FaceFound::None)
            report << "no face\n";
        else
            report << std::setprecision(3) << outputFor(net, crop.input, MASK_OUTPUT).at<float>(0, MASK_CLASS) << "\n";
    }
}

// The first test face of each class, as the stage's input: fixtures never trained on.
void writeExamples(const std::vector<Face>& faces, const std::string& dir, std::ostream& report) {
    for (const bool mask : {true, false})
        for (const Face& face : faces)
            if (face.test && face.photo->mask == mask) {
                const std::string path = dir + (mask ? "/masked.png" : "/bare.png");
                cv::imwrite(path, face.crop.input);
                report << "wrote " << path << " from " << face.photo->name << "\n";
                break;
            }
}

void writeReadoutSource(const std::string& path, const real::CellReadout& readout) {
    std::ofstream out(path);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << real::cellReadoutSource(readout,
                                   "// Written by `lumora-models --train-facemask`; recompute it rather than edit it.\n"
                                   "// Fitted on the training part of the face photographs with and without a mask of "
                                   "the\n// collection \"Face-Mask-Detection\" by chandrikadeb7 (MIT licence).\n",
                                   "real/facemask.h", "fittedMaskReadout");
}

}  // namespace

void trainFacemask(const FacemaskTraining& training, std::ostream& report) {
    const std::vector<LabelledPhoto> photos = listLabelledPhotos(training.photosDir);
    std::vector<Face> faces = cropFaces(photos, training, report);
    splitFaces(faces, report);

    const real::CellReadout untrained{std::vector<float>(real::MASK_FEATURE_COUNT, 0.0f), 0.0f};
    Network trunk = readNetwork(real::convertFacemask(training.weights, untrained), false);
    cv::Mat features, labels;
    std::vector<int> groups;
    trainingFeatures(trunk.net, faces, features, labels, groups);
    const real::CellReadout readout = fitReadout(features, labels, groups, report);

    const real::IrGraph graph = real::convertFacemask(training.weights, readout);
    for (const bool quantized : {false, true}) {
        Network network = readNetwork(graph, quantized);
        Figures all, confident;
        for (const Face& face : faces) {
            if (!face.test) continue;
            const float p = outputFor(network.net, face.crop.input, MASK_OUTPUT).at<float>(0, MASK_CLASS);
            all.add(face.photo->mask, p);
            if (face.crop.confidence >= DEFAULT_THRESHOLD) confident.add(face.photo->mask, p);
        }
        const std::string variant = quantized ? "_quantized" : "plain";
        printFigures(variant + ", test faces found at " + std::to_string(DETECTION_THRESHOLD).substr(0, 3), all,
                     report);
        printFigures(variant + ", test faces found at " + std::to_string(DEFAULT_THRESHOLD).substr(0, 3), confident,
                     report);
        if (!quantized) printSamples(network.net, training, report);
    }
    if (!training.examplesDir.empty()) writeExamples(faces, training.examplesDir, report);
    writeReadoutSource(training.readoutSource, readout);
    report << "wrote " << training.readoutSource << "\n";
}

}  // namespace lm::models::training
