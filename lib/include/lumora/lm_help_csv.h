#pragma once
// CSV lines of the four records, and the local time stamps they carry.

#include <string>
#include <vector>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"

namespace lm::help {

// Local date and time "YYYY-MM-DD hh:mm:ss[.mmm]+hh:mm" in the process's time zone. The
// milliseconds are those since the start of the second, so a time before 1970 reads as
// the second before it plus 000 to 999 ms. Safe to call from several threads at once.
LUMORA_EXPORT std::string timeToRFC3339Str(TimePoint time, bool withMilliseconds);

// A header, one line per record with the built-in template, and a fill function for any
// template in fmt's syntax that uses the record's field names as named arguments (a name
// the record does not supply throws fmt::format_error). Lines carry no terminator; times
// are written by timeToRFC3339Str.
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
