#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>

#include "hx_http_server.h"
#include "hx_pull_data.h"

namespace {

struct Answer {
    int status = 0;
    std::string body;
    std::string contentType;
    std::string allowOrigin;
    bool chunked = false;
};

Answer get(std::uint16_t port, const std::string& path) {
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    Answer answer;
    answer.status = response.getStatus();
    Poco::StreamCopier::copyToString(in, answer.body);
    answer.contentType = response.has("Content-Type") ? response.getContentType() : "";
    answer.allowOrigin = response.get("Access-Control-Allow-Origin", "");
    answer.chunked = response.getChunkedTransferEncoding();
    return answer;
}

hx::Settings pullSettings(bool raw, bool aggregated, bool peopleCount) {
    hx::Settings settings;
    settings.httpInterfacePort = 0;  // any free loopback port
    settings.rawPullEnabled = raw;
    settings.aggregatedPullEnabled = aggregated;
    settings.peopleCountPullEnabled = peopleCount;
    return settings;
}

// The pull documents registered on a server that listens on the loopback address only.
struct PullFixture {
    explicit PullFixture(const hx::Settings& settings) : pull(settings), server(settings, "127.0.0.1") {
        pull.setHttpEndPoints(server);
    }
    Answer get(const std::string& path) const { return ::get(server.port(), path); }

    hx::PullData pull;
    hx::http::Server server;
};

TEST(PullData, AnswersLatestDocumentEmptyOrNotFound) {
    const struct {
        const char* what;
        bool enabled;
        std::vector<std::string> stored;
        int status;
        std::string body;
    } cases[] = {
        {"nothing stored yet", true, {}, 200, ""},
        {"latest wins", true, {"{\"n\":1}", "{\"n\":2}"}, 200, "{\"n\":2}"},
        {"an empty document never replaces one", true, {"{\"n\":1}", ""}, 200, "{\"n\":1}"},
        {"disabled", false, {"{\"n\":1}"}, 404, ""},
    };
    for (const auto& c : cases) {
        PullFixture fixture(pullSettings(c.enabled, c.enabled, c.enabled));
        for (const auto& document : c.stored) {
            fixture.pull.newRawDataPoint(document);
            fixture.pull.newAggregatedDataPoint(document);
            fixture.pull.newPeopleCountDataPoint(document);
        }
        for (const std::string path : {"/data/raw", "/data/aggregated", "/data/peopleCount"}) {
            const Answer answer = fixture.get(path);
            EXPECT_EQ(answer.status, c.status) << c.what << " " << path;
            EXPECT_EQ(answer.body, c.body) << c.what << " " << path;
            if (c.status == 200) {
                EXPECT_EQ(answer.contentType, "application/json");
                EXPECT_EQ(answer.allowOrigin, "*");
                EXPECT_TRUE(answer.chunked);
            }
        }
    }
}

TEST(PullData, DocumentsAreKeptApartAndSurviveSwitchingOff) {
    PullFixture fixture(pullSettings(true, true, false));
    fixture.pull.newRawDataPoint("{\"raw\":1}");
    fixture.pull.newAggregatedDataPoint("{\"aggregated\":1}");
    fixture.pull.newPeopleCountDataPoint("{\"count\":1}");
    EXPECT_EQ(fixture.get("/data/raw").body, "{\"raw\":1}");
    EXPECT_EQ(fixture.get("/data/aggregated").body, "{\"aggregated\":1}");
    EXPECT_EQ(fixture.get("/data/peopleCount").status, 404);

    fixture.pull.setSettings(pullSettings(false, true, true));
    EXPECT_EQ(fixture.get("/data/raw").status, 404);
    EXPECT_EQ(fixture.get("/data/peopleCount").body, "{\"count\":1}");  // stored while it was off

    fixture.pull.setSettings(pullSettings(true, true, true));
    EXPECT_EQ(fixture.get("/data/raw").body, "{\"raw\":1}");  // switched on again: the last document
    // Only the exact target reaches the documents.
    EXPECT_EQ(fixture.get("/data/raw?x=1").status, 404);
}

// One thread stores ever newer documents while others read them over HTTP and one keeps
// switching the output on and off: every answer is a whole document, 404, or (before the
// first) empty, and no reader sees an older document after a newer one.
TEST(PullDataThreads, FeedingWhileReading) {
    PullFixture fixture(pullSettings(true, true, true));
    const std::string padding(4096, 'x');
    const auto document = [&](int n) { return "{\"n\":" + std::to_string(n) + ",\"pad\":\"" + padding + "\"}"; };
    const auto numberOf = [&](const std::string& body) {
        const auto comma = body.find(',');
        EXPECT_TRUE(body == document(std::stoi(body.substr(5, comma - 5)))) << body.substr(0, 40);
        return std::stoi(body.substr(5, comma - 5));
    };

    // The readers make a fixed number of requests; feeding and switching go on until they
    // are through, so all of it overlaps.
    constexpr int REQUESTS_PER_READER = 40;
    std::atomic<int> readersDone{0};
    std::atomic<bool> feeding{true};
    int lastStored = 0;
    std::thread feeder([&] {
        for (int n = 1; readersDone < 3 || n < 100; ++n) {
            fixture.pull.newRawDataPoint(document(n));
            fixture.pull.newAggregatedDataPoint(n % 2 ? "" : document(n));
            lastStored = n;
        }
        feeding = false;
    });
    std::thread toggler([&] {
        for (int i = 0; feeding; ++i) fixture.pull.setSettings(pullSettings(true, i % 3 != 0, true));
    });
    std::vector<std::thread> readers;
    for (const std::string path : {"/data/raw", "/data/raw", "/data/aggregated"}) {
        readers.emplace_back([&, path] {
            int last = 0;
            for (int i = 0; i < REQUESTS_PER_READER; ++i) {
                const Answer answer = fixture.get(path);
                if (answer.status == 404) continue;
                EXPECT_EQ(answer.status, 200);
                if (answer.body.empty()) continue;
                const int n = numberOf(answer.body);
                EXPECT_GE(n, last);
                last = n;
            }
            ++readersDone;
        });
    }
    for (auto& reader : readers) reader.join();
    feeder.join();
    toggler.join();
    fixture.pull.setSettings(pullSettings(true, true, true));
    const int lastEven = lastStored % 2 ? lastStored - 1 : lastStored;
    EXPECT_TRUE(fixture.get("/data/raw").body == document(lastStored));
    EXPECT_TRUE(fixture.get("/data/aggregated").body == document(lastEven));
}

}  // namespace
