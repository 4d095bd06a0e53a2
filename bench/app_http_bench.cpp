// Throughput of the program's HTTP ends on loopback: requests per second that the local
// server answers, and documents per second that a push queue delivers to a receiver over
// HTTP and HTTPS (one connection, and for HTTPS one handshake, per document). And how long
// "/" and "/status" take while idle connections and clients sending a byte at a time are
// held open: the interface should answer within a second at 1,000 idle and 100 slow.

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
#include "support/raw_http.h"
#include "support/temp_dir.h"

namespace {

// The local server on a loopback port of the system's choice, answering "/" as the program does.
std::unique_ptr<hx::http::Server> startServer() {
    hx::Settings settings;
    settings.httpInterfacePort = 0;
    auto server = std::make_unique<hx::http::Server>(settings, "127.0.0.1");
    server->addEndpoint("/", hx::http::simpleHandler("Lumora-Harbix - 2.0.0"));
    return server;
}

// Arg 1: one kept-alive connection for all requests; arg 0: a new connection per request.
void BM_ServerRequests(benchmark::State& state) {
    lmtest::LogCapture quiet;
    const auto serverPtr = startServer();
    hx::http::Server& server = *serverPtr;
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

// Args: idle connections, slow clients. Each iteration is one "/" and one "/status" on
// fresh connections; the time is the slower of the two. Fails once a request goes unanswered.
void BM_ServerAnswersWhileConnectionsAreHeld(benchmark::State& state) {
    lmtest::LogCapture quiet;
    const auto serverPtr = startServer();
    hx::http::Server& server = *serverPtr;
    server.addEndpoint("/status", hx::http::simpleHandler("{}"));
    std::vector<std::unique_ptr<lmtest::RawHttpConnection>> idle;
    for (std::int64_t i = 0; i < state.range(0); ++i)
        idle.push_back(std::make_unique<lmtest::RawHttpConnection>(server.port()));
    lmtest::SlowClients slow(server.port(), static_cast<std::size_t>(state.range(1)), std::chrono::milliseconds(200));
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    double slowest = 0;
    for (auto _ : state) {
        double longest = 0;
        for (const char* target : {"/", "/status"}) {
            const auto start = std::chrono::steady_clock::now();
            try {
                if (lmtest::httpRequest("GET", base + target).status != 200) state.SkipWithError("unexpected status");
            } catch (const Poco::Exception& e) {
                state.SkipWithError(("no answer: " + e.displayText()).c_str());
                return;
            }
            longest =
                std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        slowest = std::max(slowest, longest);
        state.SetIterationTime(longest);
    }
    state.counters["slowest_s"] = slowest;
}
BENCHMARK(BM_ServerAnswersWhileConnectionsAreHeld)
    ->Args({0, 0})
    ->Args({1000, 100})
    ->Args({1900, 100})
    ->Args({3000, 300})
    ->Args({5000, 500})
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
