#pragma once
// Daily CSV files: one append-only file per output and local calendar day, named
// "<tag>_<instance>_<YYYY-MM-DD>.csv" in the output's directory.
//
// A file gets its header whenever it is new or empty, so a restart on the same day appends
// without a second header. A line is in the file whole or not at all: it goes to the file in
// one write of its own, and when that fails (a full disk, a file-size limit) the file is cut
// back to where the line began. A file opened with an incomplete last line (a previous run
// was killed mid-write) is cut back to its last complete line first. A failed write is logged
// once when a failure streak starts, and with the exact number of lost lines when it ends;
// the file is reopened on the next write, so writing resumes by itself once there is room.
//
// No locking: each object is written from one thread at a time.

#include <chrono>
#include <cstddef>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hx_settings.h"

namespace hx {

class DailyCsvFile {
public:
    // Gives the current time; tests replace it to move the local date.
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // Opens the file of today when enabled. Throws std::runtime_error "Cannot open csv
    // file : <path>" when it cannot be opened, and std::filesystem::filesystem_error when
    // the directory is missing and cannot be created (only its last level is created).
    DailyCsvFile(const bool& enabled, const std::string& directory, const std::string_view& header,
                 const std::string& tag, const std::string& instanceName, Clock clock = {});
    ~DailyCsvFile();
    DailyCsvFile(const DailyCsvFile&) = delete;
    DailyCsvFile& operator=(const DailyCsvFile&) = delete;

    void open();
    // Replaces the values, closes the file and opens it again.
    void reload(const bool& enabled, const std::string& directory, const std::string_view& header,
                const std::string& tag, const std::string& instanceName);
    void reload();
    // Starts the file of the new date when the local date differs from that of the open file.
    void checkFileRotation();
    // Writes the line and a newline and flushes; ignored when disabled.
    DailyCsvFile& operator<<(const std::string& line);

    // The file opened last (empty before the first open).
    const std::filesystem::path& path() const { return mPath; }

private:
    struct Date {
        int year = 0;
        int month = 0;
        int day = 0;
        bool operator==(const Date& other) const {
            return year == other.year && month == other.month && day == other.day;
        }
    };

    std::tm localNow() const;
    static Date dateOf(const std::tm& local);
    void close();
    void dropIncompleteLastLine();
    bool writeLine(std::string_view text);
    void noteWriteFailure(std::size_t linesLost);
    void noteWriteSuccess();
    void reportLostLines();

    bool mEnabled;
    std::filesystem::path mDirectory;
    std::string mHeader;
    std::optional<Date> mOpenedDate;  // set only by a successful open
    int mFd = -1;                     // the open file; -1 when closed
    std::string mInstanceName;
    std::string mTag;
    Clock mClock;
    std::filesystem::path mPath;
    bool mFailing = false;       // inside a streak of failed writes
    std::size_t mLostLines = 0;  // lines lost in the current streak
};

// The application's five CSV outputs.
class DailyCsv {
public:
    explicit DailyCsv(const hx::Settings& settings, DailyCsvFile::Clock clock = {});

    void setSettings(const hx::Settings& settings);
    void newRawDataPoint(const std::vector<std::string>& lines);
    void newAggregatedDataPoint(const std::vector<std::string>& lines);
    void newAggregatedPerContentDataPoint(const std::vector<std::string>& lines);
    void newAggregatedTotalPerContentDataPoint(const std::string& line);
    void newPeopleCountDataPoint(const std::string& line);

private:
    static void writeAll(DailyCsvFile& file, const std::vector<std::string>& lines);

    DailyCsvFile mRawFile;
    DailyCsvFile mAggregatedFile;
    DailyCsvFile mPeopleCountFile;
    DailyCsvFile mPerContentFile;
    DailyCsvFile mTotalPerContentFile;
};

}  // namespace hx
