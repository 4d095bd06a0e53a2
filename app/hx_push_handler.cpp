#include "hx_push_handler.h"

#include <chrono>

#include <spdlog/spdlog.h>

#include "hx_http.h"
#include "hx_log.h"

namespace hx {

namespace {

// After a delivered document the queue pauses briefly, which bounds the sending rate; after
// the first failure of a streak it retries soon, after further failures once a second.
constexpr auto PAUSE_AFTER_SEND = std::chrono::milliseconds(1);
constexpr auto PAUSE_AFTER_REPEATED_FAILURE = std::chrono::seconds(1);

void reportStreak(unsigned failures, const std::string& target) {
    // The first failure of the streak was logged by itself.
    if (failures > 2) harbixLog()->warn("Failed pushing {} message(s) to {}", failures - 1, target);
}

void reportDropped(std::size_t dropped, const std::string& target) {
    if (dropped > 0) harbixLog()->warn("Push queue for {} was full: dropped {} oldest message(s)", target, dropped);
}

}  // namespace

PushHandler::PushHandler(bool enabled, std::string url, bool sendLastOnExit)
    : mEnabled(enabled), mSendLastOnExit(sendLastOnExit), mUrl(std::move(url)) {
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
    {
        std::lock_guard lock(mMutex);
        if (!mEnabled) return;
        mMessages.push_back(message);
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
        std::string message = std::move(mMessages.front());
        mMessages.pop_front();
        lastUrl = mUrl;
        lock.unlock();

        const Outcome outcome = deliver(message, lastUrl, failures);

        lock.lock();
        if (outcome == Outcome::NO_ANSWER) requeueFront(std::move(message));
        const auto pause =
            outcome == Outcome::NO_ANSWER && failures > 1 ? PAUSE_AFTER_REPEATED_FAILURE : PAUSE_AFTER_SEND;
        mCondition.wait_for(lock, std::chrono::duration_cast<std::chrono::milliseconds>(pause),
                            [this] { return mStop; });
    }
    finish(failures, lastUrl, lock);
}

PushHandler::Outcome PushHandler::deliver(const std::string& message, const std::string& target, unsigned& failures) {
    const auto delivered = [&] {
        reportStreak(failures, target);
        failures = 0;
        return Outcome::SENT;
    };
    try {
        http::post(target, message);
        return delivered();
    } catch (const http::PostError& e) {
        // Taken by the receiver; only its answer (which the queue does not use) was unreadable.
        if (e.status() >= 200 && e.status() <= 299) return delivered();
        if (e.retryable()) {
            if (failures == 0) harbixLog()->warn("Failed pushing message to {}", target);
            ++failures;
            return Outcome::NO_ANSWER;
        }
        // The receiver answered (so any outage is over) but will not take this document, or the
        // URL cannot be used at all: sending it again cannot help.
        reportStreak(failures, target);
        failures = 0;
        harbixLog()->warn("Dropped message that cannot be delivered to {}: {}", target, e.what());
        return Outcome::REFUSED;
    }
}

// Called with the mutex held. The document is the oldest one, so when the queue has filled
// up meanwhile it is the one the bound drops.
void PushHandler::requeueFront(std::string message) {
    if (mMessages.size() >= MAX_MESSAGES)
        ++mDroppedByBound;
    else
        mMessages.push_front(std::move(message));
}

// Called with the mutex held, once `mStop` is set.
void PushHandler::finish(unsigned failures, const std::string& lastUrl, std::unique_lock<std::mutex>& lock) {
    reportStreak(failures, lastUrl);
    // During an outage nothing is tried at exit: it would only hold up the shutdown.
    if (mSendLastOnExit && mEnabled && failures == 0) {
        while (!mMessages.empty()) {
            std::string message = std::move(mMessages.front());
            mMessages.pop_front();
            const std::string target = mUrl;
            lock.unlock();
            bool sent = true;
            try {
                http::post(target, message);
            } catch (const std::runtime_error&) {
                harbixLog()->warn("Failed pushing last message to {}", target);
                sent = false;
            }
            lock.lock();
            if (!sent) {
                mMessages.push_front(std::move(message));
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
