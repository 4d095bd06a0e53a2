#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lm_help_panel_text.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const Lines UNSET_PERSON_PANEL{
    "ID : 0",
    "Conf : 0%",
    "",
    "Age : -1",
    "Gender : Unknown",
    "Smile : -100%",
    "Mask : -100%",
    "Viewing : false",
    "Dwelling : false",
    "",
    "Viewing Time : 0 secs",
    "Dwell Time : 0 secs",
    "Viewing Span : 0 secs",
    "Dwell Span : 0 secs",
    "Detection Time : 0 secs",
    "",
    "Dist : 0cm",
    "Pos : 0cm,0cm,0cm",
    "Head Gaze : 0cm,0cm",
    "",
    "Neutral : ",
    "Happiness : ",
    "Anger : ",
    "Disgust : ",
    "Fear : ",
    "Sadness : ",
    "Surprise : ",
};

TEST(PanelText, AnUnsetPersonShowsItsUnsetValuesAndTheBarsSitOnTheirNames) {
    const lm::Person unset;
    EXPECT_EQ(lm::help::personPanelLines(unset), UNSET_PERSON_PANEL);
    EXPECT_EQ(lm::help::personMinimalPanelLines(unset),
              (Lines{"ID : 0", "Viewing : 00:00", "Age : -1", "Gender : Unknown", "Smile : "}));
    // The bars are drawn on these lines by number: the names must be there.
    EXPECT_EQ(lm::help::personPanelLines(unset).at(lm::help::EMOTION_FIRST_LINE), "Neutral : ");
    EXPECT_EQ(lm::help::personMinimalPanelLines(unset).at(lm::help::MINIMAL_SMILE_LINE), "Smile : ");
}

// Each state changes one thing about an unset person; its line, and no other, changes.
TEST(PanelText, EachFieldOfThePersonReachesItsOwnLineOfTheFullPanel) {
    struct Case {
        const char* name;
        std::function<void(lm::Person&)> change;
        std::size_t line;
        std::string text;
    };
    const Case cases[] = {
        {"largest id", [](lm::Person& p) { p.id = std::numeric_limits<std::uint32_t>::max(); }, 0, "ID : 4294967295"},
        {"confidence truncated", [](lm::Person& p) { p.detectionConfidence = 0.987f; }, 1, "Conf : 98%"},
        {"age", [](lm::Person& p) { p.age = 37; }, 3, "Age : 37"},
        {"female", [](lm::Person& p) { p.gender = 0.3f; }, 4, "Gender : Female"},
        {"male", [](lm::Person& p) { p.gender = -0.01f; }, 4, "Gender : Male"},
        {"full smile", [](lm::Person& p) { p.smile = 1.0f; }, 5, "Smile : 100%"},
        {"mask", [](lm::Person& p) { p.faceMask = 0.5f; }, 6, "Mask : 50%"},
        {"viewing", [](lm::Person& p) { p.isViewing = true; }, 7, "Viewing : true"},
        {"dwelling", [](lm::Person& p) { p.isDwelling = true; }, 8, "Dwelling : true"},
        {"viewing time truncated", [](lm::Person& p) { p.totalViewingDuration = 1999ms; }, 10, "Viewing Time : 1 secs"},
        {"dwell time", [](lm::Person& p) { p.totalDwellDuration = 125000ms; }, 11, "Dwell Time : 125 secs"},
        {"viewing span", [](lm::Person& p) { p.currentViewingDuration = 3000ms; }, 12, "Viewing Span : 3 secs"},
        {"dwell span", [](lm::Person& p) { p.currentDwellDuration = 4000ms; }, 13, "Dwell Span : 4 secs"},
        {"negative time toward zero", [](lm::Person& p) { p.detectionDuration = -1500ms; }, 14,
         "Detection Time : -1 secs"},
        {"time beyond 32 bits", [](lm::Person& p) { p.detectionDuration = 5'000'000'000'000ms; }, 14,
         "Detection Time : 5000000000 secs"},
        {"distance", [](lm::Person& p) { p.distanceFromCamera = 250; }, 16, "Dist : 250cm"},
        {"position",
         [](lm::Person& p) {
             p.worldPosition = {-12, 4, 250};
         },
         17, "Pos : -12cm,4cm,250cm"},
        {"gaze",
         [](lm::Person& p) {
             p.headgaze = {-30, 7};
         },
         18, "Head Gaze : -30cm,7cm"},
        // Shown as bars only: the text stays the name.
        {"emotions", [](lm::Person& p) { p.emotions = {1, 1, 1, 1, 1, 1, 1}; }, 20, "Neutral : "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lm::Person person;
        c.change(person);
        Lines expected = UNSET_PERSON_PANEL;
        expected.at(c.line) = c.text;
        EXPECT_EQ(lm::help::personPanelLines(person), expected);
    }
}

TEST(PanelText, TheSmallPanelShowsViewingTimeAsMinutesAndSeconds) {
    const struct {
        lm::Milliseconds viewing;
        const char* line;
    } cases[] = {
        {0ms, "Viewing : 00:00"},         {999ms, "Viewing : 00:00"},        {65'000ms, "Viewing : 01:05"},
        {3'599'999ms, "Viewing : 59:59"}, {6'000'000ms, "Viewing : 100:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        lm::Person person;
        person.id = 12;
        person.age = 40;
        person.gender = -0.6f;
        person.smile = 0.9f;                // a bar, no text
        person.detectionConfidence = 0.9f;  // not on the small panel
        person.totalViewingDuration = c.viewing;
        EXPECT_EQ(lm::help::personMinimalPanelLines(person),
                  (Lines{"ID : 12", c.line, "Age : 40", "Gender : Male", "Smile : "}));
    }
}

TEST(PanelText, TheBodyPanelShowsIdConfidenceAndWholeSecondsSeen) {
    const struct {
        lm::Body body;
        Lines lines;
    } cases[] = {
        {lm::Body{}, {"ID : 0", "Conf : 0%", "Detection Time : 0 secs"}},
        {lm::Body{7, {10, 20, 30, 60}, 0.555f, {}, 7999ms}, {"ID : 7", "Conf : 55%", "Detection Time : 7 secs"}},
    };
    for (const auto& c : cases) EXPECT_EQ(lm::help::bodyPanelLines(c.body), c.lines);
}

}  // namespace
