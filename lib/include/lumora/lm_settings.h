#pragma once
// The analysis library's configuration record. Every field has its default inline, so
// any unit that default-constructs one gets the same values.

#include <cstdint>
#include <string>

#include "lumora/lm_export.h"

namespace lm {

struct LUMORA_EXPORT Settings {
    enum LogLevel : std::int32_t { TRACE = 0, DEBUG = 1, INFO = 2, WARN = 3, ERR = 4, CRITICAL = 5 };
    enum DnnTarget : std::int32_t { CPU = 0, GPU = 1, GPU_MT = 2 };
    enum NetworkType : std::int32_t { NORMAL = 0, QUANTIZED = 1 };
    enum Range : std::int32_t { REGULAR = 0, LONG = 1 };
    enum TrackerFps : std::int32_t { DYNAMIC = 0, FPS_30 = 1, FPS_10 = 2, FPS_5 = 3 };

    std::string neuralNetworksPath;
    LogLevel logLevel = INFO;
    DnnTarget dnnTarget = CPU;
    TrackerFps bodyTrackFps = DYNAMIC;
    TrackerFps faceTrackFps = DYNAMIC;
    NetworkType networkType = NORMAL;
    bool useAge = true;
    bool useGender = true;
    bool useHeadpose = true;
    bool useSmile = true;
    bool useFaceMask = true;
    bool useEmotions = true;
    float faceConfidenceThreshold = 0.8f;
    std::int32_t maxNumFaces = -1;
    std::int32_t minFaceSize = 0;
    std::int32_t maxFaceSize = 0;
    Range detectionRange = REGULAR;
    // Negative: the thread pool's default; 0: no worker threads.
    std::int32_t numThreads = -1;
    // Far above any machine's cores and far below what the thread pool can take: a count
    // beyond it is refused where settings are read and by Lumora::setSettings.
    static constexpr std::int32_t MAX_NUM_THREADS = 1024;

    // Compares every field but networkType; a NaN threshold is never equal.
    bool operator!=(const Settings& other) const;
    bool operator==(const Settings& other) const;

    bool cpuTargetEnabled() const;
    // True for GPU and GPU_MT: the networks run through OpenCL.
    bool gpuTargetEnabled() const;

    // Reads the fields from an INI file; a missing key keeps its field. Throws
    // std::runtime_error on a file that cannot be read or parsed (nothing changes) and on
    // a bad value (the fields read before it keep their new values).
    void load(const std::string& path);
    // Writes every field into an INI file; throws std::runtime_error when it cannot.
    void save(const std::string& path);
};

// The words every settings file uses for the enumerations above, so that the library's
// file and the program's file spell each value alike. toText gives an empty text for a
// value outside its enumeration. fromText takes only the exact word: it stores the value
// and returns true; for any other text it leaves the value alone and returns false.
LUMORA_EXPORT std::string toText(Settings::LogLevel level);
LUMORA_EXPORT std::string toText(Settings::DnnTarget target);
LUMORA_EXPORT std::string toText(Settings::NetworkType type);
LUMORA_EXPORT std::string toText(Settings::Range range);
LUMORA_EXPORT std::string toText(Settings::TrackerFps fps);
LUMORA_EXPORT bool fromText(const std::string& text, Settings::LogLevel& level);
LUMORA_EXPORT bool fromText(const std::string& text, Settings::DnnTarget& target);
LUMORA_EXPORT bool fromText(const std::string& text, Settings::NetworkType& type);
LUMORA_EXPORT bool fromText(const std::string& text, Settings::Range& range);
LUMORA_EXPORT bool fromText(const std::string& text, Settings::TrackerFps& fps);

}  // namespace lm
