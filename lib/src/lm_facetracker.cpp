#include "lm_facetracker.h"

#include <algorithm>
#include <cmath>

namespace lm {

namespace {

constexpr std::int32_t MIN_HITS = 5;
// Faces are tracked without appearance vectors, so their appearance weight is never read.
constexpr float NO_APPEARANCE = 0.0f;

// Rows by network type (NORMAL, then QUANTIZED) and rate class (FPS_30, FPS_10, FPS_5):
// IoU, distance, size, appearance weights, match threshold, hits to confirm.
constexpr ObjectTracker::WeightTable FACE_WEIGHTS = {{
    {{
        {0.412907f, 1.0f, 0.46718213f, NO_APPEARANCE, 0.39649695f, MIN_HITS},
        {0.6028209f, 0.4755743f, 0.27829134f, NO_APPEARANCE, 0.27019346f, MIN_HITS},
        {0.19949114f, 0.5030433f, 0.85368097f, NO_APPEARANCE, 0.20272504f, MIN_HITS},
    }},
    {{
        {1.0f, 0.61462563f, 0.5f, NO_APPEARANCE, 0.25f, MIN_HITS},
        {0.20315297f, 0.69592816f, 0.5f, NO_APPEARANCE, 0.41826385f, MIN_HITS},
        {0.107403345f, 0.9967057f, 0.41976762f, NO_APPEARANCE, 0.25042114f, MIN_HITS},
    }},
}};

}  // namespace

FaceTracker::FaceTracker() : ObjectTracker(FACE_WEIGHTS, &Settings::faceTrackFps) {}

void FaceTracker::reset(bool restartIds) {
    ObjectTracker::reset(restartIds);
    mTrackedPersons.clear();
    mPersonInterval.restart();
    mPersonIntervalStarted = false;
}

void FaceTracker::updatePersonData(std::vector<Person>& persons, const std::optional<TimePoint>& frameTime) {
    const std::chrono::milliseconds elapsed = mPersonInterval.next(frameTime).elapsed;
    // The first interval after a start or a reset spans a pause, not time in front of the
    // camera: it counts as 0.
    mPersonElapsedTime = mPersonIntervalStarted ? elapsed : std::chrono::milliseconds(0);
    mPersonIntervalStarted = true;

    for (Person& person : persons) {
        const auto found = std::find_if(mTrackedPersons.begin(), mTrackedPersons.end(),
                                        [&](const TrackedPerson& t) { return t.id == person.id; });
        if (found != mTrackedPersons.end()) {
            continuePerson(*found, person, mPersonElapsedTime);
        } else {
            // A track's first frame keeps its own estimates and adds no sample.
            TrackedPerson& added = mTrackedPersons.emplace_back();
            added.id = person.id;
        }
    }
    forgetEndedTracks();
}

void FaceTracker::continuePerson(TrackedPerson& tracked, Person& person, std::chrono::milliseconds e) {
    tracked.frameCount += 1;
    const int viewing = person.isViewing ? 1 : 0;
    tracked.totalViewingDuration += e * viewing;
    tracked.currentViewingDuration = (tracked.currentViewingDuration + e) * viewing;
    const int dwelling = person.isDwelling ? 1 : 0;
    tracked.totalDwellDuration += e * dwelling;
    tracked.currentDwellDuration = (tracked.currentDwellDuration + e) * dwelling;
    tracked.detectionDuration += e;

    // Only real estimates join the means: an unset (or negative) age and an unset or
    // non-finite gender score would corrupt them.
    if (person.age >= 0) tracked.ageHistory.push(static_cast<std::uint32_t>(person.age));
    if (person.gender != 0.0f && std::isfinite(person.gender)) tracked.genderHistory.push(person.gender);

    person.detectionDuration = tracked.detectionDuration;
    person.totalViewingDuration = tracked.totalViewingDuration;
    person.currentViewingDuration = tracked.currentViewingDuration;
    person.totalDwellDuration = tracked.totalDwellDuration;
    person.currentDwellDuration = tracked.currentDwellDuration;
    person.age = static_cast<std::int32_t>(tracked.getAveragedAge());
    person.gender = tracked.getAveragedGender();
}

void FaceTracker::forgetEndedTracks() {
    std::vector<std::uint32_t> liveIds;
    liveIds.reserve(mTrackedObjects.size());
    for (const TrackedObject& track : mTrackedObjects) liveIds.push_back(track.id);
    std::sort(liveIds.begin(), liveIds.end());
    mTrackedPersons.erase(std::remove_if(mTrackedPersons.begin(), mTrackedPersons.end(),
                                         [&](const TrackedPerson& p) {
                                             return !std::binary_search(liveIds.begin(), liveIds.end(), p.id);
                                         }),
                          mTrackedPersons.end());
}

std::uint32_t FaceTracker::TrackedPerson::getAveragedAge() const {
    if (ageHistory.count() == 0) return 0xFFFFFFFFu;
    std::uint32_t sum = 0;
    ageHistory.forEachOldestFirst([&](std::uint32_t age) { sum += age; });
    return sum / static_cast<std::uint32_t>(ageHistory.count());
}

float FaceTracker::TrackedPerson::getAveragedGender() const {
    if (genderHistory.count() == 0) return 0.0f;
    float sum = 0.0f;
    genderHistory.forEachOldestFirst([&](float gender) { sum += gender; });
    return sum / static_cast<float>(genderHistory.count());
}

}  // namespace lm
