// Throughput of the program's HTTP ends on loopback: requests per second that the local
// server answers, and documents per second that a push queue delivers to a receiver over
// HTTP and HTTPS (one connection, and for HTTPS one handshake, per document).

#include <benchmark/benchmark.h>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/NullStream.h>
#include <Poco/StreamCopier.h>

#include "hx_http.h"
#include "hx_http_server.h"
#include "hx_push_handler.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Arg 1: one kept-alive connection for all requests; arg 0: a new connection per request.
void BM_ServerRequests(benchmark::State& state) {
    lmtest::LogCapture quiet;
    hx::Settings settings;
    settings.httpInterfacePort = 0;
    hx::http::Server server(settings, "127.0.0.1");
    server.addEndpoint("/", hx::http::simpleHandler("Lumora-Harbix - 2.0.0"));
    const bool keepAlive = state.range(0) == 1;
    auto session = std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", server.port());
    for (auto _ : state) {
        if (!keepAlive) session = std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", server.port());
        session->setKeepAlive(keepAlive);
        Poco::Net::HTTPRequest request("GET", "/", Poco::Net::HTTPMessage::HTTP_1_1);
        request.setKeepAlive(keepAlive);
        session->sendRequest(request);
        Poco::Net::HTTPResponse response;
        Poco::NullOutputStream sink;
        Poco::StreamCopier::copyStream(session->receiveResponse(response), sink);
        if (response.getStatus() != 200) state.SkipWithError("unexpected status");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ServerRequests)->Arg(1)->Arg(0)->UseRealTime();

// Arg 1: HTTPS; arg 0: HTTP. Each iteration queues a batch and waits until it has arrived.
void BM_PushDocuments(benchmark::State& state) {
    lmtest::LogCapture quiet;
    lmtest::TempDir dir;
    const bool tls = state.range(0) == 1;
    std::unique_ptr<lmtest::TestCertificate> certificate;
    if (tls) certificate = std::make_unique<lmtest::TestCertificate>(dir);
    lmtest::HttpReceiver receiver(lmtest::HttpReceiver::Mode::ANSWER_200, certificate.get());
    hx::PushHandler queue(true, receiver.url("/push"), false);
    const std::string document(1024, 'd');
    constexpr std::size_t BATCH = 50;
    std::size_t sent = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < BATCH; ++i) queue.newMessage(document);
        sent += BATCH;
        if (!receiver.waitForRequests(sent, std::chrono::seconds(60))) state.SkipWithError("documents missing");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_PushDocuments)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
