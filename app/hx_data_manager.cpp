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
    : statusHandler(statusHandler),
      dailyCsv(withoutContentFiles(settings), clocks.csvDates),
      rawPush(settings.rawPushEnabled, settings.rawPushUrl, false),
      aggregatedPush(settings.aggregatedPushEnabled, settings.aggregatedPushUrl, true),
      peopleCountPush(settings.peopleCountPushEnabled, settings.peopleCountPushUrl, true),
      pullData(settings),
      instanceName(settings.instanceName),
      periodClock(std::move(clocks.periods)),
      aggregationTimer(std::chrono::seconds(settings.aggregationFrequency), periodClock),
      peopleCountTimer(std::chrono::seconds(settings.peopleCountFrequency), periodClock),
      currentStats(settings),
      proofOfPlay(settings, statusHandler, std::move(clocks.contentItems), clocks.csvDates),
      self(std::make_shared<std::atomic<DataManager*>>(this)) {
    // The status handler keeps its callbacks for ever: the callback goes quiet once this
    // object is gone.
    statusHandler.registerProcessingStateChangedCallback([self = self](bool processing) {
        if (DataManager* target = self->load()) target->onProcessingStatusChange(processing);
    });
}

DataManager::~DataManager() {
    self->store(nullptr);
    try {
        flushRemainingAggregations();
    } catch (const std::exception& error) {
        // A destructor must not throw; what reached the queues before the failure is sent.
        harbixLog()->error("Final data flush failed: {}", error.what());
    }
}

void DataManager::setSettings(const hx::Settings& settings) {
    dailyCsv.setSettings(withoutContentFiles(settings));
    rawPush.setSettings(settings.rawPushEnabled, settings.rawPushUrl);
    aggregatedPush.setSettings(settings.aggregatedPushEnabled, settings.aggregatedPushUrl);
    peopleCountPush.setSettings(settings.peopleCountPushEnabled, settings.peopleCountPushUrl);
    pullData.setSettings(settings);
    currentStats.setSettings(settings);
    proofOfPlay.setSettings(settings);
    instanceName = settings.instanceName;
    aggregationTimer = Timer(std::chrono::seconds(settings.aggregationFrequency), periodClock);
    peopleCountTimer = Timer(std::chrono::seconds(settings.peopleCountFrequency), periodClock);
}

void DataManager::setHttpEndPoints(http::Server& server) {
    pullData.setHttpEndPoints(server);
    currentStats.setHttpEndPoints(server);
    proofOfPlay.setHttpEndPoints(server);
}

void DataManager::newRawDataPoint(const std::vector<lm::Person>& people, unsigned int frameNumber) {
    // Fed every frame: an empty one is what lets the last visitors' tracks finish.
    aggregator.newDetections(people);
    if (!people.empty()) {
        const std::string document = format::peopleToJson(people, frameNumber, instanceName);
        rawPush.newMessage(document);
        pullData.newRawDataPoint(document);
        currentStats.newDetections(people);
        proofOfPlay.newDetections(people);
        writeCsv([&] { dailyCsv.newRawDataPoint(getRawCsvData(people, frameNumber)); });
    }
    if (aggregationTimer.isTime()) {
        const auto finished = aggregator.getFinalizedAggregations(true);
        if (!finished.empty()) emitAggregations(finished, true);
    }
    throwIfCsvFailed();
}

void DataManager::newPeopleCountDataPoint(const PeopleCountData& data) {
    currentPeopleCount = data;
    if (peopleCountTimer.isTime()) emitPeopleCount(true);
    throwIfCsvFailed();
}

void DataManager::flushRemainingAggregations() {
    const auto open = aggregator.getAllAggregations();
    // Forgotten here so that nothing is emitted twice: not by a later flush, not by the
    // next run's periods, and no new track is merged into an old one of the same id.
    aggregator.cleanAll();
    if (!open.empty()) emitAggregations(open, false);
    emitPeopleCount(false);
    throwIfCsvFailed();
}

void DataManager::onProcessingStatusChange(bool processing) {
    if (!processing) return;
    aggregationTimer.reset();
    peopleCountTimer.reset();
    // A run's totals start at zero; so does its first period.
    previousPeopleCount = {};
    currentPeopleCount = {};
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
    return static_cast<unsigned int>(aggregationTimer.period().count());
}

void DataManager::emitAggregations(const std::vector<lm::AggregatedPerson>& aggregations, bool storeForPull) {
    const unsigned int period = aggregationPeriodSeconds();
    const std::string document = format::aggregatedPeopleToJson(aggregations, period, instanceName);
    aggregatedPush.newMessage(document);
    if (storeForPull) pullData.newAggregatedDataPoint(document);
    writeCsv([&] { dailyCsv.newAggregatedDataPoint(getAggregatedCsvData(aggregations, period)); });
}

void DataManager::emitPeopleCount(bool storeForPull) {
    const PeopleCountData period = difference(currentPeopleCount, previousPeopleCount);
    previousPeopleCount = currentPeopleCount;
    const std::string document = format::peopleCountToJson(period, currentPeopleCount, instanceName);
    peopleCountPush.newMessage(document);
    if (storeForPull) pullData.newPeopleCountDataPoint(document);
    const std::string line = format::peopleCountToCsv(period, currentPeopleCount);
    writeCsv([&] { dailyCsv.newPeopleCountDataPoint(line); });
}

void DataManager::writeCsv(const std::function<void()>& write) {
    try {
        write();
    } catch (...) {
        if (!csvFailure) csvFailure = std::current_exception();
    }
}

void DataManager::throwIfCsvFailed() {
    if (!csvFailure) return;
    std::exception_ptr failure;
    std::swap(failure, csvFailure);
    std::rethrow_exception(failure);
}

}  // namespace hx
