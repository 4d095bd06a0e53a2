#include "hx_http_connection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include <fmt/format.h>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponseImpl.h>
#include <Poco/Net/HTTPServerSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Timestamp.h>

#include "hx_format.h"
#include "hx_status.h"

namespace hx::http {

namespace {

using Poco::Net::HTTPResponse;

// The request as the handler sees it: the original's head, with the body already read.
class BufferedRequest : public Poco::Net::HTTPServerRequest {
public:
    BufferedRequest(Poco::Net::HTTPServerRequest& original, std::string body)
        : mOriginal(original), mBody(std::move(body)) {
        setMethod(original.getMethod());
        setURI(original.getURI());
        setVersion(original.getVersion());
        for (const auto& [name, value] : original) add(name, value);
    }
    std::istream& stream() override { return mBody; }
    const Poco::Net::SocketAddress& clientAddress() const override { return mOriginal.clientAddress(); }
    const Poco::Net::SocketAddress& serverAddress() const override { return mOriginal.serverAddress(); }
    const Poco::Net::HTTPServerParams& serverParams() const override { return mOriginal.serverParams(); }
    Poco::Net::HTTPServerResponse& response() const override { return mOriginal.response(); }
    bool secure() const override { return mOriginal.secure(); }

private:
    Poco::Net::HTTPServerRequest& mOriginal;
    std::istringstream mBody;
};

// Reads the whole body; nothing when it is longer than `maxBody`.
std::optional<std::string> readBoundedBody(Poco::Net::HTTPServerRequest& request, std::size_t maxBody) {
    // A request with neither a length nor chunks has no body (Poco would read one until the
    // client closes the connection).
    if (!request.hasContentLength() && !request.getChunkedTransferEncoding()) return std::string();
    if (request.hasContentLength() && request.getContentLength64() > static_cast<Poco::Int64>(maxBody))
        return std::nullopt;
    std::string body;
    char buffer[8192];
    std::istream& in = request.stream();
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        body.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (body.size() > maxBody) return std::nullopt;
    }
    return body;
}

// Reads and forgets what remains of an oversized body, up to a limit, so that a client still
// sending it is not cut off before it reads the answer.
void discardRest(std::istream& in) {
    constexpr std::size_t DISCARD_LIMIT = 1024 * 1024;
    char buffer[8192];
    std::size_t discarded = 0;
    while (discarded < DISCARD_LIMIT && (in.read(buffer, sizeof buffer) || in.gcount() > 0))
        discarded += static_cast<std::size_t>(in.gcount());
}

// The bad-request envelope; the connection ends with it.
void refuse(Poco::Net::HTTPServerResponse& response, const std::string& description) {
    const std::string body = format::getAPIResponseStr(StatusHandler::APIErrorCode::BAD_REQUEST, description);
    response.setKeepAlive(false);
    response.setStatusAndReason(HTTPResponse::HTTP_BAD_REQUEST);
    response.setContentType("application/json");
    response.set("Access-Control-Allow-Origin", "*");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
}

// An answer without a body, for a request too broken to tell anything about.
void sendBare(Poco::Net::HTTPServerSession& session, HTTPResponse::HTTPStatus status) {
    Poco::Net::HTTPServerResponseImpl response(session);
    response.setVersion(Poco::Net::HTTPMessage::HTTP_1_1);
    response.setStatusAndReason(status);
    response.setKeepAlive(false);
    response.send();
    session.setKeepAlive(false);
}

constexpr const char* MALFORMED_LENGTH = "Malformed Content-Length";

}  // namespace

class ConnectionFactory::Connection : public Poco::Net::TCPServerConnection {
public:
    Connection(const Poco::Net::StreamSocket& socket, ConnectionFactory& factory)
        : Poco::Net::TCPServerConnection(socket),
          mFactory(factory),
          mHandlers(factory.mHandlers),
          mParams(factory.mParams),
          mMaxBody(factory.mMaxBody) {
        if (!mFactory.enlist(this)) mStopped = true;
    }
    ~Connection() override { mFactory.dismiss(this); }

    // The request being read is overdue: whatever read waits for it fails now.
    void cut() {
        try {
            socket().shutdown();
        } catch (...) {}
    }

    // An idle connection ends at once, a busy one once its answer is out.
    void close() {
        mStopped = true;
        std::lock_guard lock(mServing);
        try {
            socket().shutdown();
        } catch (...) {}
    }

    void run() override {
        Poco::Net::HTTPServerSession session(socket(), mParams);
        while (!mStopped && session.hasMoreRequests()) {
            try {
                std::lock_guard lock(mServing);
                if (mStopped) break;
                mFactory.startDeadline(this);
                serveOne(session);
            } catch (const Poco::Net::NoMessageException&) {
                break;
            } catch (const Poco::Net::MessageException&) {
                sendBare(session, HTTPResponse::HTTP_BAD_REQUEST);
            } catch (const Poco::Exception&) {
                mFactory.endDeadline(this);
                if (session.networkException()) session.networkException()->rethrow();
                throw;
            }
            mFactory.endDeadline(this);
        }
    }

private:
    void serveOne(Poco::Net::HTTPServerSession& session) {
        Poco::Net::HTTPServerResponseImpl response(session);
        std::unique_ptr<Poco::Net::HTTPServerRequestImpl> request;
        try {
            request = std::make_unique<Poco::Net::HTTPServerRequestImpl>(response, session, mParams.get());
        } catch (const Poco::SyntaxException&) {
            // Reading the head parses one number, the Content-Length. The response above was
            // tied to the request that failed, so the answer goes out on a fresh one.
            Poco::Net::HTTPServerResponseImpl refusal(session);
            refusal.setVersion(Poco::Net::HTTPMessage::HTTP_1_1);
            refuse(refusal, MALFORMED_LENGTH);
            session.setKeepAlive(false);
            return;
        }
        response.setDate(Poco::Timestamp());
        response.setVersion(request->getVersion());
        response.setKeepAlive(mParams->getKeepAlive() && request->getKeepAlive() && session.canKeepAlive());
        try {
            answer(*request, response);
        } catch (const Poco::Exception&) {
            if (!response.sent()) {
                try {
                    sendBare(session, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
                } catch (...) {}
            }
            throw;
        }
        session.setKeepAlive(mParams->getKeepAlive() && response.getKeepAlive() && session.canKeepAlive());
    }

    void answer(Poco::Net::HTTPServerRequestImpl& request, Poco::Net::HTTPServerResponse& response) {
        if (request.hasContentLength() && request.getContentLength64() < 0) return refuse(response, MALFORMED_LENGTH);
        if (request.getExpectContinue()) response.sendContinue();
        std::optional<std::string> body = readBoundedBody(request, mMaxBody);
        if (!body) {
            // What lies beyond the discard limit is not read, so the connection ends here.
            discardRest(request.stream());
            return refuse(response, fmt::format("Request body exceeds {} bytes", mMaxBody));
        }
        // Read in full: the handler may take as long as it needs.
        mFactory.endDeadline(this);
        BufferedRequest buffered(request, std::move(*body));
        std::unique_ptr<Poco::Net::HTTPRequestHandler> handler(mHandlers->createRequestHandler(buffered));
        handler->handleRequest(buffered, response);
    }

    ConnectionFactory& mFactory;
    Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> mHandlers;
    Poco::Net::HTTPServerParams::Ptr mParams;
    std::size_t mMaxBody;
    std::atomic<bool> mStopped{false};
    std::mutex mServing;  // held while a request is served
};

ConnectionFactory::ConnectionFactory(Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> handlers,
                                     Poco::Net::HTTPServerParams::Ptr params, std::size_t maxBody,
                                     std::chrono::milliseconds requestDeadline)
    : mHandlers(std::move(handlers)),
      mParams(std::move(params)),
      mMaxBody(maxBody),
      mRequestDeadline(requestDeadline),
      mWatch(&ConnectionFactory::watchDeadlines, this) {}

ConnectionFactory::~ConnectionFactory() {
    {
        std::lock_guard lock(mDeadlineMutex);
        mEnding = true;
    }
    mWake.notify_all();
    mWatch.join();
}

Poco::Net::TCPServerConnection* ConnectionFactory::createConnection(const Poco::Net::StreamSocket& socket) {
    return new Connection(socket, *this);
}

void ConnectionFactory::closeAll() {
    std::lock_guard lock(mMutex);
    mClosed = true;
    for (Connection* connection : mOpen) connection->close();
}

bool ConnectionFactory::enlist(Connection* connection) {
    std::lock_guard lock(mMutex);
    if (mClosed) return false;
    mOpen.insert(connection);
    return true;
}

void ConnectionFactory::dismiss(Connection* connection) {
    std::lock_guard lock(mMutex);
    mOpen.erase(connection);
    std::lock_guard deadlineLock(mDeadlineMutex);
    mDeadlines.erase(connection);
}

void ConnectionFactory::startDeadline(Connection* connection) {
    bool first = false;
    {
        std::lock_guard lock(mDeadlineMutex);
        mDeadlines[connection] = Clock::now() + mRequestDeadline;
        first = mDeadlines.size() == 1;
    }
    if (first) mWake.notify_all();
}

void ConnectionFactory::endDeadline(Connection* connection) {
    std::lock_guard lock(mDeadlineMutex);
    mDeadlines.erase(connection);
}

// Cuts overdue connections under the lock, so that none of them can go meanwhile.
void ConnectionFactory::watchDeadlines() {
    constexpr auto TICK = std::chrono::milliseconds(100);
    std::unique_lock lock(mDeadlineMutex);
    while (!mEnding) {
        if (mDeadlines.empty())
            mWake.wait(lock, [this] { return mEnding || !mDeadlines.empty(); });
        else
            mWake.wait_for(lock, TICK, [this] { return mEnding; });
        const auto now = Clock::now();
        for (auto it = mDeadlines.begin(); it != mDeadlines.end();) {
            if (it->second > now) {
                ++it;
                continue;
            }
            it->first->cut();
            it = mDeadlines.erase(it);
        }
    }
}

}  // namespace hx::http
