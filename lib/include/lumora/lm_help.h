#pragma once
// Free helper functions of the library: boxes, drawing and blurring, CSV lines.

#include <chrono>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"

namespace lm::help {

// Grows the box by the truncated factor x width left and right and factor x height above
// and below; a negative factor shrinks it.
LUMORA_EXPORT cv::Rect padRect(const cv::Rect& box, float factor);
// The part of the box inside the image; (0, 0, 0, 0) when nothing remains.
LUMORA_EXPORT cv::Rect clipRect(const cv::Rect& box, const cv::Mat& image);
LUMORA_EXPORT cv::Rect padClipRect(const cv::Rect& box, float factor, const cv::Mat& image);

// Frame-rate meter: each call reports the rate implied by the time since the previous
// call, in whole milliseconds, unsmoothed (infinity within one millisecond). A new meter
// starts at the clock's epoch, so call it once when built to make the first reading useful.
class LUMORA_EXPORT Fps {
public:
    float operator()();

private:
    std::chrono::system_clock::time_point mPrevious{};
};

// CSV lines of the four records: a header, one line per record with the built-in template,
// and a fill function for any template in fmt's syntax that uses the record's field names
// as named arguments (a name the record does not supply throws fmt::format_error). Lines
// carry no terminator; times are local, with the zone offset as +hh:mm.
LUMORA_EXPORT std::string personToCsvHeader();
LUMORA_EXPORT std::string aggregatedPersonToCsvHeader();
LUMORA_EXPORT std::string bodyToCsvHeader();
LUMORA_EXPORT std::string aggregatedBodyToCsvHeader();

LUMORA_EXPORT std::string formatPerson(const std::string& lineTemplate, const lm::Person& person);
LUMORA_EXPORT std::string formatAggregatedPerson(const std::string& lineTemplate, const lm::AggregatedPerson& person);
LUMORA_EXPORT std::string formatBody(const std::string& lineTemplate, const lm::Body& body);
LUMORA_EXPORT std::string formatAggregatedBody(const std::string& lineTemplate, const lm::AggregatedBody& body);

LUMORA_EXPORT std::string personToCsv(const lm::Person& person);
LUMORA_EXPORT std::string aggregatedPersonToCsv(const lm::AggregatedPerson& person);
LUMORA_EXPORT std::string bodyToCsv(const lm::Body& body);
LUMORA_EXPORT std::string aggregatedBodyToCsv(const lm::AggregatedBody& body);

LUMORA_EXPORT std::vector<std::string> peopleToCsv(const std::vector<lm::Person>& people);
LUMORA_EXPORT std::vector<std::string> aggregatedPeopleToCsv(const std::vector<lm::AggregatedPerson>& people);
LUMORA_EXPORT std::vector<std::string> bodiesToCsv(const std::vector<lm::Body>& bodies);
LUMORA_EXPORT std::vector<std::string> aggregatedBodiesToCsv(const std::vector<lm::AggregatedBody>& bodies);

// Drawing and blurring. Each function comes twice: one draws into the image, the other
// draws into a deep copy of a constant image and returns the copy. Panels need 8-bit,
// three-channel images; the plural forms draw the last record first, so the first one
// ends up on top.
LUMORA_EXPORT void drawPersonNoLabel(const lm::Person& person, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPersonNoLabel(const lm::Person& person, const cv::Mat& image);
LUMORA_EXPORT void drawPeopleNoLabel(const std::vector<lm::Person>& people, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPeopleNoLabel(const std::vector<lm::Person>& people, const cv::Mat& image);
LUMORA_EXPORT void drawPerson(const lm::Person& person, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPerson(const lm::Person& person, const cv::Mat& image);
LUMORA_EXPORT void drawPeople(const std::vector<lm::Person>& people, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPeople(const std::vector<lm::Person>& people, const cv::Mat& image);
LUMORA_EXPORT void drawPersonMinimal(const lm::Person& person, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPersonMinimal(const lm::Person& person, const cv::Mat& image);
LUMORA_EXPORT void drawPeopleMinimal(const std::vector<lm::Person>& people, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawPeopleMinimal(const std::vector<lm::Person>& people, const cv::Mat& image);
LUMORA_EXPORT void drawBody(const lm::Body& body, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawBody(const lm::Body& body, const cv::Mat& image);
LUMORA_EXPORT void drawBodies(const std::vector<lm::Body>& bodies, cv::Mat& image);
LUMORA_EXPORT cv::Mat drawBodies(const std::vector<lm::Body>& bodies, const cv::Mat& image);
// Head-pose axes from the centre of the face box, half the box width long.
LUMORA_EXPORT void drawHeadpose(cv::Mat& image, const lm::Person& person);

// Blurs the box grown by a tenth on every side and clipped; boxes of 5 pixels or less
// (after clipping) are left alone.
LUMORA_EXPORT void blurBox(const cv::Rect& box, cv::Mat& image);
LUMORA_EXPORT cv::Mat blurBox(const cv::Rect& box, const cv::Mat& image);
LUMORA_EXPORT void blurPerson(const lm::Person& person, cv::Mat& image);
LUMORA_EXPORT cv::Mat blurPerson(const lm::Person& person, const cv::Mat& image);
LUMORA_EXPORT void blurPeople(const std::vector<lm::Person>& people, cv::Mat& image);
LUMORA_EXPORT cv::Mat blurPeople(const std::vector<lm::Person>& people, const cv::Mat& image);
LUMORA_EXPORT void blurBoxes(const std::vector<cv::Rect>& boxes, cv::Mat& image);
LUMORA_EXPORT cv::Mat blurBoxes(const std::vector<cv::Rect>& boxes, const cv::Mat& image);

// A text report on the OpenCL state of the image library.
LUMORA_EXPORT std::string getOpenCLDebugString();

}  // namespace lm::help
