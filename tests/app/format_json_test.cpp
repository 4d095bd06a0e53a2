#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include <Poco/JSON/Parser.h>

#include "hx_format.h"
#include "support/sample_audience.h"
#include "support/time_zone.h"

namespace {

using lmtest::sampleAggregated;
using lmtest::sampleMetrics;
using lmtest::samplePerson;

Poco::JSON::Object::Ptr parseObject(const std::string& json) {
    Poco::JSON::Parser parser;
    return parser.parse(json).extract<Poco::JSON::Object::Ptr>();
}

// Documents carry the moment they were made as their first time stamp: replace it by <now>
// after checking that it is a quoted local time stamp.
std::string withNowPlaceholder(const std::string& json) {
    static const std::regex stamp(R"("\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{3})?[+-]\d\d:\d\d")");
    return std::regex_replace(json, stamp, "<now>", std::regex_constants::format_first_only);
}

const std::string SAMPLE_PERSON_JSON =
    "{\"id\":42,\"age\":31,\"gender\":87,\"smile\":52,\"face_mask\":25,"
    "\"world_position\":{\"x\":1,\"y\":-2,\"z\":300},\"position\":{\"x\":10,\"y\":20,\"w\":30,\"h\":40},"
    "\"rotation\":{\"yaw\":-15,\"pitch\":5,\"roll\":-3},\"detection_confidence\":0.875,"
    "\"distance_from_camera\":150,\"viewing\":true,\"dwelling\":false,\"gaze\":{\"x\":7,\"y\":-8},"
    "\"detection_duration\":1500,\"total_viewing_duration\":800,\"current_viewing_duration\":300,"
    "\"total_dwell_duration\":1200,\"current_dwell_duration\":200}";
const std::string UNSET_PERSON_JSON =
    "{\"id\":0,\"age\":-1,\"gender\":0,\"smile\":-100,\"face_mask\":-100,"
    "\"world_position\":{\"x\":0,\"y\":0,\"z\":0},\"position\":{\"x\":0,\"y\":0,\"w\":0,\"h\":0},"
    "\"rotation\":{\"yaw\":-360,\"pitch\":-360,\"roll\":-360},\"detection_confidence\":0.000,"
    "\"distance_from_camera\":0,\"viewing\":false,\"dwelling\":false,\"gaze\":{\"x\":0,\"y\":0},"
    "\"detection_duration\":0,\"total_viewing_duration\":0,\"current_viewing_duration\":0,"
    "\"total_dwell_duration\":0,\"current_dwell_duration\":0}";

std::string aggregatedJson(char gender) {
    return std::string("{\"id\":7,\"initial_detection_time\":\"2021-03-04 12:34:56+00:00\",\"age\":40,\"gender\":\"") +
           gender +
           "\",\"dweller\":1,\"viewer\":1,\"viewing_sessions\":2,\"average_viewing_duration\":2000,"
           "\"viewing_duration\":4000,\"dwell_sessions\":3,\"average_dwell_duration\":1000,\"dwell_duration\":3000,"
           "\"detection_duration\":9000,\"smile_viewing\":52,\"smile_maximum\":75,\"face_mask\":1}";
}

TEST(FormatJsonValues, TextsAndBooleans) {
    EXPECT_EQ(hx::format::toJsonStr(std::string("plain")), "\"plain\"");
    EXPECT_EQ(hx::format::toJsonStr(std::string("a \"b\"")), "\"a \\\"b\\\"\"");
    EXPECT_EQ(hx::format::toJsonStr(true), "true");
    EXPECT_EQ(hx::format::toJsonStr(false), "false");
}

TEST(FormatJsonObjects, PersonAndAggregatedPerson) {
    lmtest::ScopedTimeZone zone("UTC0");
    const struct {
        std::string json;
        std::string expected;
    } cases[] = {
        {hx::format::personToJson(samplePerson()), SAMPLE_PERSON_JSON},
        {hx::format::personToJson(lm::Person{}), UNSET_PERSON_JSON},
        {hx::format::aggregatedPersonToJson(sampleAggregated()), aggregatedJson('m')},
        {hx::format::aggregatedPeopleToJsonList({}), "[]"},
        {hx::format::aggregatedPeopleToJsonList({sampleAggregated(), sampleAggregated(0.3f)}),
         "[" + aggregatedJson('m') + "," + aggregatedJson('f') + "]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.json, c.expected);
        Poco::JSON::Parser parser;
        EXPECT_NO_THROW(parser.parse(c.json)) << c.json;
    }
}

TEST(FormatJsonObjects, NumbersJsonCannotHoldAreWrittenAsZero) {
    lm::Person p = samplePerson();
    p.detectionConfidence = std::nanf("");
    p.gender = std::numeric_limits<float>::infinity();
    const auto object = parseObject(hx::format::personToJson(p));
    EXPECT_EQ(object->getValue<double>("detection_confidence"), 0.0);
    EXPECT_EQ(object->getValue<std::int32_t>("gender"), std::numeric_limits<std::int32_t>::max());
}

TEST(FormatJsonDocuments, DocumentsWithTheirMoment) {
    lmtest::ScopedTimeZone zone("UTC0");
    const lm::Person female = samplePerson();
    lm::Person undecided = samplePerson();
    undecided.gender = 0.0f;
    lm::Person male = samplePerson();
    male.gender = -0.4f;
    const std::string undecidedJson = hx::format::personToJson(undecided);
    const std::string maleJson = hx::format::personToJson(male);

    const struct {
        std::string json;
        std::string expected;
    } cases[] = {
        {hx::format::peopleToJson({}, 5, "hx"),
         "{\"instance_name\":\"hx\",\"timestamp\":<now>,\"frame_number\":5,\"status\":1,\"people\":[]}"},
        {hx::format::peopleToJson({female, female}, 4294967295u, "hx"),
         "{\"instance_name\":\"hx\",\"timestamp\":<now>,\"frame_number\":4294967295,\"status\":1,\"people\":[" +
             SAMPLE_PERSON_JSON + "," + SAMPLE_PERSON_JSON + "]}"},
        {hx::format::aggregatedPeopleToJson({sampleAggregated()}, 30, "hx"),
         "{\"aggregation_time\":<now>,\"instance_name\":\"hx\",\"aggregation_freq\":30000,\"status\":1,"
         "\"aggregated_data\":[" +
             aggregatedJson('m') + "]}"},
        {hx::format::aggregatedPeopleToJson({}, 60, "hx"),
         "{\"aggregation_time\":<now>,\"instance_name\":\"hx\",\"aggregation_freq\":60000,\"status\":1,"
         "\"aggregated_data\":[]}"},
        // An undecided average (0) counts as male; only a positive one as female.
        {hx::format::currentAggregationsToJson({sampleAggregated(), sampleAggregated(0.3f), sampleAggregated(0.0f)},
                                               60000, "hx"),
         "{\"aggregation_time\":<now>,\"window_duration\":60000,\"instance_name\":\"hx\",\"male_count\":\"2\","
         "\"female_count\":\"1\",\"aggregated_data\":[" +
             aggregatedJson('m') + "," + aggregatedJson('f') + "," + aggregatedJson('u') + "]}"},
        {hx::format::currentDetectionsToJson({female, undecided, male}, 5000, "hx"),
         "{\"detection_time\":<now>,\"window_duration\":5000,\"instance_name\":\"hx\",\"male_count\":\"2\","
         "\"female_count\":\"1\",\"detections\":[" +
             SAMPLE_PERSON_JSON + "," + undecidedJson + "," + maleJson + "]}"},
        {hx::format::currentDetectionsToJson({}, 5000, "hx"),
         "{\"detection_time\":<now>,\"window_duration\":5000,\"instance_name\":\"hx\",\"male_count\":\"0\","
         "\"female_count\":\"0\",\"detections\":[]}"},
        {hx::format::peopleCountToJson({3, 4500}, {17, 98000}, "hx"),
         "{\"timestamp\":<now>,\"state\":1,\"instance_name\":\"hx\",\"current_count\":3,\"total_count\":17,"
         "\"total_detection_time\":98000,\"current_detection_time\":4500}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(withNowPlaceholder(c.json), c.expected);
        EXPECT_NO_THROW(parseObject(c.json)) << c.json;
    }
}

TEST(FormatJsonDocuments, RawDocumentStampHasMilliseconds) {
    const auto object = parseObject(hx::format::peopleToJson({}, 1, "hx"));
    EXPECT_TRUE(std::regex_match(object->getValue<std::string>("timestamp"),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")));
}

TEST(FormatJsonDocuments, ProofOfPlayReport) {
    lmtest::ScopedTimeZone zone("UTC0");
    const std::string head =
        "{\"time_start\":\"2021-03-04 12:34:56+00:00\",\"content_duration\":12345,\"instance_name\":\"hx\",";
    // The report writes neither the sample's metadata nor its unknown count: "" and 0.
    const std::string ids =
        "\"content_id\":\"c1\",\"content_name\":\"spring sale\",\"campaign_id\":\"k1\",\"display_id\":\"d1\","
        "\"metadata\":\"\",\"aggregated_data\":";
    hx::format::AudienceMetrics empty = sampleMetrics();
    empty.ots = empty.viewers = empty.impressions = 0;
    empty.averageViewingDuration = empty.totalViewingDuration = 0;
    empty.averageDetectionDuration = empty.totalDetectionDuration = 0;
    empty.averageDwellDuration = empty.totalDwellDuration = 0;
    empty.femaleCount = empty.maleCount = 0;
    const struct {
        std::string json;
        std::string expected;
    } cases[] = {
        {hx::format::aggregatedPoPToJson({sampleAggregated()}, sampleMetrics()),
         head +
             "\"ots\":5,\"viewers\":2,\"impressions\":3,\"average_viewing_duration\":1000,"
             "\"total_viewing_duration\":2000,\"average_detection_duration\":3000,\"total_detection_duration\":15000,"
             "\"average_dwell_duration\":1500,\"total_dwell_duration\":4500,\"female_count\":2,\"male_count\":3,"
             "\"unknown_count\":0," +
             ids + "[" + aggregatedJson('m') + "]}"},
        {hx::format::aggregatedPoPToJson({}, empty),
         head +
             "\"ots\":0,\"viewers\":0,\"impressions\":0,\"average_viewing_duration\":0,"
             "\"total_viewing_duration\":0,\"average_detection_duration\":0,\"total_detection_duration\":0,"
             "\"average_dwell_duration\":0,\"total_dwell_duration\":0,\"female_count\":0,\"male_count\":0,"
             "\"unknown_count\":0," +
             ids + "[]}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.json, c.expected);
        EXPECT_NO_THROW(parseObject(c.json)) << c.json;
    }
}

TEST(FormatJsonDocuments, HostileTextsStillParse) {
    const std::string hostile[] = {
        "say \"hi\"", "a,b", "two\nlines", "back\\slash", std::string("nul\0bell\x07", 9), "tab\there", "</script>",
    };
    for (const auto& text : hostile) {
        hx::format::AudienceMetrics m = sampleMetrics();
        m.instanceName = m.contentId = m.contentName = m.campaignId = m.displayId = text;
        const auto report = parseObject(hx::format::aggregatedPoPToJson({sampleAggregated()}, m));
        for (const char* key : {"instance_name", "content_id", "content_name", "campaign_id", "display_id"})
            EXPECT_EQ(report->getValue<std::string>(key), text) << key;

        const std::string documents[] = {
            hx::format::peopleToJson({samplePerson()}, 1, text),
            hx::format::aggregatedPeopleToJson({sampleAggregated()}, 30, text),
            hx::format::currentAggregationsToJson({sampleAggregated()}, 1000, text),
            hx::format::currentDetectionsToJson({samplePerson()}, 1000, text),
            hx::format::peopleCountToJson({1, 2}, {3, 4}, text),
        };
        for (const auto& json : documents) {
            Poco::JSON::Object::Ptr object;
            ASSERT_NO_THROW(object = parseObject(json)) << json;
            EXPECT_EQ(object->getValue<std::string>("instance_name"), text);
        }
    }
}

}  // namespace

namespace {

using Code = hx::StatusHandler::APIErrorCode;

TEST(FormatJsonEnvelope, AnswerAndEngineInitError) {
    const struct {
        std::string json;
        std::string expected;
    } cases[] = {
        {hx::format::getAPIResponseStr(Code::SUCCESS, ""), "{ \"error_code\" : 0, \"description\" : \"\"}"},
        {hx::format::getAPIResponseStr(Code::ANALYSIS_NOT_RUNNING, "Analysis is not running"),
         "{ \"error_code\" : 1201, \"description\" : \"Analysis is not running\"}"},
        {hx::format::getAPIResponseStr(Code::BAD_REQUEST, "field \"x\" missing\n"),
         "{ \"error_code\" : 1400, \"description\" : \"field \\\"x\\\" missing\\n\"}"},
        {"{" + hx::format::getEngineInitErrorAsJsonString({Code::VIDEO_SOURCE_ERROR, "Video source error"}) + "}",
         "{\"engine_init_error\" : { \"error_code\" : 1103, \"description\" : \"Video source error\" }}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.json, c.expected);
        EXPECT_NO_THROW(parseObject(c.json)) << c.json;
    }
}

TEST(FormatJsonEnvelope, HostileDescriptionsRoundTrip) {
    for (const std::string text : {"say \"hi\"", "C:\\path", "two\nlines", "nul\x01"}) {
        EXPECT_EQ(parseObject(hx::format::getAPIResponseStr(Code::INTERNAL_ERROR, text))
                      ->getValue<std::string>("description"),
                  text);
        const auto status =
            parseObject("{" + hx::format::getEngineInitErrorAsJsonString({Code::RUNTIME_ERROR, text}) + "}");
        EXPECT_EQ(status->getObject("engine_init_error")->getValue<std::string>("description"), text);
        EXPECT_EQ(status->getObject("engine_init_error")->getValue<int>("error_code"), 1104);
    }
}

}  // namespace
