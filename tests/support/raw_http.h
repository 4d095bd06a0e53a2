#pragma once
// A client that speaks HTTP by hand over a plain loopback socket, for what a well-behaved
// client library refuses to send: malformed heads, a head sent a byte at a time, a
// connection opened and left idle.

#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

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

    void send(const std::string& text) { mSocket.sendBytes(text.data(), static_cast<int>(text.size())); }

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

}  // namespace lmtest
