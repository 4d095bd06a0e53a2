#include "lm_help_panel_text.h"

#include <cstdint>

#include <fmt/format.h>

namespace lm::help {

namespace {

std::string genderWord(float gender) {
    if (gender > 0.0f) return "Female";
    if (gender < 0.0f) return "Male";
    return "Unknown";
}

int percent(float value) { return static_cast<int>(100.0f * value); }

std::int64_t wholeSeconds(Milliseconds duration) { return static_cast<std::int64_t>(duration.count()) / 1000; }

const char* trueFalse(bool flag) { return flag ? "true" : "false"; }

}  // namespace

std::vector<std::string> personPanelLines(const lm::Person& p) {
    return {
        fmt::format("ID : {}", p.id),
        fmt::format("Conf : {}%", percent(p.detectionConfidence)),
        "",
        fmt::format("Age : {}", p.age),
        "Gender : " + genderWord(p.gender),
        fmt::format("Smile : {}%", percent(p.smile)),
        fmt::format("Mask : {}%", percent(p.faceMask)),
        fmt::format("Viewing : {}", trueFalse(p.isViewing)),
        fmt::format("Dwelling : {}", trueFalse(p.isDwelling)),
        "",
        fmt::format("Viewing Time : {} secs", wholeSeconds(p.totalViewingDuration)),
        fmt::format("Dwell Time : {} secs", wholeSeconds(p.totalDwellDuration)),
        fmt::format("Viewing Span : {} secs", wholeSeconds(p.currentViewingDuration)),
        fmt::format("Dwell Span : {} secs", wholeSeconds(p.currentDwellDuration)),
        fmt::format("Detection Time : {} secs", wholeSeconds(p.detectionDuration)),
        "",
        fmt::format("Dist : {}cm", p.distanceFromCamera),
        fmt::format("Pos : {}cm,{}cm,{}cm", p.worldPosition.x, p.worldPosition.y, p.worldPosition.z),
        fmt::format("Head Gaze : {}cm,{}cm", p.headgaze.x, p.headgaze.y),
        "",
        "Neutral : ",
        "Happiness : ",
        "Anger : ",
        "Disgust : ",
        "Fear : ",
        "Sadness : ",
        "Surprise : ",
    };
}

std::vector<std::string> personMinimalPanelLines(const lm::Person& p) {
    const int seconds = static_cast<int>(p.totalViewingDuration.count() / 1000);
    return {
        fmt::format("ID : {}", p.id),
        fmt::format("Viewing : {:0>2}:{:0>2}", seconds / 60, seconds % 60),
        fmt::format("Age : {}", p.age),
        "Gender : " + genderWord(p.gender),
        "Smile : ",
    };
}

std::vector<std::string> bodyPanelLines(const lm::Body& body) {
    return {
        fmt::format("ID : {}", body.id),
        fmt::format("Conf : {}%", percent(body.detectionConfidence)),
        fmt::format("Detection Time : {} secs", wholeSeconds(body.detectionDuration)),
    };
}

}  // namespace lm::help
