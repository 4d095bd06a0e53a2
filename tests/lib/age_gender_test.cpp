// The age and gender estimator: decoding of both heads, their switches and clamps.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lm_age_gender.h"
#include "support/face_estimators.h"

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> ageRow(std::initializer_list<std::pair<int, float>> values) {
    std::vector<float> row(101, 0.0f);
    for (const auto& [index, value] : values) row[index] = value;
    return row;
}

class AgeGenderTest : public lmtest::FaceEstimatorTest<lm::AgeGender> {
public:
    AgeGenderTest() : FaceEstimatorTest("agegender", 112) {}

    void useAgeAndGender(const std::vector<float>& age, float gender) {
        constants = useConstants({{"model/age/Softmax", age}, {"model/gender/Sigmoid", {gender}}});
    }

    lm::Settings constants;  // the settings that loaded the last constants
};

TEST_F(AgeGenderTest, ReadsAgeFromRedAndGenderFromGreenOfTheTestNetwork) {
    stage.onSettingsUpdate(models.settings());
    const struct {
        int red, green;
        int age;
        float gender;
    } cases[] = {{61, 128, 30, 0.0f}, {101, 160, 50, 0.762f}, {81, 96, 40, -0.762f}};
    for (const auto& c : cases) {
        const lm::Person p = lmtest::estimateOne(stage, lmtest::colourFrame(c.red, c.green, 128));
        EXPECT_EQ(p.age, c.age) << c.red;
        EXPECT_NEAR(p.gender, c.gender, 0.002f) << c.green;
    }
}

TEST_F(AgeGenderTest, AgeIsTheTruncatedExpectedIndexClampedToZeroAnd101) {
    const struct {
        std::vector<float> row;
        int age;
    } cases[] = {
        {ageRow({{30, 1.0f}}), 30},   {ageRow({{20, 0.5f}, {21, 0.5f}}), 20},          // 20.5
        {ageRow({{100, 1.5f}}), 101},                                                  // 150
        {ageRow({{10, -5.0f}}), 0},                                                    // -50
        {ageRow({{10, NaN}}), 0},     {ageRow({{100, 3.0e38f}, {99, 3.0e38f}}), 101},  // the sum overflows to infinity
    };
    for (const auto& c : cases) {
        useAgeAndGender(c.row, 0.5f);
        EXPECT_EQ(lmtest::estimateOne(stage, grey).age, c.age);
    }
}

TEST_F(AgeGenderTest, GenderIsTwiceTheProbabilityLessOneClamped) {
    const struct {
        float g, gender;
    } cases[] = {{0.75f, 0.5f}, {0.5f, 0.0f}, {0.0f, -1.0f}, {1.2f, 1.0f}, {-0.3f, -1.0f}};
    for (const auto& c : cases) {
        useAgeAndGender(ageRow({{30, 1.0f}}), c.g);
        EXPECT_EQ(lmtest::estimateOne(stage, grey).gender, c.gender) << c.g;
    }
    useAgeAndGender(ageRow({{30, 1.0f}}), NaN);
    EXPECT_TRUE(std::isnan(lmtest::estimateOne(stage, grey).gender));
}

TEST_F(AgeGenderTest, SwitchesChooseTheHeadsAskedForAndTheFieldsWritten) {
    useAgeAndGender(ageRow({{30, 1.0f}}), 0.75f);
    const struct {
        bool useAge, useGender;
        int age;
        float gender;
    } cases[] = {{true, true, 30, 0.5f}, {false, true, -1, 0.5f}, {true, false, 30, 0.0f}, {false, false, -1, 0.0f}};
    for (const auto& c : cases) {
        lm::Settings s = constants;
        s.useAge = c.useAge;
        s.useGender = c.useGender;
        stage.onSettingsUpdate(s);
        const lm::Person p = lmtest::estimateOne(stage, grey);
        EXPECT_EQ(p.age, c.age) << c.useAge << c.useGender;
        EXPECT_EQ(p.gender, c.gender) << c.useAge << c.useGender;
    }
}

TEST_F(AgeGenderTest, TurningGenderOffAsksOnlyForTheAgeHead) {
    // A network without a gender head: a pass that asks for it fails.
    lmtest::writeConstantNetwork(models.path(), "agegender", 112, {{"model/age/Softmax", ageRow({{40, 1.0f}})}});
    lm::Settings s = models.settings();
    stage.onSettingsUpdate(s);
    EXPECT_ANY_THROW(lmtest::estimateOne(stage, grey));
    s.useGender = false;
    stage.onSettingsUpdate(s);
    EXPECT_EQ(lmtest::estimateOne(stage, grey).age, 40);
}

TEST_F(AgeGenderTest, UndersizedAndOutsideFacesKeepTheirValues) {
    stage.onSettingsUpdate(models.settings());
    const cv::Mat frame = lmtest::colourFrame(61, 160, 128);
    std::vector<lm::Person> people = {lmtest::faceAt({100, 100, 14, 40}), lmtest::faceAt({100, 100, 40, 14}),
                                      lmtest::faceAt({700, 100, 40, 40}), lmtest::faceAt({100, 100, 15, 15})};
    stage.estimate(frame, people);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(people[i].age, -1) << i;
        EXPECT_EQ(people[i].gender, 0.0f) << i;
    }
    EXPECT_EQ(people[3].age, 30);
    EXPECT_GT(people[3].gender, 0.7f);
}

}  // namespace
