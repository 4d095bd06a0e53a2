#include <gtest/gtest.h>

#include <lumora/lm_help_rect.h>

namespace {

const cv::Mat FRAME(480, 640, CV_8UC3);

TEST(RectHelpers, PadRect) {
    const struct {
        cv::Rect box;
        float factor;
        cv::Rect expected;
    } cases[] = {
        {{10, 20, 100, 50}, 0.3f, {-20, 5, 160, 80}},
        {{10, 20, 100, 50}, -0.0625f, {16, 23, 88, 44}},
        {{5, 5, 4, 4}, 0.1f, {5, 5, 4, 4}},  // the padding truncates to 0
        {{0, 0, 0, 0}, 0.5f, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(lm::help::padRect(c.box, c.factor), c.expected) << c.box;
}

TEST(RectHelpers, ClipRect) {
    const struct {
        cv::Rect box;
        cv::Rect expected;
    } cases[] = {
        {{-10, -10, 30, 30}, {0, 0, 20, 20}},     {{700, 10, 50, 50}, {0, 0, 0, 0}},
        {{630, 470, 50, 50}, {630, 470, 10, 10}}, {{0, 0, 640, 480}, {0, 0, 640, 480}},
        {{-50, 0, 50, 10}, {0, 0, 0, 0}},  // touches the edge, nothing inside
    };
    for (const auto& c : cases) EXPECT_EQ(lm::help::clipRect(c.box, FRAME), c.expected) << c.box;
}

TEST(RectHelpers, PadClipRect) {
    EXPECT_EQ(lm::help::padClipRect({0, 0, 100, 100}, 0.1f, FRAME), cv::Rect(0, 0, 110, 110));
    // The face-crop example: pad by 0.3, then shrink by 0.0625 and clip.
    const cv::Rect padded = lm::help::padRect({0, 100, 40, 40}, 0.3f);
    EXPECT_EQ(padded, cv::Rect(-12, 88, 64, 64));
    EXPECT_EQ(lm::help::padClipRect(padded, -0.0625f, FRAME), cv::Rect(0, 92, 48, 56));
}

}  // namespace
