#include "lumora/lm_help_csv.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <fmt/args.h>
#include <fmt/chrono.h>
#include <fmt/format.h>

#include "csv_float.h"

namespace lm::help {

namespace {

using ArgStore = fmt::dynamic_format_arg_store<fmt::format_context>;

// "{:.3}" keeps trailing zeros (CsvFloat): 0.5 is written 0.500 and -1 as -1.00.
constexpr const char* PERSON_TEMPLATE =
    "{ID},{age},{gender:.3},{isViewing:d},{isDwelling:d},{detectionTime},{detectionDuration},"
    "{totalViewingDuration},{currentViewingDuration},{totalDwellDuration},{currentDwellDuration},"
    "{smile:.3},{faceMask:.3},{detectionConfidence:.3},{boundingBox_x},{boundingBox_y},"
    "{boundingBox_width},{boundingBox_height},{worldPosition_x},{worldPosition_y},{worldPosition_z},"
    "{headpose_yaw},{headpose_pitch},{headpose_roll},{headgaze_x},{headgaze_y},{distanceFromCamera},"
    "{emotions_neutral:.3},{emotions_anger:.3},{emotions_disgust:.3},{emotions_fear:.3},"
    "{emotions_happiness:.3},{emotions_sadness:.3},{emotions_surprise:.3}";
constexpr const char* AGGREGATED_PERSON_TEMPLATE =
    "{ID},{initialDetectionTime},{avgAge},{avgGender},{viewer:d},{dweller:d},{viewingSessions},"
    "{averageViewingDuration},{totalViewingDuration},{dwellSessions},{averageDwellDuration},"
    "{totalDwellDuration},{totalDetectionDuration},{smileViewing:.3},{smileMaximum:.3},{faceMask:d},"
    "{avgEmotions_neutral:.3},{avgEmotions_anger:.3},{avgEmotions_disgust:.3},{avgEmotions_fear:.3},"
    "{avgEmotions_happiness:.3},{avgEmotions_sadness:.3},{avgEmotions_surprise:.3}";
constexpr const char* BODY_TEMPLATE =
    "{ID},{detectionTime},{detectionDuration},{detectionConfidence:.3},{boundingBox_x},{boundingBox_y},"
    "{boundingBox_width},{boundingBox_height}";
constexpr const char* AGGREGATED_BODY_TEMPLATE = "{ID},{initialDetectionTime},{totalDetectionDuration}";

constexpr std::array<const char*, 7> EMOTION_NAMES = {"neutral",   "anger",   "disgust", "fear",
                                                      "happiness", "sadness", "surprise"};

// "+hh:mm" from the zone's offset east of UTC in seconds.
std::string utcOffset(long offsetSeconds) {
    const char sign = offsetSeconds < 0 ? '-' : '+';
    const long magnitude = std::labs(offsetSeconds);
    return fmt::format("{}{:02}:{:02}", sign, magnitude / 3600, (magnitude % 3600) / 60);
}

template <typename T>
void add(ArgStore& args, const char* name, const T& value) {
    args.push_back(fmt::arg(name, value));
}

void add(ArgStore& args, const char* name, float value) { args.push_back(fmt::arg(name, CsvFloat{value})); }

std::array<std::string, 7> emotionNames(const std::string& prefix) {
    std::array<std::string, 7> names;
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = prefix + "_" + EMOTION_NAMES[i];
    return names;
}

// The argument store keeps only a pointer to each name, so the names live for good.
const std::array<std::string, 7> PERSON_EMOTION_NAMES = emotionNames("emotions");
const std::array<std::string, 7> AGGREGATED_EMOTION_NAMES = emotionNames("avgEmotions");

void addEmotions(ArgStore& args, const std::array<std::string, 7>& names, const Emotions& values) {
    for (std::size_t i = 0; i < values.size(); ++i) add(args, names[i].c_str(), values[i]);
}

void addBox(ArgStore& args, const cv::Rect& box) {
    add(args, "boundingBox_x", box.x);
    add(args, "boundingBox_y", box.y);
    add(args, "boundingBox_width", box.width);
    add(args, "boundingBox_height", box.height);
}

std::string genderLetter(float gender) {
    if (gender == 0.0f) return "\"u\"";
    if (gender > 0.0f) return "\"f\"";
    return "\"m\"";  // also for a NaN
}

template <typename Record, typename Format>
std::vector<std::string> linesOf(const std::vector<Record>& records, Format format) {
    std::vector<std::string> lines(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) lines[i] = format(records[i]);
    return lines;
}

}  // namespace

std::string timeToRFC3339Str(TimePoint time, bool withMilliseconds) {
    // Floor, not truncation, so that times before the epoch still get 000 to 999 ms.
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();

    // localtime_r fills our own record, so concurrent callers do not share a static one.
    const std::time_t wholeSeconds = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    ::localtime_r(&wholeSeconds, &local);

    std::string text = fmt::format("{:%F %T}", local);
    if (withMilliseconds) text += fmt::format(".{:03}", milliseconds);
    text += utcOffset(local.tm_gmtoff);
    return text;
}

std::string personToCsvHeader() {
    return "id,age,gender,is_viewing,is_dwelling,timestamp,detection_duration,total_viewing_duration,"
           "current_viewing_duration,total_dwell_duration,current_dwell_duration,smile,face_mask,"
           "detection_confidence,bounding_box_x,bounding_box_y,bounding_box_width,bounding_box_height,"
           "world_x,world_y,world_z,yaw,pitch,roll,gaze_x,gaze_y,distance_from_camera,neutral,anger,"
           "disgust,fear,happiness,sadness,surprise";
}

std::string aggregatedPersonToCsvHeader() {
    return "id,initial_detection_time,age,gender,viewer,dweller,viewing_sessions,average_viewing_duration,"
           "viewing_duration,dwell_sessions,average_dwell_duration,dwell_duration,detection_duration,"
           "smile_viewing,smile_maximum,face_mask,emotions_neutral,emotions_anger,emotions_disgust,"
           "emotions_fear,emotions_happiness,emotions_sadness,emotions_surprise";
}

std::string bodyToCsvHeader() {
    return "id,timestamp,detection_duration,detection_confidence,bounding_box_x,bounding_box_y,"
           "bounding_box_width,bounding_box_height";
}

std::string aggregatedBodyToCsvHeader() { return "id,initial_detection_time,detection_duration"; }

std::string formatPerson(const std::string& lineTemplate, const lm::Person& p) {
    ArgStore args;
    add(args, "ID", p.id);
    add(args, "age", p.age);
    add(args, "gender", p.gender);
    add(args, "isViewing", p.isViewing);
    add(args, "isDwelling", p.isDwelling);
    add(args, "detectionTime", timeToRFC3339Str(p.detectionTime, true));
    add(args, "detectionDuration", static_cast<std::int64_t>(p.detectionDuration.count()));
    add(args, "totalViewingDuration", static_cast<std::int64_t>(p.totalViewingDuration.count()));
    add(args, "currentViewingDuration", static_cast<std::int64_t>(p.currentViewingDuration.count()));
    add(args, "totalDwellDuration", static_cast<std::int64_t>(p.totalDwellDuration.count()));
    add(args, "currentDwellDuration", static_cast<std::int64_t>(p.currentDwellDuration.count()));
    add(args, "smile", p.smile);
    add(args, "faceMask", p.faceMask);
    add(args, "detectionConfidence", p.detectionConfidence);
    addBox(args, p.boundingBox);
    add(args, "worldPosition_x", p.worldPosition.x);
    add(args, "worldPosition_y", p.worldPosition.y);
    add(args, "worldPosition_z", p.worldPosition.z);
    add(args, "headpose_yaw", p.headpose.yaw);
    add(args, "headpose_pitch", p.headpose.pitch);
    add(args, "headpose_roll", p.headpose.roll);
    add(args, "headgaze_x", p.headgaze.x);
    add(args, "headgaze_y", p.headgaze.y);
    add(args, "distanceFromCamera", p.distanceFromCamera);
    addEmotions(args, PERSON_EMOTION_NAMES, p.emotions);
    return fmt::vformat(lineTemplate, args);
}

std::string formatAggregatedPerson(const std::string& lineTemplate, const lm::AggregatedPerson& p) {
    ArgStore args;
    add(args, "ID", p.id);
    add(args, "initialDetectionTime", timeToRFC3339Str(p.initialDetectionTime, false));
    add(args, "avgAge", p.avgAge);
    add(args, "avgGender", genderLetter(p.avgGender));
    add(args, "viewer", p.viewingSessions != 0);
    add(args, "dweller", p.dwellSessions != 0);
    add(args, "viewingSessions", p.viewingSessions);
    add(args, "dwellSessions", p.dwellSessions);
    add(args, "averageViewingDuration", static_cast<std::int64_t>(p.averageViewingDuration.count()));
    add(args, "totalViewingDuration", static_cast<std::int64_t>(p.totalViewingDuration.count()));
    add(args, "averageDwellDuration", static_cast<std::int64_t>(p.averageDwellDuration.count()));
    add(args, "totalDwellDuration", static_cast<std::int64_t>(p.totalDwellDuration.count()));
    add(args, "totalDetectionDuration", static_cast<std::int64_t>(p.totalDetectionDuration.count()));
    add(args, "smileViewing", p.smileViewing);
    add(args, "smileMaximum", p.smileMaximum);
    add(args, "faceMask", p.faceMask);
    addEmotions(args, AGGREGATED_EMOTION_NAMES, p.avgEmotions);
    return fmt::vformat(lineTemplate, args);
}

std::string formatBody(const std::string& lineTemplate, const lm::Body& b) {
    ArgStore args;
    add(args, "ID", b.id);
    add(args, "detectionTime", timeToRFC3339Str(b.detectionTime, true));
    add(args, "detectionDuration", static_cast<std::int64_t>(b.detectionDuration.count()));
    add(args, "detectionConfidence", b.detectionConfidence);
    addBox(args, b.boundingBox);
    return fmt::vformat(lineTemplate, args);
}

std::string formatAggregatedBody(const std::string& lineTemplate, const lm::AggregatedBody& b) {
    ArgStore args;
    add(args, "ID", b.id);
    add(args, "initialDetectionTime", timeToRFC3339Str(b.initialDetectionTime, false));
    add(args, "totalDetectionDuration", static_cast<std::int64_t>(b.totalDetectionDuration.count()));
    return fmt::vformat(lineTemplate, args);
}

std::string personToCsv(const lm::Person& person) { return formatPerson(PERSON_TEMPLATE, person); }
std::string aggregatedPersonToCsv(const lm::AggregatedPerson& person) {
    return formatAggregatedPerson(AGGREGATED_PERSON_TEMPLATE, person);
}
std::string bodyToCsv(const lm::Body& body) { return formatBody(BODY_TEMPLATE, body); }
std::string aggregatedBodyToCsv(const lm::AggregatedBody& body) {
    return formatAggregatedBody(AGGREGATED_BODY_TEMPLATE, body);
}

std::vector<std::string> peopleToCsv(const std::vector<lm::Person>& people) {
    return linesOf(people, [](const lm::Person& p) { return personToCsv(p); });
}
std::vector<std::string> aggregatedPeopleToCsv(const std::vector<lm::AggregatedPerson>& people) {
    return linesOf(people, [](const lm::AggregatedPerson& p) { return aggregatedPersonToCsv(p); });
}
std::vector<std::string> bodiesToCsv(const std::vector<lm::Body>& bodies) {
    return linesOf(bodies, [](const lm::Body& b) { return bodyToCsv(b); });
}
std::vector<std::string> aggregatedBodiesToCsv(const std::vector<lm::AggregatedBody>& bodies) {
    return linesOf(bodies, [](const lm::AggregatedBody& b) { return aggregatedBodyToCsv(b); });
}

}  // namespace lm::help
