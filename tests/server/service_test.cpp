// The service over real HTTP on 127.0.0.1 (and ::1): the client's request
// gets its answer, thin evidence a request for more until the longest
// recording, every kind of bad request and every failure a JSON error (the
// failures' causes said to the diagnostics), and the service goes on
// serving after each.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "synthetic_music.h"
#include "vextune/protocol/Base64.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/server/Service.h"
#include "vextune/signature.h"

namespace vxt::server::testing {
namespace {

// A store that fails on demand where the service reads it (lookups and
// totals), and otherwise is the store it wraps.
class FailingStore final : public matcher::Store {
public:
    enum class Failure { None, Store, Bug, OutOfMemory, NotAnException };

    explicit FailingStore(matcher::Store& store) : store_(store) {}

    std::atomic<Failure> failure = Failure::None;

    void Lookup(std::span<const std::uint32_t> hashes, const matcher::PostingVisitor& visit) const override
    {
        Fail();
        store_.Lookup(hashes, visit);
    }
    std::uint64_t IndexedFrames() const override { return store_.IndexedFrames(); }
    std::vector<std::vector<matcher::Peak>> TrackPeaks(std::span<const matcher::PeakWindow> windows) const override
    {
        return store_.TrackPeaks(windows);
    }
    Added Add(const matcher::TrackInfo& info, std::span<const matcher::Landmark> landmarks,
              std::span<const matcher::Peak> peaks) override
    {
        return store_.Add(info, landmarks, peaks);
    }
    bool Remove(std::uint32_t id) override { return store_.Remove(id); }
    std::optional<matcher::TrackInfo> Track(std::uint32_t id) const override { return store_.Track(id); }
    std::optional<matcher::TrackInfo> TrackWithContent(std::string_view content) const override
    {
        return store_.TrackWithContent(content);
    }
    std::vector<matcher::TrackInfo> Tracks() const override { return store_.Tracks(); }
    matcher::StoreTotals Totals() const override
    {
        Fail();
        return store_.Totals();
    }

private:
    void Fail() const
    {
        switch (failure.load()) {
        case Failure::None: return;
        case Failure::Store: throw matcher::StoreError("the disk has gone");
        case Failure::Bug: throw std::logic_error("a bug in the store");
        case Failure::OutOfMemory: throw std::bad_alloc();
        case Failure::NotAnException: throw 42;
        }
    }

    matcher::Store& store_;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        track = SyntheticMusic(5, 30.0);
        matcher::TrackInfo info;
        info.title = "Étude";
        info.artist = "Made up";
        info.content = "c1";
        info.frames = 3750;
        store->Add(info, matcher::SignatureLandmarks(read_signature(Sign(track, 1))));
        service = std::make_unique<Service>(failing, RecognizerOptions{}, Options("127.0.0.1"));
        port = service->Bind();
        runner = std::jthread([this] { service->Run(); });
    }

    ServiceOptions Options(const std::string& host)
    {
        ServiceOptions options;
        options.host = host;
        options.port = 0;
        options.threads = 2;
        options.max_body_bytes = 64 * 1024;
        options.access_log = [this](const std::string& line) {
            std::lock_guard lock(log_lock);
            log.push_back(line);
        };
        options.diagnostics = [this](const std::string& line) {
            std::lock_guard lock(log_lock);
            said.push_back(line);
        };
        return options;
    }
    void TearDown() override
    {
        service->Stop();
        runner.join();
    }

    httplib::Result Post(const std::string& body)
    {
        httplib::Client client("127.0.0.1", port);
        return client.Post("/recognize", body, "application/json");
    }

    std::string RecognizeBody(double from, double seconds)
    {
        const std::span<const std::int16_t> heard(track.data() + static_cast<std::size_t>(from * kRate),
                                                  static_cast<std::size_t>(seconds * kRate));
        return nlohmann::json{{"signature", vxt::protocol::EncodeBase64(Sign(heard, 2))}, {"samplems", seconds * 1000}}
            .dump();
    }

    std::unique_ptr<matcher::Store> store = matcher::MakeMemoryStore();
    FailingStore failing{*store};
    std::vector<std::int16_t> track;
    std::unique_ptr<Service> service;
    int port = 0;
    std::jthread runner;
    std::mutex log_lock;
    std::vector<std::string> log;   // the access log
    std::vector<std::string> said;  // the diagnostics
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

    std::lock_guard lock(log_lock);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].starts_with("POST /recognize 200 ")) << log[0];
    EXPECT_NE(log[0].find("samplems=8000 answer=match"), std::string::npos) << log[0];
    EXPECT_TRUE(said.empty());
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
        std::lock_guard lock(log_lock);
        ASSERT_FALSE(log.empty());
        EXPECT_NE(log.back().find(std::string("answer=") + c.outcome + " "), std::string::npos) << log.back();
    }
}

// The catalogue failing under a request gets a 503, anything else a 500,
// each with its JSON error; the cause goes to the diagnostics (a 500's
// answer does not carry it), and the service goes on.
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
        const char* says;
    } cases[] = {
        {"POST",
         "/recognize",
         Failure::Store,
         503,
         {{"error", "the catalogue cannot be read: the disk has gone"}},
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
        {"GET", "/health", Failure::Store, 503, {{"error", "the disk has gone"}}, "GET /health 503: the disk has gone"},
        {"GET",
         "/health",
         Failure::Bug,
         500,
         {{"error", "the service failed on this request"}},
         "GET /health 500: a bug in the store"},
    };
    httplib::Client client("127.0.0.1", port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        {
            std::lock_guard lock(log_lock);
            log.clear();
            said.clear();
        }
        failing.failure = c.failure;
        const httplib::Result result =
            std::string(c.method) == "GET" ? client.Get(c.path) : client.Post(c.path, recognize, "application/json");
        failing.failure = Failure::None;
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(nlohmann::json::parse(result->body), c.answer);
        std::lock_guard lock(log_lock);
        EXPECT_EQ(said, std::vector<std::string>{c.says});
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(log[0].starts_with(std::string(c.method) + " " + c.path + " " + std::to_string(c.status) + " "))
            << log[0];
    }

    {
        std::lock_guard lock(log_lock);
        said.clear();
    }
    const httplib::Result after = Post(RecognizeBody(20.0, 8.0));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_EQ(nlohmann::json::parse(after->body)["matches"].size(), 1u);
    std::lock_guard lock(log_lock);
    EXPECT_TRUE(said.empty());
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
