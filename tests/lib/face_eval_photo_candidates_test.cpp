// The judged boxes of real photographs: the file the second look is fitted on keeps every
// judgement, and a hand-edited line that is not one says where.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "photo_candidates.h"
#include "support/temp_dir.h"

namespace {

using faceeval::PhotoCandidate;

TEST(FaceEvalPhotoCandidates, JudgementsSurviveTheFileAndABadLineIsNamed) {
    const lmtest::TempDir dir;
    const std::string path = (dir.path() / "candidates.csv").string();
    const std::vector<PhotoCandidate> written = {{"opencv/messi5.jpg", {218, 97, 42, 35}, 0.945f, 1},
                                                 {"skimage/coffee.png", {325, 252, 54, 48}, 0.537f, 0},
                                                 {"opencv-html/fisherfaces_opencv.png", {1, 2, 30, 31}, 0.5f, -1}};
    faceeval::writePhotoCandidates(written, path);
    const std::vector<PhotoCandidate> read = faceeval::readPhotoCandidates(path);
    ASSERT_EQ(read.size(), written.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].image, written[i].image);
        EXPECT_EQ(read[i].box, written[i].box);
        EXPECT_FLOAT_EQ(read[i].score, written[i].score);
        EXPECT_EQ(read[i].label, written[i].label);
    }

    const struct {
        const char* line;
        const char* message;
    } bad[] = {
        {"opencv/messi5.jpg,218,97,42,35,0.945,yes", "candidates.csv:3: label is 1, 0 or ?, not 'yes'"},
        {"opencv/messi5.jpg,218,97,wide,35,0.945,1", "candidates.csv:3: not image,x,y,w,h,score,label"},
        {"opencv/messi5.jpg,218,97", "candidates.csv:3: not image,x,y,w,h,score,label"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.line);
        std::ofstream(path) << "image,x,y,w,h,score,label\nskimage/coffee.png,1,2,3,4,0.5,0\n" << c.line << "\n";
        try {
            faceeval::readPhotoCandidates(path);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
