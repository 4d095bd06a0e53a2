#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <Poco/JSON/Parser.h>

#include "hx_status.h"
#include "support/http_receiver.h"

namespace {

using Code = hx::StatusHandler::APIErrorCode;
using Event = hx::StatusHandler::StatusPushCode;

hx::Settings pushTo(const std::string& url) {
    hx::Settings settings;
    settings.statusPushEnabled = !url.empty();
    settings.statusPushUrl = url;
    return settings;
}

TEST(StatusHandler, FreshHandlerWaitsForItsSource) {
    hx::StatusHandler status(pushTo(""));
    EXPECT_TRUE(status.hasEngineInitError());
    const auto error = status.getEngineInitError();
    EXPECT_EQ(error.code, Code::VIDEO_SOURCE_ERROR);
    EXPECT_EQ(error.description, "Video source error");
    EXPECT_EQ(status.getInternalErrorDescription(), "none");
    EXPECT_EQ(status.getPrevSourceHandlerStatus(), lm::help::SourceHandler::NO_FRAME_YET);
    EXPECT_FALSE(status.isProcessing());
    EXPECT_FALSE(status.isRtpStreaming());
    EXPECT_FALSE(status.hasSettingsError());
}

TEST(StatusHandler, SettingsErrorHidesSourceFailureWhichHidesRuntimeError) {
    const struct {
        bool settingsError, sourceOk, runtimeError;
        Code code;
        std::string description;
    } cases[] = {
        {false, true, false, Code::SUCCESS, ""},
        {false, true, true, Code::RUNTIME_ERROR, "runtime text"},
        {false, false, false, Code::VIDEO_SOURCE_ERROR, "Video source error"},
        {false, false, true, Code::VIDEO_SOURCE_ERROR, "Video source error"},
        {true, true, false, Code::SETTINGS_ERROR, "settings text"},
        {true, true, true, Code::SETTINGS_ERROR, "settings text"},
        {true, false, false, Code::SETTINGS_ERROR, "settings text"},
        {true, false, true, Code::SETTINGS_ERROR, "settings text"},
    };
    for (const auto& c : cases) {
        hx::StatusHandler status(pushTo(""));
        status.setVideoSourceStatus(c.sourceOk, false);
        if (c.settingsError) status.setSettingsError("settings text", false);
        if (c.runtimeError) status.setRuntimeError("runtime text", false);
        const auto error = status.getEngineInitError();
        const std::string where =
            ::testing::PrintToString(std::make_tuple(c.settingsError, c.sourceOk, c.runtimeError));
        EXPECT_EQ(error.code, c.code) << where;
        EXPECT_EQ(error.description, c.description) << where;
        EXPECT_EQ(status.hasEngineInitError(), c.code != Code::SUCCESS) << where;
        EXPECT_EQ(status.hasSettingsError(), c.settingsError) << where;
    }
}

TEST(StatusHandler, ClearingErrorsUncoversTheNextOne) {
    hx::StatusHandler status(pushTo(""));
    status.setVideoSourceStatus(true, false);
    status.setSettingsError("bad port", false);
    status.setRuntimeError("model missing", false);
    EXPECT_EQ(status.getInternalErrorDescription(), "model missing");
    EXPECT_EQ(status.getEngineInitError().code, Code::SETTINGS_ERROR);

    status.clearSettingsError();
    EXPECT_EQ(status.getEngineInitError().code, Code::RUNTIME_ERROR);
    EXPECT_EQ(status.getEngineInitError().description, "model missing");

    status.clearRuntimeError();
    EXPECT_EQ(status.getEngineInitError().code, Code::SUCCESS);
    EXPECT_EQ(status.getEngineInitError().description, "");
    EXPECT_EQ(status.getInternalErrorDescription(), "none");
    EXPECT_FALSE(status.hasEngineInitError());
}

TEST(StatusHandler, EventTextKeepsOrdinaryTextsAndEscapesTheRest) {
    EXPECT_EQ(hx::StatusHandler::statusEventText(Event::VIDEO_SOURCE_OPEN, "Video source open"),
              R"({ "status_code" : 1010, "description" : "Video source open"})");
    EXPECT_EQ(hx::StatusHandler::statusEventText(Event::RUNTIME_ERROR, "no \"model\" in C:\\nets"),
              R"({ "status_code" : 1020, "description" : "no \"model\" in C:\\nets"})");
}

TEST(StatusHandlerThreads, EventsArePushedInOrderOnlyWhenAsked) {
    lmtest::HttpReceiver receiver;
    hx::StatusHandler status(pushTo(receiver.url("/status")));
    status.setRuntimeError("silent", false);
    status.setVideoSourceStatus(true, true);
    status.setVideoSourceStatus(false, true);
    status.setRuntimeError("read \"failed\"\n", true);
    status.setSettingsError("bad\\value", true);
    ASSERT_TRUE(receiver.waitForRequests(4));

    const struct {
        int code;
        std::string description;
    } expected[] = {
        {1010, "Video source open"}, {1011, "Video source error"}, {1020, "read \"failed\"\n"}, {1021, "bad\\value"}};
    const auto bodies = receiver.bodies();
    ASSERT_EQ(bodies.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        Poco::JSON::Parser parser;
        const auto event = parser.parse(bodies[i]).extract<Poco::JSON::Object::Ptr>();
        EXPECT_EQ(event->getValue<int>("status_code"), expected[i].code);
        EXPECT_EQ(event->getValue<std::string>("description"), expected[i].description);
    }
}

TEST(StatusHandler, CallbacksRunInOrderEveryTimeAndStopAtAnException) {
    hx::StatusHandler status(pushTo(""));
    std::vector<std::string> calls;
    status.registerProcessingStateChangedCallback([&](bool on) {
        EXPECT_EQ(status.isProcessing(), on) << "the flag is stored before the callbacks run";
        calls.push_back(std::string("first ") + (on ? "on" : "off"));
    });
    status.registerProcessingStateChangedCallback(
        [&](bool on) { calls.push_back(std::string("second ") + (on ? "on" : "off")); });
    status.setProcessing(true);
    status.setProcessing(true);
    status.setProcessing(false);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"first on", "second on", "first on", "second on", "first off", "second off"}));

    calls.clear();
    hx::StatusHandler failing(pushTo(""));
    failing.registerProcessingStateChangedCallback([&](bool) { calls.push_back("a"); });
    failing.registerProcessingStateChangedCallback([](bool) { throw std::runtime_error("callback failed"); });
    failing.registerProcessingStateChangedCallback([&](bool) { calls.push_back("c"); });
    EXPECT_THROW(failing.setProcessing(true), std::runtime_error);
    EXPECT_EQ(calls, std::vector<std::string>{"a"});
    EXPECT_TRUE(failing.isProcessing());
}

TEST(StatusHandlerThreads, ReadersSeeEachErrorWithItsOwnText) {
    hx::StatusHandler status(pushTo(""));
    status.setVideoSourceStatus(true, false);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            status.setRuntimeError("runtime " + std::to_string(i), false);
            status.setRtpStreaming(i % 2 == 0);
            status.setPrevSourceHandlerStatus(static_cast<hx::StatusHandler::SourceStatus>(i % 6));
            status.clearRuntimeError();
        }
        done = true;
    });
    while (!done) {
        const auto error = status.getEngineInitError();
        if (error.code == Code::RUNTIME_ERROR)
            EXPECT_EQ(error.description.rfind("runtime ", 0), 0u);
        else
            EXPECT_EQ(error.description, "");
        status.isRtpStreaming();
        status.getPrevSourceHandlerStatus();
        status.getInternalErrorDescription();
    }
    writer.join();
}

}  // namespace
