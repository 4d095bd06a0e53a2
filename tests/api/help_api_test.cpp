// The video source, the frame-rate meter, the drawing, CSV and time-stamp functions and the
// settings file, as a program linked against the shared library reaches them.
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>
#include <string>

#include <gtest/gtest.h>

#include <lumora/lm_help.h>
#include <lumora/lm_settings.h>
#include <lumora/lm_sourcehandler.h>

namespace {

TEST(HelpApi, SourceHandlerIsExported) {
    lm::help::SourceHandler handler("/nonexistent/video.avi", false, false);
    EXPECT_TRUE(handler.isVideoFile());
    EXPECT_EQ(handler.getNextFrame().status, lm::help::SourceHandler::NO_FRAME_YET);
    handler.useVideoStream("rtsp://127.0.0.1:1/none");
    EXPECT_TRUE(handler.isVideoStream());
    EXPECT_EQ(handler.getSourceFps(), 62);
}

TEST(HelpApi, MeterDrawingAndCsvAreExported) {
    lm::help::Fps fps;
    EXPECT_GT(fps(), 0.0f);
    lm::Person person;
    person.boundingBox = {10, 10, 40, 40};
    const cv::Mat image(120, 160, CV_8UC3, cv::Scalar::all(0));
    EXPECT_EQ(lm::help::drawPerson(person, image).size(), image.size());
    EXPECT_EQ(lm::help::blurPeople({person}, image).size(), image.size());
    EXPECT_EQ(lm::help::personToCsvHeader().substr(0, 7), "id,age,");
    EXPECT_EQ(lm::help::formatBody("{ID}", lm::Body{}), "0");
    EXPECT_EQ(lm::help::timeToRFC3339Str(lm::TimePoint{}, true).substr(19, 4), ".000");
}

TEST(HelpApi, SettingsFileIsExported) {
    const auto path =
        (std::filesystem::temp_directory_path() / ("lumora-api-" + std::to_string(::getpid()) + ".ini")).string();
    lm::Settings saved;
    saved.numThreads = 4;
    saved.save(path);
    lm::Settings loaded;
    loaded.load(path);
    std::remove(path.c_str());
    EXPECT_EQ(loaded.numThreads, 4);
}

}  // namespace
