#pragma once
// The client connections of the HTTP interface. Each one reads its requests one after
// another; a request whose head or body is unusable (a malformed Content-Length, a body
// longer than the bound) is answered 400 with the bad-request envelope and ends the
// connection; every other one reaches the endpoint table with its body already read.
//
// A client cannot hold a connection's worker by sending slowly: from the first byte of a
// request, its head and body must have arrived within the request deadline, or the
// connection is cut. (How long an idle connection may wait for its next request is the
// server parameters' time-out and keep-alive time-out.)

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/SharedPtr.h>

namespace hx::http {

class ConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    ConnectionFactory(Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> handlers,
                      Poco::Net::HTTPServerParams::Ptr params, std::size_t maxBody,
                      std::chrono::milliseconds requestDeadline);
    ~ConnectionFactory() override;
    ConnectionFactory(const ConnectionFactory&) = delete;
    ConnectionFactory& operator=(const ConnectionFactory&) = delete;

    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override;
    const Poco::Net::HTTPServerParams::Ptr& params() const { return mParams; }

    // Ends every connection, and any made later: an idle one at once, one serving a request
    // once its answer is out. Returns when the busy ones have answered.
    void closeAll();

private:
    class Connection;
    // False once closed: the connection ends without serving.
    bool enlist(Connection* connection);
    void dismiss(Connection* connection);
    // The request the connection starts reading must be in by the deadline.
    void startDeadline(Connection* connection);
    void endDeadline(Connection* connection);
    void watchDeadlines();

    using Clock = std::chrono::steady_clock;

    Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> mHandlers;
    Poco::Net::HTTPServerParams::Ptr mParams;
    std::size_t mMaxBody;
    std::chrono::milliseconds mRequestDeadline;
    std::mutex mMutex;  // guards the two below; taken before mDeadlineMutex
    std::set<Connection*> mOpen;
    bool mClosed = false;
    // Apart from mMutex, which closing holds while it waits for busy connections.
    std::mutex mDeadlineMutex;  // guards the two below
    std::map<Connection*, Clock::time_point> mDeadlines;
    bool mEnding = false;  // the watch ends
    std::condition_variable mWake;
    std::thread mWatch;
};

}  // namespace hx::http
