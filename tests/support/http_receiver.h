#pragma once
// A loopback HTTP(S) receiver for tests: an in-process Poco server on 127.0.0.1 that records
// every request and answers as its current mode says (a status, a delay, no answer at all,
// or a connection dropped mid-request). It can be stopped and started again on the same
// port to play an outage. Header-only, so that only the programs that use it link Poco.
//
// Also: a self-signed certificate made at test time, a port on which nothing listens, and a
// one-shot client that reports whatever the server answers.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>

#include "support/temp_dir.h"

namespace lmtest {

// A key and a self-signed certificate for 127.0.0.1 and localhost, valid for a day; or,
// with `otherHost`, one that names only that host.
struct TestCertificate {
    explicit TestCertificate(const TempDir& dir, const std::string& otherHost = "")
        : key(dir.file(otherHost + "key.pem")), cert(dir.file(otherHost + "cert.pem")) {
        const std::string subject = otherHost.empty()
                                        ? "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
                                        : "-subj /CN=" + otherHost + " -addext subjectAltName=DNS:" + otherHost;
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 " + subject + " -keyout '" +
                                    key + "' -out '" + cert + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a test certificate");
    }
    std::string key;
    std::string cert;
};

// A loopback port on which nothing listens (bound once by the system, then closed again).
inline std::uint16_t refusedPort() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    const std::uint16_t port = socket.address().port();
    socket.close();
    return port;
}

// One answer as the client saw it.
struct HttpAnswer {
    int status = 0;
    std::string reason;
    std::string body;
    bool chunked = false;
    Poco::Net::NameValueCollection headers;
    std::string header(const std::string& name) const { return headers.get(name, ""); }
};

// Sends one request (any method; "https" without verifying the certificate) and returns the
// answer; Poco's exceptions pass through when there is none.
inline HttpAnswer httpRequest(const std::string& method, const std::string& url, const std::string& body = "",
                              const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    const Poco::URI uri(url);
    std::unique_ptr<Poco::Net::HTTPClientSession> session;
    if (uri.getScheme() == "https") {
        Poco::Net::initializeSSL();
        Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                                                 Poco::Net::Context::VERIFY_NONE, 9, false);
        session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(), context);
    } else {
        session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
    }
    session->setTimeout(Poco::Timespan(20, 0));
    std::string target = uri.getPathAndQuery();
    if (target.empty()) target = "/";
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    for (const auto& [name, value] : headers) request.set(name, value);
    if (!body.empty() && !request.getChunkedTransferEncoding())
        request.setContentLength(static_cast<std::streamsize>(body.size()));
    session->sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session->receiveResponse(response);
    HttpAnswer answer;
    answer.status = response.getStatus();
    answer.reason = response.getReason();
    answer.chunked = response.getChunkedTransferEncoding();
    for (const auto& [name, value] : response) answer.headers.add(name, value);
    answer.body.assign(std::istreambuf_iterator<char>(in), {});
    return answer;
}

class HttpReceiver {
public:
    enum class Mode {
        ANSWER_200,  // 200 with the answer text (setAnswer)
        ANSWER_201,
        ANSWER_204,
        ANSWER_404,
        ANSWER_500,
        DELAY,  // 200 after the delay (setDelay)
        HANG,   // never answers until the receiver stops
        DROP,   // reads the request, then closes the connection without an answer
    };

    struct Request {
        std::string method;
        std::string uri;
        std::string contentType;
        std::string body;
        std::string idempotencyKey;  // empty when the request had none
    };

    // With `tls` the receiver speaks HTTPS with that certificate.
    explicit HttpReceiver(Mode mode = Mode::ANSWER_200, const TestCertificate* tls = nullptr) {
        mState->mode = mode;
        if (tls != nullptr)
            mContext = new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, tls->key, tls->cert, "",
                                              Poco::Net::Context::VERIFY_NONE);
        start();
    }
    ~HttpReceiver() { stop(); }
    HttpReceiver(const HttpReceiver&) = delete;
    HttpReceiver& operator=(const HttpReceiver&) = delete;

    // Listens again, on the same port after a stop().
    void start() {
        if (mServer) return;
        Poco::Net::ServerSocket socket;
        if (mContext) socket = Poco::Net::SecureServerSocket(mContext);
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", mPort), true);
        socket.listen(64);
        mPort = socket.address().port();
        {
            std::lock_guard lock(mState->mutex);
            mState->released = false;
        }
        auto* params = new Poco::Net::HTTPServerParams;
        params->setKeepAlive(false);
        mPool = std::make_unique<Poco::ThreadPool>(2, 32);
        mServer = std::make_unique<Poco::Net::HTTPServer>(new Factory(mState), *mPool, socket, params);
        mServer->start();
    }

    // Stops listening; hung requests are released and every running handler has ended
    // when this returns.
    void stop() {
        if (!mServer) return;
        {
            std::lock_guard lock(mState->mutex);
            mState->released = true;
        }
        mState->changed.notify_all();
        mServer->stopAll(true);
        mServer.reset();
        mPool->joinAll();
        mPool.reset();
    }

    void setMode(Mode mode) {
        std::lock_guard lock(mState->mutex);
        mState->mode = mode;
    }
    void setAnswer(std::string answer) {
        std::lock_guard lock(mState->mutex);
        mState->answer = std::move(answer);
    }
    void setDelay(std::chrono::milliseconds delay) {
        std::lock_guard lock(mState->mutex);
        mState->delay = delay;
    }

    std::uint16_t port() const { return mPort; }
    std::string url(const std::string& pathAndQuery = "/") const {
        return (mContext ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(mPort) + pathAndQuery;
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mState->mutex);
        return mState->requests;
    }
    std::vector<std::string> bodies() const {
        std::vector<std::string> out;
        for (const auto& r : requests()) out.push_back(r.body);
        return out;
    }
    // Waits until at least `count` requests have arrived; false after `timeout`.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock lock(mState->mutex);
        return mState->changed.wait_for(lock, timeout, [&] { return mState->requests.size() >= count; });
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        Mode mode = Mode::ANSWER_200;
        std::string answer = "ok";
        std::chrono::milliseconds delay{200};
        bool released = false;
        std::vector<Request> requests;
    };

    class Handler : public Poco::Net::HTTPRequestHandler {
    public:
        explicit Handler(std::shared_ptr<State> state) : mState(std::move(state)) {}
        void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
            Request record{request.getMethod(), request.getURI(),
                           request.has("Content-Type") ? request.getContentType() : std::string(),
                           std::string(std::istreambuf_iterator<char>(request.stream()), {}),
                           request.get("Idempotency-Key", "")};
            std::unique_lock lock(mState->mutex);
            const Mode mode = mState->mode;
            const std::string answer = mState->answer;
            const auto delay = mState->delay;
            mState->requests.push_back(std::move(record));
            mState->changed.notify_all();
            if (mode == Mode::HANG) {
                mState->changed.wait(lock, [&] { return mState->released; });
                return;
            }
            lock.unlock();
            using Status = Poco::Net::HTTPResponse::HTTPStatus;
            switch (mode) {
                case Mode::DROP: static_cast<Poco::Net::HTTPServerRequestImpl&>(request).socket().shutdown(); return;
                case Mode::DELAY: std::this_thread::sleep_for(delay); break;
                case Mode::ANSWER_201: response.setStatusAndReason(Status::HTTP_CREATED); break;
                case Mode::ANSWER_204: response.setStatusAndReason(Status::HTTP_NO_CONTENT); break;
                case Mode::ANSWER_404: response.setStatusAndReason(Status::HTTP_NOT_FOUND); break;
                case Mode::ANSWER_500: response.setStatusAndReason(Status::HTTP_INTERNAL_SERVER_ERROR); break;
                default: break;
            }
            if (mode == Mode::ANSWER_204) {
                response.send();
                return;
            }
            response.setContentLength(static_cast<std::streamsize>(answer.size()));
            response.send() << answer;
        }

    private:
        std::shared_ptr<State> mState;
    };

    class Factory : public Poco::Net::HTTPRequestHandlerFactory {
    public:
        explicit Factory(std::shared_ptr<State> state) : mState(std::move(state)) {}
        Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
            return new Handler(mState);
        }

    private:
        std::shared_ptr<State> mState;
    };

    std::shared_ptr<State> mState = std::make_shared<State>();
    Poco::Net::Context::Ptr mContext;
    std::uint16_t mPort = 0;
    std::unique_ptr<Poco::ThreadPool> mPool;
    std::unique_ptr<Poco::Net::HTTPServer> mServer;
};

}  // namespace lmtest
