// Whole-program tests: the real harbix binary of this build tree, run as a child process
// with a settings file in a temporary folder, the generated test networks and a drawn video.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include "hx_settings.h"
#include "support/child_process.h"
#include "support/model_tool.h"
#include "support/opencl_drivers.h"
#include "support/settings_extremes.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/video_file_settings.h"

namespace {

using namespace std::chrono_literals;

constexpr auto STARTUP = 120s;  // the sanitizer builds load the networks slowly
constexpr auto SHUTDOWN = 60s;

const std::string USAGE =
    "\n"
    "Arguments:\n"
    "-s, --settings <path>  : Path to the Lumora Harbix's settings file.\n"
    "-o, --show-output      : Display video feed and processing result overlay in a window.\n"
    "-r, --auto-start       : Start processing when Harbix is launched.\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program logs this once its handlers for SIGINT and SIGTERM are in place (before
// that, a signal has its default effect, or that of a library's own handler).
bool waitForSignalHandlers(lmtest::ChildProcess& child) {
    return child.waitForOutput("Ready: SIGINT or SIGTERM ends the program", STARTUP);
}

class HarbixProgram : public ::testing::Test {
protected:
    HarbixProgram() { std::filesystem::create_directories(mCsvDir); }

    hx::Settings settingsFor(const std::string& video, bool loop) const {
        hx::Settings s = lmtest::videoFileSettings(video, loop);
        s.peopleCountEnabled = true;
        s.rawCsvEnabled = true;
        s.rawCsvPath = mCsvDir.string();
        s.peopleCountCsvEnabled = true;
        s.peopleCountCsvPath = mCsvDir.string();
        return s;
    }

    std::string writeSettings(const hx::Settings& settings, const std::string& name = "settings.json") const {
        const std::string path = mDir.file(name);
        settings.saveSettingsAsJson(path);
        return path;
    }

    std::string video(int frames, double fps = 25.0) const {
        const std::string path = mDir.file("faces.avi");
        lmtest::writeSquaresVideo(path, frames, fps, {lmtest::FACE_SQUARE});
        return path;
    }

    // The program without a display (its preview cannot open), in the temporary folder.
    lmtest::ChildProcess run(std::vector<std::string> arguments, std::optional<rlim_t> fileSizeLimit = {}) const {
        arguments.insert(arguments.begin(), LUMORA_HARBIX);
        lmtest::ChildOptions options;
        options.fileSizeLimit = fileSizeLimit;
        options.workingDirectory = mDir.path().string();
        options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
        return lmtest::ChildProcess(arguments, options);
    }

    std::vector<std::filesystem::path> csvFiles() const {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(mCsvDir)) files.push_back(entry.path());
        return files;
    }

    lmtest::TempDir mDir;
    std::filesystem::path mCsvDir = mDir.path() / "csv";
};

// ---------------------------------------------------------------------------------------
// Command line

struct UsageCase {
    std::vector<std::string> arguments;
    std::string message;
};

TEST_F(HarbixProgram, UsageErrorsPrintTheUsageTextAndEndWithStatusOne) {
    const std::vector<UsageCase> cases = {
        {{}, "Please specify Lumora Harbix settings"},
        {{"-s"}, "Settings path argument missing"},
        {{"-r", "--settings"}, "Settings path argument missing"},
        {{"-s", ""}, "Please specify Lumora Harbix settings"},
        {{"-o", "-r", "-or"}, "Please specify Lumora Harbix settings"},
        // Options are compared as a whole and case-sensitively: these are ignored.
        {{"-x", "--SETTINGS", "-S", "a.json", "-sa.json"}, "Please specify Lumora Harbix settings"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        auto child = run(c.arguments);
        EXPECT_EQ(child.wait(SHUTDOWN), 1);
        const std::string output = child.output();
        EXPECT_NE(output.find("Lumora-Harbix - 2.0.0"), std::string::npos) << output;
        EXPECT_NE(output.find(c.message + "\n" + USAGE), std::string::npos) << output;
        // No settings file gets made on a usage error.
        EXPECT_FALSE(std::filesystem::exists(mDir.file("a.json")));
        EXPECT_EQ(output.find("Initialization settings"), std::string::npos) << output;
    }
}

TEST_F(HarbixProgram, MissingSettingsFileIsWrittenWithDefaultsAndUsed) {
    // The default settings listen on port 8080; the server reuses ports, so this only fails
    // when another kind of program holds it.
    try {
        Poco::Net::ServerSocket probe;
        probe.bind(Poco::Net::SocketAddress("0.0.0.0", 8080), true, true);
    } catch (const std::exception& error) {
        GTEST_SKIP() << "port 8080 is taken: " << error.what();
    }
    std::filesystem::create_directory_symlink(lmtest::appTestNetworksDir(), mDir.path() / "networks");
    const std::string path = mDir.file("new-settings.json");

    auto child = run({"-s", path});
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    EXPECT_NE(child.output().find("Clean exit"), std::string::npos) << child.output();

    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    const std::string written = readFile(path);
    EXPECT_NE(written.find("\"neuralNetworksPath\": \"./networks\""), std::string::npos) << written;
    hx::Settings reread;
    EXPECT_NO_THROW(reread.load(path));
    EXPECT_EQ(reread.neuralNetworksPath, "./networks");
}

TEST_F(HarbixProgram, LaterSettingsOptionReplacesTheEarlierPath) {
    hx::Settings settings = settingsFor(video(5), false);
    settings.instanceName = "from-the-second-file";
    const std::string second = writeSettings(settings);

    auto child = run({"-s", mDir.file("first.json"), "--settings", second});
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    EXPECT_NE(child.output().find("instanceName = from-the-second-file"), std::string::npos) << child.output();
    EXPECT_FALSE(std::filesystem::exists(mDir.file("first.json")));
}

TEST_F(HarbixProgram, ArgumentAfterSettingsOptionIsThePathEvenWhenItLooksLikeAnOption) {
    std::filesystem::create_directory_symlink(lmtest::appTestNetworksDir(), mDir.path() / "networks");
    hx::Settings settings = settingsFor(video(5), false);
    settings.neuralNetworksPath = "./networks";
    writeSettings(settings, "-o");

    auto child = run({"-s", "-o"});
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    // The settings came from the file "-o", and the preview was never asked for (it would
    // have said that there is no display).
    EXPECT_NE(child.output().find("videoFilePath = " + settings.videoFilePath), std::string::npos);
    EXPECT_EQ(child.output().find("No display found"), std::string::npos) << child.output();
}

// ---------------------------------------------------------------------------------------
// Signals, auto-start and the end of a video

TEST_F(HarbixProgram, StaleTemporaryFilesOfAnInterruptedStoreAreRemovedAtStart) {
    const std::string settings = writeSettings(settingsFor(video(5), false));
    const std::filesystem::path stale = mDir.path() / ".settings.json.q1W2e3";
    std::ofstream(stale) << "{ \"useAge\": tr";
    auto child = run({"-s", settings});
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_NE(child.output().find("Removed 1 stale temporary settings file(s) beside " + settings), std::string::npos)
        << child.output();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
}

TEST_F(HarbixProgram, SigintAndSigtermStopARunningAnalysisAndExitCleanly) {
    const std::string settings = writeSettings(settingsFor(video(20), true));
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        auto child = run({"-s", settings, "-r"});
        ASSERT_TRUE(child.waitForOutput("Start engine", STARTUP)) << child.output();
        ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
        child.signal(signal);
        EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
        const std::string output = child.output();
        const auto stop = output.find("] Stop\n");
        const auto clean = output.find("Clean exit");
        EXPECT_NE(stop, std::string::npos) << output;
        EXPECT_NE(clean, std::string::npos) << output;
        EXPECT_LT(stop, clean);
        EXPECT_EQ(output.find("Exit after error"), std::string::npos) << output;
    }
}

// The OpenCL driver (tens of MB resident, a thread pool) is loaded only when the settings
// ask for an OpenCL target: not by a run on the CPU, and at start on the main thread when
// they do (where a machine has a driver at all).
TEST_F(HarbixProgram, OpenClDriverIsLoadedOnlyForAnOpenClTarget) {
    hx::Settings cpu = settingsFor(video(20), true);
    auto onCpu = run({"-s", writeSettings(cpu, "cpu.json"), "-r"});
    ASSERT_TRUE(onCpu.waitForOutput("Start engine", STARTUP)) << onCpu.output();
    ASSERT_TRUE(waitForSignalHandlers(onCpu)) << onCpu.output();
    std::this_thread::sleep_for(1s);  // a few frames through every network
    EXPECT_FALSE(lmtest::openClDriverMapped(std::to_string(onCpu.pid())));
    onCpu.signal(SIGTERM);
    EXPECT_EQ(onCpu.wait(SHUTDOWN), 0) << onCpu.output();

    if (lmtest::openClDrivers().empty()) GTEST_SKIP() << "no OpenCL driver installed";
    hx::Settings gpu = cpu;
    gpu.dnnTarget = lm::Settings::GPU;
    auto onGpu = run({"-s", writeSettings(gpu, "gpu.json")});  // no run: OpenCL kernels build slowly
    ASSERT_TRUE(waitForSignalHandlers(onGpu)) << onGpu.output();
    EXPECT_TRUE(lmtest::openClDriverMapped(std::to_string(onGpu.pid())));
    onGpu.signal(SIGTERM);
    EXPECT_EQ(onGpu.wait(SHUTDOWN), 0) << onGpu.output();
}

TEST_F(HarbixProgram, CombinedOptionsStartAtOnceAndWithoutDisplayRunWithoutPreview) {
    const std::string settings = writeSettings(settingsFor(video(20), true));
    for (const std::string option : {"-or", "-ro"}) {
        SCOPED_TRACE(option);
        auto child = run({"-s", settings, option});
        ASSERT_TRUE(child.waitForOutput("Start engine", STARTUP)) << child.output();
        EXPECT_TRUE(child.waitForOutput("No display found: the preview window is off", 1s)) << child.output();
        ASSERT_TRUE(waitForSignalHandlers(child));
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    }
}

TEST_F(HarbixProgram, EndOfVideoEndsTheRunAndTheProgramWaitsForASignal) {
    const std::string settings = writeSettings(settingsFor(video(8), false));
    auto child = run({"-s", settings, "--auto-start"});
    ASSERT_TRUE(child.waitForOutput("Video Ended", STARTUP)) << child.output();
    // The run's data is out once the video has ended, before the program is told to go.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(child.wait(0ms).has_value()) << "the program must keep running";
    const auto files = csvFiles();
    EXPECT_EQ(files.size(), 2u);  // raw and people-count files of today
    std::size_t rawLines = 0;
    for (const auto& file : files)
        if (file.filename().string().rfind("raw", 0) == 0) {
            std::istringstream text(readFile(file));
            for (std::string line; std::getline(text, line);) ++rawLines;
        }
    EXPECT_EQ(rawLines, 1u + 8u) << "a header and one face line per frame";

    child.signal(SIGINT);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    EXPECT_NE(child.output().find("Clean exit"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Errors

struct BadSettingsCase {
    std::string name;
    std::string text;     // the settings file
    std::string message;  // what follows "Mainloop error : "
};

TEST_F(HarbixProgram, InvalidSettingsFileEndsWithMainloopErrorAndStatusOne) {
    hx::Settings good = settingsFor(video(5), false);
    const std::string valid = good.settingsToJsonString(4);
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = valid;
        const auto at = text.find(from);
        if (at == std::string::npos) throw std::logic_error("no " + from + " in the settings text");
        return text.replace(at, from.size(), to);
    };
    const std::vector<BadSettingsCase> cases = {
        {"value out of range", replaced("\"zoomFactor\": 1", "\"zoomFactor\": 0.5"),
         "Invalid setting: zoom_factor =  0.5 "},
        {"missing key", replaced("\"instanceName\"", "\"instanceNameX\""),
         "Field missing in settings JSON object: instanceName"},
        {"not JSON", "{ this is not json", ""},
        {"more threads than the thread pool takes", lmtest::settingsTextWith(good, "numThreads", 65537),
         lmtest::invalidSetting("numThreads", "65537")},
        {"port 0", lmtest::settingsTextWith(good, "httpInterfacePort", 0),
         lmtest::invalidSetting("httpInterfacePort", "0")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = mDir.file("bad.json");
        std::ofstream(path) << c.text;
        auto child = run({"-s", path, "-r"});
        EXPECT_EQ(child.wait(STARTUP), 1) << child.output();
        const std::string output = child.output();
        const auto error = output.find("Mainloop error : " + c.message);
        const auto exit = output.find("Exit after error");
        EXPECT_NE(error, std::string::npos) << output;
        EXPECT_NE(exit, std::string::npos) << output;
        EXPECT_LT(error, exit);
        EXPECT_EQ(output.find("Clean exit"), std::string::npos);
        // The bad file is left as it was.
        EXPECT_EQ(readFile(path), c.text);
    }
}

TEST_F(HarbixProgram, AFileSizeLimitIsAWriteErrorAndTheProgramRunsOn) {
    const std::string settings = writeSettings(settingsFor(video(20), true));
    // Room for the headers and some lines of the raw file, which grows with every frame.
    auto child = run({"-s", settings, "-r"}, 4096);
    ASSERT_TRUE(child.waitForOutput("Cannot write CSV file : ", STARTUP)) << child.output();
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(child.wait(0ms).has_value()) << child.output();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(SHUTDOWN), 0) << child.output();
    EXPECT_NE(child.output().find("Clean exit"), std::string::npos) << child.output();
    for (const auto& file : csvFiles()) EXPECT_LE(std::filesystem::file_size(file), 4096u) << file;
}

// A failure after the engine is built is logged while the engine still exists: here the
// people count of the run's end cannot be written, since its file was closed by a failed
// header and its folder has gone.
TEST_F(HarbixProgram, MainloopErrorIsLoggedBeforeTheEngineIsDestroyed) {
    hx::Settings s = lmtest::videoFileSettings(video(20), true);
    const std::filesystem::path parent = mDir.path() / "outputs";
    std::filesystem::create_directories(parent);
    s.peopleCountEnabled = true;
    s.peopleCountCsvEnabled = true;
    s.peopleCountCsvPath = (parent / "csv").string();
    auto child = run({"-s", writeSettings(s), "-r"}, 1);
    ASSERT_TRUE(child.waitForOutput("Start engine", STARTUP)) << child.output();
    ASSERT_TRUE(waitForSignalHandlers(child)) << child.output();
    std::filesystem::remove_all(parent);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(SHUTDOWN), 1) << child.output();
    const std::string output = child.output();
    const auto error = output.find("Mainloop error : ");
    const auto destroyed = output.find("Destructing Lumora version");
    const auto exit = output.find("Exit after error");
    ASSERT_NE(error, std::string::npos) << output;
    ASSERT_NE(destroyed, std::string::npos) << output;
    ASSERT_NE(exit, std::string::npos) << output;
    EXPECT_LT(error, destroyed) << output;
    EXPECT_LT(destroyed, exit) << output;
    EXPECT_EQ(output.find("Clean exit"), std::string::npos) << output;
}

TEST_F(HarbixProgram, EngineThatCannotBeBuiltEndsWithMainloopError) {
    hx::Settings settings = settingsFor(video(5), false);
    settings.neuralNetworksPath = mDir.file("no-such-networks");
    auto child = run({"-s", writeSettings(settings)});
    EXPECT_EQ(child.wait(STARTUP), 1) << child.output();
    EXPECT_NE(child.output().find("Mainloop error : "), std::string::npos) << child.output();
    EXPECT_NE(child.output().find("Exit after error"), std::string::npos) << child.output();
}

}  // namespace
