// The body-detector evaluation's label file and how it scores a frame's boxes.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "support/temp_dir.h"
#include "walker_boxes.h"

namespace {

using bodyeval::FrameLabels;

const cv::Rect WALKER(100, 100, 30, 80);
const cv::Rect OTHER_WALKER(300, 100, 30, 80);
const cv::Rect HIDDEN(500, 100, 20, 40);

TEST(BodyEvalLabels, WalkersAndPartialOnesAreReadByFrameAndBadLinesNamed) {
    lmtest::TempDir dir;
    const std::string path = dir.file("walkers.csv");
    std::ofstream(path)
        << "# two frames\nwalker,100,100,100,30,80\n\npartial,100,500,100,20,40\nwalker,7,300,100,30,80\n";
    const auto labels = bodyeval::readWalkerLabels(path);
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels.at(100).walkers, std::vector<cv::Rect>{WALKER});
    EXPECT_EQ(labels.at(100).partial, std::vector<cv::Rect>{HIDDEN});
    EXPECT_EQ(labels.at(7).walkers, std::vector<cv::Rect>{OTHER_WALKER});

    const struct {
        const char* line;
        const char* says;
    } bad[] = {
        {"walker,100,100,100,30\n", ":1: expected"},
        {"person,100,100,100,30,80\n", ":1: expected"},
        {"walker,100,100,1O0,30,80\n", "'1O0' is not a whole number"},
        {"walker,-1,100,100,30,80\n", "negative frame or empty box"},
        {"walker,5,100,100,0,80\n", "negative frame or empty box"},
    };
    for (const auto& c : bad) {
        std::ofstream(path) << c.line;
        try {
            bodyeval::readWalkerLabels(path);
            ADD_FAILURE() << "accepted " << c.line;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(bodyeval::readWalkerLabels(dir.file("missing.csv")), std::runtime_error);
}

TEST(BodyEvalScoring, EachWalkerFoundOnceAndStrayBoxesCountedFalse) {
    const FrameLabels labels{{WALKER, OTHER_WALKER}, {HIDDEN}};
    const struct {
        const char* what;
        std::vector<cv::Rect> detections;
        int found;
        int falsePositives;
    } cases[] = {
        {"nothing found", {}, 0, 0},
        {"both, shifted by a few pixels", {WALKER + cv::Point(4, 6), OTHER_WALKER - cv::Point(3, 0)}, 2, 0},
        // 30 x 80 against 30 x 40 at the top: IoU 0.5.
        {"half a walker still counts", {cv::Rect(100, 100, 30, 40)}, 1, 0},
        // 30 x 80 against 10 x 80: IoU 0.33; against 8 x 80: 0.27.
        {"a sliver does not", {cv::Rect(100, 100, 8, 80)}, 0, 1},
        {"a second box on one walker is false", {WALKER, WALKER + cv::Point(2, 2)}, 1, 1},
        {"a box on the hidden walker is neither", {HIDDEN + cv::Point(1, 1)}, 0, 0},
        {"a box on the grass is false", {cv::Rect(600, 400, 30, 30)}, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bodyeval::FrameScore score = bodyeval::scoreFrame(labels, c.detections);
        EXPECT_EQ(score.walkers, 2);
        EXPECT_EQ(score.found, c.found);
        EXPECT_EQ(score.missed.size(), 2u - c.found);
        EXPECT_EQ(static_cast<int>(score.falsePositive.size()), c.falsePositives);
    }
}

TEST(BodyEvalScoring, OneBoxTakesTheWalkerItOverlapsMost) {
    // Two walkers side by side and one box between them, nearer the right one: the right one
    // is found, the left one missed, and the second box on the left one then finds it.
    const cv::Rect left(100, 100, 30, 80), right(120, 100, 30, 80);
    const bodyeval::FrameScore one = bodyeval::scoreFrame({{left, right}, {}}, {cv::Rect(116, 100, 30, 80)});
    EXPECT_EQ(one.found, 1);
    EXPECT_EQ(one.missed, std::vector<cv::Rect>{left});
    const bodyeval::FrameScore two =
        bodyeval::scoreFrame({{left, right}, {}}, {cv::Rect(116, 100, 30, 80), cv::Rect(102, 100, 30, 80)});
    EXPECT_EQ(two.found, 2);
    EXPECT_TRUE(two.falsePositive.empty());
}

}  // namespace
