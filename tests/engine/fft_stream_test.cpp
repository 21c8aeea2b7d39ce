#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "fft_backend.h"
#include "fft_stream.h"
#include "fft_window.h"
#include "vextune/vextuneAPI.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

using spectrum = std::array<float, 513>;

TEST(FftBackend, MatchesTheDefinition)
{
    auto fft = make_fft_implementation();
    std::array<float, 1024> input;
    spectrum out;

    input.fill(1.0f);
    fft->compute(input.data(), out.data());
    EXPECT_FLOAT_EQ(out[0], 8.0f);  // 1024^2 * 2^-17
    for (std::size_t k = 1; k < out.size(); ++k)
        ASSERT_NEAR(out[k], 0.0f, 1e-6f) << k;

    for (std::size_t n = 0; n < input.size(); ++n)
        input[n] = static_cast<float>(std::cos(2 * test::pi * 100 * n / 1024.0));
    fft->compute(input.data(), out.data());
    EXPECT_NEAR(out[100], 2.0f, 1e-4f);  // 512^2 * 2^-17
    for (std::size_t k = 0; k < out.size(); ++k) {
        if (k != 100) {
            ASSERT_NEAR(out[k], 0.0f, 1e-6f) << k;
        }
    }

    std::mt19937 rng(3);
    std::uniform_real_distribution<float> sample(-30000.0f, 30000.0f);
    for (float& v : input)
        v = sample(rng);
    const std::array<float, 1024> kept = input;
    fft->compute(input.data(), out.data());
    EXPECT_EQ(input, kept);  // the input is left alone
    const auto expected = test::naive_power(input.data());
    double largest = 0;
    for (double p : expected)
        largest = std::max(largest, p);
    for (std::size_t k = 0; k < out.size(); ++k)
        ASSERT_NEAR(out[k], expected[k], largest * 1e-6) << k;
}

TEST(FftWindow, IsTheInnerHannWindow)
{
    const float* w = tables::fft_window;
    EXPECT_FLOAT_EQ(w[0], 9.3940025e-06f);
    EXPECT_FLOAT_EQ(w[511], 0.99999768f);
    double sum = 0;
    for (std::size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(w[i], w[1023 - i]);
        ASSERT_EQ(w[i], static_cast<float>(0.5 - 0.5 * std::cos(2 * test::pi * (i + 1) / 1025.0)));
        sum += w[i];
    }
    EXPECT_NEAR(sum, 512.5, 1e-3);
}

TEST(FftStream, SilenceGivesTheFloor)
{
    fft_stream stream;
    const std::array<float, 64> zeros{};
    spectrum out;
    stream.process(zeros.data(), 64, out.data());
    for (float v : out)
        ASSERT_EQ(v, 1.0000000133514320e-10f);
}

// A backend that writes fixed values, to see the floor at work.
class fixed_fft : public FFT_implementation {
public:
    explicit fixed_fft(std::vector<float> values) : values_(std::move(values)) {}
    void compute(const float*, float* output) override { std::copy(values_.begin(), values_.end(), output); }

private:
    std::vector<float> values_;
};

TEST(FftStream, FloorIsTheDoublePrecisionTest)
{
    // Values not greater than 1e-10 in double precision become float(1e-10).
    std::vector<float> values(513, 5.0f);
    values[0] = 1e-10f;                                   // above 1e-10 as a double: kept
    values[1] = std::nextafter(1e-10f, 0.0f);             // below: raised
    values[2] = std::numeric_limits<float>::quiet_NaN();  // not greater: raised
    values[3] = -3.0f;
    values[4] = 0.0f;
    fft_stream stream(std::make_unique<fixed_fft>(values));
    const std::array<float, 64> hop{};
    spectrum out;
    stream.process(hop.data(), 64, out.data());
    for (std::size_t k = 0; k < 5; ++k) {
        const bool greater = static_cast<double>(values[k]) > 1e-10;
        EXPECT_EQ(out[k], greater ? values[k] : 1e-10f) << k;
    }
    EXPECT_EQ(out[5], 5.0f);
}

TEST(FftStream, FirstHopSeesZerosBeforeIt)
{
    fft_stream stream;
    std::array<float, 64> hop;
    hop.fill(1000.0f);
    spectrum out;
    stream.process(hop.data(), 64, out.data());
    double windowed = 0;
    for (std::size_t i = 960; i < 1024; ++i)
        windowed += tables::fft_window[i] * 1000.0;
    EXPECT_NEAR(out[0], windowed * windowed * std::ldexp(1.0, -17), 1e-4 * out[0]);
}

TEST(FftStream, FrameHoldsTheLatest1024Samples)
{
    const auto pcm = test::music_like(8000, 0.5);
    fft_stream stream;
    spectrum out;
    std::vector<float> samples(pcm.begin(), pcm.end());
    for (std::size_t hop = 0; hop < 20; ++hop) {
        stream.process(samples.data() + 64 * hop, 64, out.data());
        if (hop < 15)
            continue;
        // Windowed frame ending with this hop, earlier samples as zero.
        std::array<float, 1024> frame{};
        const std::ptrdiff_t end = 64 * static_cast<std::ptrdiff_t>(hop + 1);
        for (std::ptrdiff_t i = 0; i < 1024; ++i) {
            const std::ptrdiff_t s = end - 1024 + i;
            frame[static_cast<std::size_t>(i)] =
                s < 0 ? 0.0f : tables::fft_window[i] * samples[static_cast<std::size_t>(s)];
        }
        const auto expected = test::naive_power(frame.data());
        const double largest = *std::max_element(expected.begin(), expected.end());
        for (std::size_t k = 0; k < out.size(); ++k)
            ASSERT_NEAR(out[k], std::max(expected[k], 1e-10), largest * 1e-5) << "hop " << hop << " bin " << k;
    }
}

TEST(FftStream, RewindLeavesNoTrace)
{
    const auto pcm = test::music_like(8000, 1.0);
    const std::vector<float> samples(pcm.begin(), pcm.end());
    const std::array<float, 64> zeros{};
    fft_stream plain;
    fft_stream detoured;
    spectrum a;
    spectrum b;
    for (std::size_t hop = 0; hop < 100; ++hop) {
        const float* in = samples.data() + 64 * hop;
        if (hop == 30 || hop == 31) {  // two detours, back to back
            detoured.checkpoint();
            for (int i = 0; i < 61; ++i)
                detoured.process(zeros.data(), 64, b.data());
            detoured.rewind();
        }
        plain.process(in, 64, a.data());
        detoured.process(in, 64, b.data());
        ASSERT_EQ(a, b) << "hop " << hop;
    }
}

TEST(FftStream, MisuseRaisesItsErrors)
{
    fft_stream stream;
    try {
        stream.rewind();
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(std::string(e.what()).ends_with(
            "): Can't rewind a fft_stream that hasn't been checkpointed. Must call checkpoint() before."));
    }
    stream.checkpoint();
    stream.reset();  // a reset keeps the checkpoint
    try {
        stream.checkpoint();
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(std::string(e.what()).ends_with(
            "): Can't checkpoint a fft_stream that has already been checkpointed. Must call rewind() before."));
    }
    EXPECT_NO_THROW(stream.rewind());
}

}  // namespace
}  // namespace vxt
