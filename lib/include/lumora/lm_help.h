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

}  // namespace lm::help
