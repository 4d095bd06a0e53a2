#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for tests that need a real network source. It
// serves, for any path, either one byte string (GET and HEAD, with single byte ranges) or
// a motion-JPEG stream (multipart/x-mixed-replace: the given JPEG pictures, one per
// interval, after which the connection ends like a sender that stops). One connection at
// a time, closed after its answer. It can be stopped and started again on the same port
// to simulate a sender that goes away and comes back.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace lmtest {

class HttpFileServer {
public:
    explicit HttpFileServer(std::string body, std::string contentType = "application/octet-stream");
    HttpFileServer(std::vector<std::string> jpegPictures, std::chrono::milliseconds interval);
    ~HttpFileServer();
    HttpFileServer(const HttpFileServer&) = delete;
    HttpFileServer& operator=(const HttpFileServer&) = delete;

    // Listens on the given port (0 picks a free one the first time; later starts reuse it).
    void start(std::uint16_t port = 0);
    void stop();
    std::uint16_t port() const { return mPort; }
    std::string url(const std::string& path = "/video.avi") const;
    int requestsServed() const { return mRequests; }

private:
    void serve();
    void answer(int connection);
    void answerMotionJpeg(int connection);

    std::string mBody;
    std::string mContentType;
    std::vector<std::string> mPictures;
    std::chrono::milliseconds mInterval{0};
    std::uint16_t mPort = 0;
    int mListenFd = -1;
    std::atomic<bool> mRunning{false};
    std::atomic<int> mRequests{0};
    std::thread mThread;
};

}  // namespace lmtest
