#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "hx_image.h"
#include "support/log_capture.h"

namespace {

using Rotate = hx::Settings::RotateMode;

// Every pixel tells where it came from: blue is x, green is y (both modulo 256), red marks
// the quadrant, so a mirrored, turned or shifted picture never equals the expected one by
// accident.
cv::Mat coordinateImage(int cols, int rows) {
    cv::Mat image(rows, cols, CV_8UC3);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x % 256), static_cast<uchar>(y % 256),
                                                  static_cast<uchar>((x * 2 / cols) * 100 + (y * 2 / rows) * 50));
    return image;
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

cv::Mat zoomedWindow(const cv::Mat& image, const cv::Rect& window) {
    cv::Mat out;
    cv::resize(image(window), out, image.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

TEST(ImagePreprocess, StepsInTheirOrder) {
    const cv::Mat frame = coordinateImage(640, 480);
    const cv::Mat mirrored = [&] {
        cv::Mat m;
        cv::flip(frame, m, 1);
        return m;
    }();
    const cv::Mat turned180 = [&] {
        cv::Mat m;
        cv::rotate(frame, m, cv::ROTATE_180);
        return m;
    }();
    const cv::Mat mirroredClockwise = [&] {
        cv::Mat m;
        cv::rotate(mirrored, m, cv::ROTATE_90_CLOCKWISE);
        return m;
    }();
    const cv::Mat counterClockwise = [&] {
        cv::Mat m;
        cv::rotate(frame, m, cv::ROTATE_90_COUNTERCLOCKWISE);
        return m;
    }();
    const cv::Mat clockwise = [&] {
        cv::Mat m;
        cv::rotate(frame, m, cv::ROTATE_90_CLOCKWISE);
        return m;
    }();

    const struct {
        std::string name;
        bool flipH, flipV;
        Rotate rotate;
        float zoom;
        cv::Point offset;
        cv::Mat expected;
    } cases[] = {
        {"nothing", false, false, Rotate::ROTATE_0, 1.0f, {}, frame},
        {"mirror", true, false, Rotate::ROTATE_0, 1.0f, {}, mirrored},
        {"both flips turn by 180", true, true, Rotate::ROTATE_0, 1.0f, {}, turned180},
        {"rotate 180", false, false, Rotate::ROTATE_180, 1.0f, {}, turned180},
        {"mirror then clockwise", true, false, Rotate::ROTATE_90, 1.0f, {}, mirroredClockwise},
        {"270 is counter-clockwise", false, false, Rotate::ROTATE_270, 1.0f, {}, counterClockwise},
        {"zoom 2 centred", false, false, Rotate::ROTATE_0, 2.0f, {0, 0}, zoomedWindow(frame, {160, 120, 320, 240})},
        {"zoom 2 against the right edge",
         false,
         false,
         Rotate::ROTATE_0,
         2.0f,
         {640, 0},
         zoomedWindow(frame, {320, 120, 320, 240})},
        {"zoom 2 against the top left corner",
         false,
         false,
         Rotate::ROTATE_0,
         2.0f,
         {-640, -480},
         zoomedWindow(frame, {0, 0, 320, 240})},
        {"zoom 2 against the bottom edge",
         false,
         false,
         Rotate::ROTATE_0,
         2.0f,
         {0, 480},
         zoomedWindow(frame, {160, 240, 320, 240})},
        {"zoom 3 truncates", false, false, Rotate::ROTATE_0, 3.0f, {0, 0}, zoomedWindow(frame, {214, 160, 213, 160})},
        {"zoom 100", false, false, Rotate::ROTATE_0, 100.0f, {0, 0}, zoomedWindow(frame, {317, 238, 6, 4})},
        {"zoom after the turn",
         false,
         false,
         Rotate::ROTATE_90,
         2.0f,
         {0, 0},
         zoomedWindow(clockwise, {120, 160, 240, 320})},
    };
    for (const auto& c : cases) {
        const cv::Mat input = frame.clone();
        const cv::Mat result = hx::image::preprocess(input, c.flipH, c.flipV, c.rotate, c.zoom, c.offset);
        EXPECT_TRUE(samePixels(result, c.expected)) << c.name;
        EXPECT_NE(result.data, input.data) << c.name;
        EXPECT_TRUE(samePixels(input, frame)) << c.name << ": input modified";
    }
}

TEST(ImageZoom, SameImageInAndOutGivesTheSameResultAsTwoImages) {
    const cv::Mat frame = coordinateImage(640, 480);
    cv::Mat separate;
    hx::image::zoom(frame, separate, 2.5f, {400, 100});
    cv::Mat inPlace = frame.clone();
    hx::image::zoom(inPlace, inPlace, 2.5f, {400, 100});
    EXPECT_TRUE(samePixels(separate, inPlace));
    EXPECT_EQ(separate.size(), frame.size());
}

TEST(ImageZoom, FactorBelowOneIsLoggedAndZoomsNothing) {
    lmtest::LogCapture log;
    const cv::Mat frame = coordinateImage(64, 48);
    cv::Mat out;
    hx::image::zoom(frame, out, 0.5f, {32, 24});
    EXPECT_TRUE(samePixels(out, frame));
    EXPECT_EQ(log.count("Zoom factor should be bigger than x1.0"), 1u);
}

TEST(ImageZoom, HugeFactorOnATinyImageKeepsOnePixel) {
    const cv::Mat frame = coordinateImage(8, 6);
    cv::Mat out;
    hx::image::zoom(frame, out, 100.0f, {4, 3});
    EXPECT_EQ(out.size(), frame.size());
}

TEST(ImageRoi, CutAndMoveBack) {
    const cv::Mat frame = coordinateImage(640, 480);
    cv::Mat turned;
    cv::rotate(frame, turned, cv::ROTATE_90_CLOCKWISE);  // 480 x 640
    const struct {
        std::string name;
        cv::Mat frame;
        cv::Rect roi;
        cv::Rect cut;  // (0, 0, 0, 0): the whole frame
    } cases[] = {
        {"no region", frame, {}, {}},
        {"lower right part", frame, {384, 240, 256, 240}, {384, 240, 256, 240}},
        {"region leaving a turned frame", turned, {384, 240, 256, 240}, {384, 240, 96, 240}},
        {"region below a turned frame", turned, {0, 640, 100, 100}, {}},
        {"region outside", frame, {700, 0, 100, 100}, {}},
        {"region without width", frame, {10, 10, 0, 100}, {}},
    };
    for (const auto& c : cases) {
        const cv::Mat analysed = hx::image::applyRoi(c.frame, c.roi);
        const cv::Rect expectedCut = c.cut.area() > 0 ? c.cut : cv::Rect(0, 0, c.frame.cols, c.frame.rows);
        EXPECT_TRUE(samePixels(analysed, c.frame(expectedCut))) << c.name;
        EXPECT_EQ(analysed.data, c.frame(expectedCut).data) << c.name << ": not a view";

        std::vector<lm::Person> people(1);
        people[0].boundingBox = {5, 6, 20, 30};
        std::vector<lm::Body> bodies(1);
        bodies[0].boundingBox = {1, 2, 40, 80};
        hx::image::translateByRoi(people, c.roi, c.frame);
        hx::image::translateByRoi(bodies, c.roi, c.frame);
        EXPECT_EQ(people[0].boundingBox, cv::Rect(5 + c.cut.x, 6 + c.cut.y, 20, 30)) << c.name;
        EXPECT_EQ(bodies[0].boundingBox, cv::Rect(1 + c.cut.x, 2 + c.cut.y, 40, 80)) << c.name;
    }
}

TEST(ImageRelativeSettings, FractionsBecomePixelsRoundedUp) {
    struct Fractions {
        float x = 0, y = 0, w = 0, h = 0, maxFace = 0, minFace = 0, zoomX = 0, zoomY = 0;
    };
    const struct {
        std::string name;
        Fractions f;
        cv::Size size;
        cv::Rect roi;
        int maxFace, minFace;
        cv::Point zoom;
    } cases[] = {
        {"nothing set", {}, {640, 480}, {}, 0, 0, {}},
        {"lower right quarter", {0.6f, 0.5f, 0.4f, 0.5f}, {640, 480}, {384, 240, 256, 240}, 0, 0, {}},
        {"clipped at the right edge", {0.5f, 0.0f, 0.8f, 1.0f}, {640, 480}, {320, 0, 320, 480}, 0, 0, {}},
        {"64.1 rounds up", {0.1f, 0.0f, 0.5f, 0.5f}, {641, 480}, {65, 0, 321, 240}, 0, 0, {}},
        {"face sizes from the width", {0, 0, 0, 0, 0.5f, 0.1f}, {1280, 720}, {}, 640, 128, {}},
        {"zoom centre", {0, 0, 0, 0, 0, 0, 1.0f, 0.5f}, {640, 480}, {}, 0, 0, {640, 240}},
        {"zoom centre rounds up", {0, 0, 0, 0, 0, 0, 0.1f, 0.1f}, {641, 481}, {}, 0, 0, {65, 49}},
        {"region without height", {0.2f, 0.2f, 0.5f, 0.0f}, {640, 480}, {}, 0, 0, {}},
    };
    for (const auto& c : cases) {
        hx::Settings settings;
        settings.ROI_X = c.f.x;
        settings.ROI_Y = c.f.y;
        settings.ROI_W = c.f.w;
        settings.ROI_H = c.f.h;
        settings.maxFaceSize = c.f.maxFace;
        settings.minFaceSize = c.f.minFace;
        settings.zoomCenterOffset_X = c.f.zoomX;
        settings.zoomCenterOffset_Y = c.f.zoomY;
        const auto pixels = hx::image::toPixelSettings(settings, c.size);
        EXPECT_EQ(pixels.roi, c.roi) << c.name;
        EXPECT_EQ(pixels.maxFaceSize, c.maxFace) << c.name;
        EXPECT_EQ(pixels.minFaceSize, c.minFace) << c.name;
        EXPECT_EQ(pixels.zoomCenterOffset, c.zoom) << c.name;
    }
}

}  // namespace
