// The people count on the first seconds of vtest.avi, against the walkers labelled by eye
// in tools/people-count/vtest-labels.csv: what harbix counts for a file must be the people
// who crossed, whatever the number of threads. Real networks, converted once per process;
// skips when the weights or the sample media are missing (scripts/setup installs both).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumora/lm_lumora.h"
#include "people_count.h"
#include "real/real_models.h"
#include "support/real_media.h"
#include "support/temp_dir.h"
#include "track_scoring.h"
#include "walker_labels.h"

namespace {

namespace media = lmtest::real_media;

// Ten seconds: eight walkers enter, two of them pass behind the sign post and two (walkers
// 4 and 5) walk side by side. More threads are compared over the first four seconds.
constexpr int CLIP_FRAMES = 100;
constexpr int THREAD_CLIP_FRAMES = 40;
constexpr int SIDE_BY_SIDE[] = {4, 5};
constexpr double VIDEO_FPS = 10.0;

std::string labelFile() {
    const char* source = std::getenv("LUMORA_SOURCE_DIR");
    const std::filesystem::path root =
        source ? std::filesystem::path(source) : std::filesystem::path(__FILE__).parent_path() / "../..";
    return (root / "tools/people-count/vtest-labels.csv").string();
}

const std::string& realModelDir() {
    static const lmtest::TempDir dir;
    static const std::string path = [] {
        lm::models::real::writeRealModels({media::weightsRoot()}, dir.path().string());
        return dir.path().string();
    }();
    return path;
}

people_count::CountRun countClip(int threads, int frames) {
    lm::Settings settings;
    settings.neuralNetworksPath = realModelDir();
    settings.logLevel = lm::Settings::WARN;
    settings.numThreads = threads;
    lm::Lumora lumora(settings);  // DYNAMIC rate classes, as the demo runs
    cv::VideoCapture video(media::OPENCV_DATA + "vtest.avi");
    return people_count::countPeople(lumora, video, VIDEO_FPS, frames, lm::TimePoint{});
}

const std::vector<std::uint32_t>& idsOf(const people_count::TrackScore& score, int walker) {
    for (const auto& w : score.walkers)
        if (w.walker == walker) return w.ids;
    throw std::runtime_error("walker " + std::to_string(walker) + " not scored");
}

int walkersEnteringBefore(const people_count::WalkerLabels& labels, int frames) {
    int count = 0;
    for (const auto& [walker, passage] : labels.passages) count += passage.entryFrame < frames ? 1 : 0;
    return count;
}

TEST(RealPeopleCount, AShortLabelledClipCountsEachWalkerOnceWithAnyThreadCount) {
    if (!media::weightsPresent()) GTEST_SKIP() << "pretrained weights missing: run scripts/fetch-weights";
    if (!media::samplesPresent()) GTEST_SKIP() << "sample media missing (python3-skimage, opencv-doc)";
    const people_count::WalkerLabels labels = people_count::readWalkerLabels(labelFile());
    const int handCount = walkersEnteringBefore(labels, CLIP_FRAMES);
    ASSERT_EQ(handCount, 8);

    const people_count::CountRun two = countClip(2, CLIP_FRAMES);
    EXPECT_LE(std::abs(static_cast<double>(two.peopleCount) - handCount), 0.15 * handCount)
        << "people count " << two.peopleCount << " against a hand count of " << handCount;
    const people_count::TrackScore score = people_count::scoreTracks(labels, two.bodiesByFrame);
    EXPECT_LE(people_count::switchesPerWalker(score), 1.0);
    for (std::uint32_t id : idsOf(score, SIDE_BY_SIDE[0])) {
        const auto& other = idsOf(score, SIDE_BY_SIDE[1]);
        EXPECT_EQ(std::count(other.begin(), other.end(), id), 0) << "walkers side by side shared id " << id;
    }

    const people_count::CountRun eight = countClip(8, THREAD_CLIP_FRAMES);
    for (const auto& [frame, bodies] : eight.bodiesByFrame) {
        ASSERT_EQ(two.bodiesByFrame.at(frame).size(), bodies.size()) << "frame " << frame;
        for (std::size_t i = 0; i < bodies.size(); ++i)
            EXPECT_EQ(two.bodiesByFrame.at(frame)[i].id, bodies[i].id) << "frame " << frame;
    }
}

}  // namespace
