// Whole recognitions through the API, over the scripted capture, against a
// real HTTP server on 127.0.0.1 reached with libcurl.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture_harness.h"
#include "test_server.h"
#include "vextune/runtime/API.h"

namespace VextuneCore::test {
namespace {

using namespace Platform;
using namespace Capture::test;
using namespace Client;
using Capture::WASAPICapture;
using json = nlohmann::json;

struct ApiOverServer {
    ApiOverServer()
    {
        DeviceScript script;
        script.clock = clock;
        script.packets = StereoPackets(2000);
        devices = std::make_shared<ScriptedAudioDevices>(script);
        ApiOptions options;
        options.devices = devices;
        options.clock = clock;
        options.http_options.connect_timeout_ms = 2000;
        options.http_options.total_timeout_ms = 5000;
        options.network_kind = [] { return std::string("wifi"); };
        options.diagnostics = [this](const std::string& line) {
            std::lock_guard hold(said_lock);
            said.push_back(line);
        };
        api = std::make_unique<API>(options);
        api->InitializeCapture();
        capture = api->Capture();
        Wait([&] { return capture->GetState() == DeviceState::Initialized; });
        api->StartCapture();
        Wait([&] { return capture->GetState() == DeviceState::Capturing; });
    }

    ~ApiOverServer()
    {
        api->Shutdown();
        api.reset();
        devices->WaitForCompletions();
    }

    template <typename Condition>
    static void Wait(Condition condition)
    {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        ASSERT_TRUE(condition());
    }

    // Delivers packets whenever the recognition waits for a signature,
    // until it ends.
    void Drive(RecognitionOperation& operation, std::size_t max_packets = 1000)
    {
        std::stop_source ended;
        operation.OnCompleted([ended](AsyncStatus) mutable { ended.request_stop(); });
        for (std::size_t delivered = 0; delivered < max_packets; ++delivered) {
            if (!capture->WaitUntilArmed(ended.get_token(), std::chrono::seconds(10))) {
                ASSERT_NE(operation.Status(), AsyncStatus::Started) << "the recognition never waited for a signature";
                return;
            }
            ASSERT_TRUE(devices->DeliverNext());
            ASSERT_TRUE(devices->WaitUntilConsumed());
        }
    }

    std::string Request(const std::string& uri) const
    {
        return json{{"tag", {{"href", uri}, {"maxsamplems", 12000}, {"minsamplems", 3000}}},
                    {"tagid", "t"},
                    {"data", {{"signature", "{sigdata}"}, {"samplems", "{samplems}"}}}}
            .dump();
    }

    std::vector<std::string> Said()
    {
        std::lock_guard hold(said_lock);
        return said;
    }

    std::mutex said_lock;
    std::vector<std::string> said;  // what the recognitions told the diagnostics
    VextuneTest::TestHttpServer server;
    std::shared_ptr<SimulatedClock> clock = std::make_shared<SimulatedClock>();
    std::shared_ptr<ScriptedAudioDevices> devices;
    std::unique_ptr<API> api;
    std::shared_ptr<WASAPICapture> capture;
};

TEST(ApiRecognitionConcurrency, AnsweredOverHttp)
{
    ApiOverServer s;
    s.server.AnswerJson("/id", R"({"match": {"id": 7}})", 404);  // a status is not examined
    auto operation = s.api->RecognizeAsync(s.Request(s.server.Uri("/id")));
    s.Drive(*operation);
    const json result = json::parse(operation->Get());
    EXPECT_EQ(result["tag"]["response"]["match"]["id"], 7);
    EXPECT_EQ(result["tag"]["info"]["network"], "wifi");
    const auto requests = s.server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Accept"), "application/json");
    const json body = json::parse(requests[0].body);
    EXPECT_EQ(body["samplems"], 3020.0);
    EXPECT_EQ(result["tag"]["info"]["requestsize"], requests[0].body.size());
    EXPECT_TRUE(s.Said().empty());
}

TEST(ApiRecognitionConcurrency, RefusedConnectionGivesTheRequestToKeep)
{
    ApiOverServer s;
    VextuneTest::RefusingPort refusing;
    auto operation = s.api->RecognizeAsync(s.Request(refusing.Uri("/id")));
    s.Drive(*operation);
    const json result = json::parse(operation->Get());
    ASSERT_TRUE(result.contains("pendingTag")) << result.dump();
    EXPECT_EQ(result["pendingTag"]["request"]["href"], refusing.Uri("/id"));
    EXPECT_TRUE(json::parse(result["pendingTag"]["request"]["data"].get<std::string>()).contains("signature"));
    // The request kept holds the longest sample the request allows.
    EXPECT_GE(json::parse(result["pendingTag"]["request"]["data"].get<std::string>())["samplems"], 12000.0);
    // Why, for the application's log, in libcurl's own words: one line per
    // attempt, at 3, 6 and 12 s of sample time.
    const auto said = s.Said();
    ASSERT_EQ(said.size(), 3u);
    for (std::size_t i = 0; i < said.size(); ++i) {
        const std::string start = "attempt " + std::to_string(i + 1) + ": POST " + refusing.Uri("/id") + ": ";
        EXPECT_EQ(said[i].substr(0, start.size()), start) << said[i];
        EXPECT_NE(said[i].find("Couldn't connect to server"), std::string::npos) << said[i];
    }
}

// A catalogue outage: the service answers 503 with its reason in JSON.
// Every attempt failed, so the result is the request to keep; the attempts
// are spaced in sample time, not one per packet.
TEST(ApiRecognitionConcurrency, AServiceOutageGivesTheRequestToKeep)
{
    ApiOverServer s;
    s.server.AnswerJson("/id", R"({"error": "the catalogue is unavailable"})", 503);
    auto operation = s.api->RecognizeAsync(s.Request(s.server.Uri("/id")));
    s.Drive(*operation);
    const json result = json::parse(operation->Get());
    ASSERT_TRUE(result.contains("pendingTag")) << result.dump();
    EXPECT_EQ(result["pendingTag"]["info"]["unsubmitted"], true);
    std::vector<double> samples;
    for (const auto& request : s.server.Requests())
        samples.push_back(json::parse(request.body)["samplems"].get<double>());
    EXPECT_EQ(samples, (std::vector<double>{3020, 6060, 12020}));
    const auto said = s.Said();
    ASSERT_EQ(said.size(), 3u);
    EXPECT_EQ(said[0], "attempt 1: POST " + s.server.Uri("/id") +
                           ": the service failed (HTTP 503): the catalogue is unavailable");
}

// A POST the server holds is aborted by the cancellation, and a new
// recognition runs after it undisturbed.
TEST(ApiRecognitionConcurrency, CancelWhileThePostIsInFlight)
{
    ApiOverServer s;
    s.server.Hold("/slow");
    auto first = s.api->RecognizeAsync(s.Request(s.server.Uri("/slow")));
    // The first signature, and the POST it goes into.
    ASSERT_TRUE(s.capture->WaitUntilArmed({}, std::chrono::seconds(10)));
    const std::uint64_t made = s.capture->SignaturesMade();
    while (s.capture->SignaturesMade() == made && s.devices->DeliverNext())
        ASSERT_TRUE(s.devices->WaitUntilConsumed());
    ASSERT_TRUE(s.server.WaitForRequests(1));
    s.server.AnswerJson("/id", R"({"match": 2})");
    auto second = s.api->RecognizeAsync(s.Request(s.server.Uri("/id")));
    EXPECT_EQ(first->Status(), AsyncStatus::Canceled);
    EXPECT_THROW(first->Get(), RecognitionCanceled);
    s.Drive(*second);
    EXPECT_EQ(json::parse(second->Get())["tag"]["response"]["match"], 2);
    s.server.ReleaseHeld();
}

TEST(ApiRecognition, WithoutACaptureRecognizeFails)
{
    auto clock = std::make_shared<SimulatedClock>();
    ApiOptions options;
    options.devices = std::make_shared<ScriptedAudioDevices>(DeviceScript{});
    options.clock = clock;
    API api(options);
    auto operation = api.RecognizeAsync(R"({"tag": {"href": "http://127.0.0.1:9/", "maxsamplems": 1,
        "minsamplems": 1}, "tagid": "t", "data": {}})");
    EXPECT_THROW(operation->Get(), RecognitionError);
    EXPECT_TRUE(api.CancelRecognition());
}

}  // namespace
}  // namespace VextuneCore::test
