#include "tracker.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include <spdlog/spdlog.h>

#include "hungarian.h"

namespace lm {

namespace {

constexpr const char* LOGGER_NAME = "LumoraLog";
constexpr float UTILITY_SCALE = 1000.0f;
// How far from its prediction a track may be, in standard deviations of the predicted centre.
constexpr float REACH_SIGMAS = 2.0f;
// The appearance similarity from which a detection may be credited with that reach. Without
// it a track whose walker is hidden takes whoever walks into its widened reach. On the
// labelled walkers of vtest.avi (frames 0-399) nine in ten of a walker's own next
// detections score at least 0.53 and nine in ten of the other walkers close by at most 0.43
// (lumora-continuation-scores).
constexpr float REACH_MIN_SIMILARITY = 0.5f;

// Misses a track survives, by how established it is.
std::uint32_t missLimit(std::uint32_t hits) {
    const auto h = static_cast<std::int32_t>(hits);
    if (h <= 1) return 5;
    if (h <= 4) return 15;
    return 30;
}

cv::Point2f boxCentre(const cv::Rect& box) { return (cv::Point2f(box.tl()) + cv::Point2f(box.br())) * 0.5f; }

bool centreOutside(const cv::Rect& box, const cv::Size& frame) {
    const int cx = (2 * box.x + box.width) / 2;
    const int cy = (2 * box.y + box.height) / 2;
    return cx < 0 || cy < 0 || cx >= frame.width || cy >= frame.height;
}

// The pair's score as an int in 0..1000; a score that is not a finite number counts as 0.
int toUtility(float u) {
    const float scaled = u * UTILITY_SCALE;
    if (!std::isfinite(scaled) || scaled <= static_cast<float>(INT_MIN) || scaled >= static_cast<float>(INT_MAX))
        return 0;
    return static_cast<int>(scaled);
}

void warn(const std::string& message) {
    if (auto logger = spdlog::get(LOGGER_NAME)) logger->warn(message);
}

// A measured rate as int; a rate without one (infinite, NaN, out of range) gives INT_MIN.
int rateToInt(float rate) {
    const double r = rate;
    if (!(r > static_cast<double>(INT_MIN) - 1.0 && r < static_cast<double>(INT_MAX) + 1.0)) return INT_MIN;
    return static_cast<int>(r);
}

// The rate class of a measured rate: FPS_30 from 20, FPS_10 from 9 to 19, FPS_5 below.
std::int32_t classOfRate(int rate) {
    if (rate >= 20) return Settings::FPS_30;
    if (rate >= 9) return Settings::FPS_10;
    return Settings::FPS_5;  // also the INT_MIN of an interval of 0 ms
}

}  // namespace

ObjectTracker::ObjectTracker(const WeightTable& weights, Settings::TrackerFps Settings::*rateSetting)
    : mWeightTable(weights), mRateSetting(rateSetting) {
    tuneWeights();
    mFps();
}

void ObjectTracker::onSettingsUpdate(const Settings& settings) {
    std::lock_guard<std::mutex> lock(mMutex);
    mNetworkType = settings.networkType;
    const Settings::TrackerFps fixed = settings.*mRateSetting;
    mFpsFixed = fixed != Settings::DYNAMIC;
    mFpsClass = mFpsFixed ? fixed : Settings::FPS_10;
    tuneWeights();
}

void ObjectTracker::checkFPS(int rate) {
    if (mFpsFixed) return;
    const std::int32_t measured = classOfRate(rate);
    if (measured == mFpsClass) return;
    mFpsClass = measured;
    tuneWeights();
}

void ObjectTracker::tuneWeights() {
    if (mFpsClass < Settings::FPS_30 || mFpsClass > Settings::FPS_5) return;
    const int table = mNetworkType == Settings::NORMAL ? 0 : 1;
    applyWeights(mWeightTable[table][mFpsClass - Settings::FPS_30]);
}

void ObjectTracker::update(std::vector<Detection>& detections, const cv::Mat& frame, Features& features,
                           float similarityScale, const std::optional<TimePoint>& frameTime) {
    if (features && features->size() != detections.size())
        throw std::invalid_argument("Appearance vectors do not match the detections: " +
                                    std::to_string(features->size()) + " for " + std::to_string(detections.size()));

    std::lock_guard<std::mutex> lock(mMutex);
    const UpdateInterval::Step step = mInterval.next(frameTime);
    mElapsedTime = step.elapsed;
    const float steadyRate = mFps();  // kept current on both clocks, for a change back
    if (!frameTime)
        checkFPS(rateToInt(steadyRate));
    else if (step.measured)
        checkFPS(rateToInt(1000.0f / static_cast<float>(mElapsedTime.count())));

    const int frameArea = frame.cols * frame.rows;
    const cv::Size frameSize(frame.cols, frame.rows);

    if (mTrackedObjects.empty()) {
        for (std::size_t j = 0; j < detections.size(); ++j) openTrack(detections[j], frameArea, features, j);
        return;
    }

    for (TrackedObject& track : mTrackedObjects) {
        track.kalmanFilter.step(mElapsedTime);
        track.box = track.kalmanFilter.getPrediction();
    }

    if (detections.empty()) {
        for (TrackedObject& track : mTrackedObjects) missingObject(track);
    } else {
        assignDetections(detections, features, frameArea, similarityScale);
    }
    deleteInvalidTrackers(frameSize);
}

int ObjectTracker::pairUtility(const Weights& w, const cv::Rect& a, const cv::Rect& b,
                               std::optional<float> appearance) {
    // A box without area overlaps nothing and has no size ratio: such a pair scores 0.
    if (a.width <= 0 || a.height <= 0 || b.width <= 0 || b.height <= 0) return 0;

    const int iw = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const int ih = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    const int inter = iw > 0 && ih > 0 ? iw * ih : 0;
    const int areaA = a.width * a.height;
    const int areaB = b.width * b.height;
    const float iou = static_cast<float>(inter) / static_cast<float>(areaA + areaB - inter);

    const int acx = (a.x + (a.x + a.width)) / 2;
    const int acy = (a.y + (a.y + a.height)) / 2;
    const int bcx = (b.x + (b.x + b.width)) / 2;
    const int bcy = (b.y + (b.y + b.height)) / 2;
    const double dx = static_cast<double>(acx - bcx);
    const double dy = static_cast<double>(acy - bcy);
    const auto d = static_cast<float>(std::sqrt(dx * dx + dy * dy));
    // 1 at equal centres, one half when the centres are one mean width apart.
    const float distance = 1.0f / std::pow(2.0f, d / (static_cast<float>(a.width + b.width) * 0.5f));

    const float size = static_cast<float>(std::min(areaA, areaB)) / static_cast<float>(std::max(areaA, areaB));

    const float numerator = ((w.iou * iou + 0.0f) + w.distance * distance) + w.size * size;
    const float weights = (w.distance + w.iou) + w.size;
    if (!appearance) return toUtility(numerator / weights);
    return toUtility((numerator + w.appearance * *appearance) / (weights + w.appearance));
}

cv::Rect ObjectTracker::comparedBox(const cv::Rect& prediction, float spread, const cv::Rect& detection,
                                    std::optional<float> appearance) {
    if (!appearance || !(*appearance >= REACH_MIN_SIMILARITY) || !(spread > 0.0f)) return prediction;
    const cv::Point2f toDetection = boxCentre(detection) - boxCentre(prediction);
    const float gap = std::sqrt(toDetection.dot(toDetection));
    if (!(gap > 0.0f)) return prediction;
    const float share = std::min(1.0f, REACH_SIGMAS * spread / gap);
    return {prediction.x + static_cast<int>(std::lround(toDetection.x * share)),
            prediction.y + static_cast<int>(std::lround(toDetection.y * share)), prediction.width, prediction.height};
}

int ObjectTracker::utility(const TrackedObject& track, const cv::Rect& detection, const AppearanceVector* feature,
                           float similarityScale) const {
    const Weights row{mIouWeight, mDistanceWeight, mSizeWeight, mAppearanceWeight, mMatchThreshold, mMinHits};
    if (feature == nullptr) return pairUtility(row, track.box, detection, std::nullopt);
    float appearance = 0.0f;
    track.featureHistory.forEachOldestFirst([&](const AppearanceVector& stored) {
        const float s = Encoder::similarity(stored, *feature, similarityScale);
        if (s > appearance) appearance = s;  // a NaN never wins
    });
    // A missed track's prediction lags its walker and grows uncertain with every miss; the
    // box terms measure the detection against where the track may be by now, not only
    // against the prediction's centre.
    const cv::Rect compared = comparedBox(track.box, track.kalmanFilter.centreSpread(), detection, appearance);
    return pairUtility(row, compared, detection, appearance);
}

void ObjectTracker::assignDetections(std::vector<Detection>& detections, Features& features, int frameArea,
                                     float similarityScale) {
    const int nT = static_cast<int>(mTrackedObjects.size());
    const int nD = static_cast<int>(detections.size());

    std::vector<int> utilities(static_cast<std::size_t>(nT) * static_cast<std::size_t>(nD));
    std::vector<const int*> rows(static_cast<std::size_t>(nT));
    for (int i = 0; i < nT; ++i) {
        int* row = utilities.data() + static_cast<std::size_t>(i) * nD;
        rows[i] = row;
        for (int j = 0; j < nD; ++j)
            row[j] = utility(mTrackedObjects[i], detections[j].boundingBox, features ? &(*features)[j] : nullptr,
                             similarityScale);
    }

    hungarian_problem_t problem;
    const int n = hungarian_init(&problem, rows.data(), nT, nD, HUNGARIAN_MODE_MAXIMIZE_UTIL);
    if (n < 0 || hungarian_solve(&problem) != 0) {
        // Without an assignment nothing can be continued safely: every track misses this
        // frame and every detection opens a track, so each still gets an id.
        warn("Track assignment failed; treating every detection as new");
        for (TrackedObject& track : mTrackedObjects) missingObject(track);
        for (int j = 0; j < nD; ++j) openTrack(detections[j], frameArea, features, j);
        hungarian_free(&problem);
        return;
    }

    const int threshold = static_cast<int>(static_cast<double>(mMatchThreshold) * 1000.0);
    // Row order decides the order of new ids: first detections refused by a real track, in
    // track order, then those paired with padding rows. Tracks appended here sit at indexes
    // of padding rows or beyond and are never addressed by this walk.
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (problem.assignment[i][j] != HUNGARIAN_ASSIGNED) continue;
            if (j >= nD) {
                missingObject(mTrackedObjects[i]);
            } else if (i >= nT) {
                openTrack(detections[j], frameArea, features, j);
            } else if (rows[i][j] > threshold) {
                continueTrack(mTrackedObjects[i], detections[j], features, j);
            } else {
                missingObject(mTrackedObjects[i]);
                openTrack(detections[j], frameArea, features, j);
            }
        }
    }
    hungarian_free(&problem);
}

void ObjectTracker::openTrack(Detection& detection, int frameArea, Features& features, std::size_t index) {
    if (features)
        newObject(detection, frameArea, std::move((*features)[index]));
    else
        newObject(detection, frameArea);
}

void ObjectTracker::continueTrack(TrackedObject& track, Detection& detection, Features& features, std::size_t index) {
    if (features)
        updateObject(track, detection, std::move((*features)[index]));
    else
        updateObject(track, detection);
}

void ObjectTracker::newObject(Detection& detection, int frameArea) {
    mNextId += 1;
    detection.id = mNextId;
    TrackedObject& track = mTrackedObjects.emplace_back();
    track.id = detection.id;
    track.box = detection.boundingBox;
    track.hits = 1;
    track.kalmanFilter.init(detection.boundingBox, frameArea);
}

void ObjectTracker::newObject(Detection& detection, int frameArea, AppearanceVector&& feature) {
    newObject(detection, frameArea);
    mTrackedObjects.back().featureHistory.push(feature);
}

void ObjectTracker::updateObject(TrackedObject& track, Detection& detection) {
    track.kalmanFilter.correct(detection.boundingBox);
    track.box = detection.boundingBox;
    track.trackedDuration += mElapsedTime;
    detection.id = track.id;
    detection.detectionDuration = track.trackedDuration;
    track.missedFrames = 0;
    track.hits += 1;
    if (static_cast<std::int32_t>(track.hits) >= mMinHits && !track.confirmed) {
        track.confirmed = true;
        mConfirmedCount += 1;
    }
}

void ObjectTracker::updateObject(TrackedObject& track, Detection& detection, AppearanceVector&& feature) {
    updateObject(track, detection);
    track.featureHistory.push(feature);
}

void ObjectTracker::missingObject(TrackedObject& track) { track.missedFrames += 1; }

void ObjectTracker::deleteInvalidTrackers(const cv::Size& frameSize) {
    const auto invalid = [&](const TrackedObject& track) {
        // A box without a positive width and height is where a prediction collapsed; it
        // can no longer be scored against anything.
        return centreOutside(track.box, frameSize) ||
               static_cast<std::int32_t>(track.missedFrames) > static_cast<std::int32_t>(missLimit(track.hits)) ||
               track.box.width <= 0 || track.box.height <= 0;
    };
    mTrackedObjects.erase(std::remove_if(mTrackedObjects.begin(), mTrackedObjects.end(), invalid),
                          mTrackedObjects.end());
}

void ObjectTracker::reset(bool restartIds) {
    std::lock_guard<std::mutex> lock(mMutex);
    mTrackedObjects.clear();
    if (restartIds) {
        mNextId = 0;
        mConfirmedCount = 0;
    }
}

std::uint32_t ObjectTracker::getObjectCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mConfirmedCount;
}

std::vector<cv::Rect> ObjectTracker::getTrackedBoxes() {
    std::vector<cv::Rect> boxes;
    boxes.reserve(mTrackedObjects.size());
    for (const TrackedObject& track : mTrackedObjects) boxes.push_back(track.box);
    return boxes;
}

ObjectTracker::Weights ObjectTracker::getWeights() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return {mIouWeight, mDistanceWeight, mSizeWeight, mAppearanceWeight, mMatchThreshold, mMinHits};
}

std::int32_t ObjectTracker::getFpsClass() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFpsClass;
}

void ObjectTracker::applyWeights(const Weights& row) {
    mIouWeight = row.iou;
    mDistanceWeight = row.distance;
    mSizeWeight = row.size;
    mAppearanceWeight = row.appearance;
    mMatchThreshold = row.matchThreshold;
    mMinHits = row.minHits;
}

std::vector<ObjectTracker::TrackedObject> ObjectTracker::getTrackedObjects() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTrackedObjects;
}

}  // namespace lm
