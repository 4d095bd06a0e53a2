#pragma once
// The face tracker: the object tracker with the face weights, plus a short history per
// face track that smooths age and gender over the last frames and accumulates the
// detection, viewing and dwelling durations that the face records carry out.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "lumora/lm_records.h"
#include "tracker.h"

namespace lm {

class FaceTracker : public ObjectTracker {
public:
    static constexpr std::size_t SAMPLE_HISTORY_SIZE = 10;

    struct TrackedPerson {
        std::uint32_t id = 0;
        std::uint32_t frameCount = 1;  // frames in which the id was seen
        HistoryRing<std::uint32_t, SAMPLE_HISTORY_SIZE> ageHistory;
        HistoryRing<float, SAMPLE_HISTORY_SIZE> genderHistory;
        std::chrono::milliseconds detectionDuration{0};
        std::chrono::milliseconds totalViewingDuration{0};
        std::chrono::milliseconds currentViewingDuration{0};
        std::chrono::milliseconds totalDwellDuration{0};
        std::chrono::milliseconds currentDwellDuration{0};

        // Mean of the stored ages, truncated; 0xFFFFFFFF when there is none.
        std::uint32_t getAveragedAge() const;
        // Mean of the stored gender scores; 0 when there is none.
        float getAveragedGender() const;
    };

    FaceTracker();
    ~FaceTracker() override = default;

    // Drops every track like ObjectTracker::reset, and also the per-person history, and
    // restarts the interval of updatePersonData, so a new person never continues an old
    // person's durations and samples, and the pause is never counted as time seen.
    void reset(bool restartIds);

    // After the tracking step of a frame: continues the history of every person whose id
    // is known (durations, smoothed age and gender written back into the person), starts
    // one for each new id, and forgets the ids that no longer have a track. Takes no lock:
    // never call it during update or reset. With a `frameTime` the durations grow by the
    // frames' own clock, else by the steady clock.
    void updatePersonData(std::vector<Person>& persons, const std::optional<TimePoint>& frameTime = std::nullopt);

    // The history list, for inspection. Takes no lock, like updatePersonData.
    const std::vector<TrackedPerson>& getTrackedPersons() const { return mTrackedPersons; }

private:
    void continuePerson(TrackedPerson& tracked, Person& person, std::chrono::milliseconds e);
    void forgetEndedTracks();

    std::vector<TrackedPerson> mTrackedPersons;  // in order of first appearance
    UpdateInterval mPersonInterval;
    std::chrono::milliseconds mPersonElapsedTime{0};
    bool mPersonIntervalStarted = false;  // false until the first call after a start or reset
};

}  // namespace lm
