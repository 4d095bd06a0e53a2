#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <thread>

#include "hx_format.h"
#include "support/csv_parse.h"
#include "support/sample_audience.h"
#include "support/time_zone.h"

namespace {

using namespace std::chrono_literals;
using hx::format::TimePoint;

using lmtest::at;
using lmtest::MARCH_4_2021_123456;
using lmtest::sampleAggregated;
using lmtest::sampleMetrics;
using lmtest::samplePerson;

// Splits a line that starts with a time stamp of "now" (unquoted, without milliseconds) into
// that stamp and the rest after its comma, and checks the stamp was taken during the call.
std::string restAfterNowStamp(const std::string& line, TimePoint before, TimePoint after) {
    static const std::regex stamp(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d[+-]\d\d:\d\d),)");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, stamp)) << line;
    if (match.empty()) return {};
    const std::string text = match[1];
    EXPECT_TRUE(text == hx::format::timeToRFC3339Str(before, false, false) ||
                text == hx::format::timeToRFC3339Str(after, false, false))
        << text;
    return match.suffix();
}

const std::string SAMPLE_AGGREGATED_CSV =
    "7,2021-03-04 12:34:56+00:00,40,\"m\",1,1,2,2000,4000,3,1000,3000,9000,52,75,1";

TEST(FormatTimeStamp, LocalTimeWithOffsetInEveryZone) {
    const struct {
        const char* tz;
        TimePoint time;
        bool withMs;
        bool quoted;
        const char* expected;
    } cases[] = {
        {"UTC0", at(MARCH_4_2021_123456, 7ms), true, false, "2021-03-04 12:34:56.007+00:00"},
        {"UTC0", at(MARCH_4_2021_123456), true, false, "2021-03-04 12:34:56.000+00:00"},
        {"UTC0", at(MARCH_4_2021_123456, 999ms), false, false, "2021-03-04 12:34:56+00:00"},
        {"XYZ-1", at(MARCH_4_2021_123456, 7ms), true, false, "2021-03-04 13:34:56.007+01:00"},
        {"XYZ-1", at(MARCH_4_2021_123456), false, true, "\"2021-03-04 13:34:56+01:00\""},
        {"XYZ-1", at(MARCH_4_2021_123456, 250ms), true, true, "\"2021-03-04 13:34:56.250+01:00\""},
        {"ABC-5:30", at(MARCH_4_2021_123456, 7ms), true, false, "2021-03-04 18:04:56.007+05:30"},
        // 23:59:59 UTC is already the next day at +05:30.
        {"ABC-5:30", at(1614902399), false, false, "2021-03-05 05:29:59+05:30"},
        {"PST8", at(MARCH_4_2021_123456), false, false, "2021-03-04 04:34:56-08:00"},
        {"NST3:30", at(MARCH_4_2021_123456), false, true, "\"2021-03-04 09:04:56-03:30\""},
        // One millisecond before the epoch: the previous second and 999, never a negative part.
        {"UTC0", at(0, -1ms), true, false, "1969-12-31 23:59:59.999+00:00"},
    };
    for (const auto& c : cases) {
        lmtest::ScopedTimeZone zone(c.tz);
        EXPECT_EQ(hx::format::timeToRFC3339Str(c.time, c.withMs, c.quoted), c.expected) << c.tz;
    }
}

TEST(FormatHundredths, TruncatedSinglePrecisionProductWithDefinedLimits) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float value;
        std::int32_t expected;
    } cases[] = {
        {0.53f, 52},  // 52.999996 in single precision
        {-0.555f, -55},
        {-1.0f, -100},
        {0.87f, 87},
        {0.0f, 0},
        {std::nanf(""), 0},
        {inf, std::numeric_limits<std::int32_t>::max()},
        {-inf, std::numeric_limits<std::int32_t>::min()},
        {1e30f, std::numeric_limits<std::int32_t>::max()},
    };
    for (const auto& c : cases) EXPECT_EQ(hx::format::toHundredths(c.value), c.expected) << c.value;
}

TEST(FormatCsvHeaders, ColumnCounts) {
    EXPECT_EQ(lmtest::csvColumnCount(hx::format::RAW_CSV_HEADER), 28u);
    EXPECT_EQ(lmtest::csvColumnCount(hx::format::AGGREGATED_CSV_HEADER), 18u);
    EXPECT_EQ(lmtest::csvColumnCount(hx::format::PEOPLE_COUNT_CSV_HEADER), 5u);
    EXPECT_EQ(lmtest::csvColumnCount(hx::format::AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER), 23u);
    EXPECT_EQ(lmtest::csvColumnCount(hx::format::AGGREGATED_TOTAL_AUDIENCE_PER_CONTENT_CSV_HEADER), 19u);
}

TEST(FormatCsvLines, RawLines) {
    lmtest::ScopedTimeZone zone("UTC0");
    const struct {
        lm::Person person;
        unsigned int frame;
        const char* expected;
    } cases[] = {
        {samplePerson(), 17,
         "17,2021-03-04 12:34:56.007+00:00,42,31,87,5,-15,-3,1,0,7,-8,1500,800,300,1200,200,52,10,20,30,40,1,-2,300,"
         "0.875000,150,0.250"},
        {lm::Person{}, 0,
         "0,1970-01-01 "
         "00:00:00.000+00:00,0,-1,0,-360,-360,-360,0,0,0,0,0,0,0,0,0,-100,0,0,0,0,0,0,0,0.000000,0,-1.000"},
    };
    for (const auto& c : cases) {
        const std::string line = hx::format::personToCsv(c.person, c.frame);
        EXPECT_EQ(line, c.expected);
        EXPECT_EQ(lmtest::parseCsvLine(line).size(), lmtest::csvColumnCount(hx::format::RAW_CSV_HEADER));
    }
}

TEST(FormatCsvLines, AggregatedLineCarriesNowAndPeriodInMilliseconds) {
    lmtest::ScopedTimeZone zone("UTC0");
    const auto before = std::chrono::system_clock::now();
    const std::string line = hx::format::aggregatedPersonToCsv(sampleAggregated(), 30);
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(restAfterNowStamp(line, before, after), "30000," + SAMPLE_AGGREGATED_CSV);
    EXPECT_EQ(lmtest::parseCsvLine(line).size(), lmtest::csvColumnCount(hx::format::AGGREGATED_CSV_HEADER));
}

TEST(FormatCsvLines, GenderLetterFromHundredthsOfTheAverage) {
    const struct {
        float avgGender;
        char letter;
    } cases[] = {{0.005f, 'u'}, {-0.005f, 'u'}, {0.0f, 'u'}, {0.02f, 'f'}, {-0.5f, 'm'}, {std::nanf(""), 'u'}};
    for (const auto& c : cases) {
        lm::AggregatedPerson a = sampleAggregated();
        a.avgGender = c.avgGender;
        const auto fields = lmtest::parseCsvLine(hx::format::aggregatedPersonToCsv(a, 1));
        ASSERT_EQ(fields.size(), 18u);
        EXPECT_EQ(fields[5], std::string(1, c.letter)) << c.avgGender;
    }
}

TEST(FormatCsvLines, PeopleCountLineTotalBeforeCurrent) {
    const auto before = std::chrono::system_clock::now();
    const std::string line = hx::format::peopleCountToCsv({3, 4500}, {17, 98000});
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(restAfterNowStamp(line, before, after), "17,3,98000,4500");
    EXPECT_EQ(lmtest::parseCsvLine(line).size(), lmtest::csvColumnCount(hx::format::PEOPLE_COUNT_CSV_HEADER));
}

TEST(FormatCsvLines, ContentLines) {
    lmtest::ScopedTimeZone zone("UTC0");
    const auto metrics = sampleMetrics();
    EXPECT_EQ(hx::format::aggregatedPersonPerContent(sampleAggregated(), metrics),
              "2021-03-04 12:34:56+00:00,12345,c1,d1,k1,spring sale,season=spring," + SAMPLE_AGGREGATED_CSV);
    EXPECT_EQ(hx::format::aggregatedTotalAudiencePerContent(metrics),
              "2021-03-04 12:34:56+00:00,12345,c1,d1,k1,spring "
              "sale,season=spring,5,3,2,1000,2000,1500,4500,3000,15000,2,3,9");
}

TEST(FormatCsvLines, HostileTextsKeepTheirColumns) {
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {"Spring, sale", "\"Spring, sale\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"carriage\rreturn", "\"carriage\rreturn\""},
        {"back\\slash", "back\\slash"},
        {std::string("ctl\x01\t", 5), std::string("ctl\x01\t", 5)},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hx::format::escapeCsv(c.text), c.written);
        hx::format::AudienceMetrics m = sampleMetrics();
        m.contentId = m.displayId = m.campaignId = m.contentName = m.metadata = c.text;
        const auto perContent = lmtest::parseCsvLine(hx::format::aggregatedPersonPerContent(sampleAggregated(), m));
        const auto total = lmtest::parseCsvLine(hx::format::aggregatedTotalAudiencePerContent(m));
        ASSERT_EQ(perContent.size(), 23u) << c.text;
        ASSERT_EQ(total.size(), 19u) << c.text;
        for (std::size_t column = 2; column <= 6; ++column) {
            EXPECT_EQ(perContent[column], c.text);
            EXPECT_EQ(total[column], c.text);
        }
        EXPECT_EQ(perContent[7], "7");  // person_id right after the texts
        EXPECT_EQ(total[7], "5");       // ots
    }
}

// Raw lines are formatted on the processing thread while content lines are formatted on
// HTTP workers: the local-time conversion must not share state between them.
TEST(FormatThreads, TimeStampsFromSeveralThreadsAtOnce) {
    lmtest::ScopedTimeZone zone("ABC-5:30");
    const struct {
        TimePoint time;
        const char* expected;
    } cases[] = {
        {at(MARCH_4_2021_123456, 7ms), "2021-03-04 18:04:56.007+05:30"},
        {at(1614902399, 999ms), "2021-03-05 05:29:59.999+05:30"},
        {at(0), "1970-01-01 05:30:00.000+05:30"},
    };
    std::vector<std::thread> threads;
    for (const auto& c : cases) {
        threads.emplace_back([&c] {
            for (int i = 0; i < 2000; ++i) ASSERT_EQ(hx::format::timeToRFC3339Str(c.time, true, false), c.expected);
        });
    }
    for (auto& thread : threads) thread.join();
}

}  // namespace
