// The service over real HTTP on 127.0.0.1: the client's request gets its
// answer, every kind of bad request gets a JSON error, and the service goes
// on serving after each.
#include <gtest/gtest.h>

#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "synthetic_music.h"
#include "vextune/client/RequestText.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/server/Service.h"
#include "vextune/signature.h"

namespace vxt::server::testing {
namespace {

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

        ServiceOptions options;
        options.port = 0;
        options.threads = 2;
        options.max_body_bytes = 64 * 1024;
        options.access_log = [this](const std::string& line) {
            std::lock_guard lock(log_lock);
            log.push_back(line);
        };
        service = std::make_unique<Service>(*store, RecognizerOptions{}, options);
        port = service->Bind();
        runner = std::jthread([this] { service->Run(); });
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
        return nlohmann::json{{"signature", VextuneCore::Base64(Sign(heard, 2))}, {"samplems", seconds * 1000}}.dump();
    }

    std::unique_ptr<matcher::Store> store = matcher::MakeMemoryStore();
    std::vector<std::int16_t> track;
    std::unique_ptr<Service> service;
    int port = 0;
    std::jthread runner;
    std::mutex log_lock;
    std::vector<std::string> log;
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
}

TEST_F(ServiceTest, BadRequestsGetAJsonErrorAndTheServiceGoesOn)
{
    std::string corrupt = RecognizeBody(3.0, 4.0);
    corrupt[corrupt.find("\"signature\":\"") + 40] ^= 0x01;  // one base64 digit changed: the checksum fails
    const struct {
        std::string body;
        int status;
    } cases[] = {
        {"not json", 400},
        {R"({"samplems":3000})", 400},
        {R"({"signature":"@@@@","samplems":3000})", 400},
        {corrupt, 400},
        {std::string(70 * 1024, ' '), 413},
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
