#include "hx_http_server.h"

#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/ThreadPool.h>

#include "hx_format.h"
#include "hx_log.h"
#include "hx_status.h"

namespace hx::http {

namespace {

constexpr int LISTEN_BACKLOG = 64;

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

// Reads the whole body; empty when it is longer than the bound.
std::optional<std::string> readBoundedBody(Poco::Net::HTTPServerRequest& request) {
    // A request with neither a length nor chunks has no body (Poco would read one until the
    // client closes the connection).
    if (!request.hasContentLength() && !request.getChunkedTransferEncoding()) return std::string();
    if (request.hasContentLength() && request.getContentLength64() > static_cast<Poco::Int64>(Server::MAX_REQUEST_BODY))
        return std::nullopt;
    std::string body;
    char buffer[8192];
    std::istream& in = request.stream();
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        body.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (body.size() > Server::MAX_REQUEST_BODY) return std::nullopt;
    }
    return body;
}

void sendJson(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
              StatusHandler::APIErrorCode code, const std::string& description) {
    const std::string body = format::getAPIResponseStr(code, description);
    response.setStatusAndReason(status);
    response.setContentType("application/json");
    response.set("Access-Control-Allow-Origin", "*");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
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

void answerTooLarge(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    discardRest(request.stream());
    // What lies beyond the discard limit was not read, so the connection ends here.
    response.setKeepAlive(false);
    sendJson(response, Poco::Net::HTTPResponse::HTTP_BAD_REQUEST, StatusHandler::APIErrorCode::BAD_REQUEST,
             fmt::format("Request body exceeds {} bytes", Server::MAX_REQUEST_BODY));
}

void answerPreflight(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_NO_CONTENT);
    response.set("Access-Control-Allow-Origin", "*");
    response.set("Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, OPTIONS");
    response.set("Access-Control-Allow-Headers", request.get("Access-Control-Request-Headers", "Content-Type"));
    response.set("Access-Control-Max-Age", "86400");
    response.send();
}

std::string describe(const Settings& settings) {
    return fmt::format("port = {}, ssl = {}, ssl key = {}, ssl crt = {}", settings.httpInterfacePort,
                       settings.httpInterfaceSsl, settings.httpInterfaceSslKey, settings.httpInterfaceSslCrt);
}

void requireFile(const std::string& path, const char* what) {
    const auto type = std::filesystem::status(path).type();
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none)
        throw std::runtime_error(fmt::format("Unable to open \"{}\" {}", path, what));
}

// The server's TLS context: its key and certificate, no client certificates asked for (it
// could not verify them), nothing older than TLS 1.2.
Poco::Net::Context::Ptr serverContext(const Settings& settings) {
    requireFile(settings.httpInterfaceSslKey, "key-file");
    requireFile(settings.httpInterfaceSslCrt, "crt-file");
    initializeSsl();
    Poco::Net::Context::Ptr context = new Poco::Net::Context(
        Poco::Net::Context::TLS_SERVER_USE, settings.httpInterfaceSslKey, settings.httpInterfaceSslCrt, "",
        Poco::Net::Context::VERIFY_NONE, 9, false, CIPHER_LIST);
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
    return context;
}

// A listening socket bound without SO_REUSEPORT, so that a port another server listens on
// is reported busy rather than shared.
Poco::Net::ServerSocket listeningSocket(const std::string& address, std::uint16_t port,
                                        const Poco::Net::Context::Ptr& context) {
    Poco::Net::ServerSocket socket;
    if (context) socket = Poco::Net::SecureServerSocket(context);
    socket.bind(Poco::Net::SocketAddress(address, port), true, false);
    socket.listen(LISTEN_BACKLOG);
    return socket;
}

}  // namespace

// ---- endpoint table

class Server::HandlerFactory::HandlerWrapper : public Poco::Net::HTTPRequestHandler {
public:
    // `registered`: the handler is an endpoint's, not the answer to an unknown target.
    HandlerWrapper(HandlerFactory& factory, const HandlerFunction& handler, bool registered)
        : mFactory(factory), mHandler(handler), mRegistered(registered) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        std::optional<std::string> body = readBoundedBody(request);
        if (!body) return answerTooLarge(request, response);
        if (mRegistered && request.getMethod() == Poco::Net::HTTPRequest::HTTP_OPTIONS)
            return answerPreflight(request, response);
        if (!mFactory.enter()) {
            response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_SERVICE_UNAVAILABLE);
            response.setKeepAlive(false);
            response.setContentLength(0);
            response.send();
            return;
        }
        struct Leave {
            HandlerFactory& factory;
            ~Leave() { factory.leave(); }
        } leave{mFactory};
        BufferedRequest buffered(request, std::move(*body));
        mHandler(buffered, response);
    }

private:
    HandlerFactory& mFactory;
    HandlerFunction mHandler;
    bool mRegistered;
};

void Server::HandlerFactory::addEndpoint(const std::string& uri, const HandlerFunction& handler) {
    std::lock_guard lock(mMutex);
    if (mEndpoints.count(uri) > 0) throw std::runtime_error("Registering duplicate endpoint registered : " + uri);
    mEndpoints.emplace(uri, handler);
}

void Server::HandlerFactory::removeEndpoint(const std::string& uri) {
    std::lock_guard lock(mMutex);
    if (mEndpoints.erase(uri) == 0) throw std::runtime_error("Removing unregistered endpoint : " + uri);
}

Poco::Net::HTTPRequestHandler* Server::HandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request) {
    std::unique_lock lock(mMutex);
    const auto found = mEndpoints.find(request.getURI());
    if (found != mEndpoints.end()) return new HandlerWrapper(*this, found->second, true);
    lock.unlock();
    return new HandlerWrapper(*this, notFoundHandler(), false);
}

bool Server::HandlerFactory::enter() {
    std::lock_guard lock(mMutex);
    if (mClosed) return false;
    ++mRunning;
    return true;
}

void Server::HandlerFactory::leave() {
    {
        std::lock_guard lock(mMutex);
        --mRunning;
    }
    mIdle.notify_all();
}

void Server::HandlerFactory::close() {
    std::unique_lock lock(mMutex);
    mClosed = true;
    mIdle.wait(lock, [this] { return mRunning == 0; });
}

// ---- server

Server::Server(const Settings& settings, std::string bindAddress)
    : mPool(std::make_unique<Poco::ThreadPool>(2, 64)),
      mHandlerFactory(new HandlerFactory),
      mSsl(settings.httpInterfaceSsl),
      mBindAddress(std::move(bindAddress)) {
    initHttpServer(settings);
}

Server::~Server() {
    if (mServer) mServer->stop();  // accept no more connections
    mHandlerFactory->close();      // and let the running handlers finish
    // Then close every connection: an idle kept-alive one at once, one still writing the
    // answer of a handler that just returned only once that answer is out (aborting it
    // would cut the answer off).
    if (mServer) mServer->stopAll(false);
    mServer.reset();
    // The connection threads hold the factory too; once they are done, ours is the last
    // reference and the table goes here, on this thread.
    mPool->joinAll();
}

void Server::initHttpServer(const Settings& settings) {
    std::unique_ptr<Poco::Net::HTTPServer> server;
    try {
        Poco::Net::Context::Ptr context;
        if (settings.httpInterfaceSsl) context = serverContext(settings);
        // The port is ours already: free it for the new socket (a TLS switch). On another
        // port the current server keeps serving until the new one listens.
        if (mServer && settings.httpInterfacePort == port()) {
            mServer->stop();
            mServer.reset();
        }
        const Poco::Net::ServerSocket socket = listeningSocket(mBindAddress, settings.httpInterfacePort, context);
        const Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
        server = std::make_unique<Poco::Net::HTTPServer>(mHandlerFactory, *mPool, socket, params);
    } catch (const Poco::Net::NetException& e) {
        harbixLog()->error("Could not start HTTP server: {}", e.message());
        throw std::runtime_error("Cannot start HTTP server.");
    } catch (const std::runtime_error& e) {
        harbixLog()->error("{}", e.what());
        harbixLog()->error("Could not start HTTP server: {}", describe(settings));
        throw std::runtime_error("Cannot start HTTP server.");
    }
    if (mServer) mServer->stop();
    mServer = std::move(server);
    mServer->start();
    mSsl = settings.httpInterfaceSsl;
    harbixLog()->info("Started local HTTP server: {}", describe(settings));
}

void Server::setSettings(const Settings& settings) {
    if (mServer && settings.httpInterfaceSsl == mSsl && settings.httpInterfacePort == port()) return;
    initHttpServer(settings);
}

void Server::addEndpoint(const std::string& uri, const HandlerFunction& handler) {
    mHandlerFactory->addEndpoint(uri, handler);
}

void Server::removeEndpoint(const std::string& uri) { mHandlerFactory->removeEndpoint(uri); }

std::uint16_t Server::port() const { return mServer ? mServer->port() : 0; }

}  // namespace hx::http
