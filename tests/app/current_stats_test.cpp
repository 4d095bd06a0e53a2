#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include <Poco/JSON/Array.h>

#include "hx_current_stats.h"
#include "hx_http_server.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/scripted_people.h"

namespace {

using lmtest::httpRequest;
using lmtest::parseObject;
using lmtest::scriptedFace;
using std::chrono::milliseconds;
using std::chrono::seconds;

hx::Settings statsOn(bool enabled = true) {
    hx::Settings settings;
    settings.httpInterfacePort = 0;
    settings.currentStatsEnabled = enabled;
    settings.currentStatsDuration = 60;
    settings.instanceName = "lobby";
    return settings;
}

// A live-statistics object behind a loopback server, as the program wires it.
struct Served {
    explicit Served(const hx::Settings& settings) : stats(settings), server(settings, "127.0.0.1") {
        stats.setHttpEndPoints(server);
    }
    lmtest::HttpAnswer post(const std::string& target, const std::string& body) {
        return httpRequest("POST", "http://127.0.0.1:" + std::to_string(server.port()) + target, body);
    }
    hx::CurrentStats stats;
    hx::http::Server server;
};

const std::string AGGREGATIONS = "/data/current_aggregations";
const std::string DETECTIONS = "/data/current_detections";

// One female and one male face seen just now, on tracks long enough to count.
std::vector<lm::Person> twoFacesNow() {
    const auto now = std::chrono::system_clock::now();
    lmtest::FaceScript male;
    male.gender = -0.7f;
    return {scriptedFace(1, now - milliseconds(1500), milliseconds(0)),
            scriptedFace(2, now - milliseconds(1500), milliseconds(0), male), scriptedFace(1, now, milliseconds(1500)),
            scriptedFace(2, now, milliseconds(1500), male)};
}

std::set<int> ids(const Poco::JSON::Array::Ptr& array) {
    std::set<int> out;
    for (std::size_t i = 0; i < array->size(); ++i) out.insert(array->getObject(i)->getValue<int>("id"));
    return out;
}

TEST(CurrentStatsThreads, AnswerTableOfBothEndpoints) {
    struct Case {
        bool enabled;
        std::string target;
        std::string body;
        int status;
        std::string answer;  // the whole envelope, or empty for a document
    };
    const std::vector<Case> cases = {
        {false, AGGREGATIONS, R"({"duration":5000})", 500,
         R"({ "error_code" : 1300, "description" : "Current stats is disabled"})"},
        {false, DETECTIONS, R"({"duration":5000})", 500,
         R"({ "error_code" : 1300, "description" : "Current detections is disabled"})"},
        {true, AGGREGATIONS, R"({"window":5000})", 500,
         R"({ "error_code" : 1400, "description" : "Duration field is missing"})"},
        {true, DETECTIONS, R"({})", 500, R"({ "error_code" : 1400, "description" : "Duration field is missing"})"},
        {true, AGGREGATIONS, "not json", 500, ""},
        {true, DETECTIONS, "[5000]", 500, ""},
        {true, AGGREGATIONS, R"({"duration":"soon"})", 500, ""},
        {true, DETECTIONS, R"({"duration":null})", 500, ""},
        {true, AGGREGATIONS, R"({"duration":5000})", 200, ""},
        {true, DETECTIONS, R"({"duration":"5000","other":1})", 200, ""},
    };
    for (const bool enabled : {false, true}) {
        Served served(statsOn(enabled));
        for (const auto& c : cases) {
            if (c.enabled != enabled) continue;
            const auto answer = served.post(c.target, c.body);
            SCOPED_TRACE(c.target + " " + c.body);
            EXPECT_EQ(answer.status, c.status);
            EXPECT_EQ(answer.header("Content-Type"), "application/json");
            EXPECT_FALSE(answer.chunked);
            if (!c.answer.empty()) {
                EXPECT_EQ(answer.body, c.answer);
            } else if (c.status == 500) {
                const auto envelope = parseObject(answer.body);
                EXPECT_EQ(envelope->getValue<int>("error_code"), 1500);
                EXPECT_FALSE(envelope->getValue<std::string>("description").empty());
            } else {
                EXPECT_EQ(parseObject(answer.body)->getValue<int>("window_duration"), 5000);
            }
        }
    }
}

TEST(CurrentStatsThreads, DocumentsHoldTheWindowsRecordsWithQuotedCounts) {
    Served served(statsOn());
    served.stats.newDetections(twoFacesNow());

    for (const std::string body : {R"({"duration":5000})", R"({"duration":"5000"})"}) {
        const auto aggregations = served.post(AGGREGATIONS, body);
        ASSERT_EQ(aggregations.status, 200) << aggregations.body;
        const auto document = parseObject(aggregations.body);
        EXPECT_EQ(document->getValue<std::string>("instance_name"), "lobby");
        EXPECT_EQ(document->get("female_count").toString(), "1");
        EXPECT_TRUE(document->get("female_count").isString());
        EXPECT_TRUE(document->get("male_count").isString());
        EXPECT_EQ(document->get("male_count").toString(), "1");
        EXPECT_EQ(ids(document->getArray("aggregated_data")), (std::set<int>{1, 2}));

        const auto detections = served.post(DETECTIONS, body);
        ASSERT_EQ(detections.status, 200) << detections.body;
        const auto latest = parseObject(detections.body);
        EXPECT_EQ(ids(latest->getArray("detections")), (std::set<int>{1, 2}));
        EXPECT_EQ(latest->get("female_count").toString(), "1");
        EXPECT_EQ(latest->getValue<int>("window_duration"), 5000);
    }
}

TEST(CurrentStats, WindowLeavesOutOlderRecords) {
    hx::CurrentStats stats(statsOn());
    const auto now = std::chrono::system_clock::now();
    stats.newDetections(
        {scriptedFace(7, now - seconds(20), milliseconds(0)), scriptedFace(7, now - seconds(10), milliseconds(10000)),
         scriptedFace(8, now - milliseconds(1200), milliseconds(0)), scriptedFace(8, now, milliseconds(1200))});
    EXPECT_EQ(ids(parseObject(stats.getCurrentDetections(5000))->getArray("detections")), (std::set<int>{8}));
    EXPECT_EQ(ids(parseObject(stats.getCurrentDetections(0))->getArray("detections")), (std::set<int>{7, 8}));
    EXPECT_EQ(ids(parseObject(stats.getCurrentAggregations(5000))->getArray("aggregated_data")), (std::set<int>{8}));
    EXPECT_EQ(ids(parseObject(stats.getCurrentAggregations(30000))->getArray("aggregated_data")),
              (std::set<int>{7, 8}));
}

TEST(CurrentStats, SwitchedOffStoresNothingAndNewSettingsApply) {
    hx::CurrentStats stats(statsOn(false));
    stats.newDetections(twoFacesNow());
    hx::Settings settings = statsOn(true);
    settings.instanceName = "hall";
    stats.setSettings(settings);
    auto document = parseObject(stats.getCurrentDetections(0));
    EXPECT_EQ(document->getArray("detections")->size(), 0u);
    EXPECT_EQ(document->getValue<std::string>("instance_name"), "hall");

    stats.newDetections(twoFacesNow());
    document = parseObject(stats.getCurrentDetections(0));
    EXPECT_EQ(document->getArray("detections")->size(), 2u);
}

TEST(CurrentStats, ClockSteppedBackRestartsFromTheNewBatchWithOneWarning) {
    lmtest::LogCapture log;
    hx::CurrentStats stats(statsOn());
    const auto now = std::chrono::system_clock::now();
    stats.newDetections({scriptedFace(1, now - seconds(2), milliseconds(0)), scriptedFace(1, now, milliseconds(2000))});
    // The clock went back three seconds: the next frame is older than what is stored.
    const auto stepped = now - seconds(3);
    const std::vector<lm::Person> batch = {scriptedFace(5, stepped - seconds(2), milliseconds(0)),
                                           scriptedFace(5, stepped, milliseconds(2000))};
    EXPECT_NO_THROW(stats.newDetections(batch));
    EXPECT_EQ(log.countContaining("Live statistics restart"), 1u);
    EXPECT_EQ(ids(parseObject(stats.getCurrentDetections(0))->getArray("detections")), (std::set<int>{5}));
    EXPECT_EQ(ids(parseObject(stats.getCurrentAggregations(0))->getArray("aggregated_data")), (std::set<int>{5}));

    // Frames in order again are taken as usual and warn no more.
    stats.newDetections({scriptedFace(5, now, milliseconds(5000))});
    EXPECT_EQ(log.countContaining("Live statistics restart"), 1u);
}

TEST(CurrentStatsThreads, FeedingWhileServedFromOtherThreads) {
    Served served(statsOn());
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (std::uint32_t frame = 0; frame < 300; ++frame) {
            const auto now = std::chrono::system_clock::now();
            served.stats.newDetections({scriptedFace(1 + frame % 3, now, milliseconds(1000 + frame))});
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<int> failures{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            int rounds = 0;
            while (!done || rounds < 3) {
                const auto answer = served.post(r % 2 ? AGGREGATIONS : DETECTIONS, R"({"duration":2000})");
                if (answer.status != 200) ++failures;
                ++rounds;
            }
        });
    }
    std::thread settings([&] {
        for (int i = 0; i < 50; ++i) (void)served.stats.getCurrentAggregations(0);
    });
    feeder.join();
    settings.join();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ids(parseObject(served.stats.getCurrentDetections(0))->getArray("detections")), (std::set<int>{1, 2, 3}));
}

}  // namespace
