#pragma once
// The program's local HTTP interface: one Poco HTTP server, plain or over TLS, whose requests
// are dispatched by their exact target (path and query, byte for byte, any method) to handler
// functions that the rest of the program registers and removes at run time. The endpoint
// table survives restarts of the server on a new port or TLS mode.
//
// Around every handler the server guarantees:
// - the request body the handler reads is at most MAX_REQUEST_BODY bytes; a longer one, or
//   a malformed Content-Length, is answered 400 with the bad-request envelope and never
//   reaches the handler (hx_http_connection);
// - OPTIONS (a browser's CORS preflight) is answered 204 with the CORS headers, without
//   running the handler;
// - once the destructor returns no handler runs any more: it waits for the running ones.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/SharedPtr.h>

#include "hx_http.h"
#include "hx_settings.h"

namespace Poco {
class ThreadPool;
namespace Net {
class TCPServer;
}
}  // namespace Poco

namespace hx::http {

class ConnectionFactory;

class Server {
public:
    static constexpr std::size_t MAX_REQUEST_BODY = 64 * 1024;

    class HandlerFactory;

    // Starts listening on httpInterfacePort of `bindAddress` (all interfaces by default),
    // over TLS when httpInterfaceSsl is set. Throws std::runtime_error "Cannot start HTTP
    // server." (after logging why) when it cannot.
    explicit Server(const Settings& settings, std::string bindAddress = "0.0.0.0");
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts a server for these settings and, once it listens, replaces the current one.
    // On failure the current server keeps serving and the error is thrown as above.
    void initHttpServer(const Settings& settings);
    // Restarts only when the port or the TLS switch differs from the running server's.
    void setSettings(const Settings& settings);

    // Throws std::runtime_error for a URI that is already registered.
    void addEndpoint(const std::string& uri, const HandlerFunction& handler);
    // Throws std::runtime_error for a URI that is not registered. A request already running
    // on the endpoint finishes undisturbed.
    void removeEndpoint(const std::string& uri);

    // The port the server listens on.
    std::uint16_t port() const;

private:
    // Declared first so that it goes last: every server's connections run on it.
    std::unique_ptr<Poco::ThreadPool> mPool;
    std::unique_ptr<Poco::Net::TCPServer> mServer;
    Poco::SharedPtr<HandlerFactory> mHandlerFactory;
    // Shared by every server, so that closing reaches the connections of earlier ones too.
    Poco::SharedPtr<ConnectionFactory> mConnections;
    bool mSsl;
    std::string mBindAddress;
};

// The endpoint table, shared by every Poco server that one Server creates.
class Server::HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    class HandlerWrapper;

    void addEndpoint(const std::string& uri, const HandlerFunction& handler);
    void removeEndpoint(const std::string& uri);
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

    // From now on requests are answered 503 without running a handler; returns when the
    // handlers still running have returned.
    void close();

private:
    friend class HandlerWrapper;
    // Counts a handler in; false once closed.
    bool enter();
    void leave();

    std::map<std::string, HandlerFunction> mEndpoints;
    std::mutex mMutex;
    std::condition_variable mIdle;
    int mRunning = 0;
    bool mClosed = false;
};

}  // namespace hx::http
