#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include <Poco/JSON/Array.h>

#include "hx_data_manager.h"
#include "hx_http_server.h"
#include "support/csv_parse.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/scripted_people.h"
#include "support/temp_dir.h"

namespace {

using lmtest::parseObject;
using lmtest::scriptedFace;
using lmtest::scriptedTrack;
using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::chrono::system_clock::time_point wallNow() { return std::chrono::system_clock::now(); }

// Hand-driven time for the two periods and for the daily files' dates.
struct HandClocks {
    std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
    std::atomic<std::int64_t> steadyNs{0};
    std::atomic<std::int64_t> dateShiftHours{0};

    void advance(std::chrono::nanoseconds step) { steadyNs += step.count(); }
    hx::DataManager::Clocks clocks() {
        hx::DataManager::Clocks c;
        c.periods = [this] { return origin + std::chrono::nanoseconds(steadyNs.load()); };
        c.csvDates = [this] { return wallNow() + hours(dateShiftHours.load()); };
        return c;
    }
};

// A data manager wired as the engine wires it: a status handler, a loopback server for the
// pull endpoints, a receiver for every push and a directory for the CSV files.
struct Rig {
    Rig() { settings = defaults(); }

    hx::Settings defaults() const {
        hx::Settings s;
        s.httpInterfacePort = 0;
        s.instanceName = "lobby";
        s.aggregationFrequency = 10;
        s.peopleCountFrequency = 10;
        s.rawCsvEnabled = s.aggregatedCsvEnabled = s.peopleCountCsvEnabled = true;
        s.rawCsvPath = s.aggregatedCsvPath = s.peopleCountCsvPath = csvDir.path().string();
        s.rawPushEnabled = s.aggregatedPushEnabled = s.peopleCountPushEnabled = true;
        s.rawPushUrl = receiver.url("/raw");
        s.aggregatedPushUrl = receiver.url("/aggregated");
        s.peopleCountPushUrl = receiver.url("/count");
        s.rawPullEnabled = s.aggregatedPullEnabled = s.peopleCountPullEnabled = true;
        return s;
    }

    void build() {
        status = std::make_unique<hx::StatusHandler>(settings);
        status->setVideoSourceStatus(true, false);
        manager = std::make_unique<hx::DataManager>(settings, *status, hand.clocks());
        server = std::make_unique<hx::http::Server>(settings, "127.0.0.1");
        manager->setHttpEndPoints(*server);
    }
    // The end of the program: the server first, then the data manager (its last flush).
    void exit() {
        server.reset();
        manager.reset();
    }
    ~Rig() { exit(); }

    // As the engine ends a run: processing off, the final totals, then the flush.
    void stopRun(const hx::PeopleCountData& totals = {}) {
        status->setProcessing(false);
        manager->newPeopleCountDataPoint(totals);
        manager->flushRemainingAggregations();
    }

    std::vector<std::string> pushed(const std::string& uri) const {
        std::vector<std::string> out;
        for (const auto& r : receiver.requests())
            if (r.uri == uri) out.push_back(r.body);
        return out;
    }
    // Waits until `count` documents have reached `uri`; false after twenty seconds.
    bool waitForPushes(const std::string& uri, std::size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + seconds(20);
        while (pushed(uri).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }
    std::vector<std::string> csvRows(const std::string& tag) const {
        auto lines = lmtest::readLines(lmtest::fileStartingWith(csvDir.path(), tag + "_lobby_"));
        if (!lines.empty()) lines.erase(lines.begin());  // the header
        return lines;
    }
    std::string pull(const std::string& target) {
        return lmtest::httpRequest("GET", "http://127.0.0.1:" + std::to_string(server->port()) + target).body;
    }

    lmtest::TempDir csvDir;
    lmtest::HttpReceiver receiver;
    HandClocks hand;
    hx::Settings settings;
    std::unique_ptr<hx::StatusHandler> status;
    std::unique_ptr<hx::DataManager> manager;
    std::unique_ptr<hx::http::Server> server;
};

std::vector<int> aggregatedIds(const std::string& document) {
    const auto array = parseObject(document)->getArray("aggregated_data");
    std::vector<int> ids;
    for (std::size_t i = 0; i < array->size(); ++i) ids.push_back(array->getObject(i)->getValue<int>("id"));
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<lm::Person> join(std::vector<lm::Person> a, const std::vector<lm::Person>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(DataManagerThreads, EveryTrackIsEmittedOnceAcrossStopRestartAndExit) {
    Rig rig;
    rig.build();
    rig.status->setProcessing(true);
    auto& manager = *rig.manager;

    // Frame 1: track 1 ended ten seconds ago; track 2 is about to end.
    const auto frame1 = join(scriptedTrack(1, wallNow() - seconds(10), milliseconds(2000)),
                             scriptedTrack(2, wallNow() - milliseconds(4500), milliseconds(3000)));
    manager.newRawDataPoint(frame1, 1);
    rig.hand.advance(seconds(11));
    manager.newRawDataPoint({}, 2);  // first period: track 1
    // Nobody is seen any more: empty frames alone finish track 2.
    std::this_thread::sleep_for(milliseconds(700));
    manager.newRawDataPoint({}, 3);
    rig.hand.advance(seconds(11));
    manager.newRawDataPoint({}, 4);  // second period: track 2

    // Track 3 still runs and track 4 has finished when the run stops: the flush takes both.
    const auto frame5 = join(scriptedTrack(3, wallNow(), milliseconds(2000)),
                             scriptedTrack(4, wallNow() - seconds(10), milliseconds(1500)));
    manager.newRawDataPoint(frame5, 5);
    rig.stopRun();

    // The next run numbers its tracks from 1 again.
    rig.status->setProcessing(true);
    const auto frame6 = scriptedTrack(1, wallNow(), milliseconds(1200));
    manager.newRawDataPoint(frame6, 1);
    rig.hand.advance(seconds(11));
    manager.newRawDataPoint({}, 2);  // a period in which nothing finished emits nothing
    rig.stopRun();
    const std::string lastPeriodic = rig.pull("/data/aggregated");
    rig.exit();

    const auto documents = rig.pushed("/aggregated");
    ASSERT_EQ(documents.size(), 4u);
    EXPECT_EQ(aggregatedIds(documents[0]), (std::vector<int>{1}));
    EXPECT_EQ(aggregatedIds(documents[1]), (std::vector<int>{2}));
    EXPECT_EQ(aggregatedIds(documents[2]), (std::vector<int>{3, 4}));
    EXPECT_EQ(aggregatedIds(documents[3]), (std::vector<int>{1}));
    // The new run's track 1 is its own summary, not merged into the old one.
    const auto newTrack = parseObject(documents[3])->getArray("aggregated_data")->getObject(0);
    EXPECT_EQ(newTrack->getValue<int>("detection_duration"), 1200);
    // Flushed documents are pushed but not served for pull: that keeps the last period's.
    EXPECT_EQ(lastPeriodic, documents[1]);

    const auto aggregatedRows = rig.csvRows("aggregated");
    ASSERT_EQ(aggregatedRows.size(), 5u);
    std::vector<std::string> rowIds;
    for (const auto& row : aggregatedRows) rowIds.push_back(lmtest::parseCsvLine(row).at(2));
    std::sort(rowIds.begin(), rowIds.end());
    EXPECT_EQ(rowIds, (std::vector<std::string>{"1", "1", "2", "3", "4"}));

    // Raw outputs only for frames with people: one line per record, one document per frame.
    EXPECT_EQ(rig.csvRows("raw").size(), frame1.size() + frame5.size() + frame6.size());
}

TEST(DataManagerThreads, PeopleCountPeriodsAndTheEndOfARun) {
    Rig rig;
    rig.build();
    rig.status->setProcessing(true);
    auto& manager = *rig.manager;
    auto counts = [](std::int32_t count, std::int64_t ms) {
        hx::PeopleCountData data;
        data.count = count;
        data.detectionDuration = ms;
        return data;
    };

    rig.hand.advance(seconds(11));
    manager.newPeopleCountDataPoint(counts(5, 9000));
    rig.hand.advance(seconds(11));
    manager.newPeopleCountDataPoint(counts(12, 20000));
    rig.hand.advance(seconds(3));
    manager.newPeopleCountDataPoint(counts(13, 21000));  // within the period: nothing yet
    rig.stopRun(counts(14, 23000));                      // the end of a run writes at once

    rig.status->setProcessing(true);
    rig.hand.advance(seconds(11));
    manager.newPeopleCountDataPoint(counts(2, 2500));  // the new run counts from its start
    const std::string pulled = rig.pull("/data/peopleCount");
    rig.exit();

    // timestamp,total_count,current_count,total_detection_time,current_detection_time
    const std::vector<std::vector<std::string>> expected = {{"5", "5", "9000", "9000"},
                                                            {"12", "7", "20000", "11000"},
                                                            {"14", "2", "23000", "3000"},
                                                            {"2", "2", "2500", "2500"},
                                                            {"2", "0", "2500", "0"}};  // the last: the exit's flush
    const auto rows = rig.csvRows("people_count");
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto fields = lmtest::parseCsvLine(rows[i]);
        EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()), expected[i]) << rows[i];
    }
    const auto documents = rig.pushed("/count");
    ASSERT_EQ(documents.size(), expected.size());
    const auto second = parseObject(documents[1]);
    EXPECT_EQ(second->getValue<int>("current_count"), 7);
    EXPECT_EQ(second->getValue<int>("total_count"), 12);
    EXPECT_EQ(second->getValue<std::string>("instance_name"), "lobby");
    // Pull keeps the last periodic document, not those of the end of a run.
    EXPECT_EQ(pulled, documents[3]);
}

TEST(DataManagerThreads, NewSettingsRestartThePeriodsWithTheNewInstanceName) {
    Rig rig;
    rig.build();
    rig.status->setProcessing(true);
    rig.manager->newRawDataPoint(scriptedTrack(7, wallNow() - seconds(10), milliseconds(2000)), 1);
    rig.hand.advance(seconds(9));
    rig.manager->newRawDataPoint({}, 2);  // 9 of 10 seconds: not yet

    rig.status->setProcessing(false);
    hx::Settings changed = rig.settings;
    changed.instanceName = "hall";
    changed.aggregationFrequency = 20;
    rig.manager->setSettings(changed);
    rig.status->setProcessing(true);

    rig.hand.advance(seconds(15));
    rig.manager->newRawDataPoint({}, 3);  // the 9 seconds before the change do not count
    EXPECT_TRUE(rig.pushed("/aggregated").empty());
    rig.hand.advance(seconds(6));
    rig.manager->newRawDataPoint({}, 4);
    ASSERT_TRUE(rig.waitForPushes("/aggregated", 1));
    const auto document = parseObject(rig.pushed("/aggregated").at(0));
    EXPECT_EQ(document->getValue<std::string>("instance_name"), "hall");
    EXPECT_EQ(document->getValue<int>("aggregation_freq"), 20000);
    EXPECT_EQ(rig.csvRows("aggregated").size(), 0u);  // the old name's file got no line
    EXPECT_EQ(lmtest::readLines(lmtest::fileStartingWith(rig.csvDir.path(), "aggregated_hall_")).size(), 2u);
}

TEST(DataManagerThreads, CsvFailureDoesNotCostTheOtherOutputs) {
    lmtest::LogCapture log;
    Rig rig;
    rig.build();
    rig.status->setProcessing(true);
    rig.manager->newRawDataPoint(scriptedTrack(3, wallNow() - seconds(10), milliseconds(2000)), 1);

    // The next day's files cannot be opened: the directory has become a plain file.
    std::filesystem::remove_all(rig.csvDir.path());
    std::ofstream(rig.csvDir.path()) << "in the way";
    rig.hand.dateShiftHours = 24;
    rig.hand.advance(seconds(11));
    const auto frame = scriptedTrack(4, wallNow(), milliseconds(1500));
    EXPECT_THROW(rig.manager->newRawDataPoint(frame, 2), std::runtime_error);

    ASSERT_TRUE(rig.waitForPushes("/aggregated", 1));
    const auto aggregated = rig.pushed("/aggregated");
    ASSERT_EQ(aggregated.size(), 1u);
    EXPECT_EQ(aggregatedIds(aggregated[0]), (std::vector<int>{3}));
    EXPECT_EQ(rig.pull("/data/aggregated"), aggregated[0]);
    EXPECT_EQ(parseObject(rig.pull("/data/raw"))->getValue<int>("frame_number"), 2);

    // The end of the program still flushes track 4; the failing file is logged, not thrown.
    rig.exit();
    EXPECT_EQ(rig.pushed("/aggregated").size(), 2u);
    EXPECT_EQ(log.countContaining("Final data flush failed"), 1u);
    std::filesystem::remove(rig.csvDir.path());
}

TEST(DataManager, CsvBuildersKeepTheOrder) {
    const auto now = wallNow();
    const std::vector<lm::Person> people = {scriptedFace(9, now, milliseconds(10)),
                                            scriptedFace(4, now, milliseconds(20))};
    const auto raw = hx::DataManager::getRawCsvData(people, 77);
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0], hx::format::personToCsv(people[0], 77));
    EXPECT_EQ(raw[1], hx::format::personToCsv(people[1], 77));
    const auto summaries = lm::Aggregator::aggregateOffline(scriptedTrack(5, now, milliseconds(1500)));
    const auto aggregated = hx::DataManager::getAggregatedCsvData(summaries, 30);
    ASSERT_EQ(aggregated.size(), 1u);
    EXPECT_EQ(aggregated[0], hx::format::aggregatedPersonToCsv(summaries[0], 30));
    EXPECT_TRUE(hx::DataManager::getRawCsvData({}, 1).empty());
}

}  // namespace
