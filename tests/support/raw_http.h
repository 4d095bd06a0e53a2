#pragma once
// A client that speaks HTTP by hand over a plain loopback socket, for what a well-behaved
// client library refuses to send: malformed heads, a head sent a byte at a time, a
// connection opened and left idle. SlowClients keeps many of them sending a head that
// never ends, a byte at a time.

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/socket.h>

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

namespace lmtest {

class RawHttpConnection {
public:
    struct Answer {
        int status = 0;  // 0: the connection ended (or went quiet) before a whole answer came
        std::string head;
        std::string body;
    };

    explicit RawHttpConnection(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : mSocket(Poco::Net::SocketAddress("127.0.0.1", port)) {
        mSocket.setReceiveTimeout(Poco::Timespan(std::chrono::microseconds(timeout).count()));
    }

    // False once the server has closed the connection (no SIGPIPE then).
    bool send(const std::string& text) {
        const auto sent = ::send(mSocket.impl()->sockfd(), text.data(), text.size(), MSG_NOSIGNAL);
        return sent == static_cast<ssize_t>(text.size());
    }

    // Reads one answer with a Content-Length (or one that ends with the connection).
    Answer readAnswer() {
        Answer answer;
        std::size_t headEnd;
        while ((headEnd = mReceived.find("\r\n\r\n")) == std::string::npos)
            if (!receiveMore()) return answer;
        answer.head = mReceived.substr(0, headEnd);
        mReceived.erase(0, headEnd + 4);
        const auto lengthAt = lowered(answer.head).find("\r\ncontent-length:");
        if (lengthAt == std::string::npos) {
            while (receiveMore()) {}
            answer.body = std::exchange(mReceived, {});
        } else {
            const std::size_t length = std::stoul(answer.head.substr(lengthAt + 17));
            while (mReceived.size() < length)
                if (!receiveMore()) return answer;
            answer.body = mReceived.substr(0, length);
            mReceived.erase(0, length);
        }
        if (answer.head.rfind("HTTP/1.", 0) == 0) answer.status = std::stoi(answer.head.substr(9, 3));
        return answer;
    }

    // Whether the server has closed the connection (waits up to the receive time-out).
    bool closedByServer() {
        try {
            char byte;
            return mSocket.receiveBytes(&byte, 1) == 0;
        } catch (const Poco::TimeoutException&) {
            return false;  // still open, only quiet
        } catch (const Poco::Net::NetException&) {
            return true;  // reset
        }
    }

private:
    static std::string lowered(std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    bool receiveMore() {
        char buffer[4096];
        int got = 0;
        try {
            got = mSocket.receiveBytes(buffer, sizeof buffer);
        } catch (const Poco::Exception&) {
            return false;
        }
        if (got <= 0) return false;
        mReceived.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    Poco::Net::StreamSocket mSocket;
    std::string mReceived;
};

// Connections that each send the head of a request one byte per `pause`, on a thread of
// their own, until the server cuts them or the object goes.
class SlowClients {
public:
    SlowClients(std::uint16_t port, std::size_t count, std::chrono::milliseconds pause) {
        for (std::size_t i = 0; i < count; ++i) mConnections.push_back(std::make_unique<RawHttpConnection>(port));
        mThread = std::thread([this, pause] {
            const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
            for (std::size_t at = 0; !mStop; ++at) {
                const std::string byte(1, at < head.size() ? head[at] : 'x');
                for (auto& connection : mConnections) connection->send(byte);
                std::unique_lock lock(mMutex);
                mWake.wait_for(lock, pause, [this] { return mStop.load(); });
            }
        });
    }
    ~SlowClients() {
        {
            std::lock_guard lock(mMutex);
            mStop = true;
        }
        mWake.notify_all();
        mThread.join();
    }
    SlowClients(const SlowClients&) = delete;
    SlowClients& operator=(const SlowClients&) = delete;

private:
    std::vector<std::unique_ptr<RawHttpConnection>> mConnections;
    std::atomic<bool> mStop{false};
    std::mutex mMutex;
    std::condition_variable mWake;
    std::thread mThread;
};

}  // namespace lmtest
