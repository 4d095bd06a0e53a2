#pragma once
// The program's HTTP client (one POST per document, no connection kept between calls) and
// the small handler functions that the HTTP server's endpoint table is built from.

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Poco/Net/HTTPResponse.h>
#include <Poco/Timespan.h>

namespace Poco::Net {
class HTTPServerRequest;
class HTTPServerResponse;
}  // namespace Poco::Net

namespace hx::http {

// One endpoint of the HTTP server: writes the whole answer (status, headers, body) itself.
using HandlerFunction = std::function<void(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse&)>;

// The failure of one POST. status() is the HTTP status of the answer, or 0 when no answer
// came (bad URL, refused connection, time-out, TLS failure, dropped connection).
// retryable() tells whether sending the same document again later can succeed: no answer
// or a server error (5xx) can, a refusal of the document itself (4xx, 3xx) or a URL that
// cannot be parsed cannot.
class PostError : public std::runtime_error {
public:
    PostError(const std::string& what, int status, bool retryable)
        : std::runtime_error(what), mStatus(status), mRetryable(retryable) {}
    int status() const { return mStatus; }
    bool retryable() const { return mRetryable; }

private:
    int mStatus;
    bool mRetryable;
};

// The longest answer body post() reads; a longer one is a failure, never a truncated result.
constexpr std::size_t MAX_ANSWER_BYTES = 1024 * 1024;

// Header fields sent along with a request, name and value.
using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// POSTs `body` as "application/json" to `url` ("http" or "https"; the server certificate is
// not verified), with `headers` besides, and returns the answer body. Any 2xx answer is a
// success. Every failure throws PostError (a std::runtime_error) whose text names the URL.
std::string post(const std::string& url, const std::string& body, Poco::Timespan timeout = Poco::Timespan(10, 0),
                 const HeaderFields& headers = {});

// Prepares Poco's TLS layer; once per process, whoever comes first.
void initializeSsl();

// The cipher list of both TLS ends of the program.
extern const char* const CIPHER_LIST;

// A handler that answers every request with `text` as "text/html", chunked, status 200.
HandlerFunction simpleHandler(const std::string& text);
// A handler that answers 404 with an empty body.
HandlerFunction notFoundHandler();
// Answers with `status` and `body` in one buffer of known length, which also turns a chunked
// encoding set earlier off again. The caller sets the content type and any other headers.
void sendAnswer(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
                const std::string& body);
// Whether Poco can parse `uri` as a URI.
bool isUriValid(const std::string& uri);

}  // namespace hx::http
