// A simulated day of traffic through every store, driven by a fake clock: what the stores
// hold must stay bounded by what is live, and shrink back to nothing when people leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "clock.h"
#include "lm_aggregator_core.h"

namespace {

using namespace std::chrono_literals;

TEST(AggregatorMemory, StoresStayBoundedOverADayOfTracksComingAndGoing) {
    constexpr int SLOTS = 5;              // people in view at once
    constexpr auto FRAME_STEP = 2s;       // coarse frames keep the day quick to simulate
    constexpr auto TRACK_LIFETIME = 60s;  // each slot gets a new id every minute
    constexpr auto WINDOW = 60000ms;
    constexpr auto DAY = 24h;

    lm::clock::FakeClock clock;
    lm::TrackAggregation<lm::Person> aggregator;
    lm::SlidingWindow<lm::Person> window(WINDOW);
    lm::LatestPerTrack<lm::Person> latest(WINDOW);

    const auto start = clock.system();
    std::size_t maxTracks = 0, maxWindow = 0, maxLatest = 0, summaries = 0;
    std::set<std::uint32_t> idsSeen;
    for (auto elapsed = 0s; elapsed < DAY; elapsed += FRAME_STEP) {
        std::vector<lm::Person> frame;
        for (int slot = 0; slot < SLOTS; ++slot) {
            // Slots are staggered so that ids end at different times.
            const auto slotTime = elapsed + slot * 12s;
            const auto generation = static_cast<std::uint32_t>(slotTime / TRACK_LIFETIME);
            lm::Person p;
            p.id = generation * SLOTS + static_cast<std::uint32_t>(slot) + 1;
            p.detectionTime = clock.system();
            p.detectionDuration = std::chrono::duration_cast<lm::Milliseconds>(slotTime % TRACK_LIFETIME);
            p.age = 30;
            idsSeen.insert(p.id);
            frame.push_back(p);
        }
        aggregator.newDetections(frame);
        window.newDetections(frame);
        latest.newDetections(frame);
        if (elapsed % 1h == 0s) summaries += aggregator.getFinalizedAggregations(true).size();

        maxTracks = std::max(maxTracks, aggregator.trackCount());
        maxWindow = std::max(maxWindow, window.storedCount());
        maxLatest = std::max(maxLatest, latest.storedCount());
        clock.advance(FRAME_STEP);
    }
    EXPECT_EQ(clock.system() - start, DAY);

    // Live ids plus those still inside the finalisation delay or the window.
    EXPECT_LE(maxTracks, 2u * SLOTS);
    EXPECT_LE(maxWindow, static_cast<std::size_t>(WINDOW / FRAME_STEP + 1) * SLOTS);
    EXPECT_LE(maxLatest, 2u * SLOTS);
    EXPECT_LE(aggregator.finalizedCount(), static_cast<std::size_t>(1h / TRACK_LIFETIME + 1) * SLOTS);

    // Everyone leaves: the next calls drain every store.
    clock.advance(1h);
    aggregator.newDetections({});
    window.newDetections({});
    latest.newDetections({});
    summaries += aggregator.getFinalizedAggregations(true).size();
    EXPECT_EQ(aggregator.trackCount(), 0u);
    EXPECT_EQ(aggregator.finalizedCount(), 0u);
    EXPECT_EQ(window.storedCount(), 0u);
    EXPECT_EQ(latest.storedCount(), 0u);
    // Every track was summarised once; only a slot's last track, cut short by the end
    // of the day, may have been too short to count.
    EXPECT_GE(summaries, idsSeen.size() - SLOTS);
    EXPECT_LE(summaries, idsSeen.size());
}

}  // namespace
