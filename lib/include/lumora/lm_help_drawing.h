#pragma once
// Drawing the records onto frames, blurring faces, and the image library's OpenCL report.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"

namespace lm::help {

// Each function comes twice: one draws into the image, the other draws into a deep copy
// of a constant image and returns the copy. Panels need 8-bit, three-channel images; the
// plural forms draw the last record first, so the first one ends up on top.
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
