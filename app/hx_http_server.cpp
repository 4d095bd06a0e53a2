#include "hx_http_server.h"

#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

#include "hx_http_connection.h"
#include "hx_log.h"

namespace hx::http {

namespace {

// Room for a burst of connections while the accepting thread catches up.
constexpr int LISTEN_BACKLOG = 1024;
// Workers and waiting connections: enough that a thousand idle connections, each holding a
// worker until its wait for a request runs out, still leave workers for real requests.
constexpr int MAX_WORKERS = 2048;
constexpr int MAX_WAITING_CONNECTIONS = 2048;
// How long a connection waits for its first request and for each read and write, how long
// a kept-alive one waits for its next request, and how long the head and body of one request
// may take from its first byte on.
constexpr long WAIT_FOR_CLIENT_SECONDS = 2;
constexpr long KEEP_ALIVE_IDLE_SECONDS = 2;
constexpr auto REQUEST_DEADLINE = std::chrono::seconds(5);

Poco::Net::HTTPServerParams::Ptr serverParams() {
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setTimeout(Poco::Timespan(WAIT_FOR_CLIENT_SECONDS, 0));
    params->setKeepAliveTimeout(Poco::Timespan(KEEP_ALIVE_IDLE_SECONDS, 0));
    params->setMaxThreads(MAX_WORKERS);
    params->setMaxQueued(MAX_WAITING_CONNECTIONS);
    return params;
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
        mHandler(request, response);
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
    : mPool(std::make_unique<Poco::ThreadPool>(2, MAX_WORKERS)),
      mHandlerFactory(new HandlerFactory),
      mConnections(new ConnectionFactory(mHandlerFactory, serverParams(), MAX_REQUEST_BODY, REQUEST_DEADLINE)),
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
    mConnections->closeAll();
    mServer.reset();
    // The connection threads hold the factory too; once they are done, ours is the last
    // reference and the table goes here, on this thread.
    mPool->joinAll();
}

void Server::initHttpServer(const Settings& settings) {
    std::unique_ptr<Poco::Net::TCPServer> server;
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
        server = std::make_unique<Poco::Net::TCPServer>(mConnections, *mPool, socket, mConnections->params());
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
