#include "hx_http.h"

#include <memory>
#include <mutex>

#include <fmt/format.h>

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/URI.h>

namespace hx::http {

const char* const CIPHER_LIST = "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH";

void initializeSsl() {
    static std::once_flag once;
    std::call_once(once, [] { Poco::Net::initializeSSL(); });
}

namespace {

// A client context per call, as documents go out rarely enough: no certificate of our own,
// and the receiver's certificate is not verified (receivers often use self-signed ones),
// but nothing older than TLS 1.2 is spoken.
Poco::Net::Context::Ptr clientContext() {
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                                             Poco::Net::Context::VERIFY_NONE, 9, false, CIPHER_LIST);
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
    return context;
}

std::unique_ptr<Poco::Net::HTTPClientSession> openSession(const Poco::URI& uri) {
    if (uri.getScheme() == "https") {
        initializeSsl();
        return std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(), clientContext());
    }
    return std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
}

// Reads the answer body, refusing one longer than MAX_ANSWER_BYTES.
std::string readBounded(std::istream& in) {
    std::string answer;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        answer.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (answer.size() > MAX_ANSWER_BYTES)
            throw Poco::Exception(fmt::format("Answer longer than {} bytes", MAX_ANSWER_BYTES));
    }
    return answer;
}

}  // namespace

std::string post(const std::string& url, const std::string& body, Poco::Timespan timeout, const HeaderFields& headers) {
    int status = 0;
    // Until the URL is parsed a failure is permanent; afterwards it is a missing answer
    // unless the answer's status says otherwise.
    bool retryable = false;
    try {
        const Poco::URI uri(url);
        if (uri.getHost().empty()) throw Poco::SyntaxException("URL without a host");
        retryable = true;
        std::string path = uri.getPathAndQuery();
        if (path.empty()) path = "/";

        const auto session = openSession(uri);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, path, Poco::Net::HTTPMessage::HTTP_1_1);
        request.setContentType("application/json");
        request.setContentLength(static_cast<std::streamsize>(body.size()));
        for (const auto& [name, value] : headers) request.set(name, value);
        session->setTimeout(timeout);
        session->sendRequest(request) << body;

        Poco::Net::HTTPResponse response;
        std::istream& in = session->receiveResponse(response);
        status = response.getStatus();
        if (status < 200 || status > 299) {
            retryable = status >= 500;
            throw Poco::Exception(fmt::format("Http request failed. Status : {} - {}", status, response.getReason()));
        }
        // The document has arrived: whatever goes wrong with the answer, do not send it again.
        retryable = false;
        return readBounded(in);
    } catch (const Poco::Exception& e) {
        throw PostError(fmt::format("HTTP POST to {} failure, {} - {}", url, e.name(), e.message()), status, retryable);
    } catch (const std::exception& e) {
        throw PostError(fmt::format("HTTP POST to {} failure, {}", url, e.what()), status, retryable);
    } catch (...) {
        throw PostError(fmt::format("HTTP POST to {} failure, unhandled error", url), status, retryable);
    }
}

HandlerFunction simpleHandler(const std::string& text) {
    return [text](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        response.setChunkedTransferEncoding(true);
        response.setContentType("text/html");
        response.send() << text;
    };
}

HandlerFunction notFoundHandler() {
    return [](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
        response.send();
    };
}

void sendAnswer(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
                const std::string& body) {
    response.setStatusAndReason(status);
    response.sendBuffer(body.data(), body.size());
}

bool isUriValid(const std::string& uri) {
    try {
        Poco::URI parsed(uri);
        return true;
    } catch (const Poco::SyntaxException&) {
        return false;
    }
}

}  // namespace hx::http
