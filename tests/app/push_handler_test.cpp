#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hx_push_handler.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using lmtest::HttpReceiver;
using Mode = HttpReceiver::Mode;

std::vector<std::string> numbered(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) out.push_back(std::to_string(i));
    return out;
}

// Waits until the log holds a line containing `part`.
bool waitForLog(const lmtest::LogCapture& log, const std::string& part) {
    for (int i = 0; i < 400; ++i) {
        if (log.countContaining(part) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// All tests of the queue run under ThreadSanitizer: each one has a producer and the worker.

TEST(PushHandlerThreads, DeliversInOrderAsJson) {
    HttpReceiver receiver;
    hx::PushHandler queue(true, receiver.url("/raw"), false);
    for (const auto& m : numbered(0, 30)) queue.newMessage(m);
    ASSERT_TRUE(receiver.waitForRequests(30));
    EXPECT_EQ(receiver.bodies(), numbered(0, 30));
    std::set<std::string> keys;
    for (const auto& r : receiver.requests()) {
        EXPECT_EQ(r.uri, "/raw");
        EXPECT_EQ(r.contentType, "application/json");
        EXPECT_FALSE(r.idempotencyKey.empty());
        keys.insert(r.idempotencyKey);
    }
    EXPECT_EQ(keys.size(), 30u) << "one key per document";
}

TEST(PushHandlerThreads, DeliversOverHttps) {
    lmtest::TempDir dir;
    const lmtest::TestCertificate certificate(dir);
    HttpReceiver receiver(Mode::ANSWER_200, &certificate);
    hx::PushHandler queue(true, receiver.url("/secure"), false);
    for (const auto& m : numbered(0, 5)) queue.newMessage(m);
    ASSERT_TRUE(receiver.waitForRequests(5));
    EXPECT_EQ(receiver.bodies(), numbered(0, 5));
}

TEST(PushHandlerThreads, BoundKeepsTheNewestAndReportsTheDropsOnce) {
    lmtest::LogCapture log;
    HttpReceiver receiver(Mode::DELAY);
    receiver.setDelay(std::chrono::milliseconds(500));
    hx::PushHandler queue(true, receiver.url(), false);
    queue.newMessage("0");
    ASSERT_TRUE(receiver.waitForRequests(1));  // "0" is in flight; the rest wait behind it
    for (const auto& m : numbered(1, 151)) queue.newMessage(m);
    receiver.setMode(Mode::ANSWER_200);
    ASSERT_TRUE(receiver.waitForRequests(1 + hx::PushHandler::MAX_MESSAGES));

    std::vector<std::string> expected{"0"};
    for (const auto& m : numbered(52, 151)) expected.push_back(m);
    EXPECT_EQ(receiver.bodies(), expected);

    // The streak of drops ends with the next document that finds room.
    queue.newMessage("after");
    ASSERT_TRUE(receiver.waitForRequests(expected.size() + 1));
    EXPECT_EQ(log.countContaining("dropped"), 1u);
    EXPECT_EQ(log.count("Push queue for " + receiver.url() + " was full: dropped 51 oldest message(s)"), 1u)
        << ::testing::PrintToString(log.texts());
}

TEST(PushHandlerThreads, FailureStreakLogsItsStartAndASummaryFromThreeOn) {
    const struct {
        int failures;
        std::size_t summaries;
    } cases[] = {{2, 0}, {3, 1}};
    for (const auto& c : cases) {
        lmtest::LogCapture log;
        HttpReceiver receiver(Mode::ANSWER_500);
        const std::string url = receiver.url("/agg");
        {
            hx::PushRetryPolicy retry;
            retry.firstPause = retry.longestPause = std::chrono::milliseconds(500);
            hx::PushHandler queue(true, url, false, retry);
            queue.newMessage("doc");
            ASSERT_TRUE(receiver.waitForRequests(static_cast<std::size_t>(c.failures)));
            // Attempts are half a second apart: time enough to switch.
            receiver.setMode(Mode::ANSWER_200);
            ASSERT_TRUE(receiver.waitForRequests(static_cast<std::size_t>(c.failures) + 1));
        }
        EXPECT_EQ(receiver.bodies(), std::vector<std::string>(static_cast<std::size_t>(c.failures) + 1, "doc"))
            << "the document is retried until it is taken";
        const auto requests = receiver.requests();
        for (const auto& r : requests) EXPECT_EQ(r.idempotencyKey, requests.front().idempotencyKey);
        EXPECT_EQ(log.count("Failed pushing message to " + url), 1u);
        EXPECT_EQ(log.count("Failed pushing 2 message(s) to " + url), c.summaries) << c.failures;
        EXPECT_EQ(log.lines().size(), 1 + c.summaries);
    }
}

TEST(PushHandlerThreads, RefusedDocumentIsDroppedNotRetried) {
    lmtest::LogCapture log;
    HttpReceiver receiver(Mode::ANSWER_404);
    hx::PushHandler queue(true, receiver.url(), false);
    queue.newMessage("a");
    queue.newMessage("b");
    ASSERT_TRUE(receiver.waitForRequests(2));
    receiver.setMode(Mode::ANSWER_200);
    queue.newMessage("c");
    ASSERT_TRUE(receiver.waitForRequests(3));
    EXPECT_EQ(receiver.bodies(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(log.countContaining("Dropped message that cannot be delivered to " + receiver.url()), 2u);
}

TEST(PushHandlerThreads, DocumentTakenWithAnOversizedAnswerCountsAsSent) {
    lmtest::LogCapture log;
    HttpReceiver receiver;
    receiver.setAnswer(std::string(2 * 1024 * 1024, 'a'));
    {
        hx::PushHandler queue(true, receiver.url(), false);
        queue.newMessage("a");
        ASSERT_TRUE(receiver.waitForRequests(1));
        receiver.setAnswer("ok");
        queue.newMessage("b");
        ASSERT_TRUE(receiver.waitForRequests(2));
    }
    EXPECT_EQ(receiver.bodies(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(log.lines().empty()) << ::testing::PrintToString(log.texts());
}

TEST(PushHandlerThreads, UrlWithoutHostDropsEachDocumentWithAWarning) {
    lmtest::LogCapture log;
    {
        hx::PushHandler queue(true, "", false);
        queue.newMessage("a");
        queue.newMessage("b");
        ASSERT_TRUE(waitForLog(log, "Dropped message"));
        for (int i = 0; i < 200 && log.countContaining("Dropped message") < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(log.countContaining("Dropped message that cannot be delivered to : "), 2u);
    EXPECT_EQ(log.countContaining("Failed pushing"), 0u) << "not an outage";
}

TEST(PushHandlerThreads, OutageDelaysButLosesNothing) {
    lmtest::LogCapture log;
    HttpReceiver receiver;
    hx::PushRetryPolicy patient;  // retries that outlast the outage
    patient.maxAttempts = 1000;
    patient.firstPause = std::chrono::milliseconds(50);
    patient.longestPause = std::chrono::milliseconds(200);
    hx::PushHandler queue(true, receiver.url("/people"), false, patient);
    for (const auto& m : numbered(0, 5)) queue.newMessage(m);
    ASSERT_TRUE(receiver.waitForRequests(5));

    receiver.stop();
    for (const auto& m : numbered(5, 40)) queue.newMessage(m);
    ASSERT_TRUE(waitForLog(log, "Failed pushing message to"));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // several retries fail meanwhile
    receiver.start();

    ASSERT_TRUE(receiver.waitForRequests(40));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.bodies(), numbered(0, 40)) << "each document once, in order";
    EXPECT_EQ(log.count("Failed pushing message to " + receiver.url("/people")), 1u);
    EXPECT_EQ(log.countContaining("message(s) to " + receiver.url("/people")), 1u);
}

// A document that keeps failing is dropped after its attempts, with its key in the log, and
// the documents behind it go out once the receiver is well again; a document that arrives
// more than once arrives with the same key every time.
TEST(PushHandlerThreads, EveryFailureKindEndsInDeliveryOrADropNamingTheKey) {
    const struct {
        const char* what;
        Mode failing;  // ANSWER_200 here: the receiver is not listening at all
    } cases[] = {
        {"outage", Mode::ANSWER_200},
        {"server error", Mode::ANSWER_500},
        {"no answer", Mode::HANG},
        {"connection cut", Mode::DROP},
    };
    hx::PushRetryPolicy retry;
    retry.maxAttempts = 3;
    retry.firstPause = std::chrono::milliseconds(100);
    retry.longestPause = std::chrono::milliseconds(200);
    retry.attemptTimeout = std::chrono::milliseconds(300);
    for (const auto& c : cases) {
        lmtest::LogCapture log;
        HttpReceiver receiver(c.failing);
        const bool outage = c.failing == Mode::ANSWER_200;
        if (outage) receiver.stop();
        const std::string url = receiver.url("/docs");
        hx::PushHandler queue(true, url, false, retry);
        const auto start = std::chrono::steady_clock::now();
        for (const char* body : {"first", "second", "third"}) queue.newMessage(body);
        ASSERT_TRUE(waitForLog(log, "Dropped message after 3 attempts to " + url)) << c.what;
        EXPECT_GE(std::chrono::steady_clock::now() - start, retry.firstPause + retry.longestPause)
            << c.what << ": the pauses between attempts double";
        if (outage)
            receiver.start();
        else
            receiver.setMode(Mode::ANSWER_200);
        for (int i = 0; i < 400 && receiver.bodies().size() < (outage ? 2u : 5u); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        std::map<std::string, std::set<std::string>> keysOf;
        std::map<std::string, int> attemptsOf;
        for (const auto& r : receiver.requests()) {
            keysOf[r.body].insert(r.idempotencyKey);
            ++attemptsOf[r.body];
        }
        for (const char* body : {"second", "third"}) {
            ASSERT_EQ(keysOf[body].size(), 1u) << c.what << ": " << body << " arrives, always with one key";
            EXPECT_FALSE(keysOf[body].begin()->empty());
        }
        EXPECT_NE(*keysOf["second"].begin(), *keysOf["third"].begin()) << c.what;
        EXPECT_EQ(log.countContaining("Dropped message"), 1u) << c.what << ::testing::PrintToString(log.texts());
        if (!outage) {
            EXPECT_EQ(attemptsOf["first"], 3) << c.what;
            ASSERT_EQ(keysOf["first"].size(), 1u) << c.what;
            EXPECT_EQ(log.countContaining("(Idempotency-Key " + *keysOf["first"].begin() + ")"), 1u) << c.what;
        }
    }
}

TEST(PushHandlerThreads, DisabledQueueIgnoresDocumentsUntilEnabled) {
    HttpReceiver first;
    HttpReceiver second;
    hx::PushHandler queue(false, first.url(), false);
    queue.newMessage("ignored");
    queue.setSettings(true, second.url("/new"));
    queue.newMessage("kept");
    ASSERT_TRUE(second.waitForRequests(1));
    EXPECT_EQ(second.bodies(), std::vector<std::string>{"kept"});
    EXPECT_TRUE(first.requests().empty());
}

// At exit a queue that keeps its documents sends all that wait until the first failure.
TEST(PushHandlerThreads, ExitSendsWaitingDocumentsUntilTheFirstFailure) {
    const struct {
        bool sendLastOnExit;
        Mode modeAtExit;
        std::vector<std::string> arrived;
        std::string discardLine;  // empty: nothing discarded
    } cases[] = {
        {true, Mode::ANSWER_200, {"a", "b", "c"}, ""},
        {true, Mode::ANSWER_500, {"a", "b"}, "Discarded 2 waiting message(s) for {} at exit"},
        {false, Mode::ANSWER_200, {"a"}, "Discarded 2 waiting message(s) for {} at exit"},
    };
    for (const auto& c : cases) {
        lmtest::LogCapture log;
        HttpReceiver receiver(Mode::DELAY);
        receiver.setDelay(std::chrono::milliseconds(300));
        const std::string url = receiver.url("/exit");
        {
            hx::PushHandler queue(true, url, c.sendLastOnExit);
            queue.newMessage("a");
            ASSERT_TRUE(receiver.waitForRequests(1));  // "a" in flight
            queue.newMessage("b");
            queue.newMessage("c");
            receiver.setMode(c.modeAtExit);
        }
        EXPECT_EQ(receiver.bodies(), c.arrived);
        if (c.discardLine.empty()) {
            EXPECT_EQ(log.countContaining("Discarded"), 0u);
        } else {
            EXPECT_EQ(log.count(fmt::format(fmt::runtime(c.discardLine), url)), 1u);
        }
        EXPECT_EQ(log.count("Failed pushing last message to " + url), c.modeAtExit == Mode::ANSWER_500 ? 1u : 0u);
    }
}

TEST(PushHandlerThreads, ExitDuringAnOutageTriesNothingMore) {
    lmtest::LogCapture log;
    const std::string url = "http://127.0.0.1:" + std::to_string(lmtest::refusedPort()) + "/";
    {
        hx::PushHandler queue(true, url, true);
        queue.newMessage("a");
        queue.newMessage("b");
        ASSERT_TRUE(waitForLog(log, "Failed pushing message to " + url));
    }
    EXPECT_EQ(log.count("Discarded 2 waiting message(s) for " + url + " at exit"), 1u);
    EXPECT_EQ(log.countContaining("last message"), 0u);
}

TEST(PushHandlerThreads, ManyProducersKeepEachOnesOrder) {
    HttpReceiver receiver;
    hx::PushHandler queue(true, receiver.url(), false);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < 20; ++i) queue.newMessage(std::to_string(p) + ":" + std::to_string(i));
        });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(receiver.waitForRequests(80));
    int next[4] = {0, 0, 0, 0};
    for (const auto& body : receiver.bodies()) {
        const int p = body[0] - '0';
        EXPECT_EQ(body.substr(2), std::to_string(next[p]++));
    }
}

TEST(PushHandlerThreads, DestroyingAnIdleQueueReturns) {
    auto queue = std::make_unique<hx::PushHandler>(true, "http://127.0.0.1:1/", true);
    queue.reset();
    SUCCEED();
}

}  // namespace
