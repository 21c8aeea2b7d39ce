// vextune monitor and match --timeline as a user runs them: a stream
// stitched from the committed clips, with silence and noise between them,
// followed from a file, from raw PCM on a pipe and offline.
#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_test_support.h"

namespace vxt::cli::test {
namespace {

struct want_play {
    const char* title;
    double start;
    double end;
    double offset;
};

class monitor_test : public catalogue_of_clips_test {
protected:
    void SetUp() override
    {
        catalogue_of_clips_test::SetUp();
        if (HasFatalFailure())
            return;

        // 4 s of silence, the first clip whole (15 s), 6 s of noise, the
        // second clip from 3 s on (12 s), the first clip again.
        const pcm first = read_pcm(clip_path(clip_names[0]));
        const pcm second = read_pcm(clip_path(clip_names[1]));
        ASSERT_EQ(first.channels, 1);
        ASSERT_EQ(second.rate, first.rate);
        stream = {first.rate, 1, {}};
        const auto seconds = [&](double s) { return static_cast<std::size_t>(s * first.rate); };
        stream.samples.assign(seconds(4), 0);
        stream.samples.insert(stream.samples.end(), first.samples.begin(), first.samples.end());
        std::mt19937 random(3);
        std::normal_distribution<double> noise(0.0, 2000.0);
        for (std::size_t i = 0; i < seconds(6); ++i)
            stream.samples.push_back(static_cast<std::int16_t>(std::clamp(noise(random), -32000.0, 32000.0)));
        stream.samples.insert(stream.samples.end(), second.samples.begin() + static_cast<std::ptrdiff_t>(seconds(3)),
                              second.samples.end());
        stream.samples.insert(stream.samples.end(), first.samples.begin(), first.samples.end());
        write_wav(file("stream.wav"), stream);
    }

    pcm stream;
    const std::vector<want_play> plays = {
        {"rock-sectoid-metal-madness", 4, 19, 0},
        {"Through Space", 25, 37, 3},
        {"rock-sectoid-metal-madness", 37, 52, 0},
    };
};

// The plays of JSON event lines, checked against the stream's own, and the
// stretches of nothing known between them.
void expect_plays(const std::string& out, const std::vector<want_play>& plays)
{
    std::vector<nlohmann::json> starts, ends, unknown;
    double last_at = 0.0;
    for (const std::string& line : lines_of(out)) {
        const nlohmann::json e = nlohmann::json::parse(line);
        EXPECT_GE(e["at"].get<double>(), last_at) << "told in stream order: " << line;
        last_at = e["at"].get<double>();
        (e["event"] == "play" ? starts : e["event"] == "end" ? ends : unknown).push_back(e);
    }
    ASSERT_EQ(starts.size(), plays.size()) << out;
    ASSERT_EQ(ends.size(), plays.size()) << out;
    for (std::size_t i = 0; i < plays.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(starts[i]["track"]["title"], plays[i].title);
        EXPECT_NEAR(starts[i]["start"].get<double>(), plays[i].start, 0.5);
        EXPECT_NEAR(starts[i]["offset"].get<double>(), plays[i].offset, 0.5);
        EXPECT_NEAR(ends[i]["end"].get<double>(), plays[i].end, 1.0);
        // Told within 5 s of the play's start.
        EXPECT_LT(starts[i]["at"].get<double>(), plays[i].start + 5.0);
    }
    ASSERT_EQ(unknown.size(), 2u) << out;  // the silence and the noise
    EXPECT_NEAR(unknown[0]["end"].get<double>(), 4.0, 0.5);
    EXPECT_NEAR(unknown[1]["start"].get<double>(), 19.0, 1.0);
    EXPECT_NEAR(unknown[1]["end"].get<double>(), 25.0, 0.5);
}

TEST_F(monitor_test, a_recording_is_followed_play_by_play)
{
    const run_result json = run_vextune({"monitor", "--db", db, "--input", file("stream.wav").string(), "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    expect_plays(json.out, plays);
    EXPECT_NE(json.err.find("followed 00:00:52.0 of audio"), std::string::npos) << json.err;

    // Text by default: a line an event, the play's start first.
    const run_result text = run_vextune({"monitor", "--db", db, "--input", file("stream.wav").string()});
    ASSERT_EQ(text.exit_code, 0) << text.err;
    const std::vector<std::string> lines = lines_of(text.out);
    ASSERT_EQ(lines.size(), lines_of(json.out).size()) << text.out;
    EXPECT_TRUE(lines[1].starts_with("00:00:04.")) << text.out;
    EXPECT_NE(lines[1].find("  play     #1 \"rock-sectoid-metal-madness\"  at 00:00:00."), std::string::npos)
        << text.out;

    // Offline, the same events.
    const run_result timeline = run_vextune({"match", "--db", db, "--timeline", file("stream.wav").string()});
    ASSERT_EQ(timeline.exit_code, 0) << timeline.err;
    EXPECT_EQ(timeline.out, json.out);
}

TEST_F(monitor_test, raw_pcm_on_a_pipe_is_followed_as_it_comes)
{
    // Stereo, as a decoder on the other end of a pipe writes it.
    std::vector<std::uint8_t> raw;
    for (const std::int16_t s : stream.samples) {
        for (int channel = 0; channel < 2; ++channel) {
            raw.push_back(static_cast<std::uint8_t>(s & 0xff));
            raw.push_back(static_cast<std::uint8_t>((s >> 8) & 0xff));
        }
    }
    raw.push_back(0);  // half a frame at the end: dropped
    write_bytes(file("stream.raw"), raw);
    const run_result r = run_vextune({"monitor", "--db", db, "--raw", std::to_string(stream.rate) + ",2", "--json"},
                                     {.stdin_file = file("stream.raw"),
                                      .stdin_through_pipe = true,
                                      .stdout_file = {},
                                      .wrapper = {},
                                      .executable = {}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    expect_plays(r.out, plays);
}

TEST_F(monitor_test, a_service_identifies_the_windows_and_the_plays_are_joined_here)
{
    background_service service({"--db", db}, file("serve.log"));
    ASSERT_NE(service.port(), 0);
    const run_result r =
        run_vextune({"monitor", "--service", service.url(), "--input", file("stream.wav").string(), "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<nlohmann::json> starts;
    for (const std::string& line : lines_of(r.out)) {
        const nlohmann::json e = nlohmann::json::parse(line);
        if (e["event"] == "play")
            starts.push_back(e);
    }
    // The service does not say where in a window its track lies: starts
    // are the windows', to a few seconds, and later after a change of
    // track, where a window holds both.
    ASSERT_EQ(starts.size(), plays.size()) << r.out;
    for (std::size_t i = 0; i < plays.size(); ++i) {
        EXPECT_EQ(starts[i]["track"]["title"], plays[i].title) << i;
        EXPECT_NEAR(starts[i]["start"].get<double>(), plays[i].start, 5.0) << i;
    }
    EXPECT_EQ(service.stop(), 0);

    // A service that is not there: every window is nothing known, said
    // once, and the stream is followed to its end.
    const run_result gone =
        run_vextune({"monitor", "--service", service.url(), "--input", file("stream.wav").string(), "--json"});
    ASSERT_EQ(gone.exit_code, 0) << gone.err;
    ASSERT_EQ(lines_of(gone.out).size(), 1u) << gone.out;
    EXPECT_EQ(nlohmann::json::parse(gone.out)["event"], "unknown");
    EXPECT_NE(gone.err.find("the window counts as nothing known"), std::string::npos) << gone.err;
}

// The samples played at speed (time and pitch together), by linear steps.
std::vector<std::int16_t> played_at(const std::vector<std::int16_t>& samples, double speed)
{
    std::vector<std::int16_t> out(static_cast<std::size_t>(static_cast<double>(samples.size() - 1) / speed));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double at = static_cast<double>(i) * speed;
        const auto k = static_cast<std::size_t>(at);
        const double f = at - static_cast<double>(k);
        out[i] = static_cast<std::int16_t>(std::lround(samples[k] * (1.0 - f) + samples[k + 1] * f));
    }
    return out;
}

TEST_F(monitor_test, plays_fast_or_slow_are_found_at_their_speed)
{
    // The first clip 3 % fast, then the second 6 % slow.
    const pcm first = read_pcm(clip_path(clip_names[0]));
    const pcm second = read_pcm(clip_path(clip_names[1]));
    pcm sped{first.rate, 1, played_at(first.samples, 1.03)};
    const std::vector<std::int16_t> slow = played_at(second.samples, 0.94);
    sped.samples.insert(sped.samples.end(), slow.begin(), slow.end());
    write_wav(file("speeds.wav"), sped);
    const double first_end = 15.0 / 1.03;

    const run_result r = run_vextune({"monitor", "--db", db, "--input", file("speeds.wav").string(), "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<nlohmann::json> starts, ends;
    for (const std::string& line : lines_of(r.out)) {
        const nlohmann::json e = nlohmann::json::parse(line);
        if (e["event"] == "play")
            starts.push_back(e);
        else if (e["event"] == "end")
            ends.push_back(e);
    }
    ASSERT_EQ(starts.size(), 2u) << r.out;
    ASSERT_EQ(ends.size(), 2u) << r.out;
    EXPECT_EQ(starts[0]["track"]["title"], "rock-sectoid-metal-madness");
    EXPECT_NEAR(starts[0]["speed"].get<double>(), 1.03, 0.005);
    EXPECT_NEAR(ends[0]["end"].get<double>(), first_end, 1.0);
    EXPECT_EQ(starts[1]["track"]["title"], "Through Space");
    EXPECT_NEAR(starts[1]["speed"].get<double>(), 0.94, 0.005);
    EXPECT_NEAR(starts[1]["start"].get<double>(), first_end, 1.0);
    EXPECT_NEAR(ends[1]["end"].get<double>(), first_end + 15.0 / 0.94, 1.0);

    // At their own speed only, the 6 % slow play is not found.
    const run_result plain =
        run_vextune({"monitor", "--db", db, "--input", file("speeds.wav").string(), "--json", "--speed-change", "0"});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(plain.out.find("Through Space"), std::string::npos) << plain.out;
}

TEST_F(monitor_test, a_raw_format_it_cannot_follow_is_refused_with_the_reason)
{
    const struct {
        const char* raw;
        const char* says;
    } cases[] = {
        {"44100,x", "--raw takes RATE or RATE,CHANNELS"},
        {"44100,", "--raw takes RATE or RATE,CHANNELS"},
        {"22050", "the engine takes 8000, 11025, 16000, 32000, 44100 or 48000 Hz, not 22050"},
        {"44100,0", "1 to 8 channels, not 0"},
    };
    for (const auto& c : cases) {
        const run_result r = run_vextune({"monitor", "--db", db, "--raw", c.raw});
        EXPECT_EQ(r.exit_code, 1) << c.raw;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.raw << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

}  // namespace
}  // namespace vxt::cli::test
