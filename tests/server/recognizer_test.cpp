// The answer to a signature: what a request must look like, and the three
// answers on real signatures of made-up music.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "synthetic_music.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/server/Recognizer.h"
#include "vextune/signature.h"

namespace vxt::server::testing {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

TEST(ReadRecognizeRequest, TakesWhatTheClientSendsAndNamesWhatIsWrong)
{
    const RecognizeRequest number = ReadRecognizeRequest(R"({"signature":"Zm9v","samplems":3020.000,"app":"x"})");
    EXPECT_EQ(number.signature, Bytes("foo"));
    EXPECT_EQ(number.sample_ms, 3020.0);
    EXPECT_EQ(ReadRecognizeRequest(R"({"signature":"","samplems":"12000"})").sample_ms, 12000.0);

    const struct {
        const char* body;
        const char* says;
    } bad[] = {
        {"", "not JSON"},
        {"{\"signature\":", "not JSON"},
        {R"({"signature":"","samplems":1e999})", "not JSON"},  // a number no double holds
        {"[1,2]", "not a JSON object"},
        {R"({"samplems":3000})", "no \"signature\""},
        {R"({"signature":12,"samplems":3000})", "no \"signature\""},
        {R"({"signature":"Zm9v"})", "no \"samplems\""},
        {R"({"signature":"Zm9v","samplems":"3s"})", "not a number"},
        {R"({"signature":"Zm9v","samplems":null})", "not a number"},
        {R"({"signature":"Zm9v","samplems":-1})", "not a length of time"},
        {R"({"signature":"Zm9v","samplems":"nan"})", "not a length of time"},
        {R"({"signature":"Zm9v!","samplems":3000})", "not base64: wrong length"},
        {R"({"signature":"Zm9v!A==","samplems":3000})", "not base64: unexpected character at 4"},
        {R"({"signature":"Zh==","samplems":3000})", "not base64: stray bits at its end"},
    };
    for (const auto& c : bad) {
        try {
            ReadRecognizeRequest(c.body);
            ADD_FAILURE() << c.body << " was taken";
        } catch (const BadRequest& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.body << ": " << e.what();
        }
    }
}

class RecognizerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store = matcher::MakeMemoryStore().release();
        for (std::uint32_t t = 0; t < 4; ++t) {
            tracks.push_back(SyntheticMusic(10 + t, 40.0));
            const decoded_signature d = read_signature(Sign(tracks.back(), 1));
            matcher::TrackInfo info;
            info.title = "Piece " + std::to_string(t);
            info.artist = "Nobody";
            info.content = "content" + std::to_string(t);
            info.frames = 5000;
            store->Add(info, matcher::SignatureLandmarks(d));
        }
    }
    static void TearDownTestSuite()
    {
        delete store;
        tracks.clear();
    }

    // A recording of track t: seconds from offset on, with a little noise.
    static std::vector<std::uint8_t> Recording(std::size_t t, double offset, double seconds)
    {
        std::vector<std::int16_t> pcm(tracks[t].begin() + static_cast<std::ptrdiff_t>(offset * kRate),
                                      tracks[t].begin() + static_cast<std::ptrdiff_t>((offset + seconds) * kRate));
        std::mt19937 random(7);
        for (auto& s : pcm)
            s = static_cast<std::int16_t>(std::clamp<int>(s + static_cast<int>(random() % 2001) - 1000, -32768, 32767));
        return Sign(pcm, 2);
    }

    static inline matcher::Store* store = nullptr;
    static inline std::vector<std::vector<std::int16_t>> tracks;
};

TEST_F(RecognizerTest, NamesTheTrackAndWhereTheRecordingStarts)
{
    const Recognizer recognizer(*store);
    const Recognition r = recognizer.Recognize(Recording(2, 17.0, 6.0), 6000);
    ASSERT_EQ(r.outcome, Outcome::Match) << "score " << r.detail.score << " threshold " << r.detail.threshold;
    EXPECT_EQ(r.track->title, "Piece 2");
    EXPECT_NEAR(static_cast<double>(r.offset_ms), 17000.0, 16.0);
    EXPECT_GT(r.confidence, 0.99);

    const nlohmann::json answer = nlohmann::json::parse(AnswerJson(r));
    ASSERT_EQ(answer["matches"].size(), 1u);
    EXPECT_EQ(answer["matches"][0]["id"], r.track->id);
    EXPECT_EQ(answer["matches"][0]["title"], "Piece 2");
    EXPECT_EQ(answer["matches"][0]["artist"], "Nobody");
    EXPECT_EQ(answer["matches"][0]["offsetms"], r.offset_ms);
    EXPECT_EQ(answer["matches"][0]["score"], r.detail.score);
}

// A recording played fast or slow (time and pitch together, as a faster
// turntable or tape plays it) is found at its speed when the speeds are
// searched, and only then; unknown music stays unknown at every speed.
TEST_F(RecognizerTest, MusicPlayedFastOrSlowIsFoundAtItsSpeed)
{
    // seconds of track t from offset on, played at speed: sample i of the
    // recording is the track's at offset + i * speed, by linear steps.
    const auto played_at = [](const std::vector<std::int16_t>& track, double offset, double seconds, double speed) {
        std::vector<std::int16_t> pcm(static_cast<std::size_t>(seconds * kRate));
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            const double at = offset * kRate + static_cast<double>(i) * speed;
            const auto k = static_cast<std::size_t>(at);
            const double f = at - static_cast<double>(k);
            pcm[i] = static_cast<std::int16_t>(std::lround(track[k] * (1.0 - f) + track[k + 1] * f));
        }
        return Sign(pcm, 2);
    };
    RecognizerOptions options;
    options.most_speed_change = 0.08;
    const Recognizer searching(*store, options);
    const Recognizer plain(*store);
    for (const double speed : {0.92, 0.97, 1.03, 1.08}) {
        SCOPED_TRACE(speed);
        const std::vector<std::uint8_t> recording = played_at(tracks[1], 12.0, 8.0, speed);
        const Recognition r = searching.Recognize(recording, 8000);
        ASSERT_EQ(r.outcome, Outcome::Match);
        EXPECT_EQ(r.track->title, "Piece 1");
        EXPECT_NEAR(r.speed, speed, 0.005);
        EXPECT_NEAR(static_cast<double>(r.offset_ms), 12000.0, 100.0);
        if (std::abs(speed - 1.0) > 0.05) {
            EXPECT_NE(plain.Recognize(recording, 8000).outcome, Outcome::Match);
        }
    }
    const std::vector<std::int16_t> unknown = SyntheticMusic(98, 12.0);
    EXPECT_EQ(searching.Recognize(Sign(unknown, 2), 12000).outcome, Outcome::NoMatch);
}

// Unknown music is never claimed: the service asks for more until the
// longest recording it takes, then says there is no match.
TEST_F(RecognizerTest, AsksForMoreThenGivesUpOnUnknownMusic)
{
    RecognizerOptions options;
    options.max_sample_ms = 12000;
    options.retry_step_ms = 3000;
    const Recognizer recognizer(*store, options);
    const std::vector<std::int16_t> unknown = SyntheticMusic(99, 12.0);
    const struct {
        double seconds;
        std::uint32_t retry_ms;  // 0: no match
    } steps[] = {{3.0, 6000}, {6.0, 9000}, {9.0, 12000}, {11.0, 12000}, {12.0, 0}};
    for (const auto& step : steps) {
        const std::span<const std::int16_t> heard(unknown.data(), static_cast<std::size_t>(step.seconds * kRate));
        const Recognition r = recognizer.Recognize(Sign(heard, 2), step.seconds * 1000.0);
        if (step.retry_ms != 0) {
            EXPECT_EQ(r.outcome, Outcome::Retry) << step.seconds;
            EXPECT_EQ(r.retry_ms, step.retry_ms) << step.seconds;
            EXPECT_EQ(AnswerJson(r), "{\"retryms\":" + std::to_string(step.retry_ms) + "}");
        } else {
            EXPECT_EQ(r.outcome, Outcome::NoMatch);
            EXPECT_EQ(AnswerJson(r), "{\"matches\":[]}");
        }
    }
}

TEST_F(RecognizerTest, RefusesASignatureThatFailsItsChecks)
{
    const Recognizer recognizer(*store);
    std::vector<std::uint8_t> bytes = Recording(0, 5.0, 4.0);
    bytes[bytes.size() / 2] ^= 0x40;  // the checksum no longer holds
    EXPECT_THROW(recognizer.Recognize(bytes, 4000), BadRequest);
    EXPECT_THROW(recognizer.Recognize(Bytes("not a signature"), 4000), BadRequest);
}

}  // namespace
}  // namespace vxt::server::testing
