// Rolling windows of one engine fed a stream once.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "vextune/monitor/Monitor.h"

namespace vxt::monitor {
namespace {

// Seconds of tones that change every 100 ms: peaks all the way.
std::vector<std::int16_t> Tones(double seconds, std::int32_t rate)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> pitch(300.0, 3000.0);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * rate));
    double f = pitch(random);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i % static_cast<std::size_t>(rate / 10) == 0)
            f = pitch(random);
        samples[i] = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * f * static_cast<double>(i) / rate));
    }
    return samples;
}

std::vector<Window> Windows(std::span<const std::int16_t> audio, std::size_t block, WindowOptions options)
{
    StreamWindows windows(16000, options);
    std::vector<Window> out;
    const auto keep = [&](const Window& w) { out.push_back(w); };
    for (std::size_t at = 0; at < audio.size(); at += block)
        windows.Feed(audio.subspan(at, std::min(block, audio.size() - at)), keep);
    windows.Finish(keep);
    return out;
}

TEST(StreamWindows, AWindowEveryHopOfTheLatestSecondsWhateverTheBlocks)
{
    const std::vector<std::int16_t> audio = Tones(30.5, 16000);
    const WindowOptions options{.seconds = 8.0, .hop = 1.0};
    const std::vector<Window> windows = Windows(audio, 4096, options);
    ASSERT_EQ(windows.size(), 31u);  // one a second and the last half second
    for (std::size_t i = 0; i < windows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(windows[i].end, i + 1 < windows.size() ? i + 1.0 : 30.5);
        EXPECT_LE(windows[i].start, windows[i].end);
        // The latest seconds asked for: whole periods of 2.048 s, the one
        // going on and the engine's run-out.
        EXPECT_LE(windows[i].end - windows[i].start, options.seconds + 2.6);
        if (windows[i].end >= options.seconds + 2.6) {
            EXPECT_GE(windows[i].end - windows[i].start, options.seconds);
        }
        if (i > 0) {
            EXPECT_GE(windows[i].start, windows[i - 1].start);
        }
    }

    // The engine is fed once: another split of the same stream gives the
    // same windows, byte for byte.
    const std::vector<Window> again = Windows(audio, 333, options);
    ASSERT_EQ(again.size(), windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        EXPECT_EQ(again[i].signature, windows[i].signature) << i;
        EXPECT_DOUBLE_EQ(again[i].start, windows[i].start) << i;
    }
}

TEST(StreamWindows, NoWindowIsMadeTwiceAndBadSettingsAreRefused)
{
    StreamWindows windows(16000, {.seconds = 4.0, .hop = 0.5});
    int made = 0;
    const auto count = [&](const Window&) { ++made; };
    const std::vector<std::int16_t> audio = Tones(2.0, 16000);
    windows.Feed(audio, count);
    EXPECT_EQ(made, 4);
    windows.Finish(count);  // nothing since the last hop
    windows.Finish(count);
    EXPECT_EQ(made, 4);

    EXPECT_THROW(StreamWindows(12345), std::invalid_argument);
    EXPECT_THROW(StreamWindows(16000, {.seconds = 0.0, .hop = 1.0}), std::invalid_argument);
    EXPECT_THROW(StreamWindows(16000, {.seconds = 8.0, .hop = -1.0}), std::invalid_argument);
}

}  // namespace
}  // namespace vxt::monitor
