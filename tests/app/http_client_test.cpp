#include <gtest/gtest.h>

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include "hx_http.h"
#include "support/http_receiver.h"
#include "support/temp_dir.h"

namespace {

using lmtest::HttpReceiver;
using Mode = HttpReceiver::Mode;

// Runs post() and hands back its failure; fails the test when it succeeds.
hx::http::PostError postFailure(const std::string& url, Poco::Timespan timeout = Poco::Timespan(10, 0)) {
    try {
        hx::http::post(url, "{}", timeout);
    } catch (const hx::http::PostError& e) {
        return e;
    }
    ADD_FAILURE() << "post to " << url << " succeeded";
    return hx::http::PostError("", -1, false);
}

TEST(HttpPost, SendsJsonAndReturnsTheAnswer) {
    HttpReceiver receiver;
    receiver.setAnswer("thanks");
    EXPECT_EQ(hx::http::post(receiver.url("/push"), R"({"a":1})"), "thanks");
    const auto requests = receiver.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].uri, "/push");
    EXPECT_EQ(requests[0].contentType, "application/json");
    EXPECT_EQ(requests[0].body, R"({"a":1})");
}

TEST(HttpPost, RequestTargetIsSlashForNoPathAndKeepsTheQuery) {
    HttpReceiver receiver;
    const std::string base = "http://127.0.0.1:" + std::to_string(receiver.port());
    hx::http::post(base, "{}");
    hx::http::post(base + "/in?device=7&x=a%20b", "{}");
    const auto requests = receiver.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].uri, "/");
    EXPECT_EQ(requests[1].uri, "/in?device=7&x=a%20b");
}

TEST(HttpPost, AnyTwoHundredIsSuccessOthersFailWithStatusAndReason) {
    const struct {
        Mode mode;
        bool success;
        int status;
        bool retryable;
        std::string reason;
    } cases[] = {
        {Mode::ANSWER_200, true, 200, false, ""},
        {Mode::ANSWER_201, true, 201, false, ""},
        {Mode::ANSWER_204, true, 204, false, ""},
        {Mode::ANSWER_404, false, 404, false, "404 - Not Found"},
        {Mode::ANSWER_500, false, 500, true, "500 - Internal Server Error"},
    };
    for (const auto& c : cases) {
        HttpReceiver receiver(c.mode);
        const std::string url = receiver.url("/doc");
        if (c.success) {
            EXPECT_NO_THROW(hx::http::post(url, "{}")) << c.status;
            continue;
        }
        const auto failure = postFailure(url);
        EXPECT_EQ(failure.status(), c.status);
        EXPECT_EQ(failure.retryable(), c.retryable) << c.status;
        EXPECT_EQ(std::string(failure.what()),
                  "HTTP POST to " + url + " failure, Exception - Http request failed. Status : " + c.reason);
        EXPECT_EQ(receiver.requests().size(), 1u);
    }
}

TEST(HttpPost, NoAnswerIsARetryableFailureNamingTheUrl) {
    HttpReceiver dropping(Mode::DROP);
    const std::string refused = "http://127.0.0.1:" + std::to_string(lmtest::refusedPort()) + "/x";
    for (const std::string& url : {refused, dropping.url("/x")}) {
        const auto failure = postFailure(url);
        EXPECT_EQ(failure.status(), 0) << url;
        EXPECT_TRUE(failure.retryable()) << url;
        EXPECT_EQ(std::string(failure.what()).rfind("HTTP POST to " + url + " failure, ", 0), 0u) << failure.what();
    }
}

TEST(HttpPost, ServerThatNeverAnswersTimesOut) {
    HttpReceiver receiver(Mode::HANG);
    const auto failure = postFailure(receiver.url(), Poco::Timespan(0, 300'000));
    EXPECT_EQ(failure.status(), 0);
    EXPECT_TRUE(failure.retryable());
    EXPECT_NE(std::string(failure.what()).find("Timeout"), std::string::npos) << failure.what();
}

TEST(HttpPost, SlowServerWithinTheTimeOutSucceeds) {
    HttpReceiver receiver(Mode::DELAY);
    receiver.setDelay(std::chrono::milliseconds(300));
    EXPECT_EQ(hx::http::post(receiver.url(), "{}", Poco::Timespan(5, 0)), "ok");
}

TEST(HttpPost, UnusableUrlIsAPermanentFailure) {
    const std::string url = "http://127.0.0.1:99999/in";
    const auto failure = postFailure(url);
    EXPECT_FALSE(failure.retryable());
    EXPECT_EQ(std::string(failure.what()),
              "HTTP POST to " + url + " failure, Bad URI syntax - bad or invalid port number: 99999");

    // An empty or relative URL (push switched on, URL not set) can never be delivered either.
    for (const std::string hostless : {"", "/data"}) {
        const auto noHost = postFailure(hostless);
        EXPECT_FALSE(noHost.retryable()) << hostless;
        EXPECT_EQ(std::string(noHost.what()),
                  "HTTP POST to " + hostless + " failure, Syntax error - URL without a host");
    }
}

TEST(HttpPost, AnswerIsBoundedNotTruncated) {
    HttpReceiver receiver;
    receiver.setAnswer(std::string(hx::http::MAX_ANSWER_BYTES, 'a'));
    EXPECT_EQ(hx::http::post(receiver.url(), "{}").size(), hx::http::MAX_ANSWER_BYTES);

    receiver.setAnswer(std::string(hx::http::MAX_ANSWER_BYTES + 1, 'a'));
    const auto failure = postFailure(receiver.url());
    EXPECT_EQ(failure.status(), 200);
    EXPECT_FALSE(failure.retryable()) << "the document arrived; it must not be sent again";
}

TEST(HttpPost, HttpsToASelfSignedReceiver) {
    lmtest::TempDir dir;
    const lmtest::TestCertificate certificate(dir);
    HttpReceiver receiver(Mode::ANSWER_200, &certificate);
    EXPECT_EQ(hx::http::post(receiver.url("/secure?q=1"), R"({"s":true})"), "ok");
    ASSERT_EQ(receiver.requests().size(), 1u);
    EXPECT_EQ(receiver.requests()[0].uri, "/secure?q=1");
    EXPECT_EQ(receiver.requests()[0].body, R"({"s":true})");

    // The receiver's certificate is not checked at all, not even its host name.
    const lmtest::TestCertificate elsewhere(dir, "elsewhere.example");
    HttpReceiver misnamed(Mode::ANSWER_200, &elsewhere);
    EXPECT_EQ(hx::http::post(misnamed.url("/"), "{}"), "ok");

    // Speaking TLS to a plain server is a failure without an answer.
    HttpReceiver plain;
    const auto failure = postFailure("https://127.0.0.1:" + std::to_string(plain.port()) + "/");
    EXPECT_EQ(failure.status(), 0);
}

TEST(HttpUri, Validity) {
    const struct {
        std::string uri;
        bool valid;
    } cases[] = {
        {"/status", true},
        {"http://127.0.0.1:8080/data/raw", true},
        {"http://host:99999/", false},
        {"http://host:12ab/", false},
    };
    for (const auto& c : cases) EXPECT_EQ(hx::http::isUriValid(c.uri), c.valid) << c.uri;
}

}  // namespace
