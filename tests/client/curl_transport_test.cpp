// The HTTP exchange over libcurl against a server on 127.0.0.1: what is sent,
// how answers, redirects, refusals, time-outs and stops end. The suites
// named *Concurrency run a server thread and carry the label "concurrency".
#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "test_server.h"
#include "vextune/client/HttpTransport.h"

namespace VextuneCore::Client::test {
namespace {

using Outcome = HttpResult::Outcome;
using VextuneTest::ReceivedRequest;
using VextuneTest::RefusingPort;
using VextuneTest::Reply;
using VextuneTest::TestHttpServer;

const char* Name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Answered: return "Answered";
    case Outcome::Failed: return "Failed";
    case Outcome::Cancelled: return "Cancelled";
    }
    return "?";
}

// Short time-outs: every test ends soon even when something hangs.
HttpOptions Quick()
{
    HttpOptions options;
    options.connect_timeout_ms = 2000;
    options.total_timeout_ms = 5000;
    return options;
}

struct Attempt {
    HttpResult result;
    int started = 0;
};

Attempt PostTo(const std::string& uri, const std::string& body = "{}", HttpOptions options = Quick(),
               std::stop_token stop = {})
{
    Attempt attempt;
    attempt.result = MakeCurlTransport(options)->Post(uri, body, stop, [&] { ++attempt.started; });
    return attempt;
}

TEST(CurlTransportConcurrency, PostsUtf8JsonWithItsHeadersAndReadsTheAnswer)
{
    TestHttpServer server;
    server.AnswerJson("/recognize", R"({"matches":[{"title":"Ünïcødé ♪"}]})");
    const std::string body = R"({"signature":"QUJD","text":"Grüße, 日本, 🎵"})";
    std::size_t seen_when_started = 99;

    const HttpResult result = MakeCurlTransport(Quick())->Post(server.Uri("/recognize"), body, {},
                                                               [&] { seen_when_started = server.Requests().size(); });

    ASSERT_EQ(result.outcome, Outcome::Answered) << result.error;
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, R"({"matches":[{"title":"Ünïcødé ♪"}]})");
    EXPECT_EQ(seen_when_started, 0u) << "on_started runs before the request reaches the server";
    const std::vector<ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/recognize");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].Header("Accept"), "application/json");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(requests[0].Header("Content-Length"), std::to_string(body.size()));
}

TEST(CurlTransportConcurrency, LargeBodiesGoWithoutWaitingForContinue)
{
    TestHttpServer server;
    server.AnswerJson("/recognize", "{}");
    const std::string body = "{\"signature\":\"" + std::string(std::size_t{2} << 20, 'A') + "\"}";

    const Attempt attempt = PostTo(server.Uri("/recognize"), body);

    ASSERT_EQ(attempt.result.outcome, Outcome::Answered) << attempt.result.error;
    const std::vector<ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, body);
    EXPECT_FALSE(requests[0].HasHeader("Expect"));
}

TEST(CurlTransportConcurrency, AnyStatusWithABodyIsAnAnswer)
{
    const struct {
        const char* name;
        int status;
        std::string body;
        bool html;
    } cases[] = {
        {"not found with JSON", 404, R"({"error":"no such endpoint"})", false},
        {"server error with HTML", 500, "<html><body>down</body></html>", true},
        {"no content", 204, "", false},
        {"OK without a body", 200, "", false},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        if (c.body.empty()) {
            server.AnswerEmpty("/r", c.status);
        } else if (c.html) {
            server.AnswerHtml("/r", c.body, c.status);
        } else {
            server.AnswerJson("/r", c.body, c.status);
        }
        const Attempt attempt = PostTo(server.Uri("/r"));
        EXPECT_EQ(attempt.result.outcome, Outcome::Answered) << c.name << ": " << attempt.result.error;
        EXPECT_EQ(attempt.result.status, c.status) << c.name;
        EXPECT_EQ(attempt.result.body, c.body) << c.name;
        EXPECT_EQ(attempt.started, 1) << c.name;
    }
}

TEST(CurlTransportConcurrency, FollowsRedirectsThatKeepThePost)
{
    for (int status : {307, 308}) {
        TestHttpServer server;
        server.RedirectTo("/old", "/new", status);
        server.AnswerJson("/new", R"({"moved":true})");

        const Attempt attempt = PostTo(server.Uri("/old"), R"({"s":1})");

        ASSERT_EQ(attempt.result.outcome, Outcome::Answered) << status << ": " << attempt.result.error;
        EXPECT_EQ(attempt.result.status, 200);
        EXPECT_EQ(attempt.result.body, R"({"moved":true})");
        const std::vector<ReceivedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u) << status;
        EXPECT_EQ(requests[1].method, "POST");
        EXPECT_EQ(requests[1].path, "/new");
        EXPECT_EQ(requests[1].body, R"({"s":1})");
    }
}

TEST(CurlTransportConcurrency, RedirectsThatCannotEndFail)
{
    const struct {
        const char* name;
        std::string location;
    } cases[] = {
        {"to another scheme", "ftp://127.0.0.1/signature"},
        {"to a file", "file:///etc/passwd"},
        {"to itself", "/loop"},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        server.RedirectTo("/loop", c.location, 307);
        const Attempt attempt = PostTo(server.Uri("/loop"));
        EXPECT_EQ(attempt.result.outcome, Outcome::Failed) << c.name << " " << Name(attempt.result.outcome);
        EXPECT_FALSE(attempt.result.error.empty()) << c.name;
    }
}

TEST(CurlTransportConcurrency, RefusesAnswersBeyondTheLimit)
{
    const struct {
        std::size_t answer;
        Outcome outcome;
    } cases[] = {
        {100, Outcome::Answered},
        {101, Outcome::Failed},
        {100000, Outcome::Failed},
    };
    for (const auto& c : cases) {
        TestHttpServer server;
        server.AnswerJson("/big", std::string(c.answer, 'x'));
        HttpOptions options = Quick();
        options.max_answer_bytes = 100;
        const Attempt attempt = PostTo(server.Uri("/big"), "{}", options);
        EXPECT_EQ(attempt.result.outcome, c.outcome) << c.answer << " bytes: " << attempt.result.error;
        if (c.outcome == Outcome::Failed) {
            EXPECT_NE(attempt.result.error.find("larger than 100 bytes"), std::string::npos) << attempt.result.error;
        }
    }
}

// The default limit is a few MiB, far above any real answer: a 60 MB
// answer used to be taken whole and parsed, taking the client to 2 GB.
TEST(CurlTransportConcurrency, TheDefaultLimitIsFourMiB)
{
    constexpr std::size_t kLimit = std::size_t{4} << 20;
    for (const std::size_t answer : {kLimit, kLimit + 1}) {
        TestHttpServer server;
        server.AnswerJson("/big", std::string(answer, ' '));
        const Attempt attempt = PostTo(server.Uri("/big"), "{}", Quick());
        EXPECT_EQ(attempt.result.outcome, answer <= kLimit ? Outcome::Answered : Outcome::Failed)
            << answer << " bytes: " << attempt.result.error;
    }
}

TEST(CurlTransportConcurrency, RefusedConnectionFails)
{
    RefusingPort port;
    const Attempt attempt = PostTo(port.Uri("/recognize"));
    EXPECT_EQ(attempt.result.outcome, Outcome::Failed) << Name(attempt.result.outcome);
    EXPECT_FALSE(attempt.result.error.empty());
}

TEST(CurlTransportConcurrency, SilentServerEndsByTheTotalTimeOut)
{
    TestHttpServer server;
    server.Hold("/silent");
    HttpOptions options;
    options.connect_timeout_ms = 300;
    options.total_timeout_ms = 300;

    const Attempt attempt = PostTo(server.Uri("/silent"), "{}", options);

    EXPECT_EQ(attempt.result.outcome, Outcome::Failed) << Name(attempt.result.outcome);
    EXPECT_NE(attempt.result.error.find("timed out"), std::string::npos) << attempt.result.error;
}

TEST(CurlTransportConcurrency, StopWhileTheServerHoldsTheRequestCancels)
{
    TestHttpServer server;
    server.Hold("/held");
    HttpOptions options;  // long time-outs: only the stop can end the exchange
    options.connect_timeout_ms = 60000;
    options.total_timeout_ms = 600000;
    std::stop_source stop;
    Attempt attempt;
    std::thread poster([&] { attempt = PostTo(server.Uri("/held"), "{}", options, stop.get_token()); });

    ASSERT_TRUE(server.WaitForRequests(1)) << "the request never arrived";
    stop.request_stop();
    poster.join();

    EXPECT_EQ(attempt.result.outcome, Outcome::Cancelled) << attempt.result.error;
    EXPECT_EQ(attempt.started, 1);
}

TEST(CurlTransportConcurrency, StopBeforeTheCallCancelsWithoutContactingTheServer)
{
    TestHttpServer server;
    server.AnswerJson("/r", "{}");
    std::stop_source stop;
    stop.request_stop();

    const Attempt attempt = PostTo(server.Uri("/r"), "{}", Quick(), stop.get_token());

    EXPECT_EQ(attempt.result.outcome, Outcome::Cancelled);
    EXPECT_EQ(attempt.started, 0);
    EXPECT_TRUE(server.Requests().empty());
}

TEST(CurlTransportConcurrency, RefusesOtherSchemesAndMalformedUrisBeforeConnecting)
{
    TestHttpServer server;
    const std::string port = std::to_string(server.Port());
    const std::string uris[] = {
        "ftp://127.0.0.1:" + port + "/r",
        "file:///etc/passwd",
        "gopher://127.0.0.1:" + port + "/r",
        "127.0.0.1:" + port + "/r",  // no scheme
        "/r",
        "",
        "http://",
        "http:///r",
        "http:/r",
        "http:r",
        "http://127.0.0.1:" + port + "/r with space",
        "http://127.0.0.1:99999/r",
        std::string("http://127.0.0.1:") + port + std::string("/r\0x", 4),
    };
    for (const std::string& uri : uris) {
        const Attempt attempt = PostTo(uri);
        EXPECT_EQ(attempt.result.outcome, Outcome::Failed) << '"' << uri << "\" " << Name(attempt.result.outcome);
        EXPECT_FALSE(attempt.result.error.empty()) << uri;
        EXPECT_EQ(attempt.started, 0) << uri;
    }
    EXPECT_TRUE(server.Requests().empty());
}

TEST(CurlTransportConcurrency, RefusesTimeOutsThatAreNotPositive)
{
    TestHttpServer server;
    server.AnswerJson("/r", "{}");
    for (const auto& [connect, total] : {std::pair{0, 1000}, std::pair{1000, 0}, std::pair{-1, 1000}}) {
        HttpOptions options;
        options.connect_timeout_ms = connect;
        options.total_timeout_ms = total;
        const Attempt attempt = PostTo(server.Uri("/r"), "{}", options);
        EXPECT_EQ(attempt.result.outcome, Outcome::Failed) << connect << " " << total;
        EXPECT_EQ(attempt.started, 0);
    }
    EXPECT_TRUE(server.Requests().empty());
}

TEST(CurlTransportConcurrency, OneTransportServesThreadsAtOnce)
{
    TestHttpServer server;
    server.Handle("/echo", [](const ReceivedRequest& request) {
        return Reply{200, request.body, "application/json", {}};
    });
    const std::shared_ptr<HttpTransport> transport = MakeCurlTransport(Quick());
    constexpr int kThreads = 4;
    std::vector<HttpResult> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { results[i] = transport->Post(server.Uri("/echo"), "{\"n\":" + std::to_string(i) + "}", {}, {}); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i].outcome, Outcome::Answered) << results[i].error;
        EXPECT_EQ(results[i].body, "{\"n\":" + std::to_string(i) + "}");
    }
    EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace VextuneCore::Client::test
