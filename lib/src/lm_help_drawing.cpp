#include "lumora/lm_help_drawing.h"

#include <cmath>
#include <iterator>

#include <fmt/format.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>

#include "lm_help_panel_text.h"
#include "lumora/lm_help_rect.h"

namespace lm::help {

namespace {

const cv::Scalar FONT_COLOR(145, 100, 21);
const cv::Scalar PANEL_COLOR(255, 255, 255);
const cv::Scalar COLOR_BROWN_1(0, 64, 160);
const cv::Scalar COLOR_ORANGE_1(0, 127, 255);
const cv::Scalar COLOR_RED_1(0, 0, 255);
const cv::Scalar COLOR_PURPLE_1(200, 0, 200);
const cv::Scalar COLOR_YELLOW_1(0, 255, 255);
const cv::Scalar COLOR_BLUE_1(228, 90, 90);
const cv::Scalar COLOR_GREEN_1(16, 170, 16);
const cv::Scalar COLOR_GREEN_2(0, 255, 0);
const cv::Scalar FEMALE_OR_UNKNOWN_COLOR(175, 0, 254);
const cv::Scalar MALE_COLOR(255, 162, 0);

constexpr int FONT = cv::FONT_HERSHEY_PLAIN;
constexpr double FONT_SCALE = 0.8;
constexpr int FONT_THICKNESS = 1;
constexpr int PANEL_MARGIN = 4;
constexpr int FULL_PANEL_BAR_OFFSET = 85;
constexpr int MINIMAL_PANEL_BAR_OFFSET = 50;
constexpr float BAR_LENGTH_PER_UNIT = 55.0f;
constexpr float DEGREES_TO_RADIANS = 0.017453292f;
constexpr float BLUR_PADDING = 0.1f;
constexpr int BLUR_MIN_SIDE = 5;
constexpr double BLUR_SIGMA = 16.0;

struct Bar {
    std::size_t line;  // 0-based
    float value;
    cv::Scalar color;
};

struct TextBlock {
    int width = 0;   // of the widest line (the first of equally wide ones)
    int height = 0;  // of that line
};

TextBlock measure(const std::vector<std::string>& lines) {
    TextBlock block;
    bool first = true;
    for (const auto& line : lines) {
        int baseline = 0;
        const cv::Size size = cv::getTextSize(line, FONT, FONT_SCALE, FONT_THICKNESS, &baseline);
        if (first || size.width > block.width) block = {size.width, size.height};
        first = false;
    }
    return block;
}

// The translucent panel background: 0.8 of the panel colour over 0.2 of the picture.
void drawPanel(const cv::Rect& panel, cv::Mat& image) {
    const cv::Rect clipped = clipRect(panel, image);
    if (clipped.area() == 0) return;
    cv::Mat region = image(clipped);
    // Built as 8-bit BGR on purpose: the blend of any other image type fails.
    const cv::Mat background(region.size(), CV_8UC3, PANEL_COLOR);
    cv::addWeighted(background, 0.8, region, 0.2, 0.0, region);
}

int barLength(float value) { return value > 0.0f ? static_cast<int>(BAR_LENGTH_PER_UNIT * value) : 0; }

void drawTextPanel(cv::Mat& image, cv::Point anchor, const std::vector<std::string>& lines, int barOffset = 0,
                   const std::vector<Bar>& bars = {}) {
    const TextBlock block = measure(lines);
    const int lineStep = block.height + PANEL_MARGIN;
    const int panelHeight = static_cast<int>(lines.size()) * lineStep + PANEL_MARGIN;
    drawPanel({anchor.x, anchor.y, block.width + 2 * PANEL_MARGIN, panelHeight}, image);
    for (std::size_t k = 1; k <= lines.size(); ++k) {
        const cv::Point origin(anchor.x + PANEL_MARGIN, anchor.y + static_cast<int>(k) * lineStep);
        cv::putText(image, lines[k - 1], origin, FONT, FONT_SCALE, FONT_COLOR, FONT_THICKNESS, cv::LINE_8);
    }
    for (const auto& bar : bars) {
        const int top = anchor.y + static_cast<int>(bar.line) * lineStep + PANEL_MARGIN;
        const int left = anchor.x + barOffset;
        cv::rectangle(image, cv::Point(left, top), cv::Point(left + barLength(bar.value), top + block.height),
                      bar.color, cv::FILLED, cv::LINE_8);
    }
}

void drawBrackets(const cv::Rect& box, const cv::Scalar& color, int thickness, cv::Mat& image) {
    const int x = box.x, y = box.y, r = box.x + box.width, b = box.y + box.height;
    const int dx = box.width / 5, dy = box.height / 5;
    const cv::Point segments[8][2] = {
        {{x, y}, {x + dx, y}}, {{x, y}, {x, y + dy}}, {{r, y}, {r - dx, y}}, {{r, y}, {r, y + dy}},
        {{r, b}, {r - dx, b}}, {{r, b}, {r, b - dy}}, {{x, b}, {x + dx, b}}, {{x, b}, {x, b - dy}},
    };
    for (const auto& segment : segments) cv::line(image, segment[0], segment[1], color, thickness, cv::LINE_8);
}

cv::Point panelAnchorBeside(const cv::Rect& box) { return {box.x + box.width + PANEL_MARGIN, box.y}; }

template <typename Record, typename Draw>
cv::Mat onCopy(const Record& record, const cv::Mat& image, Draw draw) {
    cv::Mat copy = image.clone();
    draw(record, copy);
    return copy;
}

template <typename Record, typename Draw>
void lastToFirst(const std::vector<Record>& records, cv::Mat& image, Draw draw) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) draw(*it, image);
}

}  // namespace

void drawHeadpose(cv::Mat& image, const lm::Person& person) {
    const cv::Rect& box = person.boundingBox;
    const cv::Point centre((2 * box.x + box.width) / 2, (2 * box.y + box.height) / 2);
    const float s = static_cast<float>(box.width) * 0.5f;
    const float a = -static_cast<float>(person.headpose.yaw) * DEGREES_TO_RADIANS;
    const float b = static_cast<float>(person.headpose.pitch) * DEGREES_TO_RADIANS;
    const float d = -static_cast<float>(person.headpose.roll) * DEGREES_TO_RADIANS;
    const auto end = [&](float ex, float ey) { return centre + cv::Point(static_cast<int>(ex), static_cast<int>(ey)); };
    const float ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cd = std::cos(d),
                sd = std::sin(d);
    cv::line(image, centre, end(s * (-ca * sd), s * (cb * cd - sa * sb * sd)), cv::Scalar(255, 0, 0), 1, cv::LINE_AA);
    cv::line(image, centre, end(s * ca * cd, s * (cd * sb * sa + sd * cb)), cv::Scalar(0, 255, 0), 1, cv::LINE_AA);
    cv::line(image, centre, end(s * sa, s * (-ca * sb)), cv::Scalar(0, 0, 255), 1, cv::LINE_AA);
}

void drawPersonNoLabel(const lm::Person& person, cv::Mat& image) {
    // Gender 0 means "not estimated" and shares the female colour.
    drawBrackets(person.boundingBox, person.gender < 0.0f ? MALE_COLOR : FEMALE_OR_UNKNOWN_COLOR, 1, image);
    drawHeadpose(image, person);
}

void drawPerson(const lm::Person& p, cv::Mat& image) {
    drawPersonNoLabel(p, image);
    // Emotions are stored neutral, anger, disgust, fear, happiness, sadness, surprise.
    const auto& e = p.emotions;
    const float barValues[] = {e[0], e[4], e[1], e[2], e[3], e[5], e[6]};
    const cv::Scalar barColors[] = {COLOR_BROWN_1,  COLOR_ORANGE_1, COLOR_RED_1,  COLOR_PURPLE_1,
                                    COLOR_YELLOW_1, COLOR_BLUE_1,   COLOR_GREEN_1};
    std::vector<Bar> bars;
    for (std::size_t k = 0; k < std::size(barValues); ++k)
        bars.push_back({EMOTION_FIRST_LINE + k, barValues[k], barColors[k]});
    drawTextPanel(image, panelAnchorBeside(p.boundingBox), personPanelLines(p), FULL_PANEL_BAR_OFFSET, bars);
}

void drawPersonMinimal(const lm::Person& p, cv::Mat& image) {
    drawPersonNoLabel(p, image);
    drawTextPanel(image, panelAnchorBeside(p.boundingBox), personMinimalPanelLines(p), MINIMAL_PANEL_BAR_OFFSET,
                  {{MINIMAL_SMILE_LINE, p.smile, FONT_COLOR}});
}

void drawBody(const lm::Body& body, cv::Mat& image) {
    drawBrackets(body.boundingBox, COLOR_GREEN_2, 2, image);
    const std::vector<std::string> lines = bodyPanelLines(body);
    // The panel's lower edge lies on the box's top edge.
    const int panelHeight = static_cast<int>(lines.size()) * (measure(lines).height + PANEL_MARGIN) + PANEL_MARGIN;
    drawTextPanel(image, {body.boundingBox.x, body.boundingBox.y - panelHeight}, lines);
}

void drawPeopleNoLabel(const std::vector<lm::Person>& people, cv::Mat& image) {
    lastToFirst(people, image, [](const lm::Person& p, cv::Mat& m) { drawPersonNoLabel(p, m); });
}
void drawPeople(const std::vector<lm::Person>& people, cv::Mat& image) {
    lastToFirst(people, image, [](const lm::Person& p, cv::Mat& m) { drawPerson(p, m); });
}
void drawPeopleMinimal(const std::vector<lm::Person>& people, cv::Mat& image) {
    lastToFirst(people, image, [](const lm::Person& p, cv::Mat& m) { drawPersonMinimal(p, m); });
}
void drawBodies(const std::vector<lm::Body>& bodies, cv::Mat& image) {
    lastToFirst(bodies, image, [](const lm::Body& b, cv::Mat& m) { drawBody(b, m); });
}

void blurBox(const cv::Rect& box, cv::Mat& image) {
    const cv::Rect region = padClipRect(box, BLUR_PADDING, image);
    if (region.width <= BLUR_MIN_SIDE || region.height <= BLUR_MIN_SIDE) return;
    cv::Mat pixels = image(region);
    cv::GaussianBlur(pixels, pixels, cv::Size(0, 0), BLUR_SIGMA, BLUR_SIGMA);
}
void blurPerson(const lm::Person& person, cv::Mat& image) { blurBox(person.boundingBox, image); }
void blurPeople(const std::vector<lm::Person>& people, cv::Mat& image) {
    for (const auto& person : people) blurPerson(person, image);
}
void blurBoxes(const std::vector<cv::Rect>& boxes, cv::Mat& image) {
    for (const auto& box : boxes) blurBox(box, image);
}

// The constant-image forms: one deep copy per call, whatever the number of records.
#define LM_HELP_ON_COPY(function, RecordType)                                                  \
    cv::Mat function(const RecordType& record, const cv::Mat& image) {                         \
        return onCopy(record, image, [](const RecordType& r, cv::Mat& m) { function(r, m); }); \
    }
LM_HELP_ON_COPY(drawPersonNoLabel, lm::Person)
LM_HELP_ON_COPY(drawPeopleNoLabel, std::vector<lm::Person>)
LM_HELP_ON_COPY(drawPerson, lm::Person)
LM_HELP_ON_COPY(drawPeople, std::vector<lm::Person>)
LM_HELP_ON_COPY(drawPersonMinimal, lm::Person)
LM_HELP_ON_COPY(drawPeopleMinimal, std::vector<lm::Person>)
LM_HELP_ON_COPY(drawBody, lm::Body)
LM_HELP_ON_COPY(drawBodies, std::vector<lm::Body>)
LM_HELP_ON_COPY(blurBox, cv::Rect)
LM_HELP_ON_COPY(blurPerson, lm::Person)
LM_HELP_ON_COPY(blurPeople, std::vector<lm::Person>)
LM_HELP_ON_COPY(blurBoxes, std::vector<cv::Rect>)
#undef LM_HELP_ON_COPY

std::string getOpenCLDebugString() {
    const cv::ocl::Context& context = cv::ocl::Context::getDefault();
    const cv::ocl::Device& device = cv::ocl::Device::getDefault();
    const bool inUse = cv::ocl::useOpenCL();
    if (inUse && context.ptr() == nullptr) return "OpenCL context not available";
    if (inUse && !device.compilerAvailable()) return "OpenCL compiler not available";
    return fmt::format(
        "  OpenCL support   : {}\n  OpenCL enabled   : {}\n  OpenCL devices   : {}\n\n"
        "  OpenCL C version : {}\n  OpenCL   version : {}\n\n"
        "  device name      : {}\n  device version   : {}\n  device vendor    : {}\n  device driver    : {}\n",
        cv::ocl::haveOpenCL(), inUse, context.ndevices(), device.OpenCL_C_Version(), device.OpenCLVersion(),
        device.name(), device.version(), device.vendorName(), device.driverVersion());
}

}  // namespace lm::help
