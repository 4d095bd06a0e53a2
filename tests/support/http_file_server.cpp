#include "support/http_file_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <stdexcept>

namespace lmtest {

namespace {

// Reads up to the end of the request head; gives up after a second of silence.
std::string readRequestHead(int connection) {
    std::string head;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd pfd{connection, POLLIN, 0};
        if (::poll(&pfd, 1, 1000) <= 0) break;
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return head;
}

// Sends with a time-out per chunk so a client that stops reading cannot hold the server.
void sendAll(int connection, const char* data, std::size_t size, const std::atomic<bool>& running) {
    while (size > 0 && running) {
        const ssize_t n = ::send(connection, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

HttpFileServer::HttpFileServer(std::string body, std::string contentType)
    : mBody(std::move(body)), mContentType(std::move(contentType)) {}

HttpFileServer::HttpFileServer(std::vector<std::string> jpegPictures, std::chrono::milliseconds interval)
    : mPictures(std::move(jpegPictures)), mInterval(interval) {}

HttpFileServer::~HttpFileServer() { stop(); }

void HttpFileServer::start(std::uint16_t port) {
    if (mRunning) return;
    if (port == 0) port = mPort;
    mListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (mListenFd < 0) throw std::runtime_error("socket failed");
    const int yes = 1;
    ::setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(mListenFd, 16) != 0) {
        ::close(mListenFd);
        mListenFd = -1;
        throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length);
    mPort = ntohs(address.sin_port);
    mRunning = true;
    mThread = std::thread(&HttpFileServer::serve, this);
}

void HttpFileServer::stop() {
    if (!mRunning) return;
    mRunning = false;
    if (mThread.joinable()) mThread.join();
    ::close(mListenFd);
    mListenFd = -1;
}

std::string HttpFileServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(mPort) + path;
}

void HttpFileServer::serve() {
    while (mRunning) {
        pollfd pfd{mListenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const int connection = ::accept(mListenFd, nullptr, nullptr);
        if (connection < 0) continue;
        const timeval timeout{0, 200000};
        ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        answer(connection);
        ::close(connection);
    }
}

void HttpFileServer::answer(int connection) {
    const std::string head = readRequestHead(connection);
    if (head.empty()) return;
    ++mRequests;
    if (!mPictures.empty()) {
        answerMotionJpeg(connection);
        return;
    }
    const bool headOnly = head.rfind("HEAD ", 0) == 0;
    std::size_t first = 0;
    std::size_t last = mBody.empty() ? 0 : mBody.size() - 1;
    bool partial = false;
    std::smatch range;
    static const std::regex RANGE("\r\n[Rr]ange: *bytes=([0-9]+)-([0-9]*)");
    if (std::regex_search(head, range, RANGE)) {
        first = std::stoul(range[1]);
        if (range[2].length() > 0) last = std::min<std::size_t>(std::stoul(range[2]), last);
        partial = true;
    }
    std::string status = "200 OK";
    std::string extra;
    std::size_t length = mBody.size();
    if (partial) {
        if (first >= mBody.size()) {
            const std::string reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                      std::to_string(mBody.size()) +
                                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            sendAll(connection, reply.data(), reply.size(), mRunning);
            return;
        }
        status = "206 Partial Content";
        length = last - first + 1;
        extra = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                std::to_string(mBody.size()) + "\r\n";
    }
    const std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: " + mContentType +
                              "\r\nAccept-Ranges: bytes\r\n" + extra + "Content-Length: " + std::to_string(length) +
                              "\r\nConnection: close\r\n\r\n";
    sendAll(connection, reply.data(), reply.size(), mRunning);
    if (!headOnly) sendAll(connection, mBody.data() + first, length, mRunning);
}

}  // namespace lmtest

namespace lmtest {

void HttpFileServer::answerMotionJpeg(int connection) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=picture\r\n"
        "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    sendAll(connection, head.data(), head.size(), mRunning);
    for (const auto& picture : mPictures) {
        if (!mRunning) return;
        const std::string part =
            "--picture\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(picture.size()) + "\r\n\r\n";
        sendAll(connection, part.data(), part.size(), mRunning);
        sendAll(connection, picture.data(), picture.size(), mRunning);
        sendAll(connection, "\r\n", 2, mRunning);
        std::this_thread::sleep_for(mInterval);
    }
}

}  // namespace lmtest
