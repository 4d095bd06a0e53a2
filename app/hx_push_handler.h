#pragma once
// One outgoing JSON stream: documents queued by any thread are POSTed, oldest first, to one
// URL by a worker thread of the queue's own, so that no producer waits for a remote server.
//
// What it guarantees: a document is sent until the receiver takes it (any 2xx answer).
// One that got no answer or a server error (5xx) goes back to the front and is tried again
// after a pause, so an outage delays documents without reordering or losing them; one the
// receiver refuses (4xx) is dropped with a warning. At most MAX_MESSAGES wait: beyond that
// the oldest are dropped, with one warning per streak of drops that says how many.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace hx {

class PushHandler {
public:
    static constexpr std::size_t MAX_MESSAGES = 99;

    // Starts the worker. With sendLastOnExit, the documents still waiting when the queue
    // is destroyed are sent first (until the first failure); otherwise they are discarded.
    PushHandler(bool enabled, std::string url, bool sendLastOnExit);
    ~PushHandler();
    PushHandler(const PushHandler&) = delete;
    PushHandler& operator=(const PushHandler&) = delete;

    // Waiting documents stay and go to the new URL. A disabled queue accepts nothing but
    // still sends what it holds.
    void setSettings(bool enabled, std::string url);
    // Queues a copy of the document; ignored while the queue is disabled.
    void newMessage(const std::string& message);

private:
    enum class Outcome { SENT, REFUSED, NO_ANSWER };

    void threadLoop();
    Outcome deliver(const std::string& message, const std::string& target, unsigned& failures);
    void requeueFront(std::string message);
    void finish(unsigned failures, const std::string& lastUrl, std::unique_lock<std::mutex>& lock);

    bool mEnabled;
    bool mSendLastOnExit;
    bool mStop = false;
    std::condition_variable mCondition;
    std::mutex mMutex;
    std::thread mThread;
    std::deque<std::string> mMessages;
    std::string mUrl;
    // Documents dropped by the bound since the queue last had room; reported once per streak.
    std::size_t mDroppedByBound = 0;
};

}  // namespace hx
