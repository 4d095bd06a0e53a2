// The people-count tool's label file and its comparison of tracks with labelled walkers.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "continuation_pairs.h"
#include "people_count.h"
#include "support/temp_dir.h"
#include "track_scoring.h"
#include "walker_labels.h"

namespace {

using people_count::LabelledBox;
using people_count::WalkerLabels;

lm::Body body(std::uint32_t id, const cv::Rect& box) {
    lm::Body b;
    b.id = id;
    b.boundingBox = box;
    return b;
}

const cv::Rect LEFT(100, 100, 30, 80);
const cv::Rect RIGHT(300, 100, 30, 80);

TEST(PeopleCountLabels, PassagesAndBoxesAreReadAndBadLinesNamed) {
    lmtest::TempDir dir;
    const std::string path = dir.file("labels.csv");
    std::ofstream(path) << "# walkers\npassage,1,0,120\nbox,1,10,100,100,30,80  # near the post\n\npassage,2,50,90\n";
    const WalkerLabels labels = people_count::readWalkerLabels(path);
    ASSERT_EQ(labels.passages.size(), 2u);
    EXPECT_EQ(labels.passages.at(1).exitFrame, 120);
    EXPECT_EQ(labels.passages.at(2).entryFrame, 50);
    ASSERT_EQ(labels.boxes.size(), 1u);
    EXPECT_EQ(labels.boxes[0].box, LEFT);

    std::ofstream(path) << "passage,1,0,120\nbox,1,10,100\n";
    try {
        people_count::readWalkerLabels(path);
        FAIL() << "a short box line was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(":2:"), std::string::npos) << error.what();
    }
}

// The hand count of a part of the video: who is in the picture at any of its frames,
// whether the passage began there or before.
TEST(PeopleCountLabels, PassagesDuringARangeIncludeThoseAlreadyInThePicture) {
    WalkerLabels labels;
    labels.passages = {{1, {0, 120}}, {2, {50, 90}}, {3, {400, 794}}, {4, {390, 400}}};
    struct Case {
        int first, last, count;
    };
    for (const Case& c : {Case{0, 399, 3}, Case{400, 794, 2}, Case{0, 49, 1}, Case{91, 119, 1}, Case{121, 389, 0}})
        EXPECT_EQ(people_count::passagesDuring(labels, c.first, c.last), c.count) << c.first << ".." << c.last;
}

// Two walkers over four frames: the ids the tracker gave decide switches and swaps.
TEST(PeopleCountScoring, SwitchesAndSwapsFollowTheIdsEachWalkerTakes) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> idsPerFrame;  // (left walker, right walker)
        int leftSwitches;
        int rightSwitches;
        int swaps;
    };
    const Case cases[] = {
        {"kept", {{1, 2}, {1, 2}, {1, 2}, {1, 2}}, 0, 0, 0},
        {"left breaks once", {{1, 2}, {1, 2}, {3, 2}, {3, 2}}, 1, 0, 0},
        {"crossing swaps for a frame", {{1, 2}, {2, 1}, {1, 2}, {1, 2}}, 2, 2, 2},
        {"unmatched frame is no switch", {{1, 2}, {0, 2}, {1, 2}, {1, 2}}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        WalkerLabels labels;
        std::map<int, std::vector<lm::Body>> bodies;
        for (int frame = 0; frame < 4; ++frame) {
            labels.boxes.push_back({1, frame, LEFT});
            labels.boxes.push_back({2, frame, RIGHT});
            const auto [left, right] = c.idsPerFrame[frame];
            // An id of 0 stands for a body that missed the walker's box entirely.
            bodies[frame] = {body(left, left ? LEFT : cv::Rect(600, 400, 10, 10)), body(right, RIGHT)};
        }
        const people_count::TrackScore score = people_count::scoreTracks(labels, bodies);
        ASSERT_EQ(score.walkers.size(), 2u) << c.name;
        EXPECT_EQ(score.walkers[0].idSwitches, c.leftSwitches) << c.name;
        EXPECT_EQ(score.walkers[1].idSwitches, c.rightSwitches) << c.name;
        EXPECT_EQ(score.identitySwaps, c.swaps) << c.name;
    }
}

}  // namespace

// The pairs a labelled frame gives with the next one: a walker's own next detection, the
// next detections of other walkers close by, and nothing where the follow is ambiguous.
TEST(PeopleCountContinuations, PairsFollowEachWalkerIntoTheNextFrameWhereThatIsClear) {
    struct Case {
        const char* name;
        std::vector<cv::Rect> labelled;  // walkers 1, 2, ... at frame 10
        std::vector<cv::Rect> now;       // detections of frame 10
        std::vector<cv::Rect> next;      // detections of frame 11
        std::vector<people_count::ContinuationPair> expected;
    };
    const cv::Rect nearRight(140, 100, 30, 80);  // one and a third widths from LEFT
    const Case cases[] = {
        {"one walker steps on", {LEFT}, {LEFT}, {LEFT + cv::Point(4, 0)}, {{10, 0, 0, true}}},
        {"far walkers are no rivals",
         {LEFT, RIGHT},
         {RIGHT, LEFT},
         {LEFT + cv::Point(3, 0), RIGHT + cv::Point(-3, 0)},
         {{10, 1, 0, true}, {10, 0, 1, true}}},
        {"a walker close by is a rival both ways",
         {LEFT, nearRight},
         {LEFT, nearRight},
         {LEFT, nearRight},
         {{10, 0, 0, true}, {10, 0, 1, false}, {10, 1, 0, false}, {10, 1, 1, true}}},
        {"a box no detection fits gives nothing", {cv::Rect(500, 300, 30, 80)}, {LEFT}, {LEFT}, {}},
        {"a walker the detector lost next gives nothing", {LEFT}, {LEFT}, {RIGHT}, {}},
        // Two walkers overlapping one next detection: who it belongs to is not clear.
        {"merged next detection gives nothing",
         {LEFT, LEFT + cv::Point(12, 0)},
         {LEFT, LEFT + cv::Point(12, 0)},
         {LEFT + cv::Point(6, 0)},
         {}},
    };
    for (const Case& c : cases) {
        WalkerLabels labels;
        for (std::size_t w = 0; w < c.labelled.size(); ++w)
            labels.boxes.push_back({static_cast<int>(w) + 1, 10, c.labelled[w]});
        const auto pairs = people_count::continuationPairs(labels, {{10, c.now}, {11, c.next}});
        ASSERT_EQ(pairs.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            EXPECT_EQ(pairs[i].frame, c.expected[i].frame) << c.name;
            EXPECT_EQ(pairs[i].first, c.expected[i].first) << c.name << " pair " << i;
            EXPECT_EQ(pairs[i].second, c.expected[i].second) << c.name << " pair " << i;
            EXPECT_EQ(pairs[i].sameWalker, c.expected[i].sameWalker) << c.name << " pair " << i;
        }
    }
    WalkerLabels lastFrame;
    lastFrame.boxes.push_back({1, 11, LEFT});
    EXPECT_TRUE(people_count::continuationPairs(lastFrame, {{10, {LEFT}}, {11, {LEFT}}}).empty())
        << "a labelled frame without a next frame";
}

// A walker with no labelled box in the analysed frames neither switches nor dilutes the mean.
TEST(PeopleCountScoring, SwitchesPerWalkerCountOnlyWalkersLabelledInTheRun) {
    WalkerLabels labels;
    labels.boxes = {{1, 0, LEFT}, {1, 1, LEFT}, {2, 0, RIGHT}, {2, 1, RIGHT}, {3, 500, LEFT}};
    const std::map<int, std::vector<lm::Body>> bodies = {{0, {body(1, LEFT), body(2, RIGHT)}},
                                                         {1, {body(3, LEFT), body(2, RIGHT)}}};
    const people_count::TrackScore score = people_count::scoreTracks(labels, bodies);
    EXPECT_DOUBLE_EQ(people_count::switchesPerWalker(score), 0.5);
    EXPECT_DOUBLE_EQ(people_count::switchesPerWalker({}), 0.0);
}

// A slower analysis of a file that plays at its own rate takes the newest frame shown when it
// is free: frames skipped where it falls behind, none where it keeps up, the same at every run.
TEST(PeopleCountSkippedFrames, AnAnalysisSlowerThanTheVideoTakesTheNewestFrameShown) {
    struct Case {
        std::size_t first, end;
        double analysisMs;
        std::vector<std::size_t> frames;
    } cases[] = {
        {0, 5, 0, {0, 1, 2, 3, 4}},           // every frame
        {0, 5, 60, {0, 1, 2, 3, 4}},          // faster than 100 ms a frame: waits for the next
        {0, 5, 100, {0, 1, 2, 3, 4}},         // exactly in step
        {0, 10, 150, {0, 1, 3, 4, 6, 7, 9}},  // one frame in three skipped
        {0, 10, 250, {0, 2, 5, 7}},           // falls further behind
        {40, 46, 200, {40, 42, 44}},          // from a later frame
        {3, 3, 150, {}},                      // nothing to analyse
    };
    for (const Case& c : cases)
        EXPECT_EQ(people_count::analysedFrames(c.first, c.end, 10.0, c.analysisMs), c.frames)
            << c.first << ".." << c.end << " at " << c.analysisMs << " ms";
}
