// The public aggregator classes: each owns one implementation object, built on the shared
// face/body logic of lm_aggregator_core.h, and forwards every operation to it.
#include "lumora/lm_aggregator.h"

#include "lm_aggregator_core.h"

namespace lm {

class Aggregator::AggregatorImpl : public TrackAggregation<Person> {};
class BodyAggregator::BodyAggregatorImpl : public TrackAggregation<Body> {};

class SlidingWindowAggregator::SlidingWindowAggregatorImpl : public SlidingWindow<Person> {
    using SlidingWindow::SlidingWindow;
};
class SlidingWindowBodyAggregator::SlidingWindowBodyAggregatorImpl : public SlidingWindow<Body> {
    using SlidingWindow::SlidingWindow;
};

class LastDetections::LastDetectionsImpl : public LatestPerTrack<Person> {
    using LatestPerTrack::LatestPerTrack;
};
class LastBodyDetections::LastBodyDetectionsImpl : public LatestPerTrack<Body> {
    using LatestPerTrack::LatestPerTrack;
};

// Destruction and moves are the owning pointer's; defined here, where the
// implementation type is complete.
#define LM_OWNING_SPECIAL_MEMBERS(Class)            \
    Class::~Class() = default;                      \
    Class::Class(Class&& other) noexcept = default; \
    Class& Class::operator=(Class&& other) noexcept = default;

LM_OWNING_SPECIAL_MEMBERS(Aggregator)
LM_OWNING_SPECIAL_MEMBERS(BodyAggregator)
LM_OWNING_SPECIAL_MEMBERS(SlidingWindowAggregator)
LM_OWNING_SPECIAL_MEMBERS(SlidingWindowBodyAggregator)
LM_OWNING_SPECIAL_MEMBERS(LastDetections)
LM_OWNING_SPECIAL_MEMBERS(LastBodyDetections)

#undef LM_OWNING_SPECIAL_MEMBERS

// --- Aggregator ---

Aggregator::Aggregator() : mImpl(std::make_unique<AggregatorImpl>()) {}

void Aggregator::newDetections(const std::vector<Person>& persons, const std::optional<TimePoint>& now) {
    mImpl->newDetections(persons, now.value_or(clock::systemNow()));
}

std::vector<AggregatedPerson> Aggregator::getFinalizedAggregations(bool clean) {
    return mImpl->getFinalizedAggregations(clean);
}

std::vector<AggregatedPerson> Aggregator::getOngoingAggregations() const { return mImpl->getOngoingAggregations(); }

std::vector<AggregatedPerson> Aggregator::getAllAggregations() const { return mImpl->getAllAggregations(); }

void Aggregator::cleanFinalizedAggregations() { mImpl->cleanFinalizedAggregations(); }

void Aggregator::cleanAll() { mImpl->cleanAll(); }

std::vector<AggregatedPerson> Aggregator::aggregateOffline(const std::vector<Person>& persons) {
    return AggregatorImpl::aggregateOffline(persons);
}

// --- BodyAggregator ---

BodyAggregator::BodyAggregator() : mImpl(std::make_unique<BodyAggregatorImpl>()) {}

void BodyAggregator::newDetections(const std::vector<Body>& bodies, const std::optional<TimePoint>& now) {
    mImpl->newDetections(bodies, now.value_or(clock::systemNow()));
}

std::vector<AggregatedBody> BodyAggregator::getFinalizedAggregations(bool clean) {
    return mImpl->getFinalizedAggregations(clean);
}

std::vector<AggregatedBody> BodyAggregator::getOngoingAggregations() const { return mImpl->getOngoingAggregations(); }

std::vector<AggregatedBody> BodyAggregator::getAllAggregations() const { return mImpl->getAllAggregations(); }

void BodyAggregator::cleanFinalizedAggregations() { mImpl->cleanFinalizedAggregations(); }

void BodyAggregator::cleanAll() { mImpl->cleanAll(); }

std::vector<AggregatedBody> BodyAggregator::aggregateOffline(const std::vector<Body>& bodies) {
    return BodyAggregatorImpl::aggregateOffline(bodies);
}

// --- SlidingWindowAggregator ---

SlidingWindowAggregator::SlidingWindowAggregator(std::chrono::milliseconds maxWindowDuration)
    : mImpl(std::make_unique<SlidingWindowAggregatorImpl>(maxWindowDuration)) {}

void SlidingWindowAggregator::newDetections(const std::vector<Person>& persons) { mImpl->newDetections(persons); }

std::vector<AggregatedPerson> SlidingWindowAggregator::getAggregations(std::chrono::milliseconds window) {
    return mImpl->getAggregations(window);
}

std::chrono::milliseconds SlidingWindowAggregator::getMaxWindowDuration() const {
    return mImpl->getMaxWindowDuration();
}

void SlidingWindowAggregator::setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration) {
    mImpl->setMaxWindowDuration(maxWindowDuration);
}

void SlidingWindowAggregator::clean() { mImpl->clean(); }

// --- SlidingWindowBodyAggregator ---

SlidingWindowBodyAggregator::SlidingWindowBodyAggregator(std::chrono::milliseconds maxWindowDuration)
    : mImpl(std::make_unique<SlidingWindowBodyAggregatorImpl>(maxWindowDuration)) {}

void SlidingWindowBodyAggregator::newDetections(const std::vector<Body>& bodies) { mImpl->newDetections(bodies); }

std::vector<AggregatedBody> SlidingWindowBodyAggregator::getAggregations(std::chrono::milliseconds window) {
    return mImpl->getAggregations(window);
}

std::chrono::milliseconds SlidingWindowBodyAggregator::getMaxWindowDuration() const {
    return mImpl->getMaxWindowDuration();
}

void SlidingWindowBodyAggregator::setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration) {
    mImpl->setMaxWindowDuration(maxWindowDuration);
}

void SlidingWindowBodyAggregator::clean() { mImpl->clean(); }

// --- LastDetections ---

LastDetections::LastDetections(std::chrono::milliseconds maxWindowDuration)
    : mImpl(std::make_unique<LastDetectionsImpl>(maxWindowDuration)) {}

void LastDetections::newDetections(const std::vector<Person>& persons) { mImpl->newDetections(persons); }

std::vector<Person> LastDetections::getLastDetections(std::chrono::milliseconds window) {
    return mImpl->getLastDetections(window);
}

std::chrono::milliseconds LastDetections::getMaxWindowDuration() const { return mImpl->getMaxWindowDuration(); }

void LastDetections::setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration) {
    mImpl->setMaxWindowDuration(maxWindowDuration);
}

void LastDetections::clean() { mImpl->clean(); }

// --- LastBodyDetections ---

LastBodyDetections::LastBodyDetections(std::chrono::milliseconds maxWindowDuration)
    : mImpl(std::make_unique<LastBodyDetectionsImpl>(maxWindowDuration)) {}

void LastBodyDetections::newDetections(const std::vector<Body>& bodies) { mImpl->newDetections(bodies); }

std::vector<Body> LastBodyDetections::getLastDetections(std::chrono::milliseconds window) {
    return mImpl->getLastDetections(window);
}

std::chrono::milliseconds LastBodyDetections::getMaxWindowDuration() const { return mImpl->getMaxWindowDuration(); }

void LastBodyDetections::setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration) {
    mImpl->setMaxWindowDuration(maxWindowDuration);
}

void LastBodyDetections::clean() { mImpl->clean(); }

}  // namespace lm
