#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "hx_daily_csv.h"
#include "hx_format.h"
#include "support/log_capture.h"
#include "support/space_limits.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TimePoint = std::chrono::system_clock::time_point;

constexpr std::int64_t MARCH_4_2021_235959 = 1614902399;  // UTC
const std::string HEADER = "a,b";
using DailyCsvFile = hx::DailyCsvFile;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> csvFilesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A temporary directory, UTC as the local zone and a hand-set clock for the file dates.
class DailyCsvFileTest : public ::testing::Test {
protected:
    DailyCsvFile makeFile(const std::string& directory, const std::string& instance = "hx", bool enabled = true) {
        return DailyCsvFile(enabled, directory, HEADER, "raw", instance, clock());
    }
    hx::DailyCsvFile::Clock clock() {
        return [this] { return now; };
    }
    std::string dir() const { return temp.path().string(); }

    lmtest::TempDir temp;
    lmtest::ScopedTimeZone zone{"UTC0"};
    TimePoint now = TimePoint(std::chrono::seconds(MARCH_4_2021_235959)) - 1h;  // 4 March, 22:59:59
};

TEST_F(DailyCsvFileTest, NamedAfterTagInstanceAndLocalDate) {
    const struct {
        std::string instance;
        const char* zone;
        const char* name;
    } cases[] = {
        {"hx", "UTC0", "raw_hx_2021-03-04.csv"},
        {"", "UTC0", "raw_noname_2021-03-04.csv"},
        {"hx", "ABC-5:30", "raw_hx_2021-03-05.csv"},  // already 5 March at +05:30
    };
    for (const auto& c : cases) {
        lmtest::ScopedTimeZone localZone(c.zone);
        const fs::path sub = temp.path() / (c.instance + c.zone);
        DailyCsvFile file(true, sub.string(), HEADER, "raw", c.instance, clock());
        EXPECT_EQ(file.path(), sub / c.name);
        EXPECT_TRUE(fs::exists(sub / c.name));
    }
}

TEST_F(DailyCsvFileTest, EmptyDirectoryMeansWorkingDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(temp.path());
    {
        DailyCsvFile file(true, "", HEADER, "raw", "hx", clock());
        file << "1,2";
    }
    fs::current_path(previous);
    EXPECT_EQ(readFile(temp.path() / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n");
}

TEST_F(DailyCsvFileTest, HeaderOnceAndAppendAfterRestart) {
    {
        auto file = makeFile(dir());
        file << "1,2"
             << "3,4";
    }
    {
        auto file = makeFile(dir());  // a second run on the same day
        file << "5,6";
    }
    EXPECT_EQ(readFile(temp.path() / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n3,4\n5,6\n");
}

TEST_F(DailyCsvFileTest, EmptyExistingFileGetsTheHeader) {
    std::ofstream(temp.path() / "raw_hx_2021-03-04.csv").close();
    auto file = makeFile(dir());
    file << "1,2";
    EXPECT_EQ(readFile(temp.path() / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n");
}

TEST_F(DailyCsvFileTest, RotatesWhenTheLocalDateChanges) {
    const struct {
        const char* what;
        std::chrono::seconds step;
        const char* secondFile;
    } cases[] = {
        {"midnight", 3601s, "raw_hx_2021-03-05.csv"},
        // The same day of the month a month later is another date.
        {"a month later", std::chrono::seconds(31 * 24 * 3600), "raw_hx_2021-04-04.csv"},
    };
    for (const auto& c : cases) {
        lmtest::TempDir out;
        now = TimePoint(std::chrono::seconds(MARCH_4_2021_235959)) - 1h;
        DailyCsvFile file(true, out.path().string(), HEADER, "raw", "hx", clock());
        file << "1,2";
        now += c.step;
        file << "3,4";
        EXPECT_EQ(csvFilesIn(out.path()), (std::vector<std::string>{"raw_hx_2021-03-04.csv", c.secondFile})) << c.what;
        EXPECT_EQ(readFile(out.path() / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n") << c.what;
        EXPECT_EQ(readFile(out.path() / c.secondFile), "a,b\n3,4\n") << c.what;
    }
}

TEST_F(DailyCsvFileTest, DiskFullLosesLinesThenWritingResumesWithHeader) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    lmtest::LogCapture log;
    const fs::path name = temp.path() / "raw_hx_2021-03-04.csv";
    fs::create_symlink("/dev/full", name);
    auto file = makeFile(dir());
    EXPECT_NO_THROW(file << "1,2"
                         << "3,4"
                         << "5,6");
    // One report when the streak starts, none per further line.
    EXPECT_EQ(log.countContaining("Cannot write CSV file : " + name.string()), 1u);
    EXPECT_EQ(log.countContaining("Lost"), 0u);

    fs::remove(name);  // room again: the next write opens a fresh file
    file << "7,8"
         << "9,10";
    EXPECT_EQ(readFile(name), "a,b\n7,8\n9,10\n");
    EXPECT_EQ(log.count("Lost 3 line(s) of CSV file : " + name.string()), 1u);
    EXPECT_EQ(log.countContaining("Cannot write CSV file"), 1u);
}

TEST_F(DailyCsvFileTest, StreakStillFailingAtTheEndIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    lmtest::LogCapture log;
    const fs::path name = temp.path() / "raw_hx_2021-03-04.csv";
    fs::create_symlink("/dev/full", name);
    {
        auto file = makeFile(dir());
        file << "1,2"
             << "3,4";
    }
    EXPECT_EQ(log.count("Lost 2 line(s) of CSV file : " + name.string()), 1u);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Writes far more lines than there is room for, then calls `makeRoom` and writes one more:
// the file must hold the header, an unbroken run of whole lines from the first on, then the
// line written after recovery, and the log must count exactly the lines that are missing.
void expectWholeLinesAcrossAnOutage(DailyCsvFile& file, const std::function<void()>& makeRoom) {
    constexpr int WRITTEN = 1000;
    const std::string padding(90, 'x');  // 4096 is no multiple of a line: writes end mid-line
    lmtest::LogCapture log;
    for (int i = 0; i < WRITTEN; ++i) file << std::to_string(i) + "," + padding;
    makeRoom();
    file << "after,recovery";

    const std::vector<std::string> lines = linesOf(readFile(file.path()));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), HEADER);
    EXPECT_EQ(lines.back(), "after,recovery");
    const int kept = static_cast<int>(lines.size()) - 2;
    for (int i = 0; i < kept; ++i) ASSERT_EQ(lines[static_cast<std::size_t>(i) + 1], std::to_string(i) + "," + padding);
    ASSERT_LT(kept, WRITTEN) << "the room never ran out";
    EXPECT_EQ(readFile(file.path()).back(), '\n');
    EXPECT_EQ(log.count(fmt::format("Lost {} line(s) of CSV file : {}", WRITTEN - kept, file.path().string())), 1u)
        << ::testing::PrintToString(log.texts());
    EXPECT_EQ(log.countContaining("Cannot write CSV file"), 1u);
}

TEST_F(DailyCsvFileTest, FullFilesystemCutsTheBrokenLineAndCountsEveryLostOne) {
    const fs::path mountPoint = temp.path() / "small";
    lmtest::SmallFilesystem small(mountPoint, 64 * 1024);
    if (!small.mounted()) GTEST_SKIP() << "no right to mount a tmpfs";
    const fs::path ballast = mountPoint / "ballast";
    std::ofstream(ballast) << std::string(16 * 1024, 'b');
    auto file = makeFile(mountPoint.string());
    expectWholeLinesAcrossAnOutage(file, [&] { fs::remove(ballast); });
}

TEST_F(DailyCsvFileTest, FileSizeLimitCutsTheBrokenLineAndCountsEveryLostOne) {
    auto file = makeFile(dir());
    lmtest::FileSizeLimit limit(20000);
    expectWholeLinesAcrossAnOutage(file, [&] { limit.lift(); });
}

TEST_F(DailyCsvFileTest, IncompleteLastLineOfAnEarlierRunIsCutOff) {
    const struct {
        const char* before;
        const char* after;
    } cases[] = {
        {"a,b\n1,2\n3,", "a,b\n1,2\n5,6\n"},
        {"a,", "a,b\n5,6\n"},  // even the header was cut short: the file starts again
        {"a,b\n1,2\n", "a,b\n1,2\n5,6\n"},
    };
    for (const auto& c : cases) {
        lmtest::TempDir out;
        std::ofstream(out.path() / "raw_hx_2021-03-04.csv") << c.before;
        lmtest::LogCapture log;
        {
            DailyCsvFile file(true, out.path().string(), HEADER, "raw", "hx", clock());
            file << "5,6";
        }
        EXPECT_EQ(readFile(out.path() / "raw_hx_2021-03-04.csv"), c.after) << c.before;
        const bool cut = std::string(c.before).back() != '\n';
        EXPECT_EQ(log.countContaining("Cut an incomplete last line off CSV file"), cut ? 1u : 0u) << c.before;
    }
}

TEST_F(DailyCsvFileTest, LogsEachOpenedFile) {
    lmtest::LogCapture log;
    auto file = makeFile(dir());
    file.reload();
    EXPECT_EQ(log.count("Opened CSV file : " + (temp.path() / "raw_hx_2021-03-04.csv").string()), 2u);
}

TEST_F(DailyCsvFileTest, MissingParentDirectoryIsAnError) {
    const fs::path nested = temp.path() / "missing" / "csv";
    EXPECT_THROW(makeFile(nested.string()), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(temp.path() / "missing"));

    // One missing level is created.
    auto file = makeFile((temp.path() / "csv").string());
    file << "1,2";
    EXPECT_EQ(readFile(temp.path() / "csv" / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n");
}

TEST_F(DailyCsvFileTest, UnopenableFileNamesThePath) {
    const fs::path notADirectory = temp.path() / "plain";
    std::ofstream(notADirectory).close();
    try {
        makeFile(notADirectory.string());
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot open csv file : " + (notADirectory / "raw_hx_2021-03-04.csv").string());
    }
}

TEST_F(DailyCsvFileTest, DisabledFileTouchesNothing) {
    const fs::path sub = temp.path() / "off";
    auto file = makeFile(sub.string(), "hx", false);
    file << "1,2";
    file.checkFileRotation();
    EXPECT_FALSE(fs::exists(sub));

    // Switched on by a reload, then off again: closed and left alone.
    file.reload(true, sub.string(), HEADER, "raw", "hx");
    file << "1,2";
    file.reload(false, sub.string(), HEADER, "raw", "hx");
    file << "3,4";
    EXPECT_EQ(readFile(sub / "raw_hx_2021-03-04.csv"), "a,b\n1,2\n");
}

hx::Settings allCsvOutputs(const fs::path& root) {
    hx::Settings settings;
    settings.instanceName = "cam1";
    settings.rawCsvEnabled = settings.aggregatedCsvEnabled = settings.peopleCountCsvEnabled = true;
    settings.tovexCsvEnabled = true;
    settings.rawCsvPath = (root / "raw").string();
    settings.aggregatedCsvPath = (root / "agg").string();
    settings.peopleCountCsvPath = (root / "count").string();
    settings.tovexCsvPath = (root / "pop").string();
    return settings;
}

TEST_F(DailyCsvFileTest, FiveOutputsWithTheirHeaders) {
    const hx::Settings settings = allCsvOutputs(temp.path());
    {
        hx::DailyCsv csv(settings, clock());
        csv.newRawDataPoint({"r1", "r2"});
        csv.newAggregatedDataPoint({"a1"});
        csv.newPeopleCountDataPoint("c1");
        csv.newAggregatedPerContentDataPoint({"p1", "p2"});
        csv.newAggregatedTotalPerContentDataPoint("t1");
        csv.setSettings(settings);  // reopens every file without a second header
        csv.newRawDataPoint({"r3"});
    }
    const auto header = [](std::string_view h) { return std::string(h) + "\n"; };
    EXPECT_EQ(readFile(temp.path() / "raw" / "raw_cam1_2021-03-04.csv"),
              header(hx::format::RAW_CSV_HEADER) + "r1\nr2\nr3\n");
    EXPECT_EQ(readFile(temp.path() / "agg" / "aggregated_cam1_2021-03-04.csv"),
              header(hx::format::AGGREGATED_CSV_HEADER) + "a1\n");
    EXPECT_EQ(readFile(temp.path() / "count" / "people_count_cam1_2021-03-04.csv"),
              header(hx::format::PEOPLE_COUNT_CSV_HEADER) + "c1\n");
    EXPECT_EQ(readFile(temp.path() / "pop" / "pop_cam1_2021-03-04.csv"),
              header(hx::format::AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER) + "p1\np2\n");
    EXPECT_EQ(readFile(temp.path() / "pop" / "pop_total_cam1_2021-03-04.csv"),
              header(hx::format::AGGREGATED_TOTAL_AUDIENCE_PER_CONTENT_CSV_HEADER) + "t1\n");
}

TEST_F(DailyCsvFileTest, SwitchedOffOutputsStayClosed) {
    hx::Settings settings = allCsvOutputs(temp.path());
    hx::DailyCsv csv(settings, clock());
    settings.rawCsvEnabled = false;
    settings.tovexCsvEnabled = false;
    csv.setSettings(settings);
    csv.newRawDataPoint({"r1"});
    csv.newAggregatedPerContentDataPoint({"p1"});
    csv.newAggregatedTotalPerContentDataPoint("t1");
    csv.newAggregatedDataPoint({"a1"});
    EXPECT_EQ(readFile(temp.path() / "raw" / "raw_cam1_2021-03-04.csv"),
              std::string(hx::format::RAW_CSV_HEADER) + "\n");
    EXPECT_EQ(readFile(temp.path() / "pop" / "pop_cam1_2021-03-04.csv"),
              std::string(hx::format::AGGREGATED_AUDIENCE_PER_CONTENT_CSV_HEADER) + "\n");
    EXPECT_EQ(readFile(temp.path() / "agg" / "aggregated_cam1_2021-03-04.csv"),
              std::string(hx::format::AGGREGATED_CSV_HEADER) + "\na1\n");
}

}  // namespace
