#pragma once
// The text of the panels that the drawing functions put beside each face and above each
// body: one line per entry, empty entries are blank lines. Kept apart from the drawing so
// that what a panel says can be read without looking at pixels.

#include <cstddef>
#include <string>
#include <vector>

#include "lumora/lm_records.h"

namespace lm::help {

// The full panel: identity, attributes, durations, position and gaze, then the seven
// emotion names, each line followed by its score's bar.
std::vector<std::string> personPanelLines(const lm::Person& person);
// The first of the full panel's emotion lines; they come in the order neutral, happiness,
// anger, disgust, fear, sadness, surprise.
constexpr std::size_t EMOTION_FIRST_LINE = 20;

// The small panel: identity, viewing time as minutes:seconds, age, gender, and the smile
// line, followed by its bar.
std::vector<std::string> personMinimalPanelLines(const lm::Person& person);
constexpr std::size_t MINIMAL_SMILE_LINE = 4;

std::vector<std::string> bodyPanelLines(const lm::Body& body);

}  // namespace lm::help
