// The engine's control endpoints driven over loopback HTTP (and HTTPS): status, error code,
// description and headers of every answer, in the order a client would send them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/ocl.hpp>

#include "hx_engine.h"
#include "support/api_envelope.h"
#include "support/http_receiver.h"
#include "support/settings_extremes.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/video_file_settings.h"

// Table rows leave the trailing fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::chrono_literals;

using lmtest::envelope;

std::string statusDocument(int code, const std::string& description, bool rtp, bool processing) {
    return "{\"engine_init_error\" : { \"error_code\" : " + std::to_string(code) + ", \"description\" : \"" +
           description + "\" }," + "\"rtp_stream\":" + (rtp ? "true" : "false") +
           ",\"processing\":" + (processing ? "true" : "false") + "}";
}

// One request and what its answer must be. An empty body pattern accepts any body.
struct Exchange {
    std::string what;
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string answer;         // the whole body, when `answerPattern` is empty
    std::string answerPattern;  // a regular expression the whole body must match
    bool cors = true;           // the settings and status endpoints allow any origin
};

class EngineControl : public ::testing::Test {
protected:
    EngineControl() {
        // OpenCL comes up on the main thread, not on an engine thread (whose alternate
        // signal stack from the OpenCL runtime AddressSanitizer cannot release).
        (void)cv::ocl::useOpenCL();
        lmtest::writeSquaresVideo(mVideoPath, 40, 25.0, {lmtest::FACE_SQUARE});
    }

    hx::Settings settings() const { return lmtest::videoFileSettings(mVideoPath); }

    static std::string base(const hx::Settings& s, const std::string& scheme = "http") {
        return scheme + "://127.0.0.1:" + std::to_string(s.httpInterfacePort);
    }

    void check(const std::string& url, const Exchange& e) {
        SCOPED_TRACE(e.what + ": " + e.method + " " + e.path);
        const lmtest::HttpAnswer answer = lmtest::httpRequest(e.method, url + e.path, e.body);
        EXPECT_EQ(answer.status, e.status);
        if (e.answerPattern.empty())
            EXPECT_EQ(answer.body, e.answer);
        else
            EXPECT_TRUE(std::regex_match(answer.body, std::regex(e.answerPattern))) << answer.body;
        const bool json = e.path != "/";
        EXPECT_EQ(answer.header("Content-Type"), json ? "application/json" : "text/html");
        EXPECT_EQ(answer.header("Access-Control-Allow-Origin"), e.cors ? "*" : "");
    }

    lmtest::TempDir mDir;
    std::string mVideoPath = mDir.file("faces.avi");
};

TEST_F(EngineControl, EveryEndpointAnswersItsTable) {
    const hx::Settings s = settings();
    hx::Engine engine(s, "127.0.0.1");
    const std::string url = base(s);

    hx::Settings defaults;
    defaults.neuralNetworksPath = "./networks";
    const std::string stored = mDir.file("stored.json");
    const std::string missingDirectory = mDir.file("no-such-dir/settings.json");
    std::filesystem::create_directory(mDir.file("a-directory"));

    hx::Settings valid = settings();
    valid.httpInterfacePort = s.httpInterfacePort;
    valid.instanceName = "replaced";
    std::string missingKey = valid.settingsToJsonString(0);
    missingKey.replace(missingKey.find("\"instanceName\""), 14, "\"instanceNameX\"");

    const std::vector<Exchange> table = {
        {"product", "GET", "/", "", 200, "Lumora-Harbix - 2.0.0", "", false},
        {"product to any method", "DELETE", "/", "", 200, "Lumora-Harbix - 2.0.0", "", false},
        {"stop while idle", "POST", "/stop", "", 500, envelope(1201, "Analysis not running"), "", false},
        // No source has been opened yet: the status handler starts with the source marked bad.
        {"status before any source", "GET", "/status", "", 200,
         statusDocument(1103, "Video source error", false, false)},
        {"start", "POST", "/start", "", 200, envelope(0, ""), "", false},
        {"start twice", "GET", "/start", "", 500, envelope(1200, "Analysis is already running"), "", false},
        {"status during a run", "GET", "/status", "", 200, statusDocument(0, "", false, true)},
        {"settings", "GET", "/settings/get", "", 200, engine.getSettings().settingsToJsonString(0)},
        {"defaults", "GET", "/settings/getDefaults", "", 200, defaults.settingsToJsonString(0)},
        {"stop", "POST", "/stop", "", 200, envelope(0, ""), "", false},
        {"stop twice", "POST", "/stop", "", 500, envelope(1201, "Analysis not running"), "", false},
        {"status after a run", "GET", "/status", "", 200, statusDocument(0, "", false, false)},
        {"store without path", "POST", "/settings/store", "{}", 200, envelope(1400, "Missing field in body")},
        {"store to a missing directory", "POST", "/settings/store", "{\"file_path\":\"" + missingDirectory + "\"}", 200,
         envelope(1400, "Error opening json file: " + missingDirectory)},
        {"store onto a directory", "POST", "/settings/store", "{\"file_path\":\"" + mDir.file("a-directory") + "\"}",
         200, envelope(1400, "Error opening json file: " + mDir.file("a-directory"))},
        {"store body not JSON", "POST", "/settings/store", "file_path", 200, "", R"(\{ "error_code" : 1400, .+\})"},
        {"store", "POST", "/settings/store", "{\"file_path\":\"" + stored + "\"}", 200, envelope(0, "")},
        {"set with a body that is not JSON", "POST", "/settings/set", "{ not json", 500, "",
         R"(\{ "error_code" : 1101, "description" : ".+"\})"},
        {"a pending settings error is reported", "GET", "/status", "", 200, "",
         R"(\{"engine_init_error" : \{ "error_code" : 1101, .*"processing":false\})"},
        {"start refused while the settings are bad", "POST", "/start", "", 500, "", R"(\{ "error_code" : 1101, .+\})",
         false},
        {"set with a JSON array", "POST", "/settings/set", "[1, 2]", 500, "", R"(\{ "error_code" : 1101, .+\})"},
        {"set with a key missing", "POST", "/settings/set", missingKey, 500,
         envelope(1101, "Field missing in settings JSON object: instanceName")},
        {"set valid settings", "POST", "/settings/set", valid.settingsToJsonString(0), 200, envelope(0, "")},
        {"the error has gone", "GET", "/status", "", 200, statusDocument(0, "", false, false)},
    };
    for (const auto& exchange : table) check(url, exchange);

    // The stored file holds the settings the engine had then, and can be read back.
    hx::Settings reread;
    ASSERT_NO_THROW(reread.load(stored));
    EXPECT_EQ(reread.videoFilePath, mVideoPath);
    EXPECT_EQ(engine.getSettings().instanceName, "replaced");
    EXPECT_FALSE(std::filesystem::exists(missingDirectory));
}

TEST_F(EngineControl, FailedStoreLeavesTheOldFileIntact) {
    const hx::Settings s = settings();
    hx::Engine engine(s, "127.0.0.1");
    const std::string target = mDir.file("keep.json");
    std::ofstream(target) << "old content";
    // A directory that cannot be written to: the temporary file cannot be made beside it.
    const std::filesystem::path locked = mDir.path() / "locked";
    std::filesystem::create_directory(locked);
    const std::string lockedTarget = (locked / "keep.json").string();
    std::ofstream(lockedTarget) << "old content";
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (::access(locked.c_str(), W_OK) == 0) {
        std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
        GTEST_SKIP() << "running with rights that ignore directory permissions";
    }
    const auto answer =
        lmtest::httpRequest("POST", base(s) + "/settings/store", "{\"file_path\":\"" + lockedTarget + "\"}");
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, envelope(1400, "Error opening json file: " + lockedTarget));
    std::ifstream in(lockedTarget);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "old content");
}

TEST_F(EngineControl, StartWithASourceThatCannotBeOpened) {
    hx::Settings s = settings();
    s.videoFilePath = mDir.file("missing.avi");
    hx::Engine engine(s, "127.0.0.1");
    check(base(s), {"start", "POST", "/start", "", 500, envelope(1103, "Video source error"), "", false});
    check(base(s), {"status", "GET", "/status", "", 200, statusDocument(1103, "Video source error", false, false)});
}

TEST_F(EngineControl, StatusEndpointFollowsTheStatusPullSwitch) {
    hx::Settings s = settings();
    s.statusPullEnabled = false;
    hx::Engine engine(s, "127.0.0.1");
    const auto off = lmtest::httpRequest("GET", base(s) + "/status");
    EXPECT_EQ(off.status, 404);
    EXPECT_EQ(off.body, "");

    hx::Settings on = s;
    on.statusPullEnabled = true;
    check(base(s), {"turn it on", "POST", "/settings/set", on.settingsToJsonString(0), 200, envelope(0, "")});
    check(base(s), {"status", "GET", "/status", "", 200, statusDocument(0, "", false, false)});
}

TEST_F(EngineControl, EndpointsOverTls) {
    const lmtest::TestCertificate certificate(mDir);
    hx::Settings s = settings();
    s.httpInterfaceSsl = true;
    s.httpInterfaceSslKey = certificate.key;
    s.httpInterfaceSslCrt = certificate.cert;
    hx::Engine engine(s, "127.0.0.1");
    const std::string url = base(s, "https");
    const std::vector<Exchange> table = {
        {"product", "GET", "/", "", 200, "Lumora-Harbix - 2.0.0", "", false},
        {"start", "POST", "/start", "", 200, envelope(0, ""), "", false},
        {"status", "GET", "/status", "", 200, statusDocument(0, "", false, true)},
        {"stop", "POST", "/stop", "", 200, envelope(0, ""), "", false},
        {"rtp stop while stopped", "POST", "/rtp/stop", "", 200, envelope(1203, "RTP stream is already stopped"), "",
         false},
    };
    for (const auto& exchange : table) check(url, exchange);
}

TEST_F(EngineControl, ProductAnswersWhileAControlRequestHoldsTheLock) {
    const hx::Settings s = settings();
    hx::Engine engine(s, "127.0.0.1");
    // A settings change restarts a run: it holds the API lock for a while.
    ASSERT_EQ(lmtest::httpRequest("POST", base(s) + "/start").status, 200);
    std::thread slow(
        [&] { lmtest::httpRequest("POST", base(s) + "/settings/set", engine.getSettings().settingsToJsonString(0)); });
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lmtest::httpRequest("GET", base(s) + "/").body, "Lumora-Harbix - 2.0.0");
    slow.join();
    EXPECT_EQ(lmtest::httpRequest("POST", base(s) + "/stop").body, envelope(0, ""));
}

// A running engine takes every extreme value or refuses it with the settings error, and keeps
// answering and analysing either way.
TEST_F(EngineControl, EveryNumericSettingAtItsExtremesIsTakenOrRefused) {
    hx::Settings s = settings();
    s.currentStatsEnabled = true;
    hx::Engine engine(s, "127.0.0.1");
    const std::string url = base(s);
    const std::string valid = s.settingsToJsonString(0);
    ASSERT_EQ(lmtest::httpRequest("POST", url + "/start").status, 200);

    for (const auto& row : lmtest::settingsExtremes()) {
        if (row.checkOnly) continue;
        SCOPED_TRACE(row.key + " = " + row.value.toString());
        const auto answer =
            lmtest::httpRequest("POST", url + "/settings/set", lmtest::settingsTextWith(s, row.key, row.value));
        if (row.message.empty()) {
            EXPECT_EQ(answer.body, envelope(0, ""));
            // The run goes on with the new value for some frames.
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(lmtest::httpRequest("GET", url + "/status").body, statusDocument(0, "", false, true));
        } else {
            EXPECT_EQ(answer.status, 500);
            EXPECT_EQ(answer.body, envelope(1101, row.message));
        }
        ASSERT_EQ(lmtest::httpRequest("POST", url + "/settings/set", valid).body, envelope(0, ""));
        lmtest::httpRequest("POST", url + "/start");
        ASSERT_EQ(lmtest::httpRequest("GET", url + "/status").body, statusDocument(0, "", false, true));
    }
}

}  // namespace
