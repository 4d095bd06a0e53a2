// The people-count tool's label file and its comparison of tracks with labelled walkers.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

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
