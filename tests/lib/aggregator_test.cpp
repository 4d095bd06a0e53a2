// The aggregators driven by a fake clock. Every behaviour runs for the face and the body
// family alike; results are sorted by id, since map order is not defined.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <lumora/lm_aggregator.h>

#include "clock.h"

namespace {

using namespace std::chrono_literals;
using lm::Milliseconds;
using lm::TimePoint;

struct FaceFamily {
    using Record = lm::Person;
    using Aggregator = lm::Aggregator;
    using Sliding = lm::SlidingWindowAggregator;
    using Latest = lm::LastDetections;
};

struct BodyFamily {
    using Record = lm::Body;
    using Aggregator = lm::BodyAggregator;
    using Sliding = lm::SlidingWindowBodyAggregator;
    using Latest = lm::LastBodyDetections;
};

template <class Record>
Record record(std::uint32_t id, TimePoint time, Milliseconds duration) {
    Record r;
    r.id = id;
    r.boundingBox = cv::Rect(0, 0, 50, 50);
    r.detectionTime = time;
    r.detectionDuration = duration;
    return r;
}

template <class Items>
std::vector<std::uint32_t> sortedIds(const Items& items) {
    std::vector<std::uint32_t> ids;
    for (const auto& item : items) ids.push_back(item.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

using Ids = std::vector<std::uint32_t>;

template <class Items>
const typename Items::value_type& byId(const Items& items, std::uint32_t id) {
    const auto it = std::find_if(items.begin(), items.end(), [id](const auto& item) { return item.id == id; });
    if (it == items.end()) throw std::logic_error("no item with id " + std::to_string(id));
    return *it;
}

template <class Family>
class AggregatorFamily : public ::testing::Test {
protected:
    TimePoint now() const { return mClock.system(); }
    auto at(std::uint32_t id, Milliseconds duration) const {
        return record<typename Family::Record>(id, now(), duration);
    }

    // Feeds one record of the id every 100 ms for the given span, with matching durations.
    void feedTrack(typename Family::Aggregator& aggregator, std::uint32_t id, Milliseconds span) {
        for (Milliseconds d{0}; d <= span; d += 100ms) {
            aggregator.newDetections({at(id, d)});
            if (d < span) mClock.advance(100ms);
        }
    }

    lm::clock::FakeClock mClock;
};

using Families = ::testing::Types<FaceFamily, BodyFamily>;
TYPED_TEST_SUITE(AggregatorFamily, Families);

TYPED_TEST(AggregatorFamily, TrackIsFinalisedInTheFirstCallMoreThanTheDelayAfterItsLastRecord) {
    struct Case {
        std::chrono::nanoseconds silence;
        bool finalised;
    };
    for (const Case& c : {Case{1s, false}, Case{5001ms, false}, Case{5001ms + 1ns, true}}) {
        typename TypeParam::Aggregator aggregator;
        this->feedTrack(aggregator, 7, 3000ms);
        this->mClock.advance(c.silence);
        aggregator.newDetections({});  // an empty frame is enough to finalise
        EXPECT_EQ(sortedIds(aggregator.getOngoingAggregations()), c.finalised ? Ids{} : Ids{7});
        const auto finalised = aggregator.getFinalizedAggregations(true);
        ASSERT_EQ(sortedIds(finalised), c.finalised ? Ids{7} : Ids{});
        if (c.finalised) {
            EXPECT_EQ(finalised[0].totalDetectionDuration, 3000ms);
            EXPECT_EQ(finalised[0].initialDetectionTime, this->now() - c.silence - 3000ms);
        }
    }
}

TYPED_TEST(AggregatorFamily, WithoutFurtherCallsAnEndedTrackStaysOngoing) {
    typename TypeParam::Aggregator aggregator;
    this->feedTrack(aggregator, 7, 3000ms);
    this->mClock.advance(1h);
    EXPECT_EQ(sortedIds(aggregator.getOngoingAggregations()), Ids{7});
    EXPECT_TRUE(aggregator.getFinalizedAggregations(true).empty());
}

TYPED_TEST(AggregatorFamily, SummariesAreCollectedOnlyOnce) {
    typename TypeParam::Aggregator aggregator;
    this->feedTrack(aggregator, 1, 2000ms);
    this->feedTrack(aggregator, 2, 2000ms);
    this->mClock.advance(6s);
    aggregator.newDetections({});

    EXPECT_EQ(sortedIds(aggregator.getFinalizedAggregations(false)), (Ids{1, 2}));
    EXPECT_EQ(sortedIds(aggregator.getFinalizedAggregations(true)), (Ids{1, 2}));
    EXPECT_TRUE(aggregator.getFinalizedAggregations(true).empty());
    aggregator.newDetections({});
    EXPECT_TRUE(aggregator.getFinalizedAggregations(true).empty());
}

TYPED_TEST(AggregatorFamily, ShortTracksVanishWithoutASummary) {
    typename TypeParam::Aggregator aggregator;
    aggregator.newDetections({this->at(1, 0ms), this->at(2, 0ms)});
    this->mClock.advance(999ms);
    aggregator.newDetections({this->at(1, 999ms), this->at(2, 1000ms)});
    EXPECT_EQ(sortedIds(aggregator.getOngoingAggregations()), Ids{2});

    this->mClock.advance(6s);
    aggregator.newDetections({});
    EXPECT_EQ(sortedIds(aggregator.getFinalizedAggregations(true)), Ids{2});
    EXPECT_TRUE(aggregator.getOngoingAggregations().empty());  // 1 has left the map as well
}

TYPED_TEST(AggregatorFamily, AllAggregationsListOngoingBeforeFinalisedAndChangeNothing) {
    typename TypeParam::Aggregator aggregator;
    this->feedTrack(aggregator, 1, 1500ms);
    this->mClock.advance(6s);
    this->feedTrack(aggregator, 2, 1500ms);  // its first record finalises track 1

    const auto all = aggregator.getAllAggregations();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, 2u);
    EXPECT_EQ(all[1].id, 1u);
    EXPECT_EQ(sortedIds(aggregator.getOngoingAggregations()), Ids{2});
    EXPECT_EQ(sortedIds(aggregator.getFinalizedAggregations(false)), Ids{1});
}

TYPED_TEST(AggregatorFamily, CleaningEmptiesTheFinalisedListOrEverything) {
    typename TypeParam::Aggregator aggregator;
    this->feedTrack(aggregator, 1, 1500ms);
    this->mClock.advance(6s);
    this->feedTrack(aggregator, 2, 1500ms);

    aggregator.cleanFinalizedAggregations();
    EXPECT_TRUE(aggregator.getFinalizedAggregations(true).empty());
    EXPECT_EQ(sortedIds(aggregator.getOngoingAggregations()), Ids{2});

    aggregator.cleanAll();
    EXPECT_TRUE(aggregator.getAllAggregations().empty());
}

TYPED_TEST(AggregatorFamily, OfflineAggregationSummarisesEveryCountedTrackWithoutFinalising) {
    using Record = typename TypeParam::Record;
    const TimePoint t0 = this->now() - 1h;  // long past: no finalisation test applies
    const std::vector<Record> records = {
        record<Record>(3, t0, 200ms),      record<Record>(5, t0, 0ms),         record<Record>(3, t0 + 3s, 3200ms),
        record<Record>(5, t0 + 1s, 999ms), record<Record>(4, t0 + 2s, 1000ms),
    };
    const auto summaries = TypeParam::Aggregator::aggregateOffline(records);
    ASSERT_EQ(sortedIds(summaries), (Ids{3, 4}));
    EXPECT_EQ(byId(summaries, 3).totalDetectionDuration, 3000ms);
}

TYPED_TEST(AggregatorFamily, MovingHandsTheStateOver) {
    typename TypeParam::Aggregator source;
    this->feedTrack(source, 7, 1500ms);
    typename TypeParam::Aggregator moved(std::move(source));
    EXPECT_EQ(sortedIds(moved.getOngoingAggregations()), Ids{7});

    typename TypeParam::Aggregator target;
    this->feedTrack(target, 8, 1500ms);
    target = std::move(moved);
    EXPECT_EQ(sortedIds(target.getOngoingAggregations()), Ids{7});
    source = std::move(target);  // a moved-from object may be assigned to
    EXPECT_EQ(sortedIds(source.getOngoingAggregations()), Ids{7});
}

// --- sliding window ---

TYPED_TEST(AggregatorFamily, SlidingWindowStoresBatchesInTimeOrderAndRefusesOlderOnes) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Sliding window(60000ms);
    const TimePoint t = this->now();
    // Durations follow the times, so a store out of order would give a negative total.
    window.newDetections(
        {record<Record>(1, t + 2s, 3000ms), record<Record>(1, t, 1000ms), record<Record>(1, t + 1s, 2000ms)});
    auto summaries = window.getAggregations(0ms);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].initialDetectionTime, t);
    EXPECT_EQ(summaries[0].totalDetectionDuration, 2000ms);

    try {
        window.newDetections({record<Record>(1, t + 3s, 4000ms), record<Record>(2, t + 1s, 5000ms)});
        FAIL() << "an older batch was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "New detections are older than the previously stored ones");
    }
    summaries = window.getAggregations(0ms);
    ASSERT_EQ(sortedIds(summaries), Ids{1});  // nothing of the refused batch was stored
    EXPECT_EQ(summaries[0].totalDetectionDuration, 2000ms);

    window.newDetections({record<Record>(1, t + 2s, 4000ms)});  // equal times are fine
    EXPECT_EQ(window.getAggregations(0ms)[0].totalDetectionDuration, 3000ms);
}

TYPED_TEST(AggregatorFamily, SlidingWindowAcceptsAnOlderBatchOnceTheNewerRecordsHaveExpired) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Sliding window(10000ms);
    window.newDetections({this->at(1, 2000ms)});
    this->mClock.advance(11s);
    EXPECT_NO_THROW(window.newDetections({record<Record>(2, this->now() - 5s, 2000ms)}));
    EXPECT_EQ(sortedIds(window.getAggregations(0ms)), Ids{2});
}

TYPED_TEST(AggregatorFamily, SlidingWindowRefusingABatchStillPrunes) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Sliding window(10000ms);
    window.newDetections({this->at(1, 2000ms)});
    this->mClock.advance(5s);
    window.newDetections({this->at(2, 2000ms)});
    this->mClock.advance(5s + 1ns);  // 1 has expired, 2 has not
    EXPECT_THROW(window.newDetections({record<Record>(3, this->now() - 6s, 2000ms)}), std::runtime_error);
    window.setMaxWindowDuration(Milliseconds::max());  // keep whatever the refusing call left
    EXPECT_EQ(sortedIds(window.getAggregations(0ms)), Ids{2});
}

TYPED_TEST(AggregatorFamily, SlidingWindowSummarisesOnlyTheRequestedWindow) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Sliding window(60000ms);
    const TimePoint t0 = this->now();
    // Track 1 throughout, track 2 only in the first 20 s, track 3 only in the last 5 s.
    for (int s = 0; s <= 40; ++s) {
        std::vector<Record> frame = {record<Record>(1, t0 + std::chrono::seconds(s), std::chrono::seconds(s))};
        if (s <= 20) frame.push_back(record<Record>(2, t0 + std::chrono::seconds(s), std::chrono::seconds(s)));
        if (s >= 35) frame.push_back(record<Record>(3, t0 + std::chrono::seconds(s), std::chrono::seconds(s)));
        window.newDetections(frame);
    }
    this->mClock.advance(40s);

    struct Case {
        Milliseconds window;
        Ids ids;
        Milliseconds trackOneTotal;
    };
    const Case cases[] = {
        {0ms, {1, 2, 3}, 40s},  {10000ms, {1, 3}, 10s},     // the record exactly 10 s old is inside
        {9999ms, {1, 3}, 9s},   {20000ms, {1, 2, 3}, 20s},  // track 2's last record is exactly 20 s old
        {19999ms, {1, 3}, 19s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window.count());
        const auto summaries = window.getAggregations(c.window);
        ASSERT_EQ(sortedIds(summaries), c.ids);
        EXPECT_EQ(byId(summaries, 1).totalDetectionDuration, c.trackOneTotal);
    }
    // Track 2 summarised over the window only: its one record at 20 s.
    EXPECT_EQ(byId(window.getAggregations(20000ms), 2).initialDetectionTime, t0 + 20s);
}

TYPED_TEST(AggregatorFamily, SlidingWindowPrunesAtEveryCallAndHonoursAChangedMaximum) {
    typename TypeParam::Sliding window(10000ms);
    EXPECT_EQ(window.getMaxWindowDuration(), 10000ms);
    window.newDetections({this->at(1, 2000ms)});
    this->mClock.advance(5s);
    window.newDetections({this->at(2, 2000ms)});

    this->mClock.advance(5s);  // track 1 exactly 10 s old: stays
    EXPECT_EQ(sortedIds(window.getAggregations(0ms)), (Ids{1, 2}));
    this->mClock.advance(1ns);
    window.newDetections({});                          // an empty batch still prunes
    window.setMaxWindowDuration(Milliseconds::max());  // would keep everything not pruned yet
    EXPECT_EQ(window.getMaxWindowDuration(), Milliseconds::max());
    EXPECT_EQ(sortedIds(window.getAggregations(0ms)), Ids{2});

    window.setMaxWindowDuration(1000ms);  // a shorter span drops track 2 at the next call
    EXPECT_TRUE(window.getAggregations(0ms).empty());
}

TYPED_TEST(AggregatorFamily, SlidingWindowCleanEmptiesTheStore) {
    typename TypeParam::Sliding window(10000ms);
    window.newDetections({this->at(1, 2000ms)});
    window.clean();
    EXPECT_TRUE(window.getAggregations(0ms).empty());
    typename TypeParam::Sliding moved(std::move(window));
    moved.newDetections({this->at(1, 2000ms)});
    EXPECT_EQ(sortedIds(moved.getAggregations(0ms)), Ids{1});
}

// --- last detections ---

TYPED_TEST(AggregatorFamily, LastDetectionsKeepTheLatestStoredRecordPerId) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Latest latest(10000ms);
    latest.newDetections({this->at(7, 1500ms), this->at(8, 1500ms)});
    this->mClock.advance(2s);
    // Replaces the stored record of 7 even though it is older than it.
    latest.newDetections({record<Record>(7, this->now() - 3s, 4000ms)});

    const auto records = latest.getLastDetections(0ms);
    ASSERT_EQ(sortedIds(records), (Ids{7, 8}));
    EXPECT_EQ(byId(records, 7).detectionDuration, 4000ms);
}

TYPED_TEST(AggregatorFamily, LastDetectionsReturnOnlyTracksOfAtLeastOneSecond) {
    typename TypeParam::Latest latest(10000ms);
    latest.newDetections({this->at(7, 500ms), this->at(8, 999ms), this->at(9, 1000ms)});
    EXPECT_EQ(sortedIds(latest.getLastDetections(0ms)), Ids{9});
    this->mClock.advance(600ms);
    latest.newDetections({this->at(7, 1100ms)});  // id 7 was stored all along
    EXPECT_EQ(sortedIds(latest.getLastDetections(0ms)), (Ids{7, 9}));
}

TYPED_TEST(AggregatorFamily, LastDetectionsWindowsAndExpiry) {
    using Record = typename TypeParam::Record;
    typename TypeParam::Latest latest(10000ms);
    EXPECT_EQ(latest.getMaxWindowDuration(), 10000ms);
    const TimePoint now = this->now();
    latest.newDetections({record<Record>(1, now - 10s, 2000ms), record<Record>(2, now - 10s - 1ns, 2000ms),
                          record<Record>(3, now - 4s, 2000ms), record<Record>(4, now, 2000ms)});
    // 2 was already expired on arrival and never stored.
    struct Case {
        Milliseconds window;
        Ids ids;
    };
    for (const Case& c : {Case{0ms, {1, 3, 4}}, Case{4000ms, {3, 4}}, Case{3999ms, {4}}, Case{20000ms, {1, 3, 4}}}) {
        SCOPED_TRACE(c.window.count());
        EXPECT_EQ(sortedIds(latest.getLastDetections(c.window)), c.ids);
    }

    this->mClock.advance(1ns);  // 1 expires
    EXPECT_EQ(sortedIds(latest.getLastDetections(20000ms)), (Ids{3, 4}));
    latest.setMaxWindowDuration(1000ms);
    EXPECT_EQ(sortedIds(latest.getLastDetections(0ms)), Ids{4});
    latest.clean();
    EXPECT_TRUE(latest.getLastDetections(0ms).empty());
}

}  // namespace
