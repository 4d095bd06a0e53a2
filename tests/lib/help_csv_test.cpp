#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lumora/lm_help.h"
#include "support/time_zone.h"

namespace {

using namespace std::chrono_literals;
namespace help = lm::help;

std::size_t fieldCount(const std::string& line) {
    std::size_t count = 1;
    for (char c : line) count += c == ',';
    return count;
}

// 2021-03-04 04:06:07.089 UTC.
lm::TimePoint sampleTime() {
    std::tm utc{};
    utc.tm_year = 2021 - 1900;
    utc.tm_mon = 2;
    utc.tm_mday = 4;
    utc.tm_hour = 4;
    utc.tm_min = 6;
    utc.tm_sec = 7;
    return std::chrono::system_clock::from_time_t(timegm(&utc)) + 89ms + 999us;
}

// Runs with the process time zone set to a POSIX TZ string, restored afterwards.
class HelpCsv : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { mZone.emplace(GetParam()); }
    void TearDown() override { mZone.reset(); }
    // The expected local time texts of sampleTime() in this zone.
    std::string withMs() const {
        return std::string(GetParam()) == "UTC0" ? "2021-03-04 04:06:07.089+00:00" : "2021-03-04 05:06:07.089+01:00";
    }
    std::string withoutMs() const {
        return std::string(GetParam()) == "UTC0" ? "2021-03-04 04:06:07+00:00" : "2021-03-04 05:06:07+01:00";
    }

private:
    std::optional<lmtest::ScopedTimeZone> mZone;
};

lm::Person samplePerson() {
    lm::Person p;
    p.id = 42;
    p.age = 31;
    p.gender = 0.5f;
    p.smile = 0.123456f;
    p.faceMask = 1.0f;
    p.emotions = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
    p.detectionConfidence = 0.98765f;
    p.isViewing = true;
    p.isDwelling = false;
    p.boundingBox = {10, 20, 100, 120};
    p.worldPosition = {-5, 6, 170};
    p.headpose = {-12, 3, 0};
    p.headgaze = {-40, 15};
    p.distanceFromCamera = 170;
    p.detectionTime = sampleTime();
    p.detectionDuration = 12345ms;
    p.totalViewingDuration = 5000ms;
    p.currentViewingDuration = 1000ms;
    p.totalDwellDuration = 7000ms;
    p.currentDwellDuration = 0ms;
    return p;
}

TEST_P(HelpCsv, PersonLineIsExactAndMatchesItsHeader) {
    const std::string line = help::personToCsv(samplePerson());
    EXPECT_EQ(line, "42,31,0.500,1,0," + withMs() +
                        ",12345,5000,1000,7000,0,0.123,1.00,0.988,10,20,100,120,-5,6,170,-12,3,0,-40,15,170,"
                        "0.100,0.200,0.300,0.400,0.500,0.600,0.700");
    EXPECT_EQ(fieldCount(help::personToCsvHeader()), 34u);
    EXPECT_EQ(fieldCount(line), 34u);
}

TEST_P(HelpCsv, UnsetPersonUsesTheUnsetValues) {
    lm::Person p;
    p.detectionTime = sampleTime();
    EXPECT_EQ(help::personToCsv(p), "0,-1,0.00,0,0," + withMs() +
                                        ",0,0,0,0,0,-1.00,-1.00,0.00,0,0,0,0,0,0,0,-360,-360,-360,0,0,0,"
                                        "-1.00,-1.00,-1.00,-1.00,-1.00,-1.00,-1.00");
}

TEST_P(HelpCsv, AggregatedPersonLineIsExactAndMatchesItsHeader) {
    lm::AggregatedPerson a;
    a.id = 7;
    a.avgAge = 40;
    a.avgGender = 0.2f;
    a.faceMask = true;
    a.avgEmotions = {0.5f, 0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 1.0f};
    a.smileViewing = 0.5f;
    a.smileMaximum = 0.75f;
    a.viewingSessions = 0;  // no session: not a viewer, whatever the durations say
    a.dwellSessions = 2;
    a.initialDetectionTime = sampleTime();
    a.totalDetectionDuration = 60000ms;
    a.totalViewingDuration = 3000ms;
    a.averageViewingDuration = 1500ms;
    a.totalDwellDuration = 8000ms;
    a.averageDwellDuration = 4000ms;
    const std::string line = help::aggregatedPersonToCsv(a);
    EXPECT_EQ(line, "7," + withoutMs() +
                        ",40,\"f\",0,1,0,1500,3000,2,4000,8000,60000,0.500,0.750,1,"
                        "0.500,0.00,0.00,0.00,0.250,0.00,1.00");
    EXPECT_EQ(fieldCount(help::aggregatedPersonToCsvHeader()), 23u);
    EXPECT_EQ(fieldCount(line), 23u);
}

TEST_P(HelpCsv, BodyLinesAreExactAndMatchTheirHeaders) {
    lm::Body b;
    b.id = 3;
    b.boundingBox = {1, 2, 30, 60};
    b.detectionConfidence = 0.5f;
    b.detectionTime = sampleTime();
    b.detectionDuration = 2500ms;
    const std::string line = help::bodyToCsv(b);
    EXPECT_EQ(line, "3," + withMs() + ",2500,0.500,1,2,30,60");
    EXPECT_EQ(fieldCount(help::bodyToCsvHeader()), 8u);
    EXPECT_EQ(fieldCount(line), 8u);

    lm::AggregatedBody a;
    a.id = 9;
    a.initialDetectionTime = sampleTime();
    a.totalDetectionDuration = 900ms;
    const std::string aggregated = help::aggregatedBodyToCsv(a);
    EXPECT_EQ(aggregated, "9," + withoutMs() + ",900");
    EXPECT_EQ(fieldCount(help::aggregatedBodyToCsvHeader()), 3u);
    EXPECT_EQ(fieldCount(aggregated), 3u);
}

INSTANTIATE_TEST_SUITE_P(Zones, HelpCsv, ::testing::Values("UTC0", "XYZ-1"));

TEST(HelpCsvFields, GenderLetterOfAggregatedPeople) {
    struct Case {
        float gender;
        const char* text;
    };
    const Case cases[] = {{0.2f, "\"f\""}, {-0.2f, "\"m\""}, {0.0f, "\"u\""}, {std::nanf(""), "\"m\""}};
    for (const auto& c : cases) {
        lm::AggregatedPerson a;
        a.avgGender = c.gender;
        EXPECT_EQ(help::formatAggregatedPerson("{avgGender}", a), c.text) << c.gender;
    }
}

TEST(HelpCsvFields, TemplatesNameFieldsFreelyAndUnknownNamesThrow) {
    lm::Body b;
    b.id = 5;
    EXPECT_EQ(help::formatBody("{ID};{ID}", b), "5;5");
    EXPECT_THROW(help::formatBody("{age}", b), fmt::format_error);
    EXPECT_THROW(help::formatBody("{ID:s}", b), fmt::format_error);  // a spec the type does not allow

    lm::Person p = samplePerson();
    EXPECT_EQ(help::formatPerson("{headpose_yaw:+} {emotions_surprise:.1f} {boundingBox_height:x}", p), "-12 0.7 78");
    EXPECT_THROW(help::formatPerson("{avgAge}", p), fmt::format_error);
    lm::AggregatedBody a;
    a.id = 1;
    EXPECT_EQ(help::formatAggregatedBody("{totalDetectionDuration}-{ID}", a), "0-1");
}

TEST(HelpCsvFields, ListsGiveOneLinePerRecordInOrder) {
    EXPECT_TRUE(help::peopleToCsv({}).empty());
    EXPECT_TRUE(help::aggregatedPeopleToCsv({}).empty());
    EXPECT_TRUE(help::bodiesToCsv({}).empty());
    EXPECT_TRUE(help::aggregatedBodiesToCsv({}).empty());

    lm::Person first;
    first.id = 1;
    lm::Person second;
    second.id = 2;
    const auto lines = help::peopleToCsv({first, second});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], help::personToCsv(first));
    EXPECT_EQ(lines[1], help::personToCsv(second));

    lm::Body b;
    b.id = 4;
    lm::AggregatedPerson ap;
    ap.id = 5;
    lm::AggregatedBody ab;
    ab.id = 6;
    EXPECT_EQ(help::bodiesToCsv({b}), std::vector<std::string>{help::bodyToCsv(b)});
    EXPECT_EQ(help::aggregatedPeopleToCsv({ap}), std::vector<std::string>{help::aggregatedPersonToCsv(ap)});
    EXPECT_EQ(help::aggregatedBodiesToCsv({ab}), std::vector<std::string>{help::aggregatedBodyToCsv(ab)});
}

}  // namespace
