#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include <Poco/JSON/Array.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include "hx_http_server.h"
#include "hx_pop.h"
#include "hx_status.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/scripted_people.h"
#include "support/temp_dir.h"

namespace {

using lmtest::parseObject;
using lmtest::scriptedTrack;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string START_BODY =
    R"({"content_id":"ad-1","content_name":"Spring sale","campaign_id":"c7","display_id":"d3"})";

std::string startBody(const std::string& id) {
    return R"({"content_id":")" + id + R"(","content_name":"n","campaign_id":"c","display_id":"d"})";
}
std::string stopBody(const std::string& id) { return R"({"content_id":")" + id + R"("})"; }

std::string envelope(int code, const std::string& description) {
    return R"({ "error_code" : )" + std::to_string(code) + R"(, "description" : ")" + description + R"("})";
}

// A system clock that tests move by hand, for the items' ages.
struct HandClock {
    std::atomic<std::int64_t> offsetNs{0};
    void advance(std::chrono::nanoseconds step) { offsetNs += step.count(); }
    hx::ProofOfPlay::SystemClockFunction function() {
        return [this] { return std::chrono::system_clock::now() + std::chrono::nanoseconds(offsetNs.load()); };
    }
};

// A proof-of-play object wired as the program wires it: a status handler, a loopback
// server for its endpoints, a receiver for its pushes and a directory for its CSV files.
struct PopFixture {
    explicit PopFixture(bool processing = true) { build(processing); }

    hx::Settings settings() const {
        hx::Settings s;
        s.httpInterfacePort = 0;
        s.instanceName = "lobby";
        s.tovexEnabled = true;
        s.tovexPushEnabled = true;
        s.tovexPushUrl = receiver.url("/pop");
        s.tovexCsvEnabled = true;
        s.tovexCsvPath = csvDir.path().string();
        return s;
    }

    void build(bool processing, const hx::Settings* custom = nullptr) {
        const hx::Settings s = custom ? *custom : settings();
        pop.reset();
        server.reset();
        status = std::make_unique<hx::StatusHandler>(s);
        status->setVideoSourceStatus(true, false);  // a usable source: no engine error
        status->setProcessing(processing);
        pop = std::make_unique<hx::ProofOfPlay>(s, *status, clock.function(), [this] {
            return std::chrono::system_clock::now() + std::chrono::hours(dateShiftHours.load());
        });
        server = std::make_unique<hx::http::Server>(s, "127.0.0.1");
        pop->setHttpEndPoints(*server);
    }
    ~PopFixture() {
        server.reset();
        pop.reset();
    }

    lmtest::HttpAnswer post(const std::string& target, const std::string& body) {
        return lmtest::httpRequest("POST", "http://127.0.0.1:" + std::to_string(server->port()) + target, body);
    }
    lmtest::HttpAnswer start(const std::string& id) { return post("/data/pop/start", startBody(id)); }
    lmtest::HttpAnswer stop(const std::string& id) { return post("/data/pop/stop", stopBody(id)); }

    std::vector<std::string> csv(const std::string& tag) const {
        return lmtest::readLines(lmtest::fileStartingWith(csvDir.path(), tag + "_lobby_"));
    }

    lmtest::TempDir csvDir;
    lmtest::HttpReceiver receiver;
    HandClock clock;
    std::atomic<int> dateShiftHours{0};  // moves the CSV files' date only
    std::unique_ptr<hx::StatusHandler> status;
    std::unique_ptr<hx::ProofOfPlay> pop;
    std::unique_ptr<hx::http::Server> server;
};

TEST(ProofOfPlayThreads, AnswerTableInItsOrder) {
    PopFixture f;
    struct Case {
        std::string name;
        bool tovex;
        bool settingsError;
        bool processing;
        std::string target;
        std::string body;
        int status;
        std::string answer;  // empty: only the code is checked
        int code;
    };
    const std::vector<Case> cases = {
        {"disabled beats everything", false, true, false, "/data/pop/start", "x", 200,
         envelope(1300, "Tovex is disabled"), 1300},
        {"disabled stop", false, false, true, "/data/pop/stop", stopBody("a"), 200, envelope(1300, "Tovex is disabled"),
         1300},
        {"engine error beats not running", true, true, false, "/data/pop/stop", "x", 500, envelope(1101, "broken"),
         1101},
        {"not running beats a bad body", true, false, false, "/data/pop/start", "x", 500,
         envelope(1201, "Analysis is not running"), 1201},
        {"missing member", true, false, true, "/data/pop/start", R"({"content_id":"a"})", 200,
         envelope(1400, "Missing fields in body"), 1400},
        {"stop without id", true, false, true, "/data/pop/stop", R"({"id":"a"})", 200,
         envelope(1400, "Missing fields in body"), 1400},
        {"not json", true, false, true, "/data/pop/start", "{", 200, "", 1400},
        {"root not an object", true, false, true, "/data/pop/stop", "[1]", 200, "", 1400},
        {"member not a text", true, false, true, "/data/pop/stop", R"({"content_id":null})", 200, "", 1400},
        {"start", true, false, true, "/data/pop/start", START_BODY, 200, envelope(0, ""), 0},
        {"start again", true, false, true, "/data/pop/start", START_BODY, 200,
         envelope(1400, "Content ID already exists"), 1400},
        {"stop unknown", true, false, true, "/data/pop/stop", stopBody("never"), 200, "{}", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hx::Settings s = f.settings();
        s.tovexEnabled = c.tovex;
        f.pop->setSettings(s);
        if (c.settingsError)
            f.status->setSettingsError("broken", false);
        else
            f.status->clearSettingsError();
        f.status->setProcessing(c.processing);
        const auto answer = f.post(c.target, c.body);
        EXPECT_EQ(answer.status, c.status);
        if (!c.answer.empty()) {
            EXPECT_EQ(answer.body, c.answer);
        } else {
            EXPECT_EQ(parseObject(answer.body)->getValue<int>("error_code"), c.code) << answer.body;
        }
        if (c.target == "/data/pop/start") {
            EXPECT_EQ(answer.header("Content-Type"), "application/json");
        }
        EXPECT_FALSE(answer.chunked);
    }
    // The refused second start left the first item open: it still reports.
    const auto report = f.stop("ad-1");
    EXPECT_EQ(parseObject(report.body)->getValue<std::string>("content_name"), "Spring sale");
}

TEST(ProofOfPlay, MetricRules) {
    auto person = [](float gender, std::uint32_t viewing, std::uint32_t dwell, std::int64_t viewMs,
                     std::int64_t detectMs, std::int64_t dwellMs) {
        lm::AggregatedPerson p;
        p.avgGender = gender;
        p.viewingSessions = viewing;
        p.dwellSessions = dwell;
        p.totalViewingDuration = milliseconds(viewMs);
        p.totalDetectionDuration = milliseconds(detectMs);
        p.totalDwellDuration = milliseconds(dwellMs);
        return p;
    };
    const auto none = hx::ProofOfPlay::sumUp({});
    EXPECT_EQ(none.ots, 0);
    EXPECT_EQ(none.averageViewingDuration, 0);
    EXPECT_EQ(none.averageDetectionDuration, 0);
    EXPECT_EQ(none.averageDwellDuration, 0);

    // Female only above 0; an undecided 0 counts as male. Averages truncate.
    const auto three = hx::ProofOfPlay::sumUp(
        {person(0.3f, 2, 0, 1000, 3000, 0), person(0.0f, 0, 1, 0, 2000, 500), person(-0.4f, 1, 1, 1, 2001, 1)});
    EXPECT_EQ(three.ots, 3);
    EXPECT_EQ(three.femaleCount, 1);
    EXPECT_EQ(three.maleCount, 2);
    EXPECT_EQ(three.unknownCount, 0);
    EXPECT_EQ(three.viewers, 2);
    EXPECT_EQ(three.impressions, 2);
    EXPECT_EQ(three.totalViewingDuration, 1001);
    EXPECT_EQ(three.averageViewingDuration, 333);
    EXPECT_EQ(three.totalDetectionDuration, 7001);
    EXPECT_EQ(three.averageDetectionDuration, 2333);
    EXPECT_EQ(three.totalDwellDuration, 501);
    EXPECT_EQ(three.averageDwellDuration, 167);

    // Long stays: the sums do not wrap; the averages come from the 64-bit sums.
    const std::int64_t hour = 3'600'000;
    std::vector<lm::AggregatedPerson> crowd(1000, person(0.5f, 1, 1, hour, hour, hour));
    const auto full = hx::ProofOfPlay::sumUp(crowd);
    EXPECT_EQ(full.totalDetectionDuration, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(full.averageDetectionDuration, hour);
    EXPECT_EQ(full.averageViewingDuration, hour);
}

TEST(ProofOfPlayThreads, ItemWithNobodySeenReportsZeroAndOnlyTheTotalLine) {
    PopFixture f;
    ASSERT_EQ(f.post("/data/pop/start", START_BODY).body, envelope(0, ""));
    f.pop->newDetections({});
    const auto answer = f.stop("ad-1");
    ASSERT_EQ(answer.status, 200);
    const auto report = parseObject(answer.body);
    EXPECT_EQ(report->getValue<int>("ots"), 0);
    for (const char* key : {"viewers", "impressions", "average_viewing_duration", "average_detection_duration",
                            "average_dwell_duration", "female_count", "male_count", "unknown_count"})
        EXPECT_EQ(report->getValue<int>(key), 0) << key;
    EXPECT_EQ(report->getArray("aggregated_data")->size(), 0u);
    EXPECT_EQ(report->getValue<std::string>("instance_name"), "lobby");
    EXPECT_EQ(report->getValue<std::string>("campaign_id"), "c7");
    EXPECT_EQ(report->getValue<std::string>("display_id"), "d3");

    EXPECT_EQ(f.csv("pop").size(), 1u);  // the header only
    const auto total = f.csv("pop_total");
    ASSERT_EQ(total.size(), 2u);
    EXPECT_NE(total[1].find("ad-1,d3,c7,Spring sale,,0,0,0,"), std::string::npos) << total[1];

    ASSERT_TRUE(f.receiver.waitForRequests(1));
    EXPECT_EQ(f.receiver.bodies().front(), answer.body);
}

TEST(ProofOfPlayThreads, TwoOpenItemsReportIndependently) {
    PopFixture f;
    const auto now = std::chrono::system_clock::now();
    ASSERT_EQ(f.start("a").body, envelope(0, ""));
    lmtest::FaceScript viewer;
    viewer.viewing = true;
    viewer.totalViewing = milliseconds(1500);
    f.pop->newDetections(scriptedTrack(1, now, milliseconds(2000), viewer));
    ASSERT_EQ(f.start("b").body, envelope(0, ""));
    lmtest::FaceScript male;
    male.gender = -0.5f;
    male.dwelling = true;
    male.totalDwell = milliseconds(1200);
    f.pop->newDetections(scriptedTrack(2, now, milliseconds(3000), male));

    const auto b = parseObject(f.stop("b").body);
    EXPECT_EQ(b->getValue<int>("ots"), 1);
    EXPECT_EQ(b->getValue<int>("male_count"), 1);
    EXPECT_EQ(b->getValue<int>("impressions"), 1);
    EXPECT_EQ(b->getValue<int>("total_dwell_duration"), 1200);
    EXPECT_EQ(b->getValue<int>("total_detection_duration"), 3000);

    f.pop->newDetections(scriptedTrack(3, now, milliseconds(1000)));
    const auto a = parseObject(f.stop("a").body);
    EXPECT_EQ(a->getValue<int>("ots"), 3);
    EXPECT_EQ(a->getValue<int>("viewers"), 1);
    EXPECT_EQ(a->getValue<int>("female_count"), 2);
    EXPECT_EQ(a->getValue<int>("total_detection_duration"), 6000);
    EXPECT_EQ(a->getValue<int>("average_detection_duration"), 2000);
    EXPECT_EQ(a->getArray("aggregated_data")->size(), 3u);

    EXPECT_EQ(f.csv("pop").size(), 1u + 1u + 3u);
    EXPECT_EQ(f.csv("pop_total").size(), 1u + 2u);
    ASSERT_TRUE(f.receiver.waitForRequests(2));
    EXPECT_EQ(parseObject(f.receiver.bodies()[0])->getValue<std::string>("content_id"), "b");
    EXPECT_EQ(parseObject(f.receiver.bodies()[1])->getValue<std::string>("content_id"), "a");
}

TEST(ProofOfPlayThreads, StopAndRestartDiscardTheOpenItem) {
    lmtest::LogCapture log;
    PopFixture f;
    ASSERT_EQ(f.start("spot-9").body, envelope(0, ""));
    f.status->setProcessing(false);
    f.status->setProcessing(true);
    EXPECT_EQ(log.countContaining("spot-9"), 1u);
    EXPECT_EQ(f.stop("spot-9").body, "{}");
    // The id is free again in the new run.
    EXPECT_EQ(f.start("spot-9").body, envelope(0, ""));
    EXPECT_NE(f.stop("spot-9").body, "{}");
}

TEST(ProofOfPlay, StartRefusedWhenProcessingStopsUnderIt) {
    PopFixture f;
    f.status->setProcessing(false);
    EXPECT_THROW(f.pop->newPopAggregator("x", "n", "c", "d"), hx::ProofOfPlay::AnalysisNotRunning);
    f.status->setProcessing(true);
    EXPECT_NO_THROW(f.pop->newPopAggregator("x", "n", "c", "d"));
    EXPECT_THROW(f.pop->newPopAggregator("x", "n", "c", "d"), std::invalid_argument);
}

TEST(ProofOfPlayThreads, UnstoppedItemExpiresAfterAnHour) {
    lmtest::LogCapture log;
    PopFixture f;
    ASSERT_EQ(f.start("old").body, envelope(0, ""));
    ASSERT_EQ(f.start("kept").body, envelope(0, ""));
    f.clock.advance(seconds(3599));
    const auto people = scriptedTrack(4, std::chrono::system_clock::now(), milliseconds(1500));
    f.pop->newDetections(people);
    EXPECT_EQ(log.countContaining("Content item old"), 0u);
    const auto kept = parseObject(f.stop("kept").body);
    EXPECT_EQ(kept->getValue<int>("ots"), 1);
    EXPECT_GE(kept->getValue<std::int64_t>("content_duration"), 3599 * 1000);
    EXPECT_LT(kept->getValue<std::int64_t>("content_duration"), 3600 * 1000);

    f.clock.advance(seconds(2));
    f.pop->newDetections(people);
    EXPECT_EQ(log.countContaining("Content item old"), 1u);
    EXPECT_EQ(f.stop("old").body, "{}");
}

TEST(ProofOfPlayThreads, NumericContentIdBecomesText) {
    PopFixture f;
    ASSERT_EQ(
        f.post("/data/pop/start", R"({"content_id":42,"content_name":7,"campaign_id":"c","display_id":"d"})").body,
        envelope(0, ""));
    const auto answer = f.post("/data/pop/stop", R"({"content_id":"42"})");
    EXPECT_NE(answer.body.find(R"("content_id":"42")"), std::string::npos) << answer.body;
    EXPECT_NE(answer.body.find(R"("content_name":"7")"), std::string::npos) << answer.body;
}

TEST(ProofOfPlayThreads, PushAndCsvFollowTheirSwitches) {
    PopFixture f;
    hx::Settings s = f.settings();
    s.tovexPushEnabled = false;
    s.tovexCsvEnabled = false;
    f.pop->setSettings(s);
    ASSERT_EQ(f.start("quiet").body, envelope(0, ""));
    EXPECT_NE(f.stop("quiet").body, "{}");
    EXPECT_EQ(f.csv("pop_total").size(), 1u);
    s = f.settings();
    s.tovexCsvEnabled = false;
    f.pop->setSettings(s);
    ASSERT_EQ(f.start("loud").body, envelope(0, ""));
    const std::string report = f.stop("loud").body;
    ASSERT_TRUE(f.receiver.waitForRequests(1));
    const auto bodies = f.receiver.bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0], report);
}

TEST(ProofOfPlayThreads, CsvFailureKeepsTheItemOpenForAnotherStop) {
    PopFixture f;
    ASSERT_EQ(f.start("ad-3").body, envelope(0, ""));
    // The next day's files cannot be opened: the directory has become a plain file.
    std::filesystem::remove_all(f.csvDir.path());
    std::ofstream(f.csvDir.path()) << "in the way";
    f.dateShiftHours = 24;
    const auto failed = parseObject(f.stop("ad-3").body);
    EXPECT_EQ(failed->getValue<int>("error_code"), 1400);
    EXPECT_NE(failed->getValue<std::string>("description").find("Cannot open csv file"), std::string::npos);

    std::filesystem::remove(f.csvDir.path());
    std::filesystem::create_directory(f.csvDir.path());
    const auto report = parseObject(f.stop("ad-3").body);
    EXPECT_EQ(report->getValue<std::string>("content_id"), "ad-3");
    EXPECT_EQ(f.csv("pop_total").size(), 2u);
    ASSERT_TRUE(f.receiver.waitForRequests(1));
    EXPECT_EQ(f.receiver.requests().size(), 1u);
}

TEST(ProofOfPlayThreads, ItemsOpenAndCloseWhileFramesAreFed) {
    PopFixture f;
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done) f.pop->newDetections(scriptedTrack(1, std::chrono::system_clock::now(), milliseconds(1500)));
    });
    std::vector<std::thread> clients;
    std::atomic<int> reports{0};
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 10; ++i) {
                const std::string id = std::to_string(c) + "-" + std::to_string(i);
                if (f.start(id).body != envelope(0, "")) continue;
                if (parseObject(f.stop(id).body)->getValue<std::string>("content_id") == id) ++reports;
            }
        });
    }
    for (auto& client : clients) client.join();
    done = true;
    feeder.join();
    EXPECT_EQ(reports.load(), 30);
    EXPECT_EQ(f.csv("pop_total").size(), 31u);
}

// A request and a response that run a handler without a network. The response's sending
// fails as it would once the client has hung up.
class BodyRequest : public Poco::Net::HTTPServerRequest {
public:
    explicit BodyRequest(const std::string& body) : mBody(body) {}
    std::istream& stream() override { return mBody; }
    const Poco::Net::SocketAddress& clientAddress() const override { return mAddress; }
    const Poco::Net::SocketAddress& serverAddress() const override { return mAddress; }
    const Poco::Net::HTTPServerParams& serverParams() const override { return *mParams; }
    Poco::Net::HTTPServerResponse& response() const override { throw std::logic_error("not used"); }
    bool secure() const override { return false; }

private:
    std::istringstream mBody;
    Poco::Net::SocketAddress mAddress;
    Poco::Net::HTTPServerParams::Ptr mParams = new Poco::Net::HTTPServerParams;
};

class HungUpResponse : public Poco::Net::HTTPServerResponse {
public:
    void sendContinue() override { fail(); }
    std::ostream& send() override { fail(); }
    void sendFile(const std::string&, const std::string&) override { fail(); }
    void sendBuffer(const void*, std::size_t) override { fail(); }
    void redirect(const std::string&, HTTPStatus) override { fail(); }
    void requireAuthentication(const std::string&) override { fail(); }
    bool sent() const override { return false; }

private:
    [[noreturn]] static void fail() { throw Poco::Net::ConnectionResetException("client hung up"); }
};

TEST(ProofOfPlayThreads, ReportIsPushedEvenWhenItsClientHangsUp) {
    PopFixture f;
    ASSERT_EQ(f.start("ad-2").body, envelope(0, ""));
    f.pop->newDetections(scriptedTrack(1, std::chrono::system_clock::now(), milliseconds(2000)));
    BodyRequest request(stopBody("ad-2"));
    HungUpResponse response;
    EXPECT_THROW(f.pop->getPopStopHandler()(request, response), Poco::Net::ConnectionResetException);
    ASSERT_TRUE(f.receiver.waitForRequests(1));
    const auto report = parseObject(f.receiver.bodies().front());
    EXPECT_EQ(report->getValue<std::string>("content_id"), "ad-2");
    EXPECT_EQ(report->getValue<int>("ots"), 1);
}

}  // namespace
