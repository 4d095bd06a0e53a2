// The face evaluation set: its box-matching rule, its bands, and the committed labels.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "scene_set.h"
#include "scoring.h"
#include "support/temp_dir.h"

namespace {

using namespace faceeval;

TEST(FaceEvalScoring, MatchingRule) {
    const std::vector<cv::Rect> faces = {{100, 100, 50, 50}, {160, 100, 50, 50}};
    const struct {
        const char* what;
        std::vector<Detection> detections;
        std::vector<bool> found;
        int falsePositives;
    } cases[] = {
        {"exact boxes", {{{100, 100, 50, 50}, 0.9f}, {{160, 100, 50, 50}, 0.9f}}, {true, true}, 0},
        {"IoU just over 0.4 matches", {{{100, 100, 50, 29}, 0.9f}}, {true, false}, 0},
        {"IoU under 0.4 is a false positive", {{{100, 100, 50, 19}, 0.9f}}, {false, false}, 1},
        {"a second box on a found face is a false positive",
         {{{100, 100, 50, 50}, 0.9f}, {{102, 102, 50, 50}, 0.8f}},
         {true, false},
         1},
        {"tiny unmatched boxes are ignored", {{{10, 10, 13, 13}, 0.9f}, {{300, 10, 14, 14}, 0.9f}}, {false, false}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SceneScore score = scoreScene(faces, c.detections);
        EXPECT_EQ(score.found, c.found);
        EXPECT_EQ(score.falsePositives(), c.falsePositives);
    }
}

TEST(FaceEvalScoring, StrongerDetectionsChooseFirst) {
    // The 0.9 box overlaps both faces and takes the one it overlaps most, so the weaker box,
    // listed first, finds its face taken: taken in list order, both faces would count as found.
    const std::vector<cv::Rect> faces = {{100, 100, 50, 50}, {130, 100, 50, 50}};
    const SceneScore score = scoreScene(faces, {{{95, 100, 50, 50}, 0.6f}, {{112, 100, 50, 50}, 0.9f}});
    EXPECT_EQ(score.found, (std::vector<bool>{true, false}));
    EXPECT_EQ(score.falsePositives(), 1);
}

TEST(FaceEvalScoring, BandsCountFacesByWidth) {
    Tally tally;
    const std::vector<cv::Rect> faces = {
        {0, 0, 20, 20}, {0, 0, 24, 24}, {0, 0, 39, 39}, {0, 0, 40, 40}, {0, 0, 80, 80}};
    SceneScore score;
    score.found = {true, false, true, true, false};
    score.falseDetections.resize(3);
    tally.add(faces, score);
    tally.add({}, SceneScore{});
    const struct {
        std::size_t band;
        int faces;
        double recall;
    } expected[] = {{0, 3, 2.0 / 3}, {1, 2, 0.5}, {2, 1, 1.0}, {3, 1, 0.0}, {4, 2, 0.5}};
    for (const auto& e : expected) {
        SCOPED_TRACE(BANDS[e.band].name);
        EXPECT_EQ(tally.faces(e.band), e.faces);
        EXPECT_DOUBLE_EQ(tally.recall(e.band), e.recall);
    }
    EXPECT_DOUBLE_EQ(tally.falsePositivesPerFrame(), 1.5);
}

// A class of faces (the masked ones, say) keeps the recall of its own faces under the
// matching of the whole scene, and the scene's false positives.
TEST(FaceEvalScoring, AClassTallyCountsOnlyItsFaces) {
    const std::vector<cv::Rect> faces = {{0, 0, 30, 30}, {50, 0, 30, 30}, {0, 50, 60, 60}};
    SceneScore score;
    score.found = {true, false, false};
    score.falseDetections.resize(1);
    Tally masked, bare;
    masked.add(faces, score, {false, true, true});
    bare.add(faces, score, {true, false, false});
    EXPECT_EQ(masked.faces(0), 1);
    EXPECT_DOUBLE_EQ(masked.recall(0), 0.0);
    EXPECT_EQ(masked.faces(4), 1);
    EXPECT_EQ(bare.faces(0), 1);
    EXPECT_DOUBLE_EQ(bare.recall(0), 1.0);
    EXPECT_EQ(bare.faces(4), 0);
    EXPECT_DOUBLE_EQ(masked.falsePositivesPerFrame(), 1.0);
    EXPECT_TRUE(FaceSpec{"with_mask/with_mask_12.jpg"}.masked());
    EXPECT_FALSE(FaceSpec{"without_mask/with_mask_12.jpg"}.masked());
    SceneSpec scene;
    scene.faces = {{"without_mask/a.jpg"}, {"with_mask/b.jpg"}, {"with_mask/c.jpg"}};
    EXPECT_EQ(facesOfClass(scene, true), (std::vector<bool>{false, true, true}));
    EXPECT_EQ(facesOfClass(scene, false), (std::vector<bool>{true, false, false}));
}

const std::string LABELS =
    std::string(std::getenv("LUMORA_SOURCE_DIR") ? std::getenv("LUMORA_SOURCE_DIR") : ".") + "/tools/face-eval/data";

TEST(FaceEvalLabels, ScenesHoldSeparateFacesOfTheLabelledSizes) {
    const std::vector<SceneSpec> scenes = readScenes(LABELS);
    ASSERT_EQ(scenes.size(), 400u);
    std::set<std::string> tuningPhotos, heldOutPhotos;
    for (const SceneSpec& scene : scenes) {
        SCOPED_TRACE("scene " + std::to_string(scene.id));
        const cv::Rect frame(cv::Point(), scene.size);
        for (std::size_t i = 0; i < scene.faces.size(); ++i) {
            const cv::Rect pasted = pastedRect(scene.faces[i].face);
            EXPECT_EQ(pasted & frame, pasted);
            EXPECT_GE(scene.faces[i].face.width, 20);
            EXPECT_LE(scene.faces[i].face.width, 200);
            for (std::size_t j = 0; j < i; ++j) EXPECT_EQ((pasted & pastedRect(scene.faces[j].face)).area(), 0);
            (scene.part == Part::Tuning ? tuningPhotos : heldOutPhotos).insert(scene.faces[i].photo);
        }
    }
    for (const std::string& photo : heldOutPhotos) EXPECT_EQ(tuningPhotos.count(photo), 0u) << photo;
    EXPECT_GT(heldOutPhotos.size(), 100u);
}

TEST(FaceEvalLabels, WrittenLabelsReadBackTheSame) {
    const std::vector<SceneSpec> scenes = readScenes(LABELS);
    const lmtest::TempDir dir;
    writeScenes(scenes, dir.path().string());
    const std::vector<SceneSpec> again = readScenes(dir.path().string());
    ASSERT_EQ(again.size(), scenes.size());
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        EXPECT_EQ(again[i].background, scenes[i].background);
        EXPECT_EQ(again[i].jpegQuality, scenes[i].jpegQuality);
        ASSERT_EQ(again[i].faces.size(), scenes[i].faces.size());
        for (std::size_t f = 0; f < scenes[i].faces.size(); ++f) {
            EXPECT_EQ(again[i].faces[f].face, scenes[i].faces[f].face);
            EXPECT_DOUBLE_EQ(again[i].faces[f].angle, scenes[i].faces[f].angle);
        }
    }
}

TEST(FaceEvalLabels, ScenesRenderTheSamePixelsEachTime) {
    const char* photos = std::getenv("LUMORA_FACE_PHOTOS");
    const Sources sources{photos ? photos : "/work/shared/data/facemask", "/usr/lib/python3/dist-packages/skimage/data",
                          "/usr/share/doc/opencv-doc/examples/data"};
    if (!std::filesystem::exists(sources.photoRoot)) GTEST_SKIP() << "face photographs missing";
    const std::vector<SceneSpec> scenes = readScenes(LABELS);
    const SceneSpec& scene = scenes.at(0);
    ASSERT_FALSE(scene.faces.empty());
    const cv::Mat first = renderScene(scene, sources);
    const cv::Mat second = renderScene(scene, sources);
    ASSERT_EQ(first.size(), scene.size);
    EXPECT_EQ(cv::norm(first, second, cv::NORM_INF), 0.0);
    SceneSpec bare = scene;
    bare.faces.clear();
    const cv::Mat background = renderScene(bare, sources);
    for (const FaceSpec& face : scene.faces)
        EXPECT_GT(cv::norm(first(face.face), background(face.face), cv::NORM_L1) / face.face.area(), 10.0);
}

}  // namespace
