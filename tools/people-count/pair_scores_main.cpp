// lumora-pair-scores: how well the body encoder tells the labelled walkers of a video
// apart, for the trained descriptor and the colour grid it replaced, in one run, plain and
// "_quantized": ROC AUC of same-walker against different-walker pairs, the share of each
// kind of pair at or above the body tracker's match thresholds, and the encoder's time per
// body. Both networks are converted from WEIGHTS_DIR and run through the body encoder stage.
//
//   lumora-pair-scores --weights DIR --video FILE --labels FILE [--same-person A:B ...]
//                      [--fit SOURCE]
//
// --same-person names two walker ids of one person (a second passage): their pairs are
// same-person pairs, and both walkers fall on the side of the split of the lower id.
// Figures are given for the measuring walkers (even ids, never fitted on), for the
// calibrating walkers (ids 3, 7, 11, ...: only the whitening's shrink and the descriptor's
// length were chosen on them) and for all. --fit refits the descriptor's statistics and
// whitening on walkers 1, 5, 9, ..., its shrink and length on the calibrating walkers, and
// writes them as C++ source (tools/lumora-models/real/body_encoder_statistics.cpp); the
// figures then use them.

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>

#include "encoder.h"
#include "lm_bodyencoder.h"
#include "pair_scoring.h"
#include "real/body_encoder.h"
#include "real/real_models.h"
#include "walker_labels.h"

namespace {

namespace fs = std::filesystem;
namespace real = lm::models::real;
using people_count::LabelledCrop;

struct Options {
    std::string weights;
    std::string video;
    std::string labels;
    std::string fit;
    std::map<int, int> personOf;  // walker -> the lowest walker id of the same person
};

void addSamePerson(Options& o, const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("--same-person takes A:B, not " + value);
    const int a = std::stoi(value.substr(0, colon)), b = std::stoi(value.substr(colon + 1));
    o.personOf[std::max(a, b)] = std::min(a, b);
}

Options parse(int argc, char** argv) {
    Options o;
    const std::map<std::string, std::function<void(const std::string&)>> setters = {
        {"--weights", [&](const std::string& v) { o.weights = v; }},
        {"--video", [&](const std::string& v) { o.video = v; }},
        {"--labels", [&](const std::string& v) { o.labels = v; }},
        {"--fit", [&](const std::string& v) { o.fit = v; }},
        {"--same-person", [&](const std::string& v) { addSamePerson(o, v); }},
    };
    for (int i = 1; i < argc; i += 2) {
        const auto setter = setters.find(argv[i]);
        if (setter == setters.end() || i + 1 == argc)
            throw std::invalid_argument(std::string("unknown option or no value: ") + argv[i]);
        setter->second(argv[i + 1]);
    }
    if (o.weights.empty() || o.video.empty() || o.labels.empty())
        throw std::invalid_argument(
            "usage: lumora-pair-scores --weights DIR --video FILE --labels FILE [--same-person A:B ...] "
            "[--fit SOURCE]");
    return o;
}

// The match thresholds of the body tracker's rows (lib/src/lm_bodytracker.cpp): NORMAL
// network FPS_30, FPS_10, FPS_5, then QUANTIZED FPS_30 and FPS_10/FPS_5.
struct Threshold {
    const char* name;
    float value;
};
constexpr float LOWEST_NORMAL_THRESHOLD = 0.45912042f;
const Threshold THRESHOLDS[] = {
    {"30", LOWEST_NORMAL_THRESHOLD}, {"10", 0.7f}, {"5", 0.49632552f}, {"q30", 0.20341767f}, {"q10/5", 0.3240823f}};

struct Encoded {
    std::vector<lm::AppearanceVector> vectors;
    double msPerBodyAlone = 0.0;  // one call per body
    double msPerBodyFrame = 0.0;  // one call per frame over its labelled bodies
};

Encoded encode(const real::IrGraph& graph, bool quantized, const std::vector<LabelledCrop>& crops) {
    const fs::path dir = fs::temp_directory_path() / fmt::format("lumora-pairs-{}", ::getpid());
    fs::create_directories(dir);
    real::writeRealModel({}, {"bodyencoder", [&](const real::WeightsDir&) { return graph; }}, dir.string());
    lm::Settings settings;
    settings.neuralNetworksPath = dir.string();
    settings.networkType = quantized ? lm::Settings::QUANTIZED : lm::Settings::NORMAL;
    lm::BodyEncoder encoder;
    encoder.onSettingsUpdate(settings);
    fs::remove_all(dir);

    Encoded encoded;
    const auto alone = std::chrono::steady_clock::now();
    for (const LabelledCrop& crop : crops) {
        lm::Detection detection;
        detection.boundingBox = crop.box;
        encoded.vectors.push_back(encoder.encodeBodies(crop.image, {detection}).front());
    }
    const auto byFrame = std::chrono::steady_clock::now();
    std::map<int, std::vector<lm::Detection>> frames;
    for (const LabelledCrop& crop : crops) frames[crop.frame].emplace_back().boundingBox = crop.box;
    for (const LabelledCrop& crop : crops)
        if (frames.count(crop.frame)) {
            encoder.encodeBodies(crop.image, frames[crop.frame]);
            frames.erase(crop.frame);
        }
    const auto end = std::chrono::steady_clock::now();
    const double n = static_cast<double>(crops.size());
    encoded.msPerBodyAlone = std::chrono::duration<double, std::milli>(byFrame - alone).count() / n;
    encoded.msPerBodyFrame = std::chrono::duration<double, std::milli>(end - byFrame).count() / n;
    return encoded;
}

// The crops' stripe means: the descriptor's network before its whitening.
std::vector<std::vector<float>> stripeFeatures(const std::string& weights, const std::vector<LabelledCrop>& crops) {
    std::vector<std::vector<float>> rows;
    for (const lm::AppearanceVector& v : encode(real::convertBodyFeatures({weights}), false, crops).vectors)
        rows.emplace_back(v.begin(), v.end());
    return rows;
}

// Standardised and whitened on the crops of the statistics walkers, the whitening's
// shrink chosen among SHRINKS by the ROC AUC of the calibrating walkers, whose
// different-walker pairs then set the length: FALSE_MATCH_SHARE of them at or above the
// lowest match threshold of the NORMAL rows.
constexpr double FALSE_MATCH_SHARE = 0.05;
constexpr float DEVIATION_FLOOR_SHARE = 0.01f;
const double SHRINKS[] = {0.3, 0.1, 0.03};

std::vector<LabelledCrop> cropsOf(const std::vector<LabelledCrop>& all, const std::function<bool(int)>& keep) {
    std::vector<LabelledCrop> kept;
    for (const LabelledCrop& crop : all)
        if (keep(crop.walker)) kept.push_back(crop);
    return kept;
}

std::vector<int> walkersOf(const std::vector<LabelledCrop>& crops) {
    std::vector<int> walkers;
    for (const LabelledCrop& crop : crops) walkers.push_back(crop.walker);
    return walkers;
}

// Standardised rows, as the network standardises them.
std::vector<std::vector<float>> standardised(std::vector<std::vector<float>> rows,
                                             const people_count::ColumnStatistics& statistics) {
    for (auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) row[c] = (row[c] - statistics.mean[c]) / statistics.deviation[c];
    return rows;
}

// The cosines of every pair of rows after the projection.
people_count::PairScores projectedCosines(const std::vector<std::vector<float>>& rows, const std::vector<int>& walkers,
                                          const std::vector<float>& projection) {
    const int d = static_cast<int>(rows.front().size());
    const cv::Mat p(d, d, CV_32F, const_cast<float*>(projection.data()));
    std::vector<cv::Mat> unit;
    for (const auto& row : rows) {
        const cv::Mat y = p * cv::Mat(row, false);
        unit.push_back(y / cv::norm(y));
    }
    return people_count::scorePairs(
        walkers, [](int) { return true; },
        [&](std::size_t i, std::size_t j) { return static_cast<float>(unit[i].dot(unit[j])); });
}

real::BodyFeatureStatistics fitStatistics(const std::string& weights, const std::vector<LabelledCrop>& all) {
    const std::vector<LabelledCrop> fitting = cropsOf(all, people_count::isStatisticsWalker);
    const std::vector<LabelledCrop> calibrating = cropsOf(all, people_count::isCalibratingWalker);
    const std::vector<std::vector<float>> fittingRows = stripeFeatures(weights, fitting);
    const people_count::ColumnStatistics columns = people_count::columnStatistics(fittingRows, DEVIATION_FLOOR_SHARE);
    const auto fittingStandard = standardised(fittingRows, columns);
    const auto calibratingStandard = standardised(stripeFeatures(weights, calibrating), columns);

    real::BodyFeatureStatistics best;
    double bestAuc = -1.0;
    people_count::PairScores bestCosines;
    for (const double shrink : SHRINKS) {
        std::vector<float> projection =
            people_count::withinPersonWhitening(fittingStandard, walkersOf(fitting), shrink);
        const people_count::PairScores cosines =
            projectedCosines(calibratingStandard, walkersOf(calibrating), projection);
        const double auc = people_count::rocAuc(cosines);
        fmt::print("shrink {}: ROC AUC {:.3f} on the calibrating walkers\n", shrink, auc);
        if (auc > bestAuc) {
            bestAuc = auc;
            best = {columns.mean, columns.deviation, std::move(projection), 0.0f};
            bestCosines = cosines;
        }
    }
    best.length =
        people_count::lengthForFalseMatchShare(bestCosines.different, LOWEST_NORMAL_THRESHOLD, FALSE_MATCH_SHARE);
    fmt::print("statistics and whitening fitted on {} crops, the shrink and length on {} crops of other walkers\n",
               fitting.size(), calibrating.size());
    return best;
}

void writeStatisticsSource(const std::string& path, const real::BodyFeatureStatistics& statistics) {
    std::ofstream out(path);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << "// Written by `lumora-pair-scores --fit`; recompute it rather than edit it.\n"
        << "// Mean, deviation and whitening fitted on labelled crops of walkers 1, 5, 9, ... of\n"
        << "// vtest.avi, the whitening's shrink and the length on walkers 3, 7, 11, ...; the\n"
        << "// even-numbered walkers measure it.\n"
        << "#include \"real/body_encoder.h\"\n\nnamespace lm::models::real {\n\n// clang-format off\n"
        << "const BodyFeatureStatistics& fittedBodyFeatureStatistics() {\n"
        << "    static const BodyFeatureStatistics statistics{\n";
    for (const auto* values : {&statistics.mean, &statistics.deviation, &statistics.projection}) {
        out << "        {";
        for (std::size_t i = 0; i < values->size(); ++i)
            out << (i == 0 ? "" : i % 8 == 0 ? ",\n         " : ", ") << fmt::format("{:.8g}f", (*values)[i]);
        out << "},\n";
    }
    out << fmt::format("        {:.9g}f,\n", statistics.length);
    out << "    };\n    return statistics;\n}\n// clang-format on\n\n}  // namespace lm::models::real\n";
}

void printScores(const std::string& name, const std::vector<int>& walkers, const Encoded& encoded) {
    const auto similarity = [&](std::size_t i, std::size_t j) {
        return lm::Encoder::similarity(encoded.vectors[i], encoded.vectors[j], people_count::BODY_SIMILARITY_SCALE);
    };
    const struct {
        const char* name;
        std::function<bool(int)> keep;
    } groups[] = {{"measuring", [](int w) { return !people_count::isFittingWalker(w); }},
                  {"calibrating", people_count::isCalibratingWalker},
                  {"all", [](int) { return true; }}};
    for (const auto& group : groups) {
        const people_count::PairScores scores = people_count::scorePairs(walkers, group.keep, similarity);
        std::string shares;
        for (const Threshold& t : THRESHOLDS)
            shares += fmt::format(" | {:.2f} / {:.2f}", people_count::shareAtOrAbove(scores.same, t.value),
                                  people_count::shareAtOrAbove(scores.different, t.value));
        fmt::print("| {} | {} | {} / {} | {:.3f}{} |\n", name, group.name, scores.same.size(), scores.different.size(),
                   people_count::rocAuc(scores), shares);
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options o = parse(argc, argv);
        const people_count::WalkerLabels labels = people_count::readWalkerLabels(o.labels);
        std::vector<LabelledCrop> crops = people_count::readLabelledCrops(o.video, labels.boxes);
        // From here on a crop's walker is its person.
        for (LabelledCrop& crop : crops)
            if (o.personOf.count(crop.walker)) crop.walker = o.personOf.at(crop.walker);
        const std::vector<int> walkers = walkersOf(crops);

        real::BodyFeatureStatistics statistics = real::fittedBodyFeatureStatistics();
        if (!o.fit.empty()) {
            statistics = fitStatistics(o.weights, crops);
            writeStatisticsSource(o.fit, statistics);
            fmt::print("length {:.4f}, written to {}\n", statistics.length, o.fit);
        }

        fmt::print("{} labelled crops of {} walkers\n", crops.size(), labels.passages.size());
        std::string header = "| descriptor | pairs | same / different | ROC AUC";
        for (const Threshold& t : THRESHOLDS) header += fmt::format(" | >= {:.2f} ({})", t.value, t.name);
        fmt::print("{} |\n", header);
        std::vector<std::string> timings;
        for (const bool quantized : {false, true}) {
            const std::string suffix = quantized ? " _quantized" : "";
            const struct {
                std::string name;
                real::IrGraph graph;
            } encoders[] = {{"colour grid" + suffix, real::buildColourGridEncoder()},
                            {"trained" + suffix, real::convertBodyEncoder({o.weights}, statistics)}};
            for (const auto& e : encoders) {
                const Encoded encoded = encode(e.graph, quantized, crops);
                printScores(e.name, walkers, encoded);
                timings.push_back(fmt::format("{}: {:.2f} ms per body alone, {:.2f} ms per body in a frame's call",
                                              e.name, encoded.msPerBodyAlone, encoded.msPerBodyFrame));
            }
        }
        for (const std::string& t : timings) fmt::print("{}\n", t);
        return EXIT_SUCCESS;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
}
