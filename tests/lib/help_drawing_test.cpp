#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "lumora/lm_help_drawing.h"

namespace {

namespace help = lm::help;
using namespace std::chrono_literals;

const cv::Vec3b BLACK(0, 0, 0);
const cv::Vec3b GREY(100, 100, 100);
const cv::Vec3b PANEL_ON_GREY(224, 224, 224);  // 0.8 x 255 + 0.2 x 100
const cv::Vec3b FONT(145, 100, 21);

cv::Mat blank(cv::Vec3b colour = BLACK, cv::Size size = {640, 640}) {
    return cv::Mat(size, CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
}

cv::Mat noiseImage() {
    cv::Mat noise(240, 320, CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
    return noise;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

bool onlyChannel(const cv::Vec3b& pixel, int channel) {
    for (int c = 0; c < 3; ++c)
        if ((c == channel) != (pixel[c] > 150) || (c != channel && pixel[c] != 0)) return false;
    return true;
}

// Height of one panel line as the panels measure it.
int textHeight() {
    int baseline = 0;
    return cv::getTextSize("ID : 1", cv::FONT_HERSHEY_PLAIN, 0.8, 1, &baseline).height;
}

lm::Person facing(cv::Rect box, float gender = -0.5f) {
    lm::Person p;
    p.id = 1;
    p.boundingBox = box;
    p.gender = gender;
    p.headpose = {0, 0, 0};
    return p;
}

TEST(HelpDrawing, FaceBracketsHaveFifthLongArmsInTheGenderColour) {
    struct Case {
        float gender;
        cv::Vec3b colour;
    };
    const Case cases[] = {{-0.5f, {255, 162, 0}}, {0.0f, {175, 0, 254}}, {0.7f, {175, 0, 254}}};
    for (const auto& c : cases) {
        const cv::Mat image = help::drawPersonNoLabel(facing({100, 100, 100, 100}, c.gender), blank());
        SCOPED_TRACE(c.gender);
        // Top-left corner: arms of 100 / 5 = 20 pixels along both edges.
        EXPECT_EQ(image.at<cv::Vec3b>(100, 100), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(100, 120), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(100, 121), BLACK);
        EXPECT_EQ(image.at<cv::Vec3b>(120, 100), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(121, 100), BLACK);
        // The other three corners, and nothing in the middle of an edge.
        EXPECT_EQ(image.at<cv::Vec3b>(100, 185), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(195, 200), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(200, 110), c.colour);
        EXPECT_EQ(image.at<cv::Vec3b>(100, 150), BLACK);
        EXPECT_EQ(image.at<cv::Vec3b>(130, 200), BLACK);
    }
}

TEST(HelpDrawing, HeadposeAxesRunHalfTheBoxWidthFromItsCentre) {
    cv::Mat image = blank();
    help::drawHeadpose(image, facing({100, 100, 100, 100}));
    // Straight pose: the first axis points down, the second right, the third is a point.
    // The axes are antialiased, so only their own channel lights up.
    EXPECT_TRUE(onlyChannel(image.at<cv::Vec3b>(175, 150), 0));
    EXPECT_TRUE(onlyChannel(image.at<cv::Vec3b>(150, 175), 1));
    EXPECT_TRUE(onlyChannel(image.at<cv::Vec3b>(197, 150), 0));
    EXPECT_EQ(image.at<cv::Vec3b>(203, 150), BLACK);  // 50 pixels long
    EXPECT_EQ(image.at<cv::Vec3b>(150, 203), BLACK);
    EXPECT_EQ(image.at<cv::Vec3b>(100, 150), BLACK);  // nothing upwards

    // A yaw of 90 degrees turns the second axis onto the third: it now points at the viewer.
    lm::Person turned = facing({100, 100, 100, 100});
    turned.headpose.yaw = 90;
    const cv::Mat turnedImage = help::drawPersonNoLabel(turned, blank());
    EXPECT_EQ(turnedImage.at<cv::Vec3b>(150, 175), BLACK);
    EXPECT_NE(turnedImage.at<cv::Vec3b>(150, 125), BLACK);  // third axis: (s sin a, 0) with a = -90 degrees
}

TEST(HelpDrawing, BodyBracketsAreTwoPixelsThickAndGreenWithThePanelAbove) {
    lm::Body body;
    body.id = 3;
    body.boundingBox = {100, 300, 80, 160};
    const cv::Mat image = help::drawBody(body, blank(GREY));
    const cv::Vec3b green(0, 255, 0);
    EXPECT_EQ(image.at<cv::Vec3b>(300, 110), green);
    EXPECT_EQ(image.at<cv::Vec3b>(301, 110), green);  // thickness 2
    EXPECT_EQ(image.at<cv::Vec3b>(330, 100), green);
    EXPECT_EQ(image.at<cv::Vec3b>(336, 100), GREY);  // arms of 160 / 5 = 32

    // Three lines: the panel's lower edge lies on the box's top edge.
    const int panelHeight = 3 * (textHeight() + 4) + 4;
    EXPECT_EQ(image.at<cv::Vec3b>(299, 150), PANEL_ON_GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(300 - panelHeight, 150), PANEL_ON_GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(300 - panelHeight - 1, 150), GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(302, 150), GREY);
}

TEST(HelpDrawing, FullPanelBlendsBesideTheFaceAndDrawsEmotionBars) {
    lm::Person p = facing({50, 50, 100, 100});
    p.emotions = {1.0f, -1.0f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f};  // neutral full, happiness half
    const cv::Mat image = help::drawPerson(p, blank(GREY));
    const int h = textHeight();
    const int left = 50 + 100 + 4;
    const int height = 27 * (h + 4) + 4;
    EXPECT_EQ(image.at<cv::Vec3b>(51, left + 1), PANEL_ON_GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(50 + height - 1, left + 1), PANEL_ON_GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(50 + height, left + 1), GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(51, left - 1), GREY);

    // The first line's text is drawn in the font colour.
    const cv::Mat firstLine = image(cv::Rect(left, 50, 60, h + 4));
    EXPECT_GT(cv::countNonZero(cv::Mat(firstLine == cv::Scalar(145, 100, 21)).reshape(1)), 0);

    // Bars at 85 pixels, 55 pixels per unit, their lower edge on the line's baseline.
    const auto barRow = [&](int line) { return 50 + (line - 1) * (h + 4) + 4 + h / 2; };
    const cv::Vec3b brown(0, 64, 160), orange(0, 127, 255);
    EXPECT_EQ(image.at<cv::Vec3b>(barRow(21), left + 85), brown);
    EXPECT_EQ(image.at<cv::Vec3b>(barRow(21), left + 85 + 55), brown);
    EXPECT_NE(image.at<cv::Vec3b>(barRow(21), left + 85 + 57), brown);
    EXPECT_EQ(image.at<cv::Vec3b>(barRow(22), left + 85 + 27), orange);  // (int)(55 x 0.5) = 27
    EXPECT_NE(image.at<cv::Vec3b>(barRow(22), left + 85 + 29), orange);
    // An unset anger score gets no bar to speak of.
    EXPECT_NE(image.at<cv::Vec3b>(barRow(23), left + 87), cv::Vec3b(0, 0, 255));
}

TEST(HelpDrawing, MinimalPanelHasFiveLinesAndASmileBar) {
    lm::Person p = facing({50, 50, 100, 100});
    p.smile = 1.0f;
    const cv::Mat image = help::drawPersonMinimal(p, blank(GREY));
    const int h = textHeight();
    const int left = 154;
    const int height = 5 * (h + 4) + 4;
    EXPECT_EQ(image.at<cv::Vec3b>(50 + height - 1, left + 1), PANEL_ON_GREY);
    EXPECT_EQ(image.at<cv::Vec3b>(50 + height, left + 1), GREY);
    const int smileRow = 50 + 4 * (h + 4) + 4 + h / 2;
    EXPECT_EQ(image.at<cv::Vec3b>(smileRow, left + 50 + 54), FONT);
    EXPECT_NE(image.at<cv::Vec3b>(smileRow, left + 50 + 57), FONT);

    p.smile = -1.0f;
    const cv::Mat unset = help::drawPersonMinimal(p, blank(GREY));
    EXPECT_NE(unset.at<cv::Vec3b>(smileRow, left + 50 + 3), FONT);
}

TEST(HelpDrawing, PluralFormsDrawTheLastRecordFirst) {
    const std::vector<lm::Person> people{facing({50, 50, 100, 100}), facing({70, 80, 100, 100}, 0.5f),
                                         facing({90, 110, 100, 100})};
    cv::Mat expected = blank(GREY);
    for (int i = 2; i >= 0; --i) help::drawPerson(people[i], expected);
    cv::Mat reversed = blank(GREY);
    for (int i = 0; i < 3; ++i) help::drawPerson(people[i], reversed);
    const cv::Mat drawn = help::drawPeople(people, blank(GREY));
    EXPECT_TRUE(same(drawn, expected));
    EXPECT_FALSE(same(drawn, reversed));  // the panels overlap, so the order shows

    cv::Mat minimal = blank(GREY);
    for (int i = 2; i >= 0; --i) help::drawPersonMinimal(people[i], minimal);
    EXPECT_TRUE(same(help::drawPeopleMinimal(people, blank(GREY)), minimal));
}

TEST(HelpDrawing, PanelsNeedEightBitColourImages) {
    cv::Mat grey(200, 200, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(help::drawPerson(facing({10, 10, 50, 50}), grey), cv::Exception);
    EXPECT_NE(grey.at<uchar>(10, 10), 0);  // the brackets drawn before stay
}

TEST(HelpDrawing, APanelOutsideTheImageDrawsNoBackground) {
    lm::Person p = facing({600, 10, 100, 100});  // panel starts at x = 704
    const cv::Mat image = help::drawPerson(p, blank(GREY, {640, 480}));
    EXPECT_EQ(image.at<cv::Vec3b>(20, 639), GREY);
}

TEST(HelpBlur, BlursThePaddedBoxOnly) {
    const cv::Mat noise = noiseImage();
    const cv::Mat blurred = help::blurBox(cv::Rect(100, 80, 50, 50), noise);
    const cv::Rect region(95, 75, 60, 60);  // grown by a tenth on every side
    cv::Mat changed;
    cv::compare(blurred.reshape(1), noise.reshape(1), changed, cv::CMP_NE);
    changed = changed.reshape(3);
    cv::Mat outside = cv::Mat::ones(noise.size(), CV_8U);
    outside(region).setTo(0);
    std::vector<cv::Mat> channels;
    cv::split(changed, channels);
    for (const auto& channel : channels) EXPECT_EQ(cv::countNonZero(channel & outside), 0);
    // Inside, the noise is smoothed out.
    cv::Scalar meanInside, deviationInside, meanBefore, deviationBefore;
    cv::meanStdDev(blurred(region), meanInside, deviationInside);
    cv::meanStdDev(noise(region), meanBefore, deviationBefore);
    EXPECT_LT(deviationInside[0], deviationBefore[0] / 4);
}

TEST(HelpBlur, TinyAndOutsideBoxesAreLeftAlone) {
    const cv::Mat noise = noiseImage();
    const std::vector<cv::Rect> ignored{{100, 100, 4, 4},     // its padding truncates to 0
                                        {400, 10, 50, 50},    // wholly outside
                                        {321, 10, 50, 50},    // 4 pixels wide once padded and clipped
                                        {-40, -40, 40, 40}};  // 4 x 4 once padded and clipped
    EXPECT_TRUE(same(help::blurBoxes(ignored, noise), noise));

    lm::Person small;
    small.boundingBox = {10, 10, 5, 5};
    lm::Person big;
    big.boundingBox = {50, 50, 60, 60};
    const cv::Mat people = help::blurPeople({small, big}, noise);
    EXPECT_TRUE(same(people, help::blurBox(big.boundingBox, noise)));
    EXPECT_TRUE(same(help::blurPerson(big, noise), help::blurBox(big.boundingBox, noise)));
}

TEST(HelpDrawing, ConstantFormsLeaveTheirInputAndMatchTheInPlaceForms) {
    lm::Person p = facing({60, 60, 80, 80});
    p.emotions = {0.5f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    p.smile = 0.4f;
    lm::Body b;
    b.boundingBox = {300, 200, 60, 120};
    using ConstForm = std::function<cv::Mat(const cv::Mat&)>;
    using InPlaceForm = std::function<void(cv::Mat&)>;
    const std::vector<std::pair<ConstForm, InPlaceForm>> forms{
        {[&](const cv::Mat& m) { return help::drawPersonNoLabel(p, m); },
         [&](cv::Mat& m) { help::drawPersonNoLabel(p, m); }},
        {[&](const cv::Mat& m) { return help::drawPeopleNoLabel({p}, m); },
         [&](cv::Mat& m) { help::drawPeopleNoLabel({p}, m); }},
        {[&](const cv::Mat& m) { return help::drawPerson(p, m); }, [&](cv::Mat& m) { help::drawPerson(p, m); }},
        {[&](const cv::Mat& m) { return help::drawPeople({p}, m); }, [&](cv::Mat& m) { help::drawPeople({p}, m); }},
        {[&](const cv::Mat& m) { return help::drawPersonMinimal(p, m); },
         [&](cv::Mat& m) { help::drawPersonMinimal(p, m); }},
        {[&](const cv::Mat& m) { return help::drawPeopleMinimal({p}, m); },
         [&](cv::Mat& m) { help::drawPeopleMinimal({p}, m); }},
        {[&](const cv::Mat& m) { return help::drawBody(b, m); }, [&](cv::Mat& m) { help::drawBody(b, m); }},
        {[&](const cv::Mat& m) { return help::drawBodies({b}, m); }, [&](cv::Mat& m) { help::drawBodies({b}, m); }},
        {[&](const cv::Mat& m) { return help::blurBox(p.boundingBox, m); },
         [&](cv::Mat& m) { help::blurBox(p.boundingBox, m); }},
        {[&](const cv::Mat& m) { return help::blurPerson(p, m); }, [&](cv::Mat& m) { help::blurPerson(p, m); }},
        {[&](const cv::Mat& m) { return help::blurPeople({p}, m); }, [&](cv::Mat& m) { help::blurPeople({p}, m); }},
        {[&](const cv::Mat& m) { return help::blurBoxes({b.boundingBox}, m); },
         [&](cv::Mat& m) { help::blurBoxes({b.boundingBox}, m); }},
    };
    cv::Mat input(480, 640, CV_8UC3);
    cv::randu(input, cv::Scalar::all(0), cv::Scalar::all(255));
    const cv::Mat original = input.clone();
    for (std::size_t i = 0; i < forms.size(); ++i) {
        SCOPED_TRACE(i);
        const cv::Mat result = forms[i].first(input);
        EXPECT_TRUE(same(input, original));
        EXPECT_FALSE(same(result, original));
        cv::Mat inPlace = original.clone();
        forms[i].second(inPlace);
        EXPECT_TRUE(same(result, inPlace));
    }
}

TEST(HelpDrawing, EmptyListsLeaveTheImageUnchanged) {
    cv::Mat image = blank(GREY, {100, 100});
    const cv::Mat original = image.clone();
    help::drawPeople({}, image);
    help::drawPeopleNoLabel({}, image);
    help::drawPeopleMinimal({}, image);
    help::drawBodies({}, image);
    help::blurPeople({}, image);
    help::blurBoxes({}, image);
    EXPECT_TRUE(same(image, original));
    EXPECT_TRUE(same(help::drawPeople(std::vector<lm::Person>{}, original), original));
}

TEST(HelpDrawing, OpenCLReportNamesItsState) {
    const std::string report = help::getOpenCLDebugString();
    const bool known = report == "OpenCL context not available" || report == "OpenCL compiler not available" ||
                       report.rfind("  OpenCL support   : ", 0) == 0;
    EXPECT_TRUE(known) << report;
}

}  // namespace
