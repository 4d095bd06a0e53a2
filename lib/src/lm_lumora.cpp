#include "lumora/lm_lumora.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/spdlog.h>
#include <tbb/parallel_invoke.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utility.hpp>

#include "analysis_threads.h"
#include "clock.h"
#include "lm_lumora_internal.h"
#include "product.h"
#include "util/custom_layers.h"

namespace lm {

namespace scoped_timer {
std::array<std::int64_t, 16> time_points{};
std::array<std::int64_t, 16> time_deltas{};
}  // namespace scoped_timer

namespace {

constexpr const char* LOGGER_NAME = "LumoraLog";

constexpr float BODY_SIMILARITY_SCALE = BodyTracker::SIMILARITY_SCALE;
// Faces are tracked by their boxes alone.
constexpr float FACE_SIMILARITY_SCALE = 0.0f;

// Slots of the diagnostic timing arrays.
enum TimerSlot : std::size_t {
    FACE_DETECTION = 0,
    AGE_GENDER = 1,
    HEADPOSE = 2,
    SMILE = 3,
    FACE_MASK = 4,
    EMOTIONS = 5,
    FACE_TRACKING = 6,
    FACE_ANALYSIS = 7,
    BODY_DETECTION = 7,  // shares the slot with the whole face analysis
    BODY_ENCODING = 8,
    BODY_TRACKING = 9,
    BODY_ANALYSIS = 10,
};

// Writes the start (system clock) and the duration of the enclosing scope into its slot.
// Each concurrent task owns its slot, so the tasks never write the same entry.
class ScopedTimer {
public:
    explicit ScopedTimer(TimerSlot slot) : mSlot(slot), mStart(std::chrono::steady_clock::now()) {
        scoped_timer::time_points[mSlot] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
    }
    ~ScopedTimer() {
        scoped_timer::time_deltas[mSlot] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - mStart).count();
    }
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

private:
    std::size_t mSlot;
    std::chrono::steady_clock::time_point mStart;
};

template <typename... Args>
void logInfo(spdlog::format_string_t<Args...> format, Args&&... args) {
    if (auto logger = spdlog::get(LOGGER_NAME)) logger->info(format, std::forward<Args>(args)...);
}

// Lives from library load to unload: creates the library's logger, makes the custom network
// layer known to OpenCV before any network is read, and gives OpenCV's loops the analysis's
// thread pool.
class LibraryLifetime {
public:
    LibraryLifetime() {
        auto sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
        spdlog::initialize_logger(std::make_shared<spdlog::logger>(LOGGER_NAME, std::move(sink)));
        registerCustomLayers();
        analysis_threads::install();
    }
    ~LibraryLifetime() {
        analysis_threads::uninstall();
        spdlog::drop(LOGGER_NAME);
    }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

const LibraryLifetime LIBRARY_LIFETIME;

// One estimator over the faces of the frame. Every estimator writes only its own fields of
// the records and serialises its network use itself, so the tasks can share the records.
// A frame with a time of its own shows at that time, whenever it was analysed.
template <typename Record>
void stampFrameTime(std::vector<Record>& records, const Lumora::FrameTime& frameTime) {
    if (!frameTime) return;
    for (Record& record : records) record.detectionTime = *frameTime;
}

template <typename Stage>
auto estimateTask(Stage& stage, TimerSlot slot, const cv::Mat& frame, std::vector<Person>& persons) {
    return [stagePtr = &stage, framePtr = &frame, personsPtr = &persons, slot] {
        ScopedTimer timer(slot);
        stagePtr->estimate(*framePtr, *personsPtr);
    };
}

}  // namespace

Lumora::LumoraImpl::LumoraImpl(const Settings& settings) {
    setSettings(settings);
    logInfo("Constructed Lumora version {}", getVersion());
}

Lumora::LumoraImpl::~LumoraImpl() { logInfo("Destructing Lumora version {}", getVersion()); }

void Lumora::LumoraImpl::setSettings(const Settings& settings) {
    if (settings.neuralNetworksPath.empty()) throw std::runtime_error("Empty networks path.");
    // The thread pool fails hard, not with an error, on a count far beyond the machine.
    if (settings.numThreads > Settings::MAX_NUM_THREADS) {
        throw std::runtime_error(fmt::format("Invalid setting: numThreads =  {} ", settings.numThreads));
    }
    mSettings = settings;
    applyLogLevel();
    // Asking brings the OpenCL runtime up (tens of MB and a thread pool of its own), so a
    // CPU target, which needs no answer, does not ask.
    if (mSettings.gpuTargetEnabled() && !cv::ocl::haveOpenCL()) mSettings.dnnTarget = Settings::CPU;
    // Sizes the one arena that the face tasks and OpenCV's loops share (analysis_threads.h).
    cv::setNumThreads(settings.numThreads);
    cv::ocl::setUseOpenCL(mSettings.gpuTargetEnabled());

    // Every component sees the caller's record as passed, in a fixed order, on every call:
    // each decides itself whether anything concerns it.
    ISettingsObserver* const observers[] = {&mFaceDetector, &mAgeGender,  &mHeadpose,     &mSmile,
                                            &mFaceMask,     &mEmotions,   &mBodyDetector, &mBodyEncoder,
                                            &mBodyTracker,  &mFaceTracker};
    for (ISettingsObserver* observer : observers) observer->onSettingsUpdate(settings);
}

// Stores the log level, capped at CRITICAL; a negative level is kept but leaves the logger
// as it is.
void Lumora::LumoraImpl::applyLogLevel() {
    if (mSettings.logLevel > Settings::CRITICAL) mSettings.logLevel = Settings::CRITICAL;
    if (mSettings.logLevel < Settings::TRACE) return;
    if (auto logger = spdlog::get(LOGGER_NAME))
        logger->set_level(static_cast<spdlog::level::level_enum>(mSettings.logLevel));
}

Lumora::LumoraImpl::Schedule Lumora::LumoraImpl::schedule() const {
    if (mForcedSchedule) return *mForcedSchedule;
    return mSettings.dnnTarget == Settings::GPU ? Schedule::SEQUENTIAL : Schedule::PARALLEL;
}

std::vector<Person> Lumora::LumoraImpl::analyzeFaces(const cv::Mat& frame, bool singleImage,
                                                     const FrameTime& frameTime) {
    ScopedTimer whole(FACE_ANALYSIS);
    {
        ScopedTimer timer(FACE_DETECTION);
        mPersons = mFaceDetector.detect(frame);
        stampFrameTime(mPersons, frameTime);
    }

    const auto ageGenderTask = estimateTask(mAgeGender, AGE_GENDER, frame, mPersons);
    const auto headposeTask = estimateTask(mHeadpose, HEADPOSE, frame, mPersons);
    const auto smileTask = estimateTask(mSmile, SMILE, frame, mPersons);
    const auto faceMaskTask = estimateTask(mFaceMask, FACE_MASK, frame, mPersons);
    const auto emotionsTask = estimateTask(mEmotions, EMOTIONS, frame, mPersons);
    const auto trackingTask = [&] {
        ScopedTimer timer(FACE_TRACKING);
        if (!singleImage) trackFaces(frame, frameTime);
    };

    if (schedule() == Schedule::SEQUENTIAL) {
        ageGenderTask();
        headposeTask();
        smileTask();
        faceMaskTask();
        emotionsTask();
        trackingTask();
    } else {
        analysis_threads::run([&] {
            tbb::parallel_invoke(ageGenderTask, headposeTask, smileTask, faceMaskTask, emotionsTask, trackingTask);
        });
    }

    if (!singleImage) mFaceTracker.updatePersonData(mPersons, frameTime);
    return mPersons;
}

// The tracking step: reads only boxes, confidences, times and durations, which no estimator
// writes, and writes back only the ids, which no estimator reads. An empty frame still runs,
// so that the tracker ages its tracks.
void Lumora::LumoraImpl::trackFaces(const cv::Mat& frame, const FrameTime& frameTime) {
    std::vector<Detection> detections;
    detections.reserve(mPersons.size());
    for (const Person& p : mPersons)
        detections.push_back({p.id, p.boundingBox, p.detectionConfidence, p.detectionTime, p.detectionDuration});
    ObjectTracker::Features none;
    mFaceTracker.update(detections, frame, none, FACE_SIMILARITY_SCALE, frameTime);
    for (std::size_t i = 0; i < detections.size(); ++i) mPersons[i].id = detections[i].id;
}

std::vector<Body> Lumora::LumoraImpl::analyzeBodies(const cv::Mat& frame, const FrameTime& frameTime) {
    ScopedTimer whole(BODY_ANALYSIS);
    std::vector<Detection> detections;
    {
        ScopedTimer timer(BODY_DETECTION);
        detections = mBodyDetector.detect(frame);
        stampFrameTime(detections, frameTime);
    }
    ObjectTracker::Features features;
    {
        ScopedTimer timer(BODY_ENCODING);
        features = mBodyEncoder.encodeBodies(frame, detections);
    }
    {
        ScopedTimer timer(BODY_TRACKING);
        mBodyTracker.update(detections, frame, features, BODY_SIMILARITY_SCALE, frameTime);
    }

    std::vector<Body> bodies;
    bodies.reserve(detections.size());
    for (const Detection& d : detections)
        bodies.push_back({d.id, d.boundingBox, d.detectionConfidence, d.detectionTime, d.detectionDuration});
    return bodies;
}

Lumora::Lumora(const Settings& settings) : mImpl(std::make_unique<LumoraImpl>(settings)) {}
Lumora::~Lumora() = default;
Lumora::Lumora(Lumora&& other) noexcept = default;
Lumora& Lumora::operator=(Lumora&& other) noexcept = default;

std::vector<Person> Lumora::analyze(const cv::Mat& frame, const FrameTime& frameTime) {
    return mImpl->analyzeFaces(frame, false, frameTime);
}
std::vector<Person> Lumora::analyzeSingleImage(const cv::Mat& frame) {
    return mImpl->analyzeFaces(frame, true, std::nullopt);
}
std::vector<Body> Lumora::analyzeBodies(const cv::Mat& frame, const FrameTime& frameTime) {
    return mImpl->analyzeBodies(frame, frameTime);
}
void Lumora::setSettings(const Settings& settings) { mImpl->setSettings(settings); }
Settings Lumora::getSettings() const { return mImpl->getSettings(); }
std::vector<cv::Rect> Lumora::getTrackedBoxes() { return mImpl->getTrackedBoxes(); }
std::uint32_t Lumora::getCountOfFaces() const { return mImpl->getCountOfFaces(); }
std::uint32_t Lumora::getCountOfBodies() const { return mImpl->getCountOfBodies(); }
void Lumora::resetTracker(bool resetCounter) { mImpl->resetTracker(resetCounter); }
void Lumora::resetBodyTracker(bool resetCounter) { mImpl->resetBodyTracker(resetCounter); }

std::string getVersion() { return product::version(); }

}  // namespace lm
