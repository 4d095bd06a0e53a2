#pragma once
// One outgoing JSON stream: documents queued by any thread are POSTed, oldest first, to one
// URL by a worker thread of the queue's own, so that no producer waits for a remote server.
//
// What it guarantees: delivery at least once, and duplicates the receiver can tell apart.
// Every document gets an Idempotency-Key of its own when it is queued, sent with each of its
// POSTs. A document is sent until the receiver takes it (any 2xx answer). One that got no
// answer or a server error (5xx) goes back to the front and is tried again after a pause
// that doubles with each attempt; after PushRetryPolicy::maxAttempts attempts it is dropped
// with a warning that names its key, so no document holds up the ones behind it for longer
// than its own retries. One the receiver refuses (4xx) is dropped with a warning at once.
// At most MAX_MESSAGES wait: beyond that the oldest are dropped, with one warning per streak
// of drops that says how many.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace hx {

// How a push queue tries again a document that got no answer.
struct PushRetryPolicy {
    unsigned maxAttempts = 6;                         // the first POST included
    std::chrono::milliseconds firstPause{1000};       // before the second attempt
    std::chrono::milliseconds longestPause{16000};    // the doubling stops here
    std::chrono::milliseconds attemptTimeout{10000};  // connecting, sending, waiting for the answer
};

class PushHandler {
public:
    static constexpr std::size_t MAX_MESSAGES = 99;

    // Starts the worker. With sendLastOnExit, the documents still waiting when the queue
    // is destroyed are sent first (until the first failure); otherwise they are discarded.
    PushHandler(bool enabled, std::string url, bool sendLastOnExit, PushRetryPolicy retry = {});
    ~PushHandler();
    PushHandler(const PushHandler&) = delete;
    PushHandler& operator=(const PushHandler&) = delete;

    // Waiting documents stay and go to the new URL. A disabled queue accepts nothing but
    // still sends what it holds.
    void setSettings(bool enabled, std::string url);
    // Queues a copy of the document; ignored while the queue is disabled.
    void newMessage(const std::string& message);

private:
    struct Document {
        std::string body;
        std::string key;  // the Idempotency-Key of every POST of this document
        unsigned attempts = 0;
    };
    enum class Outcome { SENT, DROPPED, RETRY };

    void threadLoop();
    Outcome deliver(Document& document, const std::string& target, unsigned& failures);
    void post(const Document& document, const std::string& target) const;
    std::chrono::milliseconds pauseBefore(const Document& retried) const;
    void requeueFront(Document document);
    void finish(unsigned failures, const std::string& lastUrl, std::unique_lock<std::mutex>& lock);

    bool mEnabled;
    bool mSendLastOnExit;
    PushRetryPolicy mRetry;
    bool mStop = false;
    std::condition_variable mCondition;
    std::mutex mMutex;
    std::thread mThread;
    std::deque<Document> mMessages;
    std::string mUrl;
    // Documents dropped by the bound since the queue last had room; reported once per streak.
    std::size_t mDroppedByBound = 0;
};

}  // namespace hx
