#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fatsig_stream.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

using spectra = std::vector<std::vector<float>>;

// Frames of random power, on the scale the FFT stream produces, with a few
// repeated values so that ties occur.
spectra random_spectra(std::size_t frames, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(-9.0f, 18.0f);
    std::uniform_int_distribution<int> tie(0, 40);
    spectra s(frames, std::vector<float>(513));
    for (auto& frame : s) {
        for (float& v : frame)
            v = tie(rng) == 0 ? 1000.0f : std::exp(level(rng));
    }
    return s;
}

std::vector<FatPeak> run(fatsig_stream& detector, const spectra& frames, std::size_t from = 0,
                         std::size_t to = SIZE_MAX)
{
    std::vector<FatPeak> peaks;
    for (std::size_t t = from; t < std::min(to, frames.size()); ++t) {
        std::copy(frames[t].begin(), frames[t].end(), detector.next_slot());
        detector.advance(peaks);
    }
    return peaks;
}

// A peak by the definition: at least 1/128 and strictly greater than every
// other value of its cross, frames outside 0..end counting as zero.
bool is_peak(const spectra& s, std::size_t t, std::size_t j)
{
    const float v = s[t][j];
    if (v < 1.0f / 128)
        return false;
    const auto at = [&](std::ptrdiff_t f, std::ptrdiff_t k) {
        return f < 0 || f >= static_cast<std::ptrdiff_t>(s.size())
                   ? 0.0f
                   : s[static_cast<std::size_t>(f)][static_cast<std::size_t>(k)];
    };
    const auto tt = static_cast<std::ptrdiff_t>(t);
    const auto jj = static_cast<std::ptrdiff_t>(j);
    for (std::ptrdiff_t f = tt - 3; f <= tt + 3; ++f) {
        for (std::ptrdiff_t k = jj - 10; k <= jj + 10; ++k) {
            if ((f != tt || k != jj) && !(v > at(f, k)))
                return false;
        }
    }
    for (std::ptrdiff_t f = tt - 45; f <= tt + 45; ++f) {
        for (std::ptrdiff_t k = jj - 1; k <= jj + 1; ++k) {
            if ((f != tt || k != jj) && !(v > at(f, k)))
                return false;
        }
    }
    return true;
}

TEST(FatsigStream, FindsExactlyThePeaksOfTheDefinition)
{
    const auto frames = random_spectra(400, 11);
    fatsig_stream detector;
    const auto peaks = run(detector, frames);

    std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;
    for (std::size_t t = 0; t + 45 < frames.size(); ++t) {
        for (std::size_t j = 10; j <= 502; ++j) {
            if (is_peak(frames, t, j))
                expected.emplace_back(static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(j));
        }
    }
    ASSERT_GT(expected.size(), 100u);
    ASSERT_EQ(peaks.size(), expected.size());
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        ASSERT_EQ(peaks[i].frame, expected[i].first) << i;
        // The interpolated frequency stays within half a bin of the peak bin.
        ASSERT_LE(std::abs(static_cast<int>(peaks[i].frequency) - 64 * static_cast<int>(expected[i].second)), 32) << i;
    }
}

TEST(FatsigStream, RefinesByTheParabolaOfTheLogPower)
{
    // One isolated peak at frame 50, bin 100, with known neighbours.
    spectra frames(100, std::vector<float>(513, 1e-10f));
    frames[50][99] = 1000.0f;
    frames[50][100] = 50000.0f;
    frames[50][101] = 8000.0f;
    frames[49][100] = 400.0f;
    frames[51][100] = 20.0f;
    fatsig_stream detector;
    const auto peaks = run(detector, frames);
    ASSERT_EQ(peaks.size(), 1u);

    const auto l = fatsig_stream::log_power;
    const float a = l(1000.0f), c = l(50000.0f), b = l(8000.0f), p = l(400.0f), q = l(20.0f);
    EXPECT_EQ(peaks[0].frame, 50u);
    EXPECT_EQ(peaks[0].frequency, 6400 + static_cast<int>(std::trunc(32.0f * (b - a) / (2.0f * c - a - b))));
    EXPECT_GT(peaks[0].frequency, 6400);  // pulled towards the stronger neighbour
    EXPECT_EQ(peaks[0].amplitude, static_cast<std::uint16_t>(c));
    EXPECT_EQ(peaks[0].freq_curvature, static_cast<std::uint16_t>(2.0f * c - a - b));
    EXPECT_GT(2.0f * (2.0f * c - p - q), 32767.0f);
    EXPECT_EQ(peaks[0].time_curvature, 32767);  // capped
    // 1/128 maps to 0; each factor of 2^32 adds 32768.
    EXPECT_EQ(l(1.0f / 128), 0.0f);
    EXPECT_EQ(l(1e-10f), 0.0f);
    EXPECT_NEAR(l(4294967296.0f / 128), 32768.0f, 0.05f);
}

TEST(FatsigStream, EdgeCasesOfThePeakTest)
{
    spectra frames(200, std::vector<float>(513, 1e-10f));
    frames[60][5] = 1e6f;       // below bin 10: never searched
    frames[60][505] = 1e6f;     // above bin 502: never searched
    frames[70][200] = 5000.0f;  // two equal maxima in one cross: neither is a peak
    frames[72][207] = 5000.0f;
    frames[80][300] = 1.0f / 128;  // exactly the threshold, flat neighbours
    fatsig_stream detector;
    const auto peaks = run(detector, frames);
    ASSERT_EQ(peaks.size(), 1u);
    EXPECT_EQ(peaks[0].frame, 80u);
    EXPECT_EQ(peaks[0].frequency, 64 * 300);
    EXPECT_EQ(peaks[0].amplitude, 0);

    // A tone held longer than the 91-frame cross has no peak inside it.
    spectra held(300, std::vector<float>(513, 1e-10f));
    for (std::size_t t = 20; t < 250; ++t)
        held[t][150] = 3000.0f;
    fatsig_stream second;
    EXPECT_TRUE(run(second, held).empty());
}

TEST(FatsigStream, AdvanceReportsFramesBehindTheLookAhead)
{
    fatsig_stream detector;
    std::vector<FatPeak> peaks;
    for (std::int64_t n = 0; n < 50; ++n) {
        std::fill_n(detector.next_slot(), 513, 1e-10f);
        EXPECT_EQ(detector.advance(peaks), n - 44);
    }
}

TEST(FatsigStream, CheckpointFlushRewindLeavesNoTrace)
{
    const auto frames = random_spectra(600, 23);
    const auto noise = random_spectra(61, 29);
    fatsig_stream plain;
    const auto expected = run(plain, frames);

    for (std::size_t at : {0, 3, 7, 45, 300}) {
        SCOPED_TRACE(at);
        fatsig_stream detoured;
        auto peaks = run(detoured, frames, 0, at);
        detoured.checkpoint();
        run(detoured, noise);  // anything may go through; it is rewound
        detoured.rewind();
        const auto rest = run(detoured, frames, at);
        peaks.insert(peaks.end(), rest.begin(), rest.end());
        ASSERT_EQ(peaks.size(), expected.size());
        for (std::size_t i = 0; i < peaks.size(); ++i)
            ASSERT_EQ(std::memcmp(&peaks[i], &expected[i], sizeof(FatPeak)), 0) << i;
    }
}

TEST(FatsigStream, ResetForgetsEverything)
{
    const auto frames = random_spectra(200, 31);
    fatsig_stream fresh;
    const auto expected = run(fresh, frames);
    fatsig_stream reused;
    run(reused, random_spectra(150, 37));
    reused.reset();
    EXPECT_EQ(reused.frame_count(), 0u);
    const auto peaks = run(reused, frames);
    ASSERT_EQ(peaks.size(), expected.size());
    for (std::size_t i = 0; i < peaks.size(); ++i)
        ASSERT_EQ(std::memcmp(&peaks[i], &expected[i], sizeof(FatPeak)), 0) << i;
}

TEST(FatsigStream, MisuseRaisesWithItsSourceLocation)
{
    fatsig_stream detector;
    try {
        detector.rewind();
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(test::is_engine_message(e.what(), "engine/src/fatsig_stream.cpp",
                                            "Can't rewind() a fatsig stream that hasn't been checkpointed. "
                                            "Must call checkpoint() before."))
            << e.what();
    }
    detector.checkpoint();
    try {
        detector.checkpoint();
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(test::is_engine_message(e.what(), "engine/src/fatsig_stream.cpp",
                                            "Can't checkpoint a fatsig stream that has already been checkpointed. "
                                            "Must call rewind() before."))
            << e.what();
    }
}

}  // namespace
}  // namespace vxt
