// The signature command: a file's signature is the one an engine makes from
// the file's samples, whatever the route from file to engine.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>
#include <samplerate.h>

#include "cli_test_support.h"
#include "commands.h"
#include "vextune/platform/AudioDevices.h"
#include "vextune/signature.h"

namespace vxt::cli::test {
namespace {

struct sign_case {
    const char* name;
    const char* clip;
    SignatureType type;
    EngineFlags flags;
    double seconds;
};

class flac_signature_test : public ::testing::TestWithParam<sign_case> {};

TEST_P(flac_signature_test, equals_an_engine_fed_the_decoded_samples)
{
    const sign_case& c = GetParam();
    const pcm clip = read_pcm(clip_path(c.clip));
    ASSERT_EQ(clip.rate, 44100);
    ASSERT_EQ(clip.channels, 1);

    signature_options options;
    options.type = c.type;
    options.flags = c.flags;
    options.seconds = c.seconds;
    std::vector<std::string> notes;
    const auto bytes =
        sign_file(clip_path(c.clip).string(), options, [&](const std::string& n) { notes.push_back(n); });

    EXPECT_EQ(bytes, engine_signature(clip.samples, 44100, c.type, c.flags, c.seconds));
    EXPECT_TRUE(notes.empty()) << notes.front();
    EXPECT_TRUE(read_signature(bytes).ok());
}

INSTANTIATE_TEST_SUITE_P(clips, flac_signature_test,
                         ::testing::Values(sign_case{"rock", clip_names[0], 2, 0x800, 0.0},
                                           sign_case{"ambient", clip_names[1], 2, 0x800, 0.0},
                                           sign_case{"electronic", clip_names[2], 2, 0x800, 0.0},
                                           sign_case{"type1", clip_names[0], 1, 0x800, 0.0},
                                           sign_case{"type3", clip_names[0], 3, 0x800, 0.0},
                                           sign_case{"type4", clip_names[0], 4, 0x800, 0.0},
                                           sign_case{"recent_5s", clip_names[0], 2, 0x800, 5.0},
                                           sign_case{"sample_info_form", clip_names[2], 2, 0x1800, 0.0},
                                           sign_case{"band_config_300", clip_names[2], 1, 0xB00, 0.0},
                                           sign_case{"captured_audio", clip_names[1], 2, 0x30800, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(signature_command, defaults_are_type_2_without_timestamp_over_everything)
{
    const pcm clip = read_pcm(clip_path(clip_names[1]));
    const auto bytes = sign_file(clip_path(clip_names[1]).string(), {}, {});
    EXPECT_EQ(bytes, engine_signature(clip.samples, 44100, 2, flag_no_timestamp, 0.0));
}

using signature_file_test = scratch_test;

TEST_F(signature_file_test, channel_0_by_default_and_the_mean_with_mix)
{
    const pcm left = read_pcm(clip_path(clip_names[0]));
    const pcm right = read_pcm(clip_path(clip_names[1]));
    ASSERT_EQ(left.samples.size(), right.samples.size());
    pcm stereo{44100, 2, {}};
    std::vector<std::int16_t> mean;
    for (std::size_t i = 0; i < left.samples.size(); ++i) {
        stereo.samples.push_back(left.samples[i]);
        stereo.samples.push_back(right.samples[i]);
        mean.push_back(static_cast<std::int16_t>(std::lround((left.samples[i] + right.samples[i]) / 2.0)));
    }
    write_wav(file("stereo.wav"), stereo);

    signature_options options;
    const auto first = sign_file(file("stereo.wav").string(), options, {});
    EXPECT_EQ(first, engine_signature(left.samples, 44100, 2, 0x800, 0.0));

    options.channels = channel_mode::mix;
    const auto mixed = sign_file(file("stereo.wav").string(), options, {});
    EXPECT_EQ(mixed, engine_signature(mean, 44100, 2, 0x800, 0.0));
    EXPECT_NE(mixed, first);
}

// The band peaks of a compact signature, band by band.
std::vector<std::vector<BandPeak>> band_peaks(std::span<const std::uint8_t> bytes)
{
    std::vector<std::vector<BandPeak>> bands;
    for (band_list& list : read_signature(bytes).bands)
        bands.push_back(std::move(list.peaks));
    return bands;
}

// The share of reference peaks found again within a frame and 2 Hz.
double matched_share(const std::vector<std::vector<BandPeak>>& reference,
                     const std::vector<std::vector<BandPeak>>& other)
{
    std::size_t total = 0;
    std::size_t found = 0;
    for (std::size_t band = 0; band < reference.size() && band < other.size(); ++band) {
        for (const BandPeak& peak : reference[band]) {
            ++total;
            found += std::any_of(other[band].begin(), other[band].end(), [&](const BandPeak& p) {
                return std::abs(static_cast<long>(p.time) - static_cast<long>(peak.time)) <= 1 &&
                       std::abs(p.frequency - peak.frequency) <= 16;
            });
        }
    }
    return total ? static_cast<double>(found) / static_cast<double>(total) : 0.0;
}

struct rate_case {
    std::int32_t file_rate;
    const char* note;
};

class converted_signature_test : public scratch_test, public ::testing::WithParamInterface<rate_case> {};

TEST_P(converted_signature_test, finds_the_peaks_of_the_original)
{
    // The clip taken to another rate by the test, then back by the command:
    // the peaks, in Hz and in time, must mostly survive the round trip.
    const auto [file_rate, expected_note] = GetParam();
    const pcm clip = read_pcm(clip_path(clip_names[0]));
    std::vector<float> in(clip.samples.size());
    std::transform(clip.samples.begin(), clip.samples.end(), in.begin(),
                   [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
    const double ratio = static_cast<double>(file_rate) / clip.rate;
    std::vector<float> out(static_cast<std::size_t>(static_cast<double>(in.size()) * ratio) + 16);
    SRC_DATA data{};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    ASSERT_EQ(src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1), 0);
    pcm converted{file_rate, 1, std::vector<std::int16_t>(static_cast<std::size_t>(data.output_frames_gen))};
    std::transform(out.begin(), out.begin() + data.output_frames_gen, converted.samples.begin(),
                   VextuneCore::Platform::FloatToPcm16);
    write_wav(file("converted.wav"), converted);

    std::vector<std::string> notes;
    const auto bytes = sign_file(file("converted.wav").string(), {}, [&](const std::string& n) { notes.push_back(n); });
    EXPECT_EQ(notes, std::vector<std::string>{expected_note});
    ASSERT_EQ(find_problem(bytes), "");

    const auto reference = band_peaks(engine_signature(clip.samples, 44100, 2, 0x800, 0.0));
    const auto peaks = band_peaks(bytes);
    ASSERT_EQ(peaks.size(), 3u);
    EXPECT_GT(matched_share(reference, peaks), 0.8);
    EXPECT_GT(matched_share(peaks, reference), 0.8);
}

INSTANTIATE_TEST_SUITE_P(rates, converted_signature_test,
                         ::testing::Values(rate_case{22050, "converting 22050 Hz to 32000 Hz"},
                                           rate_case{96000, "converting 96000 Hz to 48000 Hz"}),
                         [](const auto& info) { return std::to_string(info.param.file_rate); });

TEST_F(signature_file_test, an_empty_file_gives_a_valid_signature_without_peaks)
{
    write_wav(file("empty.wav"), pcm{44100, 2, {}});
    const auto bytes = sign_file(file("empty.wav").string(), {}, {});
    EXPECT_EQ(bytes, engine_signature({}, 44100, 2, 0x800, 0.0));
    EXPECT_EQ(find_problem(bytes), "");
    for (const auto& band : band_peaks(bytes))
        EXPECT_TRUE(band.empty());
}

TEST(signature_command, unreadable_audio_is_an_error)
{
    EXPECT_THROW(sign_file("/nonexistent/audio.flac", {}, {}), cli_error);
}

}  // namespace
}  // namespace vxt::cli::test
