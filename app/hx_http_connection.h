#pragma once
// The client connections of the HTTP interface. Each one reads its requests one after
// another; a request whose head or body is unusable (a malformed Content-Length, a body
// longer than the bound) is answered 400 with the bad-request envelope and ends the
// connection; every other one reaches the endpoint table with its body already read.

#include <cstddef>
#include <mutex>
#include <set>

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/SharedPtr.h>

namespace hx::http {

class ConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    ConnectionFactory(Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> handlers,
                      Poco::Net::HTTPServerParams::Ptr params, std::size_t maxBody);

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

    Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> mHandlers;
    Poco::Net::HTTPServerParams::Ptr mParams;
    std::size_t mMaxBody;
    std::mutex mMutex;  // guards the two below
    std::set<Connection*> mOpen;
    bool mClosed = false;
};

}  // namespace hx::http
