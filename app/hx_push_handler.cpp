#include "hx_push_handler.h"

#include <algorithm>
#include <chrono>

#include <Poco/UUIDGenerator.h>
#include <spdlog/spdlog.h>

#include "hx_http.h"
#include "hx_log.h"

namespace hx {

namespace {

// After a document is done with the queue pauses briefly, which bounds the sending rate.
constexpr auto PAUSE_AFTER_SEND = std::chrono::milliseconds(1);
constexpr const char* KEY_HEADER = "Idempotency-Key";

// Random, so that keys stay unique across restarts of the program and across its queues.
std::string newKey() { return Poco::UUIDGenerator::defaultGenerator().createRandom().toString(); }

void reportStreak(unsigned failures, const std::string& target) {
    // The first failure of the streak was logged by itself.
    if (failures > 2) harbixLog()->warn("Failed pushing {} message(s) to {}", failures - 1, target);
}

void reportDropped(std::size_t dropped, const std::string& target) {
    if (dropped > 0) harbixLog()->warn("Push queue for {} was full: dropped {} oldest message(s)", target, dropped);
}

}  // namespace

PushHandler::PushHandler(bool enabled, std::string url, bool sendLastOnExit, PushRetryPolicy retry)
    : mEnabled(enabled), mSendLastOnExit(sendLastOnExit), mRetry(retry), mUrl(std::move(url)) {
    mThread = std::thread(&PushHandler::threadLoop, this);
}

PushHandler::~PushHandler() {
    {
        std::lock_guard lock(mMutex);
        mStop = true;
    }
    mCondition.notify_all();
    mThread.join();
}

void PushHandler::setSettings(bool enabled, std::string url) {
    std::lock_guard lock(mMutex);
    mEnabled = enabled;
    mUrl = std::move(url);
}

void PushHandler::newMessage(const std::string& message) {
    std::size_t endedStreak = 0;
    std::string target;
    std::string key = newKey();
    {
        std::lock_guard lock(mMutex);
        if (!mEnabled) return;
        mMessages.push_back({message, std::move(key)});
        if (mMessages.size() > MAX_MESSAGES) {
            mMessages.pop_front();
            ++mDroppedByBound;
        } else if (mDroppedByBound > 0) {
            endedStreak = std::exchange(mDroppedByBound, 0);
            target = mUrl;
        }
    }
    mCondition.notify_one();
    reportDropped(endedStreak, target);
}

void PushHandler::threadLoop() {
    unsigned failures = 0;
    std::string lastUrl;
    std::unique_lock lock(mMutex);
    while (true) {
        mCondition.wait(lock, [this] { return mStop || !mMessages.empty(); });
        if (mStop) break;
        Document document = std::move(mMessages.front());
        mMessages.pop_front();
        lastUrl = mUrl;
        lock.unlock();

        const Outcome outcome = deliver(document, lastUrl, failures);

        lock.lock();
        auto pause = PAUSE_AFTER_SEND;
        if (outcome == Outcome::RETRY) {
            pause = pauseBefore(document);
            requeueFront(std::move(document));
        }
        mCondition.wait_for(lock, pause, [this] { return mStop; });
    }
    finish(failures, lastUrl, lock);
}

PushHandler::Outcome PushHandler::deliver(Document& document, const std::string& target, unsigned& failures) {
    const auto delivered = [&] {
        reportStreak(failures, target);
        failures = 0;
        return Outcome::SENT;
    };
    ++document.attempts;
    try {
        post(document, target);
        return delivered();
    } catch (const http::PostError& e) {
        // Taken by the receiver; only its answer (which the queue does not use) was unreadable.
        if (e.status() >= 200 && e.status() <= 299) return delivered();
        if (e.retryable()) {
            if (failures == 0) harbixLog()->warn("Failed pushing message to {}", target);
            ++failures;
            if (document.attempts < mRetry.maxAttempts) return Outcome::RETRY;
            harbixLog()->warn("Dropped message after {} attempts to {}: {} ({} {})", document.attempts, target,
                              e.what(), KEY_HEADER, document.key);
            return Outcome::DROPPED;
        }
        // The receiver answered (so any outage is over) but will not take this document, or the
        // URL cannot be used at all: sending it again cannot help.
        reportStreak(failures, target);
        failures = 0;
        harbixLog()->warn("Dropped message that cannot be delivered to {}: {} ({} {})", target, e.what(), KEY_HEADER,
                          document.key);
        return Outcome::DROPPED;
    }
}

void PushHandler::post(const Document& document, const std::string& target) const {
    const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(mRetry.attemptTimeout);
    http::post(target, document.body, Poco::Timespan(timeout.count()), {{KEY_HEADER, document.key}});
}

// Doubles from the first pause on: a receiver that is down for long is asked less often.
std::chrono::milliseconds PushHandler::pauseBefore(const Document& retried) const {
    auto pause = mRetry.firstPause;
    for (unsigned attempt = 1; attempt < retried.attempts && pause < mRetry.longestPause; ++attempt) pause *= 2;
    return std::min(pause, mRetry.longestPause);
}

// Called with the mutex held. The document is the oldest one, so when the queue has filled
// up meanwhile it is the one the bound drops.
void PushHandler::requeueFront(Document document) {
    if (mMessages.size() >= MAX_MESSAGES)
        ++mDroppedByBound;
    else
        mMessages.push_front(std::move(document));
}

// Called with the mutex held, once `mStop` is set.
void PushHandler::finish(unsigned failures, const std::string& lastUrl, std::unique_lock<std::mutex>& lock) {
    reportStreak(failures, lastUrl);
    // During an outage nothing is tried at exit: it would only hold up the shutdown.
    if (mSendLastOnExit && mEnabled && failures == 0) {
        while (!mMessages.empty()) {
            Document document = std::move(mMessages.front());
            mMessages.pop_front();
            const std::string target = mUrl;
            lock.unlock();
            bool sent = true;
            try {
                post(document, target);
            } catch (const std::runtime_error&) {
                harbixLog()->warn("Failed pushing last message to {}", target);
                sent = false;
            }
            lock.lock();
            if (!sent) {
                mMessages.push_front(std::move(document));
                break;
            }
        }
    }
    const std::size_t dropped = std::exchange(mDroppedByBound, 0);
    const std::size_t discarded = mMessages.size();
    mMessages.clear();
    const std::string target = mUrl;
    lock.unlock();
    reportDropped(dropped, target);
    if (discarded > 0) harbixLog()->warn("Discarded {} waiting message(s) for {} at exit", discarded, target);
}

}  // namespace hx
