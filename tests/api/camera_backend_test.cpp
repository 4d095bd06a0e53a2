// The camera back end as a program sees it through the shared library.

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include <lumora/lm_camera_backend.h>
#include <lumora/lm_sourcehandler.h>

#include "support/fake_camera.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/wait_until.h"

namespace {

using lm::help::SourceHandler;

constexpr int FRAMES = 3;

TEST(CameraBackend, ACameraSourceOpensThroughTheBackEndInPlaceAndFailsWhenItsFramesRunOut) {
    lmtest::TempDir dir;
    const std::string video = dir.file("camera.avi");
    lmtest::writeTestVideo(video, FRAMES, 25.0);
    // Built before the back end is put in place: the back end counts from the next open.
    SourceHandler camera(4, {320, 240});
    lmtest::FakeCamera fake(video);

    camera.start();
    EXPECT_EQ(fake.openedIndices(), std::vector<int>{4});
    const std::vector<std::pair<int, double>> requested{{cv::CAP_PROP_FRAME_WIDTH, 320.0},
                                                        {cv::CAP_PROP_FRAME_HEIGHT, 240.0}};
    EXPECT_EQ(fake.setProperties(), requested);
    EXPECT_EQ(camera.getSourceResolution(), cv::Size(160, 120));

    int framesSeen = 0;
    SourceHandler::FrameResult last;
    ASSERT_TRUE(lmtest::waitUntil([&] {
        last = camera.getNextFrame();
        if (last.status == SourceHandler::NEW_FRAME) ++framesSeen;
        return last.status != SourceHandler::NEW_FRAME && last.status != SourceHandler::NO_NEW_FRAME &&
               last.status != SourceHandler::NO_FRAME_YET;
    }));
    // A camera whose reads fail reports a camera error, not the end of a video.
    EXPECT_EQ(last.status, SourceHandler::CAMERA_ERROR);
    EXPECT_GE(framesSeen, 1);
    EXPECT_LE(framesSeen, FRAMES);
    camera.stop();
}

TEST(CameraBackend, TheReplacedBackEndComesBackAndAnIncompleteOneIsRefused) {
    lmtest::TempDir dir;
    const std::string video = dir.file("camera.avi");
    lmtest::writeTestVideo(video, FRAMES, 25.0);
    {
        lmtest::FakeCamera fake(video);
        // Half a back end would fail only at the next open, far from the mistake.
        const lm::help::CameraBackend halves[] = {
            {nullptr, [](cv::VideoCapture&, int, double) { return true; }},
            {[](cv::VideoCapture&, int) { return true; }, nullptr},
        };
        for (const auto& half : halves) EXPECT_THROW(lm::help::setCameraBackend(half), std::invalid_argument);
        SourceHandler camera(0, {0, 0});
        camera.start();  // still the fake: the refused ones changed nothing
        EXPECT_EQ(fake.openedIndices(), std::vector<int>{0});
        EXPECT_TRUE(fake.setProperties().empty());  // no size asked for
    }
    // The fake put the device back end in place again: there is no camera 63 here.
    SourceHandler noCamera(63, {0, 0});
    try {
        noCamera.start();
        FAIL() << "start should throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not open source");
    }
}

}  // namespace
