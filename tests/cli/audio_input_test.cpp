// Decoding audio files into mono blocks at an engine rate.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "audio_input.h"
#include "vextune/platform/AudioDevices.h"
#include "cli_test_support.h"

namespace vxt::cli::test {
namespace {

using audio_input_test = scratch_test;

// Everything the reader gives, checking the block size on the way.
std::vector<std::int16_t> read_all(audio_reader& reader)
{
    std::vector<std::int16_t> all;
    std::vector<std::int16_t> block;
    while (reader.read(block)) {
        EXPECT_FALSE(block.empty());
        EXPECT_LE(block.size(), audio_reader::block_frames);
        all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_TRUE(block.empty());
    EXPECT_FALSE(reader.read(block)) << "the end must stay the end";
    return all;
}

// Frequency of a sine from its rising zero crossings, skipping the edges.
double sine_frequency(const std::vector<std::int16_t>& samples, std::int32_t rate)
{
    std::size_t first = 0;
    std::size_t last = 0;
    int crossings = 0;
    for (std::size_t i = samples.size() / 10; i + 1 < samples.size() * 9 / 10; ++i) {
        if (samples[i] < 0 && samples[i + 1] >= 0) {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    }
    return (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
}

TEST(audio_input, engine_rate_is_the_nearest_supported_rate_at_or_above)
{
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {1000, 8000},   {8000, 8000},   {8001, 11025},  {11025, 11025}, {12000, 16000}, {22050, 32000},
        {32000, 32000}, {44100, 44100}, {44101, 48000}, {48000, 48000}, {96000, 48000}, {384000, 48000},
    };
    for (const auto& [file_rate, engine_rate] : cases)
        EXPECT_EQ(engine_rate_for(file_rate), engine_rate) << file_rate;
}

TEST_F(audio_input_test, supported_rate_passes_channel_0_or_the_rounded_mean_unchanged)
{
    // Three channels of noise, long enough for several blocks and a partial
    // last one.
    pcm audio{16000, 3, {}};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    audio.samples.resize(3 * (3 * audio_reader::block_frames + 123));
    for (auto& s : audio.samples)
        s = static_cast<std::int16_t>(sample(random));
    write_wav(file("three.wav"), audio);

    audio_reader first(file("three.wav").string(), channel_mode::first);
    EXPECT_EQ(first.file_rate(), 16000);
    EXPECT_EQ(first.rate(), 16000);
    EXPECT_EQ(first.channels(), 3);
    EXPECT_FALSE(first.converting());
    EXPECT_EQ(read_all(first), audio.channel(0));

    std::vector<std::int16_t> mean(audio.frames());
    for (std::size_t i = 0; i < mean.size(); ++i) {
        const int sum = audio.samples[3 * i] + audio.samples[3 * i + 1] + audio.samples[3 * i + 2];
        mean[i] = static_cast<std::int16_t>(std::lround(sum / 3.0));
    }
    audio_reader mixed(file("three.wav").string(), channel_mode::mix);
    EXPECT_EQ(read_all(mixed), mean);
}

// Stereo has its own averaging, and mono is read straight into the block:
// both must agree with the plain rounded mean over several blocks, a partial
// last one, the extremes and every sum with a half to round.
TEST_F(audio_input_test, stereo_and_mono_give_the_rounded_mean)
{
    pcm stereo{44100, 2, {}};
    const std::int16_t edges[][2] = {{-32768, -32768}, {32767, 32767},   {-32768, 32767}, {32767, -32768},
                                     {1, 0},           {-1, 0},          {0, -1},         {3, 0},
                                     {-3, 0},          {-32768, -32767}, {32767, 32766},  {0, 0}};
    for (const auto& e : edges)
        stereo.samples.insert(stereo.samples.end(), {e[0], e[1]});
    std::mt19937 random(11);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    while (stereo.samples.size() < 2 * (2 * audio_reader::block_frames + 77))
        stereo.samples.push_back(static_cast<std::int16_t>(sample(random)));
    write_wav(file("stereo.wav"), stereo);

    std::vector<std::int16_t> mean(stereo.frames());
    for (std::size_t i = 0; i < mean.size(); ++i)
        mean[i] = static_cast<std::int16_t>(std::lround((stereo.samples[2 * i] + stereo.samples[2 * i + 1]) / 2.0));
    EXPECT_EQ(mean[0], -32768);
    EXPECT_EQ(mean[2], -1);  // -0.5 goes away from zero
    EXPECT_EQ(mean[4], 1);   // +0.5 too
    audio_reader mixed(file("stereo.wav").string(), channel_mode::mix);
    EXPECT_EQ(mixed.channels(), 2);
    EXPECT_EQ(read_all(mixed), mean);
    audio_reader first(file("stereo.wav").string(), channel_mode::first);
    EXPECT_EQ(read_all(first), stereo.channel(0));

    pcm mono{16000, 1, stereo.samples};
    write_wav(file("mono.wav"), mono);
    for (const channel_mode mode : {channel_mode::mix, channel_mode::first}) {
        audio_reader reader(file("mono.wav").string(), mode);
        EXPECT_EQ(reader.channels(), 1);
        EXPECT_EQ(read_all(reader), mono.samples);
    }
}
TEST_F(audio_input_test, floating_point_files_keep_their_level)
{
    // 16-bit reads of float data give silence unless the reader scales them.
    std::vector<float> stereo(2 * 8000);
    for (std::size_t i = 0; i < stereo.size() / 2; ++i) {
        stereo[2 * i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 8000));
        stereo[2 * i + 1] = -stereo[2 * i];
    }
    write_float_wav(file("float.wav"), 8000, 2, stereo);

    audio_reader first(file("float.wav").string(), channel_mode::first);
    const auto samples = read_all(first);
    ASSERT_EQ(samples.size(), 8000u);
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], VextuneCore::Platform::FloatToPcm16(stereo[2 * i])) << i;

    // The two channels cancel.
    audio_reader mixed(file("float.wav").string(), channel_mode::mix);
    const auto silence = read_all(mixed);
    EXPECT_EQ(silence.size(), 8000u);
    EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](std::int16_t s) { return s == 0; }));
}

struct conversion_case {
    std::int32_t file_rate;
    std::int32_t engine_rate;
};

class audio_conversion_test : public scratch_test, public ::testing::WithParamInterface<conversion_case> {};

TEST_P(audio_conversion_test, keeps_duration_pitch_and_level)
{
    const auto [file_rate, engine_rate] = GetParam();
    constexpr double seconds = 2.0;
    constexpr double tone = 1000.0;
    constexpr double level = 0.5;
    pcm audio{file_rate, 1, std::vector<std::int16_t>(static_cast<std::size_t>(seconds * file_rate))};
    for (std::size_t i = 0; i < audio.samples.size(); ++i)
        audio.samples[i] = VextuneCore::Platform::FloatToPcm16(
            static_cast<float>(level * std::sin(2 * std::numbers::pi * tone * static_cast<double>(i) / file_rate)));
    write_wav(file("tone.wav"), audio);

    audio_reader reader(file("tone.wav").string(), channel_mode::first);
    EXPECT_TRUE(reader.converting());
    EXPECT_EQ(reader.rate(), engine_rate);
    const auto samples = read_all(reader);

    // Nothing lost at the end, nothing doubled.
    EXPECT_NEAR(static_cast<double>(samples.size()), seconds * engine_rate, 2.0);
    EXPECT_NEAR(sine_frequency(samples, engine_rate), tone, 0.5);
    const auto middle = std::span(samples).subspan(samples.size() / 4, samples.size() / 2);
    if (engine_rate < file_rate) {
        const auto peak = *std::max_element(middle.begin(), middle.end());
        EXPECT_NEAR(peak, level * 32768, 50);
    } else {
        // Linear interpolation reaches no further than the samples it joins,
        // which need not hit the crest, and damps the tone by sinc(f / rate)
        // squared (a 1 kHz tone at 6000 Hz by 9 %): the level is checked on
        // the RMS.
        double power = 0.0;
        for (const std::int16_t s : middle)
            power += static_cast<double>(s) * s;
        const double rms = std::sqrt(power / static_cast<double>(middle.size()));
        const double x = std::numbers::pi * tone / file_rate;
        const double response = std::pow(std::sin(x) / x, 2);
        EXPECT_GE(rms, level * 32768 / std::numbers::sqrt2 * response - 50);
        EXPECT_LE(rms, level * 32768 / std::numbers::sqrt2 + 50);
    }
}

INSTANTIATE_TEST_SUITE_P(rates, audio_conversion_test,
                         ::testing::Values(conversion_case{22050, 32000}, conversion_case{12000, 16000},
                                           conversion_case{96000, 48000}, conversion_case{6000, 8000}),
                         [](const auto& info) { return std::to_string(info.param.file_rate); });

TEST_F(audio_input_test, conversion_overshoot_is_clamped_not_wrapped)
{
    // A full-scale square wave rings past full scale after filtering; a
    // wrapped sample would flip sign in the middle of a half period.
    pcm audio{22050, 1, std::vector<std::int16_t>(22050)};
    for (std::size_t i = 0; i < audio.samples.size(); ++i)
        audio.samples[i] = (i / 49) % 2 == 0 ? 32767 : -32768;  // about 225 Hz
    write_wav(file("square.wav"), audio);

    audio_reader reader(file("square.wav").string(), channel_mode::first);
    const auto samples = read_all(reader);
    ASSERT_GT(samples.size(), 30000u);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 32767);
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), -32768);
    int sign_changes = 0;
    for (std::size_t i = 1000; i + 1000 < samples.size(); ++i)
        sign_changes += (samples[i] < 0) != (samples[i - 1] < 0);
    const double half_periods = (samples.size() - 2000) / (49.0 * 32000 / 22050);
    EXPECT_NEAR(sign_changes, half_periods, 2);
}

TEST_F(audio_input_test, unreadable_files_are_reported)
{
    EXPECT_THROW(audio_reader(file("missing.wav").string(), channel_mode::first), cli_error);
    write_bytes(file("text.wav"), std::vector<std::uint8_t>(1000, 'x'));
    EXPECT_THROW(audio_reader(file("text.wav").string(), channel_mode::first), cli_error);
    EXPECT_THROW(audio_reader(file(".").string(), channel_mode::first), cli_error);
}

}  // namespace
}  // namespace vxt::cli::test
