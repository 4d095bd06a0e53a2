#include "hx_format.h"

#include <cmath>
#include <iterator>
#include <limits>

#include <fmt/format.h>
#include <lumora/lm_help_csv.h>

namespace hx::format {

namespace {

// The 16 fields of one aggregated person, as a CSV row and as a JSON object. Run-time
// templates: both are filled by the one serializer below.
const std::string AGGREGATED_CSV_FORMAT_STR =
    "{:d},{:s},{:d},\"{:c}\",{:d},{:d},{:d},{:d},{:d},{:d},{:d},{:d},{:d},{:d},{:d},{:d}";
const std::string AGGREGATED_JSON_FORMAT_STR =
    "{{\"id\":{:d},\"initial_detection_time\":\"{:s}\",\"age\":{:d},\"gender\":\"{:c}\","
    "\"dweller\":{:d},\"viewer\":{:d},\"viewing_sessions\":{:d},\"average_viewing_duration\":{:d},"
    "\"viewing_duration\":{:d},\"dwell_sessions\":{:d},\"average_dwell_duration\":{:d},"
    "\"dwell_duration\":{:d},\"detection_duration\":{:d},\"smile_viewing\":{:d},"
    "\"smile_maximum\":{:d},\"face_mask\":{:d}}}";

constexpr std::size_t RESERVE_PER_RECORD = 512;
constexpr std::size_t RESERVE_EXTRA = 128;
constexpr std::size_t RAW_LINE_RESERVE = 256;

TimePoint now() { return std::chrono::system_clock::now(); }

char genderLetter(float avgGender) {
    const std::int32_t hundredths = toHundredths(avgGender);
    if (hundredths < 0) return 'm';
    if (hundredths > 0) return 'f';
    return 'u';
}

// Fixed three decimals; JSON has no NaN or infinity, so those become 0.
std::string jsonFixed3(float value) { return fmt::format("{:.3f}", std::isfinite(value) ? value : 0.0f); }

std::string serializeAggregatePerson(const lm::AggregatedPerson& person, const std::string& formatStr) {
    return fmt::format(fmt::runtime(formatStr), person.id, timeToRFC3339Str(person.initialDetectionTime, false, false),
                       person.avgAge, genderLetter(person.avgGender), static_cast<int>(person.dwellSessions != 0),
                       static_cast<int>(person.viewingSessions != 0), person.viewingSessions,
                       person.averageViewingDuration.count(), person.totalViewingDuration.count(), person.dwellSessions,
                       person.averageDwellDuration.count(), person.totalDwellDuration.count(),
                       person.totalDetectionDuration.count(), toHundredths(person.smileViewing),
                       toHundredths(person.smileMaximum), static_cast<int>(person.faceMask));
}

// The seven leading columns of both content lines.
std::string contentColumns(const AudienceMetrics& metrics) {
    const std::int64_t durationMs = metrics.contentDuration.count() / 1000000;
    return fmt::format("{},{},{},{},{},{},{},", timeToRFC3339Str(metrics.timeStart, false, false), durationMs,
                       escapeCsv(metrics.contentId), escapeCsv(metrics.displayId), escapeCsv(metrics.campaignId),
                       escapeCsv(metrics.contentName), escapeCsv(metrics.metadata));
}

template <typename Record, typename ToJson>
std::string jsonArray(const std::vector<Record>& records, ToJson toJson) {
    std::string out;
    out.reserve(RESERVE_PER_RECORD * records.size() + RESERVE_EXTRA);
    out += '[';
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i != 0) out += ',';
        out += toJson(records[i]);
    }
    out += ']';
    return out;
}

std::string personArray(const std::vector<lm::Person>& people) { return jsonArray(people, personToJson); }

std::string aggregatedArray(const std::vector<lm::AggregatedPerson>& people) {
    return jsonArray(people, aggregatedPersonToJson);
}

}  // namespace

std::string escapeJson(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
                else
                    out += c;
        }
    }
    return out;
}

std::string escapeCsv(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::int32_t toHundredths(float value) {
    if (std::isnan(value)) return 0;
    const float scaled = value * 100.0f;
    // 2^31 is exact in single precision; anything at or beyond it would overflow the cast.
    constexpr float LIMIT = 2147483648.0f;
    if (scaled >= LIMIT) return std::numeric_limits<std::int32_t>::max();
    if (scaled <= -LIMIT) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(scaled);
}

std::string timeToRFC3339Str(TimePoint time, bool withMilliseconds, bool quoted) {
    const std::string text = lm::help::timeToRFC3339Str(time, withMilliseconds);
    return quoted ? '"' + text + '"' : text;
}

std::string personToCsv(const lm::Person& person, unsigned int frameNumber) {
    std::string line;
    line.reserve(RAW_LINE_RESERVE);
    auto out = std::back_inserter(line);
    fmt::format_to(out, "{},{},{},{},{},", frameNumber, timeToRFC3339Str(person.detectionTime, true, false), person.id,
                   person.age, toHundredths(person.gender));
    fmt::format_to(out, "{},{},{},", person.headpose.pitch, person.headpose.yaw, person.headpose.roll);
    fmt::format_to(out, "{},{},", static_cast<int>(person.isViewing), static_cast<int>(person.isDwelling));
    fmt::format_to(out, "{},{},", person.headgaze.x, person.headgaze.y);
    fmt::format_to(out, "{},{},{},{},{},", person.detectionDuration.count(), person.totalViewingDuration.count(),
                   person.currentViewingDuration.count(), person.totalDwellDuration.count(),
                   person.currentDwellDuration.count());
    fmt::format_to(out, "{},", toHundredths(person.smile));
    fmt::format_to(out, "{},{},{},{},", person.boundingBox.x, person.boundingBox.y, person.boundingBox.width,
                   person.boundingBox.height);
    fmt::format_to(out, "{},{},{},", person.worldPosition.x, person.worldPosition.y, person.worldPosition.z);
    fmt::format_to(out, "{:f},{},{:.3f}", static_cast<double>(person.detectionConfidence), person.distanceFromCamera,
                   person.faceMask);
    return line;
}

std::string aggregatedPersonToCsv(const lm::AggregatedPerson& person, unsigned int aggregationPeriodSeconds) {
    const std::uint32_t periodMs = aggregationPeriodSeconds * 1000u;
    return fmt::format("{},{},{}", timeToRFC3339Str(now(), false, false), periodMs,
                       serializeAggregatePerson(person, AGGREGATED_CSV_FORMAT_STR));
}

std::string peopleCountToCsv(const PeopleCountData& current, const PeopleCountData& total) {
    return fmt::format("{},{},{},{},{}", timeToRFC3339Str(now(), false, false), total.count, current.count,
                       total.detectionDuration, current.detectionDuration);
}

std::string aggregatedPersonPerContent(const lm::AggregatedPerson& person, const AudienceMetrics& metrics) {
    return contentColumns(metrics) + serializeAggregatePerson(person, AGGREGATED_CSV_FORMAT_STR);
}

std::string aggregatedTotalAudiencePerContent(const AudienceMetrics& metrics) {
    return contentColumns(metrics) +
           fmt::format("{},{},{},{},{},{},{},{},{},{},{},{}", metrics.ots, metrics.impressions, metrics.viewers,
                       metrics.averageViewingDuration, metrics.totalViewingDuration, metrics.averageDwellDuration,
                       metrics.totalDwellDuration, metrics.averageDetectionDuration, metrics.totalDetectionDuration,
                       metrics.femaleCount, metrics.maleCount, metrics.unknownCount);
}

std::string getAPIResponseStr(StatusHandler::APIErrorCode code, const std::string& description) {
    return fmt::format("{{ \"error_code\" : {}, \"description\" : \"{}\"}}", static_cast<std::int32_t>(code),
                       escapeJson(description));
}

std::string getEngineInitErrorAsJsonString(const StatusHandler::EngineInitError& error) {
    const std::string object = fmt::format("{{ \"error_code\" : {}, \"description\" : \"{}\" }}",
                                           static_cast<std::int32_t>(error.code), escapeJson(error.description));
    return fmt::format("\"engine_init_error\" : {}", object);
}

std::string toJsonStr(const std::string& text) { return '"' + escapeJson(text) + '"'; }

std::string toJsonStr(const bool& value) { return value ? "true" : "false"; }

std::string personToJson(const lm::Person& person) {
    std::string json;
    json.reserve(RESERVE_PER_RECORD);
    auto out = std::back_inserter(json);
    fmt::format_to(out, "{{\"id\":{},\"age\":{},\"gender\":{},\"smile\":{},\"face_mask\":{},", person.id, person.age,
                   toHundredths(person.gender), toHundredths(person.smile), toHundredths(person.faceMask));
    fmt::format_to(out, "\"world_position\":{{\"x\":{},\"y\":{},\"z\":{}}},", person.worldPosition.x,
                   person.worldPosition.y, person.worldPosition.z);
    fmt::format_to(out, "\"position\":{{\"x\":{},\"y\":{},\"w\":{},\"h\":{}}},", person.boundingBox.x,
                   person.boundingBox.y, person.boundingBox.width, person.boundingBox.height);
    fmt::format_to(out, "\"rotation\":{{\"yaw\":{},\"pitch\":{},\"roll\":{}}},", person.headpose.yaw,
                   person.headpose.pitch, person.headpose.roll);
    fmt::format_to(out, "\"detection_confidence\":{},\"distance_from_camera\":{},",
                   jsonFixed3(person.detectionConfidence), person.distanceFromCamera);
    fmt::format_to(out, "\"viewing\":{},\"dwelling\":{},", toJsonStr(person.isViewing), toJsonStr(person.isDwelling));
    fmt::format_to(out, "\"gaze\":{{\"x\":{},\"y\":{}}},", person.headgaze.x, person.headgaze.y);
    fmt::format_to(out,
                   "\"detection_duration\":{},\"total_viewing_duration\":{},\"current_viewing_duration\":{},"
                   "\"total_dwell_duration\":{},\"current_dwell_duration\":{}}}",
                   person.detectionDuration.count(), person.totalViewingDuration.count(),
                   person.currentViewingDuration.count(), person.totalDwellDuration.count(),
                   person.currentDwellDuration.count());
    return json;
}

std::string peopleToJson(const std::vector<lm::Person>& people, unsigned int frameNumber,
                         const std::string& instanceName) {
    std::string json;
    json.reserve(RESERVE_PER_RECORD * people.size() + RESERVE_EXTRA);
    json += fmt::format("{{\"instance_name\":\"{}\",\"timestamp\":{},\"frame_number\":{},\"status\":1,\"people\":",
                        escapeJson(instanceName), timeToRFC3339Str(now(), true, true), frameNumber);
    json += personArray(people);
    json += '}';
    return json;
}

std::string aggregatedPersonToJson(const lm::AggregatedPerson& person) {
    return serializeAggregatePerson(person, AGGREGATED_JSON_FORMAT_STR);
}

std::string aggregatedPeopleToJsonList(const std::vector<lm::AggregatedPerson>& people) {
    return aggregatedArray(people);
}

std::string aggregatedPeopleToJson(const std::vector<lm::AggregatedPerson>& people,
                                   unsigned int aggregationPeriodSeconds, const std::string& instanceName) {
    const std::uint32_t periodMs = aggregationPeriodSeconds * 1000u;
    std::string json;
    json.reserve(RESERVE_PER_RECORD * people.size() + RESERVE_EXTRA);
    json += fmt::format(
        "{{\"aggregation_time\":{},\"instance_name\":\"{}\",\"aggregation_freq\":{},\"status\":1,"
        "\"aggregated_data\":",
        timeToRFC3339Str(now(), false, true), escapeJson(instanceName), periodMs);
    json += aggregatedArray(people);
    json += '}';
    return json;
}

std::string currentAggregationsToJson(const std::vector<lm::AggregatedPerson>& people, int windowMilliseconds,
                                      const std::string& instanceName) {
    std::size_t female = 0;
    for (const auto& person : people)
        if (person.avgGender > 0.0f) ++female;
    std::string json;
    json.reserve(RESERVE_PER_RECORD * people.size() + RESERVE_EXTRA);
    json += fmt::format(
        "{{\"aggregation_time\":{},\"window_duration\":{},\"instance_name\":\"{}\",\"male_count\":\"{}\","
        "\"female_count\":\"{}\",\"aggregated_data\":",
        timeToRFC3339Str(now(), false, true), windowMilliseconds, escapeJson(instanceName), people.size() - female,
        female);
    json += aggregatedArray(people);
    json += '}';
    return json;
}

std::string currentDetectionsToJson(const std::vector<lm::Person>& people, int windowMilliseconds,
                                    const std::string& instanceName) {
    std::size_t female = 0;
    for (const auto& person : people)
        if (person.gender > 0.0f) ++female;
    std::string json;
    json.reserve(RESERVE_PER_RECORD * people.size() + RESERVE_EXTRA);
    json += fmt::format(
        "{{\"detection_time\":{},\"window_duration\":{},\"instance_name\":\"{}\",\"male_count\":\"{}\","
        "\"female_count\":\"{}\",\"detections\":",
        timeToRFC3339Str(now(), false, true), windowMilliseconds, escapeJson(instanceName), people.size() - female,
        female);
    json += personArray(people);
    json += '}';
    return json;
}

std::string peopleCountToJson(const PeopleCountData& current, const PeopleCountData& total,
                              const std::string& instanceName) {
    return fmt::format(
        "{{\"timestamp\":{},\"state\":1,\"instance_name\":\"{}\",\"current_count\":{},\"total_count\":{},"
        "\"total_detection_time\":{},\"current_detection_time\":{}}}",
        timeToRFC3339Str(now(), false, true), escapeJson(instanceName), current.count, total.count,
        total.detectionDuration, current.detectionDuration);
}

std::string aggregatedPoPToJson(const std::vector<lm::AggregatedPerson>& people, const AudienceMetrics& metrics) {
    std::string json;
    json.reserve(RESERVE_PER_RECORD * people.size() + RESERVE_EXTRA);
    auto out = std::back_inserter(json);
    fmt::format_to(out, "{{\"time_start\":{},\"content_duration\":{},\"instance_name\":{},",
                   timeToRFC3339Str(metrics.timeStart, false, true), metrics.contentDuration.count() / 1000000,
                   toJsonStr(metrics.instanceName));
    fmt::format_to(out, "\"ots\":{},\"viewers\":{},\"impressions\":{},", metrics.ots, metrics.viewers,
                   metrics.impressions);
    fmt::format_to(out, "\"average_viewing_duration\":{},\"total_viewing_duration\":{},",
                   metrics.averageViewingDuration, metrics.totalViewingDuration);
    fmt::format_to(out, "\"average_detection_duration\":{},\"total_detection_duration\":{},",
                   metrics.averageDetectionDuration, metrics.totalDetectionDuration);
    fmt::format_to(out, "\"average_dwell_duration\":{},\"total_dwell_duration\":{},", metrics.averageDwellDuration,
                   metrics.totalDwellDuration);
    fmt::format_to(out, "\"female_count\":{},\"male_count\":{},\"unknown_count\":0,", metrics.femaleCount,
                   metrics.maleCount);
    fmt::format_to(out, "\"content_id\":{},\"content_name\":{},\"campaign_id\":{},\"display_id\":{},",
                   toJsonStr(metrics.contentId), toJsonStr(metrics.contentName), toJsonStr(metrics.campaignId),
                   toJsonStr(metrics.displayId));
    json += "\"metadata\":\"\",\"aggregated_data\":";
    json += aggregatedArray(people);
    json += '}';
    return json;
}

}  // namespace hx::format
