#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>

#include "hx_http.h"
#include "hx_http_server.h"
#include "support/api_envelope.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/raw_http.h"
#include "support/temp_dir.h"

namespace {

using lmtest::httpRequest;

hx::Settings plainOn(std::uint16_t port) {
    hx::Settings settings;
    settings.httpInterfacePort = port;
    return settings;
}

hx::Settings tlsOn(std::uint16_t port, const std::string& key, const std::string& crt) {
    hx::Settings settings = plainOn(port);
    settings.httpInterfaceSsl = true;
    settings.httpInterfaceSslKey = key;
    settings.httpInterfaceSslCrt = crt;
    return settings;
}

std::string url(const hx::http::Server& server, const std::string& target, bool tls = false) {
    return (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(server.port()) + target;
}

// A handler that answers the method, the target and the body it saw.
hx::http::HandlerFunction echo(std::atomic<int>* calls = nullptr) {
    return [calls](Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
        if (calls) ++*calls;
        const std::string body(std::istreambuf_iterator<char>(request.stream()), {});
        response.setContentType("text/plain");
        response.send() << request.getMethod() << " " << request.getURI() << " " << body;
    };
}

// The server under test binds to loopback only.
std::unique_ptr<hx::http::Server> startServer(const hx::Settings& settings) {
    return std::make_unique<hx::http::Server>(settings, "127.0.0.1");
}

TEST(HttpServerThreads, DispatchesByExactTargetForEveryMethod) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/start", echo());
    server->addEndpoint("/status", hx::http::simpleHandler("<b>fine</b>"));
    for (const std::string method : {"GET", "POST", "DELETE"})
        EXPECT_EQ(httpRequest(method, url(*server, "/start"), "x").body, method + " /start x");

    const auto simple = httpRequest("POST", url(*server, "/status"), "ignored");
    EXPECT_EQ(simple.status, 200);
    EXPECT_EQ(simple.body, "<b>fine</b>");
    EXPECT_EQ(simple.header("Content-Type"), "text/html");
    EXPECT_TRUE(simple.chunked);

    for (const std::string target : {"/status?x=1", "/status/", "/STATUS", "/", "/unknown"}) {
        const auto answer = httpRequest("GET", url(*server, target));
        EXPECT_EQ(answer.status, 404) << target;
        EXPECT_EQ(answer.reason, "Not Found") << target;
        EXPECT_EQ(answer.body, "") << target;
    }
}

TEST(HttpServerThreads, EndpointTableRejectsDuplicatesAndUnknownRemovals) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/data/raw", hx::http::simpleHandler("first"));
    try {
        server->addEndpoint("/data/raw", hx::http::simpleHandler("second"));
        ADD_FAILURE() << "duplicate accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Registering duplicate endpoint registered : /data/raw");
    }
    try {
        server->removeEndpoint("/never");
        ADD_FAILURE() << "unknown removal accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Removing unregistered endpoint : /never");
    }
    EXPECT_EQ(httpRequest("GET", url(*server, "/data/raw")).body, "first");

    // Added and removed while serving, no restart needed.
    server->addEndpoint("/late", hx::http::simpleHandler("late"));
    EXPECT_EQ(httpRequest("GET", url(*server, "/late")).body, "late");
    server->removeEndpoint("/late");
    EXPECT_EQ(httpRequest("GET", url(*server, "/late")).status, 404);
}

TEST(HttpServerThreads, StartLogLineAndRestartOnlyWhenPortOrTlsChanges) {
    lmtest::LogCapture log;
    const std::uint16_t first = lmtest::refusedPort();
    auto server = startServer(plainOn(first));
    server->addEndpoint("/a", hx::http::simpleHandler("A"));
    const std::string started = "Started local HTTP server: port = " + std::to_string(first) +
                                ", ssl = false, ssl key = certificate.key, ssl crt = certificate.crt";
    EXPECT_EQ(log.count(started), 1u);

    server->setSettings(plainOn(first));
    EXPECT_EQ(log.countContaining("Started local HTTP server"), 1u) << "same port and TLS switch: no restart";

    const std::uint16_t second = lmtest::refusedPort();
    server->setSettings(plainOn(second));
    EXPECT_EQ(server->port(), second);
    EXPECT_EQ(log.countContaining("Started local HTTP server: port = " + std::to_string(second)), 1u);
    EXPECT_EQ(httpRequest("GET", url(*server, "/a")).body, "A") << "the table survives the restart";
    EXPECT_THROW(httpRequest("GET", "http://127.0.0.1:" + std::to_string(first) + "/a"), Poco::Net::NetException);
}

// The settings endpoint restarts the server from one of its own handlers.
TEST(HttpServerThreads, RestartFromInsideAHandlerStillAnswersThatRequest) {
    auto server = startServer(plainOn(0));
    const std::uint16_t next = lmtest::refusedPort();
    server->addEndpoint("/settings/set", [&](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        server->setSettings(plainOn(next));
        response.send() << "moved";
    });
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set"), "{}").body, "moved");
    EXPECT_EQ(server->port(), next);
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set"), "{}").body, "moved");
}

TEST(HttpServerThreads, BusyPortIsReportedAndTheOldServerKeepsServing) {
    Poco::Net::ServerSocket busy(Poco::Net::SocketAddress("127.0.0.1", 0));
    const std::uint16_t busyPort = busy.address().port();
    {
        lmtest::LogCapture log;
        try {
            startServer(plainOn(busyPort));
            ADD_FAILURE() << "started on a busy port";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot start HTTP server.");
        }
        EXPECT_EQ(log.countContaining("Could not start HTTP server: "), 1u);
        EXPECT_EQ(log.lines().at(0).level, spdlog::level::err);
    }

    auto server = startServer(plainOn(0));
    const std::uint16_t serving = server->port();
    server->addEndpoint("/a", hx::http::simpleHandler("A"));
    EXPECT_THROW(server->setSettings(plainOn(busyPort)), std::runtime_error);
    EXPECT_EQ(server->port(), serving);
    EXPECT_EQ(httpRequest("GET", url(*server, "/a")).body, "A");
}

TEST(HttpServerThreads, PreflightIsAnsweredWithoutRunningTheHandler) {
    auto server = startServer(plainOn(0));
    std::atomic<int> calls{0};
    server->addEndpoint("/settings/set", echo(&calls));
    const auto answer = httpRequest("OPTIONS", url(*server, "/settings/set"), "",
                                    {{"Origin", "http://panel.local"},
                                     {"Access-Control-Request-Method", "POST"},
                                     {"Access-Control-Request-Headers", "content-type"}});
    EXPECT_EQ(answer.status, 204);
    EXPECT_EQ(answer.header("Access-Control-Allow-Origin"), "*");
    EXPECT_NE(answer.header("Access-Control-Allow-Methods").find("POST"), std::string::npos);
    EXPECT_EQ(answer.header("Access-Control-Allow-Headers"), "content-type");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(httpRequest("OPTIONS", url(*server, "/elsewhere")).status, 404);
}

TEST(HttpServerThreads, OversizedBodyNeverReachesTheHandler) {
    auto server = startServer(plainOn(0));
    std::atomic<int> calls{0};
    server->addEndpoint("/settings/set", echo(&calls));
    const std::string limit(hx::http::Server::MAX_REQUEST_BODY, 'x');
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set"), limit).body, "POST /settings/set " + limit);
    EXPECT_EQ(calls, 1);

    const std::string tooLarge = limit + "y";
    for (const bool chunked : {false, true}) {
        std::vector<std::pair<std::string, std::string>> headers;
        if (chunked) headers.push_back({"Transfer-Encoding", "chunked"});
        const auto answer = httpRequest("POST", url(*server, "/settings/set"), tooLarge, headers);
        EXPECT_EQ(answer.status, 400) << chunked;
        EXPECT_EQ(answer.header("Content-Type"), "application/json");
        EXPECT_EQ(answer.body, R"({ "error_code" : 1400, "description" : "Request body exceeds 65536 bytes"})");
    }
    EXPECT_EQ(calls, 1);
}

TEST(HttpServerThreads, MalformedContentLengthIsABadRequest) {
    auto server = startServer(plainOn(0));
    std::atomic<int> calls{0};
    server->addEndpoint("/settings/set", echo(&calls));
    for (const char* length : {"abc", "99999999999999999999", "-5", "12abc", " ", "0x10"}) {
        lmtest::RawHttpConnection connection(server->port());
        connection.send(std::string("POST /settings/set HTTP/1.1\r\nHost: x\r\nContent-Length: ") + length +
                        "\r\n\r\n{}");
        const auto answer = connection.readAnswer();
        EXPECT_EQ(answer.status, 400) << length << "\n" << answer.head;
        EXPECT_NE(answer.head.find("\r\nContent-Type: application/json"), std::string::npos) << length;
        EXPECT_EQ(answer.body, lmtest::envelope(1400, "Malformed Content-Length")) << length;
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set"), "ok").body, "POST /settings/set ok");
}

// Sends `head` a byte at a time, one every quarter second, and tells whether the server cut
// the connection before the head was complete.
bool cutWhileSending(std::uint16_t port, const std::string& head) {
    lmtest::RawHttpConnection slow(port, std::chrono::milliseconds(250));
    for (const char byte : head) {
        if (!slow.send(std::string(1, byte)) || slow.closedByServer()) return true;
    }
    return false;
}

// What the server does with clients that are slow or silent, each on a connection of its own.
TEST(HttpServerThreads, SlowAndIdleConnectionsAreCutAndTimelyOnesServed) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/", [](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        hx::http::sendAnswer(response, Poco::Net::HTTPResponse::HTTP_OK, "product");
    });
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    lmtest::RawHttpConnection silent(server->port(), std::chrono::seconds(15));
    lmtest::RawHttpConnection keptAlive(server->port(), std::chrono::seconds(15));
    ASSERT_TRUE(keptAlive.send(request));
    EXPECT_EQ(keptAlive.readAnswer().status, 200);

    // A head in pieces that arrives in time is served.
    lmtest::RawHttpConnection unhurried(server->port());
    for (std::size_t at = 0; at < request.size(); at += 10) {
        ASSERT_TRUE(unhurried.send(request.substr(at, 10)));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(unhurried.readAnswer().body, "product");

    // A head that takes 15 s (60 bytes) is cut off; so are a connection that never sends a
    // request and one that stays idle after its answer.
    EXPECT_TRUE(cutWhileSending(server->port(), std::string(60, 'G')));
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(keptAlive.closedByServer());
}

// Not run under ThreadSanitizer (no "Threads" suite): it holds over a thousand connections.
TEST(HttpServerLoad, AnswersWhileAThousandIdleAndAHundredSlowClientsHoldOn) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/", hx::http::simpleHandler("product"));
    server->addEndpoint("/status", hx::http::simpleHandler("status"));
    std::vector<std::unique_ptr<lmtest::RawHttpConnection>> idle;
    for (int i = 0; i < 1000; ++i) idle.push_back(std::make_unique<lmtest::RawHttpConnection>(server->port()));
    lmtest::SlowClients slow(server->port(), 100, std::chrono::milliseconds(200));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(httpRequest("GET", url(*server, "/")).body, "product") << round;
        EXPECT_EQ(httpRequest("GET", url(*server, "/status")).body, "status") << round;
    }
}

TEST(HttpServerThreads, DestructionWaitsForRunningHandlers) {
    auto server = startServer(plainOn(0));
    std::promise<void> entered;
    std::atomic<bool> finished{false};
    server->addEndpoint("/slow", [&](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        entered.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
        response.send() << "done";
    });
    auto client = std::async(std::launch::async, [&] { return httpRequest("GET", url(*server, "/slow")); });
    entered.get_future().wait();
    server.reset();
    EXPECT_TRUE(finished) << "the destructor returned while a handler ran";
    EXPECT_EQ(client.get().body, "done") << "the running request still gets its answer";
}

TEST(HttpServerThreads, ConcurrentRequestsWhileTheTableChanges) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/fixed", hx::http::simpleHandler("fixed"));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int i = 0; !stop; ++i) {
            server->addEndpoint("/churn", hx::http::simpleHandler(std::to_string(i)));
            server->removeEndpoint("/churn");
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                if (httpRequest("GET", url(*server, "/fixed")).body == "fixed") ++good;
                const int status = httpRequest("GET", url(*server, "/churn")).status;
                EXPECT_TRUE(status == 200 || status == 404) << status;
            }
        });
    for (auto& t : clients) t.join();
    stop = true;
    churn.join();
    EXPECT_EQ(good, 100);
}

// ---- TLS

class HttpServerTlsThreads : public ::testing::Test {
protected:
    lmtest::TempDir dir;
    lmtest::TestCertificate certificate{dir};
};

TEST_F(HttpServerTlsThreads, ServesHttpsAndSwitchesModeOnTheSamePort) {
    lmtest::LogCapture log;
    auto server = startServer(tlsOn(0, certificate.key, certificate.cert));
    server->addEndpoint("/in", echo());
    EXPECT_EQ(hx::http::post(url(*server, "/in", true), "{}"), "POST /in {}");
    EXPECT_EQ(log.count("Started local HTTP server: port = 0, ssl = true, ssl key = " + certificate.key +
                        ", ssl crt = " + certificate.cert),
              1u);

    const std::uint16_t port = server->port();
    server->setSettings(plainOn(port));
    EXPECT_EQ(server->port(), port);
    EXPECT_EQ(httpRequest("GET", url(*server, "/in")).body, "GET /in ");
    server->setSettings(plainOn(port));
    EXPECT_EQ(log.countContaining("Started local HTTP server"), 2u) << "no restart for unchanged settings";
}

TEST_F(HttpServerTlsThreads, SwitchToTlsFromInsideAHandler) {
    auto server = startServer(plainOn(0));
    const std::uint16_t port = server->port();
    const hx::Settings tls = tlsOn(port, certificate.key, certificate.cert);
    server->addEndpoint("/settings/set", [&](Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
        server->setSettings(tls);
        response.send() << "switched";
    });
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set"), "{}").body, "switched");
    EXPECT_EQ(server->port(), port);
    EXPECT_EQ(httpRequest("POST", url(*server, "/settings/set", true), "{}").body, "switched");
}

TEST_F(HttpServerTlsThreads, RefusesProtocolsOlderThanTls12) {
    auto server = startServer(tlsOn(0, certificate.key, certificate.cert));
    server->addEndpoint("/in", echo());
    Poco::Net::Context::Ptr old = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                                         Poco::Net::Context::VERIFY_NONE, 9, false, "ALL:@SECLEVEL=0");
    old->disableProtocols(Poco::Net::Context::PROTO_TLSV1_2 | Poco::Net::Context::PROTO_TLSV1_3);
    Poco::Net::HTTPSClientSession session("127.0.0.1", server->port(), old);
    Poco::Net::HTTPRequest request("GET", "/in", Poco::Net::HTTPMessage::HTTP_1_1);
    EXPECT_THROW(session.sendRequest(request), Poco::Exception);
}

TEST_F(HttpServerTlsThreads, MissingOrBadFilesAreReportedPrecisely) {
    const std::string garbage = dir.file("garbage.pem");
    std::ofstream(garbage) << "not a key\n";
    const std::string missing = dir.file("missing.pem");
    const struct {
        std::string key, crt;
        std::vector<std::string> lines;  // exact lines; "*" ends a prefix
    } cases[] = {
        {missing,
         certificate.cert,
         {"Unable to open \"" + missing + "\" key-file",
          "Could not start HTTP server: port = 0, ssl = true, ssl key = " + missing +
              ", ssl crt = " + certificate.cert}},
        {certificate.key,
         missing,
         {"Unable to open \"" + missing + "\" crt-file",
          "Could not start HTTP server: port = 0, ssl = true, ssl key = " + certificate.key +
              ", ssl crt = " + missing}},
        {garbage, certificate.cert, {"Could not start HTTP server: *"}},
        {certificate.key, garbage, {"Could not start HTTP server: *"}},
    };
    for (const auto& c : cases) {
        lmtest::LogCapture log;
        try {
            startServer(tlsOn(0, c.key, c.crt));
            ADD_FAILURE() << "started with " << c.key << " " << c.crt;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot start HTTP server.");
        }
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(log.texts());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].level, spdlog::level::err);
            const std::string& want = c.lines[i];
            if (want.back() == '*')
                EXPECT_EQ(lines[i].text.rfind(want.substr(0, want.size() - 1), 0), 0u) << lines[i].text;
            else
                EXPECT_EQ(lines[i].text, want);
        }
    }
}

TEST_F(HttpServerTlsThreads, BadFilesOnRestartLeaveTheOldServerServing) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/a", hx::http::simpleHandler("A"));
    const std::uint16_t port = server->port();
    EXPECT_THROW(server->setSettings(tlsOn(port, dir.file("none.key"), certificate.cert)), std::runtime_error);
    EXPECT_EQ(httpRequest("GET", url(*server, "/a")).body, "A");
}

TEST(HttpHandlers, NotFoundAnswersEmpty404ToAnyRequest) {
    auto server = startServer(plainOn(0));
    server->addEndpoint("/gone", hx::http::notFoundHandler());
    for (const std::string method : {"GET", "POST"}) {
        const auto answer = httpRequest(method, url(*server, "/gone"), "{}");
        EXPECT_EQ(answer.status, 404);
        EXPECT_EQ(answer.body, "");
    }
}

}  // namespace
