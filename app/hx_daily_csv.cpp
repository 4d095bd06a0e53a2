#include "hx_daily_csv.h"

#include <stdexcept>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "hx_format.h"
#include "hx_log.h"

namespace hx {

namespace {

bool isNewOrEmpty(const std::filesystem::path& path, bool existedBefore) {
    if (!existedBefore) return true;
    std::error_code error;
    // Only a regular file can be measured; anything else (a device, say) counts as not empty.
    if (!std::filesystem::is_regular_file(path, error)) return false;
    const auto size = std::filesystem::file_size(path, error);
    return !error && size == 0;
}

}  // namespace

DailyCsvFile::DailyCsvFile(const bool& enabled, const std::string& directory, const std::string_view& header,
                           const std::string& tag, const std::string& instanceName, Clock clock)
    : mEnabled(enabled),
      mDirectory(directory),
      mHeader(header),
      mInstanceName(instanceName),
      mTag(tag),
      mClock(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {
    open();
}

DailyCsvFile::~DailyCsvFile() { reportLostLines(); }

std::tm DailyCsvFile::localNow() const {
    const std::time_t now = std::chrono::system_clock::to_time_t(mClock());
    std::tm local{};
    ::localtime_r(&now, &local);  // our own record: safe when several files convert at once
    return local;
}

DailyCsvFile::Date DailyCsvFile::dateOf(const std::tm& local) {
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

void DailyCsvFile::open() {
    if (!mEnabled) return;
    if (mDirectory.empty()) mDirectory = ".";
    // Only the last level is created: a missing parent is a configuration error that
    // create_directory reports with the path.
    if (!std::filesystem::exists(mDirectory)) std::filesystem::create_directory(mDirectory);

    const std::tm local = localNow();
    const std::string name =
        fmt::format("{}_{}_{:%Y-%m-%d}.csv", mTag, mInstanceName.empty() ? "noname" : mInstanceName, local);
    mPath = mDirectory / name;

    std::error_code ignored;
    const bool existed = std::filesystem::exists(mPath, ignored);
    mFile.clear();
    mFile.open(mPath, std::ios::out | std::ios::app);
    if (!mFile.is_open()) throw std::runtime_error(fmt::format("Cannot open csv file : {}", mPath.string()));
    mOpenedDate = dateOf(local);
    // While writes keep failing the file is reopened for every line; one report per streak.
    if (!mFailing) harbixLog()->info("Opened CSV file : {}", mPath.string());

    if (isNewOrEmpty(mPath, existed) && !writeLine(mHeader)) noteWriteFailure(0);
}

void DailyCsvFile::reload(const bool& enabled, const std::string& directory, const std::string_view& header,
                          const std::string& tag, const std::string& instanceName) {
    mEnabled = enabled;
    mDirectory = directory;
    mHeader = header;
    mTag = tag;
    mInstanceName = instanceName;
    reload();
}

void DailyCsvFile::reload() {
    close();
    open();
}

void DailyCsvFile::checkFileRotation() {
    if (!mEnabled) return;
    // The whole date counts: the same day of a later month is another file.
    if (mOpenedDate && *mOpenedDate == dateOf(localNow())) return;
    close();
    open();
}

DailyCsvFile& DailyCsvFile::operator<<(const std::string& line) {
    if (!mEnabled) return *this;
    checkFileRotation();
    if (!mEnabled) return *this;
    // A file closed after a failed write is opened again, so writing resumes when it can.
    if (!mFile.is_open()) open();
    if (writeLine(line))
        noteWriteSuccess();
    else
        noteWriteFailure(1);
    return *this;
}

void DailyCsvFile::close() {
    if (mFile.is_open()) mFile.close();
}

bool DailyCsvFile::writeLine(std::string_view text) {
    mFile << text << '\n';
    mFile.flush();
    return mFile.good();
}

void DailyCsvFile::noteWriteFailure(std::size_t linesLost) {
    if (!mFailing) {
        harbixLog()->error("Cannot write CSV file : {}; lines are lost until writing works again", mPath.string());
        mFailing = true;
    }
    mLostLines += linesLost;
    // Closing drops what the stream still buffers; the next write opens the file again.
    mFile.close();
    mFile.clear();
}

void DailyCsvFile::noteWriteSuccess() {
    if (!mFailing) return;
    reportLostLines();
    harbixLog()->info("Writing CSV file : {} again", mPath.string());
}

void DailyCsvFile::reportLostLines() {
    if (!mFailing) return;
    harbixLog()->error("Lost {} line(s) of CSV file : {}", mLostLines, mPath.string());
    mFailing = false;
    mLostLines = 0;
}

DailyCsv::DailyCsv(const hx::Settings& settings, DailyCsvFile::Clock clock)
    : mRawFile(settings.rawCsvEnabled, settings.rawCsvPath, format::RAW_CSV_HEADER, "raw", settings.instanceName,
               clock),
      mAggregatedFile(settings.aggregatedCsvEnabled, settings.aggregatedCsvPath, format::AGGREGATED_CSV_HEADER,
                      "aggregated", settings.instanceName, clock),
      mPeopleCountFile(settings.peopleCountCsvEnabled, settings.peopleCountCsvPath, format::PEOPLE_COUNT_CSV_HEADER,
                       "people_count", settings.instanceName, clock),
      mPerContentFile(settings.tovexCsvEnabled, settings.tovexCsvPath,
                      format::AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER, "pop", settings.instanceName, clock),
      mTotalPerContentFile(settings.tovexCsvEnabled, settings.tovexCsvPath,
                           format::AGGREGATED_TOTAL_AUDIENCE_PER_CONTENT_CSV_HEADER, "pop_total", settings.instanceName,
                           clock) {}

void DailyCsv::setSettings(const hx::Settings& settings) {
    mRawFile.reload(settings.rawCsvEnabled, settings.rawCsvPath, format::RAW_CSV_HEADER, "raw", settings.instanceName);
    mAggregatedFile.reload(settings.aggregatedCsvEnabled, settings.aggregatedCsvPath, format::AGGREGATED_CSV_HEADER,
                           "aggregated", settings.instanceName);
    mPeopleCountFile.reload(settings.peopleCountCsvEnabled, settings.peopleCountCsvPath,
                            format::PEOPLE_COUNT_CSV_HEADER, "people_count", settings.instanceName);
    mPerContentFile.reload(settings.tovexCsvEnabled, settings.tovexCsvPath,
                           format::AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER, "pop", settings.instanceName);
    mTotalPerContentFile.reload(settings.tovexCsvEnabled, settings.tovexCsvPath,
                                format::AGGREGATED_TOTAL_AUDIENCE_PER_CONTENT_CSV_HEADER, "pop_total",
                                settings.instanceName);
}

void DailyCsv::writeAll(DailyCsvFile& file, const std::vector<std::string>& lines) {
    file.checkFileRotation();
    for (const auto& line : lines) file << line;
}

void DailyCsv::newRawDataPoint(const std::vector<std::string>& lines) { writeAll(mRawFile, lines); }

void DailyCsv::newAggregatedDataPoint(const std::vector<std::string>& lines) { writeAll(mAggregatedFile, lines); }

void DailyCsv::newAggregatedPerContentDataPoint(const std::vector<std::string>& lines) {
    writeAll(mPerContentFile, lines);
}

void DailyCsv::newAggregatedTotalPerContentDataPoint(const std::string& line) { mTotalPerContentFile << line; }

void DailyCsv::newPeopleCountDataPoint(const std::string& line) { mPeopleCountFile << line; }

}  // namespace hx
