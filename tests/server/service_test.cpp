// The service over real HTTP on 127.0.0.1 (and ::1): the client's request
// gets its answer, thin evidence a request for more until the longest
// recording, every kind of bad request and every failure a JSON error (the
// failures' causes said to the diagnostics), and the service goes on
// serving after each.
#include <httplib.h>

#include "service_fixture.h"

namespace vxt::server::testing {
namespace {

class ServiceTest : public ServiceFixture {
protected:
    httplib::Result Post(const std::string& body)
    {
        httplib::Client client("127.0.0.1", port);
        return client.Post("/recognize", body, "application/json");
    }
};

TEST_F(ServiceTest, AnswersTheClientsRequest)
{
    const httplib::Result result = Post(RecognizeBody(10.0, 8.0));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const nlohmann::json answer = nlohmann::json::parse(result->body);
    ASSERT_EQ(answer["matches"].size(), 1u) << result->body;
    EXPECT_EQ(answer["matches"][0]["title"], "Étude");
    EXPECT_NEAR(answer["matches"][0]["offsetms"].get<double>(), 10000.0, 16.0);

    httplib::Client client("127.0.0.1", port);
    const httplib::Result health = client.Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(nlohmann::json::parse(health->body), (nlohmann::json{{"status", "ok"}, {"tracks", 1}}));

    const std::vector<std::string> lines = Log();
    ASSERT_EQ(lines.size(), 2u);
    const nlohmann::json line = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(line["method"], "POST");
    EXPECT_EQ(line["path"], "/recognize");
    EXPECT_EQ(line["status"], 200);
    EXPECT_EQ(line["samplems"], 8000);
    EXPECT_EQ(line["outcome"], "match");
    EXPECT_EQ(line["score"], answer["matches"][0]["score"]);
    EXPECT_TRUE(Said().empty());
}

// 0.8 s of the catalogued track: it votes for the track, more than half
// way to a match but short of it. Said to be shorter than the longest
// recording the service takes (12 s), it gets a request for 3 s more, up
// to 12 s; at or past that length, no match. The evidence is the same each
// time, only the length differs.
TEST_F(ServiceTest, ThinEvidenceAsksForMoreOnlyBelowTheLongestRecording)
{
    const std::span<const std::int16_t> heard(track.data() + 12 * kRate, kRate * 8 / 10);
    const std::vector<std::uint8_t> signature = Sign(heard, 2);
    const Recognition thin = Recognizer(*store).Recognize(signature, 12000);
    ASSERT_EQ(thin.outcome, Outcome::NoMatch);
    EXPECT_EQ(thin.detail.track, 1u);
    ASSERT_GT(2 * thin.detail.score, thin.detail.threshold) << "too little evidence to test this";
    ASSERT_LT(thin.detail.score, thin.detail.threshold);

    const struct {
        double sample_ms;
        const char* answer;
        const char* outcome;
    } cases[] = {
        {200, R"({"retryms":3200})", "retry"},     {3000, R"({"retryms":6000})", "retry"},
        {9500.5, R"({"retryms":12000})", "retry"}, {11999, R"({"retryms":12000})", "retry"},
        {12000, R"({"matches":[]})", "none"},      {12000.5, R"({"matches":[]})", "none"},
        {30000, R"({"matches":[]})", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sample_ms);
        const httplib::Result result = Post(
            nlohmann::json{{"signature", vxt::protocol::EncodeBase64(signature)}, {"samplems", c.sample_ms}}.dump());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(result->body, c.answer);
        const std::vector<std::string> lines = Log();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(nlohmann::json::parse(lines.back())["outcome"], c.outcome) << lines.back();
    }
}

// The catalogue failing under a request gets a 503, anything else a 500,
// each with its JSON error; the cause goes to the diagnostics only (a
// store's message may name a database's address), and the service goes
// on. A request that would cost more than any recording gets a 413 with
// its message, which is no failure of the service's.
TEST_F(ServiceTest, FailuresGet5xxAndTheirCausesAreSaid)
{
    using Failure = FailingStore::Failure;
    const std::string recognize = RecognizeBody(10.0, 4.0);
    const struct {
        const char* method;
        const char* path;
        Failure failure;
        int status;
        nlohmann::json answer;
        const char* says;  // nullptr: nothing
    } cases[] = {
        {"POST",
         "/recognize",
         Failure::Store,
         503,
         {{"error", "the catalogue cannot be read"}},
         "POST /recognize 503: the disk has gone"},
        {"POST",
         "/recognize",
         Failure::Bug,
         500,
         {{"error", "the service failed on this request"}},
         "POST /recognize 500: a bug in the store"},
        {"POST",
         "/recognize",
         Failure::OutOfMemory,
         500,
         {{"error", "the service failed on this request"}},
         "POST /recognize 500: std::bad_alloc"},
        {"POST",
         "/recognize",
         Failure::NotAnException,
         500,
         {{"error", "the service failed on this request"}},
         "POST /recognize 500: an exception that is not a std::exception"},
        {"POST",
         "/recognize",
         Failure::TooLarge,
         413,
         {{"error", "the request holds more pairs than any recording"}},
         nullptr},
        {"GET",
         "/ready",
         Failure::Store,
         503,
         {{"error", "the catalogue cannot be read"}},
         "GET /ready 503: the disk has gone"},
        {"GET",
         "/ready",
         Failure::Bug,
         500,
         {{"error", "the service failed on this request"}},
         "GET /ready 500: a bug in the store"},
    };
    httplib::Client client("127.0.0.1", port);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.status));
        Forget();
        failing.failure = c.failure;
        const httplib::Result result =
            std::string(c.method) == "GET" ? client.Get(c.path) : client.Post(c.path, recognize, "application/json");
        failing.failure = Failure::None;
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(nlohmann::json::parse(result->body), c.answer);
        EXPECT_EQ(Said(), c.says ? std::vector<std::string>{c.says} : std::vector<std::string>{});
        const std::vector<std::string> lines = Log();
        ASSERT_EQ(lines.size(), 1u);
        const nlohmann::json line = nlohmann::json::parse(lines[0]);
        EXPECT_EQ(line["path"], c.path);
        EXPECT_EQ(line["status"], c.status);
        // The access log is the operator's: a 5xx line carries the cause.
        if (c.says) {
            EXPECT_EQ(line["cause"], std::string(c.says).substr(std::string(c.says).find(": ") + 2));
        }
    }

    Forget();
    const httplib::Result after = Post(RecognizeBody(20.0, 8.0));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_EQ(nlohmann::json::parse(after->body)["matches"].size(), 1u);
    EXPECT_TRUE(Said().empty());
}

// Whether this machine can bind the IPv6 loopback address at all.
bool HasIpv6Loopback()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

TEST_F(ServiceTest, ListensOnTheIpv6Loopback)
{
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback";
    Service v6(failing, RecognizerOptions{}, Options("::1"));
    const int v6_port = v6.Bind();
    std::jthread v6_runner([&v6] { v6.Run(); });

    httplib::Client client("::1", v6_port);
    const httplib::Result health = client.Get("/health");
    ASSERT_TRUE(health) << httplib::to_string(health.error());
    EXPECT_EQ(nlohmann::json::parse(health->body), (nlohmann::json{{"status", "ok"}, {"tracks", 1}}));
    const httplib::Result answer = client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json");
    ASSERT_TRUE(answer);
    EXPECT_EQ(nlohmann::json::parse(answer->body)["matches"][0]["title"], "Étude");

    // Bound to ::1 only: the IPv4 loopback at that port is not this service.
    httplib::Client v4("127.0.0.1", v6_port);
    v4.set_connection_timeout(std::chrono::seconds(5));
    const httplib::Result elsewhere = v4.Get("/health");
    EXPECT_TRUE(!elsewhere || elsewhere->body != health->body);
    v6.Stop();
}

TEST_F(ServiceTest, BadRequestsGetAJsonErrorAndTheServiceGoesOn)
{
    std::string corrupt = RecognizeBody(3.0, 4.0);
    corrupt[corrupt.find("\"signature\":\"") + 40] ^= 0x01;  // one base64 digit changed: the checksum fails
    const struct {
        std::string body;
        int status;
    } cases[] = {
        {"not json", 400}, {R"({"samplems":3000})", 400},      {R"({"signature":"@@@@","samplems":3000})", 400},
        {corrupt, 400},    {std::string(70 * 1024, ' '), 413},
    };
    for (const auto& c : cases) {
        const httplib::Result result = Post(c.body);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status) << c.body.substr(0, 60);
        EXPECT_TRUE(nlohmann::json::parse(result->body).contains("error")) << result->body;
    }
    httplib::Client client("127.0.0.1", port);
    const httplib::Result unknown = client.Get("/catalogue");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_TRUE(nlohmann::json::parse(unknown->body).contains("error"));

    const httplib::Result after = Post(RecognizeBody(20.0, 8.0));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_EQ(nlohmann::json::parse(after->body)["matches"].size(), 1u);
}

}  // namespace
}  // namespace vxt::server::testing
