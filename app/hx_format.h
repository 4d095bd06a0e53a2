#pragma once
// The program's text serialisers: time stamps, CSV lines and JSON documents.
//
// Every writer is a pure function of its records (and, where a document carries the moment
// it was made, of the current time). CSV lines come without a line terminator; the daily
// files add it. JSON documents are built by concatenation, not with a JSON library, so that
// their key order and spacing stay exactly as the readers of these documents expect.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <lumora/lm_records.h>

#include "hx_status.h"

namespace hx {

// Finished body tracks: how many, and the sum of their detection durations.
struct PeopleCountData {
    std::int32_t count = 0;
    std::int64_t detectionDuration = 0;  // milliseconds
};

}  // namespace hx

namespace hx::format {

using TimePoint = std::chrono::system_clock::time_point;

// The audience of one closed content item.
struct AudienceMetrics {
    TimePoint timeStart{};
    std::chrono::nanoseconds contentDuration{0};
    std::string instanceName;
    std::string contentId;
    std::string contentName;
    std::string campaignId;
    std::string displayId;
    std::string metadata;
    std::int32_t maleCount = 0;
    std::int32_t femaleCount = 0;
    std::int32_t unknownCount = 0;
    std::int32_t viewers = 0;
    std::int32_t impressions = 0;
    std::int32_t ots = 0;
    std::int32_t averageViewingDuration = 0;  // milliseconds, like every duration below
    std::int32_t totalViewingDuration = 0;
    std::int32_t averageDetectionDuration = 0;
    std::int32_t totalDetectionDuration = 0;
    std::int32_t averageDwellDuration = 0;
    std::int32_t totalDwellDuration = 0;
};

inline constexpr std::string_view RAW_CSV_HEADER =
    "frame_number,timestamp,id,age,gender,pitch,yaw,roll,is_viewing,is_dwelling,gaze_x,gaze_y,"
    "detection_duration,total_viewing_duration,current_viewing_duration,total_dwell_duration,"
    "current_dwell_duration,smile,bounding_box_x,bounding_box_y,bounding_box_width,"
    "bounding_box_height,world_x,world_y,world_z,detection_confidence,distance_from_camera,face_mask";
inline constexpr std::string_view AGGREGATED_CSV_HEADER =
    "aggregation_time,aggregation_freq,id,initial_detection_time,age,gender,dweller,viewer,"
    "viewing_sessions,average_viewing_duration,viewing_duration,dwell_sessions,"
    "average_dwell_duration,dwell_duration,detection_duration,smile_viewing,smile_maximum,face_mask";
inline constexpr std::string_view PEOPLE_COUNT_CSV_HEADER =
    "timestamp,total_count,current_count,total_detection_time,current_detection_time";
inline constexpr std::string_view AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER =
    "time_start,content_duration,content_id,display_id,campaign_id,content_name,metadata,"
    "person_id,initial_detection_time,age,gender,dweller,viewer,viewing_sessions,"
    "average_viewing_duration,viewing_duration,dwell_sessions,average_dwell_duration,"
    "dwell_duration,detection_duration,smile_viewing,smile_maximum,face_mask";
inline constexpr std::string_view AGGREGATED_TOTAL_AUDIENCE_PER_CONTENT_CSV_HEADER =
    "time_start,content_duration,content_id,display_id,campaign_id,content_name,metadata,ots,"
    "impressions,viewers,average_viewing_duration,total_viewing_duration,average_dwell_duration,"
    "total_dwell_duration,average_detection_duration,total_detection_duration,female_count,"
    "male_count,unknown_count";

// Escapes a text for insertion between the quotes of a JSON string: quote, backslash and
// control characters. Every other byte, UTF-8 included, is copied as it is, so ordinary
// texts come out unchanged. The one place where the program escapes JSON.
std::string escapeJson(std::string_view text);

// One CSV field from a free text: a text holding a comma, a double quote, CR or LF is put
// between double quotes with its quotes doubled (RFC 4180); any other text is returned as
// it is, so the files of ordinary names read exactly as before.
std::string escapeCsv(std::string_view text);

// A score in hundredths: the single-precision product with 100 truncated toward zero
// (0.53 gives 52). NaN gives 0; values beyond the 32-bit range saturate.
std::int32_t toHundredths(float value);

// The library's local time stamp (lm::help::timeToRFC3339Str), optionally between double
// quotes as the JSON documents carry it.
std::string timeToRFC3339Str(TimePoint time, bool withMilliseconds, bool quoted);

// CSV lines, one per record, with as many fields as their header has columns.
std::string personToCsv(const lm::Person& person, unsigned int frameNumber);
std::string aggregatedPersonToCsv(const lm::AggregatedPerson& person, unsigned int aggregationPeriodSeconds);
std::string peopleCountToCsv(const PeopleCountData& current, const PeopleCountData& total);
std::string aggregatedPersonPerContent(const lm::AggregatedPerson& person, const AudienceMetrics& metrics);
std::string aggregatedTotalAudiencePerContent(const AudienceMetrics& metrics);

// The answer envelope of the HTTP interface: { "error_code" : <code>, "description" : "<text>"}
std::string getAPIResponseStr(StatusHandler::APIErrorCode code, const std::string& description);
// The key "engine_init_error" with its envelope-like object, for the status answer to embed.
std::string getEngineInitErrorAsJsonString(const StatusHandler::EngineInitError& error);

// JSON values and documents. Texts are escaped; numbers that cannot be written in JSON
// (NaN, infinities) are written as 0.
std::string toJsonStr(const std::string& text);
std::string toJsonStr(const bool& value);
std::string personToJson(const lm::Person& person);
std::string peopleToJson(const std::vector<lm::Person>& people, unsigned int frameNumber,
                         const std::string& instanceName);
std::string aggregatedPersonToJson(const lm::AggregatedPerson& person);
std::string aggregatedPeopleToJsonList(const std::vector<lm::AggregatedPerson>& people);
std::string aggregatedPeopleToJson(const std::vector<lm::AggregatedPerson>& people,
                                   unsigned int aggregationPeriodSeconds, const std::string& instanceName);
std::string currentAggregationsToJson(const std::vector<lm::AggregatedPerson>& people, int windowMilliseconds,
                                      const std::string& instanceName);
std::string currentDetectionsToJson(const std::vector<lm::Person>& people, int windowMilliseconds,
                                    const std::string& instanceName);
std::string peopleCountToJson(const PeopleCountData& current, const PeopleCountData& total,
                              const std::string& instanceName);
std::string aggregatedPoPToJson(const std::vector<lm::AggregatedPerson>& people, const AudienceMetrics& metrics);

}  // namespace hx::format
