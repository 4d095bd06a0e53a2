#pragma once
// Face records for tests of the program's data outputs: a person of a chosen id, time and
// track duration, big enough and turned far enough towards the camera for every attribute
// to be sampled by the aggregators.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include <lumora/lm_records.h>

namespace lmtest {

using SystemTime = std::chrono::system_clock::time_point;
using std::chrono::milliseconds;

struct FaceScript {
    float gender = 0.6f;  // > 0 female, < 0 male
    bool viewing = false;
    bool dwelling = false;
    milliseconds totalViewing{0};
    milliseconds totalDwell{0};
};

inline lm::Person scriptedFace(std::uint32_t id, SystemTime at, milliseconds trackDuration,
                               const FaceScript& script = {}) {
    lm::Person person;
    person.id = id;
    person.age = 30;
    person.gender = script.gender;
    person.smile = 0.4f;
    person.faceMask = 0.1f;
    person.detectionConfidence = 0.9f;
    person.boundingBox = {100, 100, 80, 80};
    person.headpose = {0, 0, 0};
    person.isViewing = script.viewing;
    person.isDwelling = script.dwelling;
    person.detectionTime = at;
    person.detectionDuration = trackDuration;
    person.totalViewingDuration = script.totalViewing;
    person.totalDwellDuration = script.totalDwell;
    return person;
}

// A whole track in two records: its first at `end - duration` and its last at `end`. The
// aggregators count the durations between the two, so the summary's detection duration is
// `duration`; one that ended more than five seconds ago is finalised at the next frame.
inline std::vector<lm::Person> scriptedTrack(std::uint32_t id, SystemTime end, milliseconds duration,
                                             FaceScript script = {}) {
    FaceScript first = script;
    first.totalViewing = milliseconds{0};
    first.totalDwell = milliseconds{0};
    return {scriptedFace(id, end - duration, milliseconds{0}, first), scriptedFace(id, end, duration, script)};
}

inline Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    Poco::JSON::Parser parser;
    return parser.parse(text).extract<Poco::JSON::Object::Ptr>();
}

// The lines of a text file, without their terminators; none when the file is missing.
inline std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The one file in `directory` whose name starts with `prefix` ("" when there is none).
inline std::filesystem::path fileStartingWith(const std::filesystem::path& directory, const std::string& prefix) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ignored))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) return entry.path();
    return {};
}

}  // namespace lmtest
