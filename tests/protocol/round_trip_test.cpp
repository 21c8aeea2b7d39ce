// The client's request text read by the service, and the service's answers
// read by the client: the two sides through their own code, no HTTP.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/client/Recognition.h"
#include "vextune/client/RequestText.h"
#include "vextune/protocol/Answer.h"
#include "vextune/protocol/Base64.h"
#include "vextune/server/Recognizer.h"

namespace vxt::protocol::testing {
namespace {

std::vector<std::uint8_t> Signature(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

// A request description around a "data" template, as an application
// writes it.
std::string Description(const std::string& data)
{
    return R"({"tag": {"href": "http://127.0.0.1:8080/recognize", "maxsamplems": 12000, "minsamplems": 3000},
               "tagid": "round-trip", "data": )" +
           data + "}";
}

TEST(RoundTrip, TheServiceReadsWhatTheClientSends)
{
    const struct {
        const char* name;
        std::string data;
        double fixed_sample_ms;  // below 0: the placeholder's length comes back
    } templates[] = {
        {"as documented", R"({"signature": "{sigdata}", "samplems": "{samplems}"})", -1},
        {"members around", R"({"app": "my-app", "signature": "{sigdata}", "v": [1, {"x": null}],
                               "samplems": "{samplems}", "unicode": "\u00e9\u65e5"})",
         -1},
        {"placeholders twice", R"({"signature": "{sigdata}", "copy": "{sigdata}", "samplems": "{samplems}",
                                   "again": "{samplems}"})",
         -1},
        {"a fixed length in a string", R"({"signature": "{sigdata}", "samplems": "4500"})", 4500},
        {"a fixed bare length", R"({"samplems": 7000.5, "signature": "{sigdata}"})", 7000.5},
    };
    const std::vector<std::vector<std::uint8_t>> signatures = {
        {}, Signature(1, 1), Signature(2, 2), Signature(1296, 3), Signature(700001, 4)};
    for (const auto& t : templates) {
        const VextuneCore::Client::RequestDescription d =
            VextuneCore::Client::ReadRequestDescription(Description(t.data));
        for (const auto& signature : signatures) {
            for (const double sample_ms : {99.0, 3000.0, 12000.0, 12345678.0}) {
                SCOPED_TRACE(std::string(t.name) + ", " + std::to_string(signature.size()) + " bytes, " +
                             std::to_string(sample_ms) + " ms");
                const std::string body =
                    VextuneCore::Client::FillTemplate(d.request_template, vxt::protocol::EncodeBase64(signature),
                                                      VextuneCore::Client::SampleText(sample_ms));
                EXPECT_EQ(body, RequestText(d.request_template, signature, sample_ms));
                const server::RecognizeRequest read = server::ReadRecognizeRequest(body);
                EXPECT_EQ(read.signature, signature);
                EXPECT_EQ(read.sample_ms, t.fixed_sample_ms < 0 ? sample_ms : t.fixed_sample_ms);
            }
        }
    }
}

TEST(RoundTrip, TheClientReadsTheServicesAnswers)
{
    server::Recognition retry;
    retry.outcome = server::Outcome::Retry;
    retry.retry_ms = 6020;
    server::Recognition match;
    match.outcome = server::Outcome::Match;
    match.track = matcher::TrackInfo{};
    match.track->title = "Piece";
    server::Recognition none;
    const struct {
        const char* name;
        const server::Recognition& recognition;
        std::optional<std::int32_t> retry_ms;
        const char* member;
    } cases[] = {
        {"retry", retry, 6020, retry_ms_member},
        {"match", match, std::nullopt, matches_member},
        {"no match", none, std::nullopt, matches_member},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::int32_t> retry_ms;
        const auto answer = VextuneCore::Client::ReadAnswer(server::AnswerJson(c.recognition), &retry_ms);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(retry_ms, c.retry_ms);
        EXPECT_TRUE(nlohmann::json::parse(*answer).contains(c.member));
    }
}

// A request nested past the reader's bounds is a bad request (a 400 that
// says why), not a crash of the service.
TEST(RoundTrip, TheServiceRefusesADeepRequestAsBad)
{
    const std::string deep =
        R"({"signature": "", "samplems": 3000, "app": )" + std::string(70000, '[') + std::string(70000, ']') + "}";
    try {
        server::ReadRecognizeRequest(deep);
        ADD_FAILURE() << "taken";
    } catch (const server::BadRequest& e) {
        EXPECT_STREQ(e.what(), "the request nests arrays and objects more than 64 deep");
    }
}

}  // namespace
}  // namespace vxt::protocol::testing
