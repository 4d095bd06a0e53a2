#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lumora/lm_help_csv.h"
#include "support/sample_records.h"
#include "support/time_zone.h"

namespace {

using namespace std::chrono_literals;
namespace help = lm::help;

std::size_t fieldCount(const std::string& line) {
    std::size_t count = 1;
    for (char c : line) count += c == ',';
    return count;
}

// Runs with the process time zone set to a POSIX TZ string, restored afterwards.
class HelpCsv : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { mZone.emplace(GetParam()); }
    void TearDown() override { mZone.reset(); }
    // The expected local time texts of the samples' time in this zone.
    std::string withMs() const {
        return std::string(GetParam()) == "UTC0" ? "2021-03-04 12:34:56.007+00:00" : "2021-03-04 13:34:56.007+01:00";
    }
    std::string withoutMs() const {
        return std::string(GetParam()) == "UTC0" ? "2021-03-04 12:34:56+00:00" : "2021-03-04 13:34:56+01:00";
    }

private:
    std::optional<lmtest::ScopedTimeZone> mZone;
};

// The shared sample with scores that show the three significant digits of the lines: cut
// after the third, rounded at it, and kept with their trailing zeros.
lm::Person samplePerson() {
    lm::Person p = lmtest::samplePerson();
    p.smile = 0.123456f;
    p.detectionConfidence = 0.98765f;
    p.faceMask = 1.0f;
    return p;
}

TEST_P(HelpCsv, PersonLineIsExactAndMatchesItsHeader) {
    const std::string line = help::personToCsv(samplePerson());
    EXPECT_EQ(line, "42,31,0.870,1,0," + withMs() +
                        ",1500,800,300,1200,200,0.123,1.00,0.988,10,20,30,40,1,-2,300,-15,5,-3,7,-8,150,"
                        "0.100,0.200,0.300,0.400,0.500,0.600,0.700");
    EXPECT_EQ(fieldCount(help::personToCsvHeader()), 34u);
    EXPECT_EQ(fieldCount(line), 34u);
}

TEST_P(HelpCsv, UnsetPersonUsesTheUnsetValues) {
    lm::Person p;
    p.detectionTime = lmtest::SAMPLE_TIME;
    EXPECT_EQ(help::personToCsv(p), "0,-1,0.00,0,0," + withMs() +
                                        ",0,0,0,0,0,-1.00,-1.00,0.00,0,0,0,0,0,0,0,-360,-360,-360,0,0,0,"
                                        "-1.00,-1.00,-1.00,-1.00,-1.00,-1.00,-1.00");
}

TEST_P(HelpCsv, AggregatedPersonLineIsExactAndMatchesItsHeader) {
    lm::AggregatedPerson a = lmtest::sampleAggregated(0.2f);
    a.viewingSessions = 0;  // no session: not a viewer, whatever the durations say
    const std::string line = help::aggregatedPersonToCsv(a);
    EXPECT_EQ(line, "7," + withoutMs() +
                        ",40,\"f\",0,1,0,2000,4000,3,1000,3000,9000,0.530,0.750,1,"
                        "0.500,0.00,0.00,0.00,0.250,0.00,1.00");
    EXPECT_EQ(fieldCount(help::aggregatedPersonToCsvHeader()), 23u);
    EXPECT_EQ(fieldCount(line), 23u);
}

TEST_P(HelpCsv, BodyLinesAreExactAndMatchTheirHeaders) {
    lm::Body b;
    b.id = 3;
    b.boundingBox = {1, 2, 30, 60};
    b.detectionConfidence = 0.5f;
    b.detectionTime = lmtest::SAMPLE_TIME;
    b.detectionDuration = 2500ms;
    const std::string line = help::bodyToCsv(b);
    EXPECT_EQ(line, "3," + withMs() + ",2500,0.500,1,2,30,60");
    EXPECT_EQ(fieldCount(help::bodyToCsvHeader()), 8u);
    EXPECT_EQ(fieldCount(line), 8u);

    lm::AggregatedBody a;
    a.id = 9;
    a.initialDetectionTime = lmtest::SAMPLE_TIME;
    a.totalDetectionDuration = 900ms;
    const std::string aggregated = help::aggregatedBodyToCsv(a);
    EXPECT_EQ(aggregated, "9," + withoutMs() + ",900");
    EXPECT_EQ(fieldCount(help::aggregatedBodyToCsvHeader()), 3u);
    EXPECT_EQ(fieldCount(aggregated), 3u);
}

INSTANTIATE_TEST_SUITE_P(Zones, HelpCsv, ::testing::Values("UTC0", "XYZ-1"));

// Every line's time stamp. A time before 1970 reads as the second before it plus a positive
// fraction; a fraction of a millisecond is cut, never rounded up.
TEST(HelpCsvTime, LocalStampsAroundTheEpochAndFarFromIt) {
    using lmtest::at;
    using lmtest::MARCH_4_2021_123456;
    const struct {
        const char* tz;
        lm::TimePoint time;
        bool withMs;
        const char* expected;
    } cases[] = {
        {"UTC0", at(0, -50ms), true, "1969-12-31 23:59:59.950+00:00"},
        {"UTC0", at(0, -50ms), false, "1969-12-31 23:59:59+00:00"},
        {"UTC0", at(0, -1ms), true, "1969-12-31 23:59:59.999+00:00"},
        {"UTC0", at(0, -1ns), true, "1969-12-31 23:59:59.999+00:00"},
        {"UTC0", at(-1), true, "1969-12-31 23:59:59.000+00:00"},
        {"UTC0", at(0), true, "1970-01-01 00:00:00.000+00:00"},
        {"UTC0", at(0, 1ms), true, "1970-01-01 00:00:00.001+00:00"},
        {"UTC0", at(0, 999999us), true, "1970-01-01 00:00:00.999+00:00"},
        {"XYZ-1", at(0, -50ms), true, "1970-01-01 00:59:59.950+01:00"},
        {"PST8", at(0), false, "1969-12-31 16:00:00-08:00"},
        // Leap days, 1900 without one, the night of a leap second (POSIX time has no 23:59:60),
        // and times past 32-bit seconds up to the last one the records can hold.
        {"UTC0", at(1709251199, 999ms), true, "2024-02-29 23:59:59.999+00:00"},
        {"ABC-5:30", at(1709251199, 999ms), true, "2024-03-01 05:29:59.999+05:30"},
        {"UTC0", at(951825600), false, "2000-02-29 12:00:00+00:00"},
        {"UTC0", at(-2203891201, 500ms), true, "1900-02-28 23:59:59.500+00:00"},
        {"UTC0", at(-2203891200), false, "1900-03-01 00:00:00+00:00"},
        {"UTC0", at(1483228799, 999ms), true, "2016-12-31 23:59:59.999+00:00"},
        {"UTC0", at(1483228800), true, "2017-01-01 00:00:00.000+00:00"},
        {"UTC0", at(2147483648), false, "2038-01-19 03:14:08+00:00"},
        {"UTC0", lm::TimePoint::max(), true, "2262-04-11 23:47:16.854+00:00"},
        // The record lines' stamps, and those the program writes.
        {"UTC0", lmtest::SAMPLE_TIME, true, "2021-03-04 12:34:56.007+00:00"},
        {"XYZ-1", lmtest::SAMPLE_TIME, false, "2021-03-04 13:34:56+01:00"},
        {"XYZ-1", at(1614830767, 89ms + 999us), true, "2021-03-04 05:06:07.089+01:00"},
        {"ABC-5:30", at(MARCH_4_2021_123456, 7ms), true, "2021-03-04 18:04:56.007+05:30"},
        {"ABC-5:30", at(1614902399), false, "2021-03-05 05:29:59+05:30"},
        {"NST3:30", at(MARCH_4_2021_123456), false, "2021-03-04 09:04:56-03:30"},
    };
    for (const auto& c : cases) {
        lmtest::ScopedTimeZone zone(c.tz);
        EXPECT_EQ(help::timeToRFC3339Str(c.time, c.withMs), c.expected)
            << c.tz << " " << c.time.time_since_epoch().count();
    }
}

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
    EXPECT_EQ(help::formatPerson("{headpose_yaw:+} {emotions_surprise:.1f} {boundingBox_height:x}", p), "-15 0.7 28");
    EXPECT_THROW(help::formatPerson("{avgAge}", p), fmt::format_error);
    lm::AggregatedBody a;
    a.id = 1;
    EXPECT_EQ(help::formatAggregatedBody("{totalDetectionDuration}-{ID}", a), "0-1");
}

// A caller's template writes floats like the built-in ones: a precision without a
// presentation type keeps the trailing zeros.
TEST(HelpCsvFields, CallerTemplatesKeepTrailingZerosOfAPrecision) {
    struct Case {
        std::string lineTemplate;
        float gender;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"{gender:.3}", 0.5f, "0.500"},
        {"{gender:.3}", 1.0f, "1.00"},
        {"{gender:.3}", -1.0f, "-1.00"},
        {"{gender:.3}", 0.123456f, "0.123"},
        {"{gender:.2}", 0.0f, "0.0"},
        {"{gender:+.2}", 0.5f, "+0.50"},
        {"{gender: .2}", 0.5f, " 0.50"},
        {"{gender:08.3}", 0.5f, "0000.500"},
        {"{gender:*>8.3}", 0.5f, "***0.500"},
        {"{gender:.<8.2}", 0.5f, "0.50...."},
        {"{gender:\u2605^7.2}", 0.5f, "\u26050.50\u2605\u2605"},  // the right side gets the odd one
        {"{gender:#.3}", 0.5f, "0.500"},
        // What fmt decides itself: no precision, a precision of 0, a presentation type.
        {"{gender}", 0.5f, "0.5"},
        {"{gender:8}", 0.5f, "     0.5"},
        {"{gender:.0}", 2.0f, "2"},
        {"{gender:.3g}", 0.5f, "0.5"},
        {"{gender:.3f}", 0.5f, "0.500"},
        {"{gender:.2e}", 0.5f, "5.00e-01"},
        {"{gender:.3}|{age:5}", 0.25f, "0.250|   -1"},
    };
    lm::Person p;
    for (const auto& c : cases) {
        p.gender = c.gender;
        EXPECT_EQ(help::formatPerson(c.lineTemplate, p), c.text) << c.lineTemplate;
    }
    lm::AggregatedPerson a;
    a.smileMaximum = 0.5f;
    a.avgEmotions[6] = 1.0f;
    EXPECT_EQ(help::formatAggregatedPerson("{smileMaximum:.3};{avgEmotions_surprise:.2}", a), "0.500;1.0");
    lm::Body b;
    b.detectionConfidence = 0.75f;
    EXPECT_EQ(help::formatBody("{detectionConfidence:.4}", b), "0.7500");
    // A named precision comes from another field.
    EXPECT_EQ(help::formatPerson("{gender:.{age}}",
                                 [] {
                                     lm::Person q;
                                     q.gender = 0.5f;
                                     q.age = 3;
                                     return q;
                                 }()),
              "0.500");
    for (const std::string bad : {"{gender:d}", "{gender:.3ff}", "{gender:.3", "{gender:.x}"}) {
        EXPECT_THROW(help::formatPerson(bad, p), fmt::format_error) << bad;
    }
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
