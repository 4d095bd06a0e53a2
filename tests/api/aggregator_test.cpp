// The aggregators as a program linked against the shared library uses them. The real
// system clock runs here, so records are dated in the past rather than waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <lumora/lm_aggregator.h>

namespace {

using namespace std::chrono_literals;

lm::Person personAt(std::uint32_t id, lm::TimePoint time, lm::Milliseconds duration) {
    lm::Person p;
    p.id = id;
    p.boundingBox = cv::Rect(10, 10, 40, 40);
    p.headpose = {0, 0, 0};
    p.age = 40;
    p.isViewing = true;
    p.detectionTime = time;
    p.detectionDuration = duration;
    return p;
}

TEST(AggregatorApi, FinalisesAnEndedTrackOnceThroughTheExportedClasses) {
    const auto past = std::chrono::system_clock::now() - 1min;
    lm::Aggregator aggregator;
    // One batch, so that both records of track 3 are in before the (long silent) tracks
    // are finalised at the end of the call.
    aggregator.newDetections({personAt(3, past, 0ms), personAt(4, past, 0ms), personAt(3, past + 2s, 2000ms)});

    lm::Aggregator owner = std::move(aggregator);  // the application owns it by value
    EXPECT_TRUE(owner.getOngoingAggregations().empty());
    const auto summaries = owner.getFinalizedAggregations(true);
    ASSERT_EQ(summaries.size(), 1u);  // track 4 lasted under a second
    EXPECT_EQ(summaries[0].id, 3u);
    EXPECT_EQ(summaries[0].avgAge, 40);
    EXPECT_EQ(summaries[0].viewingSessions, 1u);
    EXPECT_EQ(summaries[0].totalDetectionDuration, 2000ms);
    EXPECT_TRUE(owner.getFinalizedAggregations(true).empty());
}

TEST(AggregatorApi, WindowAndLastDetectionViewsWorkAcrossTheLibraryBoundary) {
    const auto now = std::chrono::system_clock::now();
    lm::SlidingWindowAggregator window(60000ms);
    window.newDetections({personAt(1, now - 2s, 1000ms), personAt(1, now - 1s, 2000ms)});
    EXPECT_EQ(window.getAggregations(0ms).size(), 1u);
    EXPECT_THROW(window.newDetections({personAt(2, now - 3s, 5000ms)}), std::runtime_error);

    lm::LastDetections latest(60000ms);
    latest.newDetections({personAt(1, now - 1s, 2000ms), personAt(2, now - 1s, 200ms)});
    const auto records = latest.getLastDetections(0ms);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, 1u);

    lm::BodyAggregator bodies;
    bodies.newDetections({lm::Body{5, {}, 0.9f, now - 1min, 0ms}, lm::Body{5, {}, 0.9f, now - 50s, 10000ms}});
    const auto bodySummaries = bodies.getFinalizedAggregations(true);
    ASSERT_EQ(bodySummaries.size(), 1u);
    EXPECT_EQ(bodySummaries[0].totalDetectionDuration, 10000ms);
}

}  // namespace
