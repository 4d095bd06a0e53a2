#pragma once
// Every numeric key of the settings file at the extremes of its type and just beyond them,
// with what reading it must give: accepted, or refused with the check's message. The same
// rows go through the reader, the settings file and "/settings/set" on a running engine.

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

#include "hx_settings.h"

namespace lmtest {

struct SettingsExtreme {
    std::string key;
    Poco::Dynamic::Var value;
    std::string message;  // empty: accepted
    // A value the running engine cannot take without moving away from the test (a port).
    bool checkOnly = false;
};

inline std::string invalidSetting(const std::string& key, const std::string& value) {
    return "Invalid setting: " + key + " =  " + value + " ";
}

inline std::vector<SettingsExtreme> settingsExtremes() {
    constexpr std::int64_t INT32_LOW = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t INT32_HIGH = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t UINT32_HIGH = std::numeric_limits<std::uint32_t>::max();
    // Near the float's largest value, and written the same by JSON and by fmt.
    constexpr double FLOAT_HIGH = 3e38;
    const std::string roi = "Invalid setting. ROI values should be between 0-1";
    const std::string offset = "Invalid setting. zoomCenterOffset values should be between 0-1";
    const std::string zoom = "Invalid setting: zoom_factor =  ";

    std::vector<SettingsExtreme> rows = {
        // Handed to the library as they are: every value of the type is taken.
        {"maxNumFaces", INT32_LOW, ""},
        {"maxNumFaces", INT32_HIGH, ""},
        {"faceConfidenceThreshold", -FLOAT_HIGH, ""},
        {"faceConfidenceThreshold", FLOAT_HIGH, ""},
        {"webcamIndex", INT32_LOW, ""},
        {"webcamIndex", INT32_HIGH, ""},
        {"currentStatsDuration", INT32_LOW, ""},
        {"currentStatsDuration", INT32_HIGH, ""},
        // A thread count for the thread pool: negative is its default, 0 none.
        {"numThreads", INT32_LOW, ""},
        {"numThreads", 0, ""},
        {"numThreads", 1024, ""},
        {"numThreads", 1025, invalidSetting("numThreads", "1025")},
        {"numThreads", 65537, invalidSetting("numThreads", "65537")},
        {"numThreads", INT32_HIGH, invalidSetting("numThreads", "2147483647")},
        // The size asked of a camera and given to the RTP stream; 0 keeps the camera's own.
        {"resolutionWidth", 0, ""},
        {"resolutionWidth", 16384, ""},
        {"resolutionWidth", -1, invalidSetting("resolutionWidth", "-1")},
        {"resolutionWidth", 16385, invalidSetting("resolutionWidth", "16385")},
        {"resolutionHeight", INT32_LOW, invalidSetting("resolutionHeight", "-2147483648")},
        {"resolutionHeight", INT32_HIGH, invalidSetting("resolutionHeight", "2147483647")},
        {"httpInterfacePort", 1, "", true},
        {"httpInterfacePort", 65535, "", true},
        {"httpInterfacePort", 0, invalidSetting("httpInterfacePort", "0")},
        {"httpInterfacePort", -1, invalidSetting("httpInterfacePort", "-1")},
        {"httpInterfacePort", 65536, invalidSetting("httpInterfacePort", "65536")},
        {"aggregationFrequency", 0, invalidSetting("aggregationFrequency", "0")},
        {"aggregationFrequency", UINT32_HIGH, invalidSetting("aggregationFrequency", "4294967295")},
        {"peopleCountFrequency", 0, invalidSetting("peopleCountFrequency", "0")},
        {"peopleCountFrequency", UINT32_HIGH, invalidSetting("peopleCountFrequency", "4294967295")},
        {"zoomFactor", -FLOAT_HIGH, zoom + "-3e+38 "},
        {"zoomFactor", FLOAT_HIGH, zoom + "3e+38 "},
        {"minFaceSize", FLOAT_HIGH, "Invalid setting. minFaceSize should be between 0-1"},
        {"maxFaceSize", -FLOAT_HIGH, "Invalid setting. maxFaceSize should be between 0-1"},
        {"zoomCenterOffset_X", -FLOAT_HIGH, offset},
        {"zoomCenterOffset_Y", FLOAT_HIGH, offset},
        // Beyond the type: the key and the value as the file has them.
        {"maxNumFaces", INT32_HIGH + 1, invalidSetting("maxNumFaces", "2147483648")},
        {"currentStatsDuration", INT32_LOW - 1, invalidSetting("currentStatsDuration", "-2147483649")},
        {"aggregationFrequency", -1, invalidSetting("aggregationFrequency", "-1")},
        {"peopleCountFrequency", UINT32_HIGH + 1, invalidSetting("peopleCountFrequency", "4294967296")},
        {"faceConfidenceThreshold", 1e39, invalidSetting("faceConfidenceThreshold", "1e+39")},
    };
    for (const char* key : {"ROI_X", "ROI_Y", "ROI_W", "ROI_H"}) {
        rows.push_back({key, -FLOAT_HIGH, roi});
        rows.push_back({key, FLOAT_HIGH, roi});
    }
    return rows;
}

// The settings text with one key's value replaced, as a file or a request body holds it.
inline std::string settingsTextWith(const hx::Settings& base, const std::string& key, const Poco::Dynamic::Var& value) {
    Poco::JSON::Parser parser;
    Poco::JSON::Object::Ptr object = parser.parse(base.settingsToJsonString(0)).extract<Poco::JSON::Object::Ptr>();
    object->set(key, value);
    std::ostringstream text;
    Poco::JSON::Stringifier::stringify(object, text);
    return text.str();
}

}  // namespace lmtest
