#include "hx_daily_csv.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "hx_format.h"
#include "hx_log.h"

namespace hx {

namespace {

// Writes all of `data`, retrying after a signal; false on the first error, which may leave
// the part written so far in the file.
bool writeFully(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The size of a regular file; nothing for anything else (a device, say), which cannot be
// measured or cut.
std::optional<off_t> regularFileSize(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return info.st_size;
}

// Where the file's last complete line ends: just after its last newline, or 0 without one.
off_t endOfLastCompleteLine(int fd, off_t size) {
    constexpr off_t BLOCK = 4096;
    char buffer[BLOCK];
    for (off_t end = size; end > 0;) {
        const off_t begin = std::max<off_t>(0, end - BLOCK);
        const ssize_t got = ::pread(fd, buffer, static_cast<std::size_t>(end - begin), begin);
        if (got <= 0) return size;  // unreadable: leave the file as it is
        for (ssize_t i = got; i > 0; --i)
            if (buffer[i - 1] == '\n') return begin + i;
        end = begin;
    }
    return 0;
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

DailyCsvFile::~DailyCsvFile() {
    reportLostLines();
    close();
}

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

    // Read as well: an incomplete last line is looked for.
    mFd = ::open(mPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (mFd < 0) throw std::runtime_error(fmt::format("Cannot open csv file : {}", mPath.string()));
    mOpenedDate = dateOf(local);
    // While writes keep failing the file is reopened for every line; one report per streak.
    if (!mFailing) harbixLog()->info("Opened CSV file : {}", mPath.string());

    dropIncompleteLastLine();
    if (regularFileSize(mFd) == off_t{0} && !writeLine(mHeader)) noteWriteFailure(0);
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
    if (mFd < 0) open();
    if (writeLine(line))
        noteWriteSuccess();
    else
        noteWriteFailure(1);
    return *this;
}

void DailyCsvFile::close() {
    if (mFd >= 0) ::close(mFd);
    mFd = -1;
}

void DailyCsvFile::dropIncompleteLastLine() {
    const std::optional<off_t> size = regularFileSize(mFd);
    if (!size || *size == 0) return;
    const off_t complete = endOfLastCompleteLine(mFd, *size);
    if (complete == *size) return;
    if (::ftruncate(mFd, complete) == 0)
        harbixLog()->warn("Cut an incomplete last line off CSV file : {}", mPath.string());
}

// One write for the line and its newline, so that nothing else lands between them; when it
// fails, the part that did get written is cut off again.
bool DailyCsvFile::writeLine(std::string_view text) {
    std::string record;
    record.reserve(text.size() + 1);
    record.append(text).push_back('\n');
    const std::optional<off_t> sizeBefore = regularFileSize(mFd);
    if (writeFully(mFd, record)) return true;
    // A file that cannot be cut now keeps the fragment until it is opened again, which cuts it.
    if (sizeBefore && ::ftruncate(mFd, *sizeBefore) != 0)
        harbixLog()->warn("Cannot cut an incomplete line off CSV file : {}", mPath.string());
    return false;
}

void DailyCsvFile::noteWriteFailure(std::size_t linesLost) {
    if (!mFailing) {
        harbixLog()->error("Cannot write CSV file : {}; lines are lost until writing works again", mPath.string());
        mFailing = true;
    }
    mLostLines += linesLost;
    // The next write opens the file again, which also finds a file that was replaced.
    close();
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
