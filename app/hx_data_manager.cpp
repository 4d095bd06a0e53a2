#include "hx_data_manager.h"

#include <spdlog/spdlog.h>

#include "hx_log.h"

namespace hx {

namespace {

// The content-report files belong to the proof-of-play reports, which must be the only
// ones to open them.
hx::Settings withoutContentFiles(hx::Settings settings) {
    settings.tovexCsvEnabled = false;
    return settings;
}

PeopleCountData difference(const PeopleCountData& current, const PeopleCountData& previous) {
    PeopleCountData period;
    period.count = current.count - previous.count;
    period.detectionDuration = current.detectionDuration - previous.detectionDuration;
    return period;
}

}  // namespace

DataManager::DataManager(const hx::Settings& settings, StatusHandler& statusHandler, Clocks clocks)
    : mStatusHandler(statusHandler),
      mDailyCsv(withoutContentFiles(settings), clocks.csvDates),
      mRawPush(settings.rawPushEnabled, settings.rawPushUrl, false),
      mAggregatedPush(settings.aggregatedPushEnabled, settings.aggregatedPushUrl, true),
      mPeopleCountPush(settings.peopleCountPushEnabled, settings.peopleCountPushUrl, true),
      mPullData(settings),
      mInstanceName(settings.instanceName),
      mPeriodClock(std::move(clocks.periods)),
      mAggregationTimer(std::chrono::seconds(settings.aggregationFrequency), mPeriodClock),
      mPeopleCountTimer(std::chrono::seconds(settings.peopleCountFrequency), mPeriodClock),
      mCurrentStats(settings),
      mProofOfPlay(settings, statusHandler, std::move(clocks.contentItems), clocks.csvDates),
      mSelf(std::make_shared<std::atomic<DataManager*>>(this)) {
    // The status handler keeps its callbacks for ever: the callback goes quiet once this
    // object is gone.
    mStatusHandler.registerProcessingStateChangedCallback([self = mSelf](bool processing) {
        if (DataManager* target = self->load()) target->onProcessingStatusChange(processing);
    });
}

DataManager::~DataManager() {
    mSelf->store(nullptr);
    try {
        flushRemainingAggregations();
    } catch (const std::exception& error) {
        // A destructor must not throw; what reached the queues before the failure is sent.
        harbixLog()->error("Final data flush failed: {}", error.what());
    }
}

void DataManager::setSettings(const hx::Settings& settings) {
    mDailyCsv.setSettings(withoutContentFiles(settings));
    mRawPush.setSettings(settings.rawPushEnabled, settings.rawPushUrl);
    mAggregatedPush.setSettings(settings.aggregatedPushEnabled, settings.aggregatedPushUrl);
    mPeopleCountPush.setSettings(settings.peopleCountPushEnabled, settings.peopleCountPushUrl);
    mPullData.setSettings(settings);
    mCurrentStats.setSettings(settings);
    mProofOfPlay.setSettings(settings);
    mInstanceName = settings.instanceName;
    mAggregationTimer = Timer(std::chrono::seconds(settings.aggregationFrequency), mPeriodClock);
    mPeopleCountTimer = Timer(std::chrono::seconds(settings.peopleCountFrequency), mPeriodClock);
}

void DataManager::setHttpEndPoints(http::Server& server) {
    mPullData.setHttpEndPoints(server);
    mCurrentStats.setHttpEndPoints(server);
    mProofOfPlay.setHttpEndPoints(server);
}

void DataManager::newRawDataPoint(const std::vector<lm::Person>& people, unsigned int frameNumber,
                                  const std::optional<lm::TimePoint>& frameTime) {
    // Fed every frame: an empty one is what lets the last visitors' tracks finish.
    mAggregator.newDetections(people, frameTime);
    if (!people.empty()) {
        const std::string document = format::peopleToJson(people, frameNumber, mInstanceName);
        mRawPush.newMessage(document);
        mPullData.newRawDataPoint(document);
        mCurrentStats.newDetections(people);
        mProofOfPlay.newDetections(people);
        writeCsv([&] { mDailyCsv.newRawDataPoint(getRawCsvData(people, frameNumber)); });
    }
    if (mAggregationTimer.isTime()) {
        const auto finished = mAggregator.getFinalizedAggregations(true);
        if (!finished.empty()) emitAggregations(finished, true);
    }
    throwIfCsvFailed();
}

void DataManager::newPeopleCountDataPoint(const PeopleCountData& data) {
    mCurrentPeopleCount = data;
    if (mPeopleCountTimer.isTime()) emitPeopleCount(true);
    throwIfCsvFailed();
}

void DataManager::flushRemainingAggregations() {
    const auto open = mAggregator.getAllAggregations();
    // Forgotten here so that nothing is emitted twice: not by a later flush, not by the
    // next run's periods, and no new track is merged into an old one of the same id.
    mAggregator.cleanAll();
    if (!open.empty()) emitAggregations(open, false);
    emitPeopleCount(false);
    throwIfCsvFailed();
}

void DataManager::onProcessingStatusChange(bool processing) {
    if (!processing) return;
    mAggregationTimer.reset();
    mPeopleCountTimer.reset();
    // A run's totals start at zero; so does its first period.
    mPreviousPeopleCount = {};
    mCurrentPeopleCount = {};
}

std::vector<std::string> DataManager::getRawCsvData(const std::vector<lm::Person>& people, unsigned int frameNumber) {
    std::vector<std::string> lines;
    lines.reserve(people.size());
    for (const auto& person : people) lines.push_back(format::personToCsv(person, frameNumber));
    return lines;
}

std::vector<std::string> DataManager::getAggregatedCsvData(const std::vector<lm::AggregatedPerson>& people,
                                                           unsigned int periodSeconds) {
    std::vector<std::string> lines;
    lines.reserve(people.size());
    for (const auto& person : people) lines.push_back(format::aggregatedPersonToCsv(person, periodSeconds));
    return lines;
}

unsigned int DataManager::aggregationPeriodSeconds() const {
    return static_cast<unsigned int>(mAggregationTimer.period().count());
}

void DataManager::emitAggregations(const std::vector<lm::AggregatedPerson>& aggregations, bool storeForPull) {
    const unsigned int period = aggregationPeriodSeconds();
    const std::string document = format::aggregatedPeopleToJson(aggregations, period, mInstanceName);
    mAggregatedPush.newMessage(document);
    if (storeForPull) mPullData.newAggregatedDataPoint(document);
    writeCsv([&] { mDailyCsv.newAggregatedDataPoint(getAggregatedCsvData(aggregations, period)); });
}

void DataManager::emitPeopleCount(bool storeForPull) {
    const PeopleCountData period = difference(mCurrentPeopleCount, mPreviousPeopleCount);
    mPreviousPeopleCount = mCurrentPeopleCount;
    const std::string document = format::peopleCountToJson(period, mCurrentPeopleCount, mInstanceName);
    mPeopleCountPush.newMessage(document);
    if (storeForPull) mPullData.newPeopleCountDataPoint(document);
    const std::string line = format::peopleCountToCsv(period, mCurrentPeopleCount);
    writeCsv([&] { mDailyCsv.newPeopleCountDataPoint(line); });
}

void DataManager::writeCsv(const std::function<void()>& write) {
    try {
        write();
    } catch (...) {
        if (!mCsvFailure) mCsvFailure = std::current_exception();
    }
}

void DataManager::throwIfCsvFailed() {
    if (!mCsvFailure) return;
    std::exception_ptr failure;
    std::swap(failure, mCsvFailure);
    std::rethrow_exception(failure);
}

}  // namespace hx
