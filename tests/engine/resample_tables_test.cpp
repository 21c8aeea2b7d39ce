// Checks the generated constant tables: the resampler's FIR tables and the
// FFT window. Responses are computed in double precision from the float taps
// and are quoted in dB relative to the table's own DC gain (its tap sum).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "fft_window.h"
#include "resample_tables.h"

namespace {

using namespace vxt::tables;

// Amplitude of a symmetric FIR at frequency f for sample rate fs, taken about
// the centre of symmetry, so it carries a sign; callers use its magnitude.
double amplitude(std::span<const float> taps, double f, double fs)
{
    const double centre = (static_cast<double>(taps.size()) - 1.0) / 2.0;
    const double w = 2.0 * std::numbers::pi * f / fs;
    double sum = 0.0;
    for (std::size_t n = 0; n < taps.size(); ++n) {
        sum += static_cast<double>(taps[n]) * std::cos(w * (static_cast<double>(n) - centre));
    }
    return sum;
}

double tap_sum(std::span<const float> taps)
{
    double sum = 0.0;
    for (float t : taps)
        sum += t;
    return sum;
}

// Gain at f relative to the DC gain, in dB.
double relative_db(std::span<const float> taps, double f, double fs)
{
    return 20.0 * std::log10(std::abs(amplitude(taps, f, fs)) / std::abs(tap_sum(taps)));
}

// Highest and lowest relative gain over [lo, hi], sampled every step Hz (both
// ends included).
struct Extremes {
    double min_db;
    double max_db;
};

Extremes relative_extremes(std::span<const float> taps, double fs, double lo, double hi, double step)
{
    Extremes e{HUGE_VAL, -HUGE_VAL};
    const auto count = static_cast<std::size_t>(std::ceil((hi - lo) / step));
    for (std::size_t i = 0; i <= count; ++i) {
        const double f = std::min(hi, lo + step * static_cast<double>(i));
        const double g = relative_db(taps, f, fs);
        e.min_db = std::min(e.min_db, g);
        e.max_db = std::max(e.max_db, g);
    }
    return e;
}

// The prototype of the polyphase table: row r, tap k holds the coefficient for
// delay 320 * (55 - k) + (319 - r).
std::vector<float> polyphase_prototype()
{
    std::vector<float> proto(resample_p_rows * resample_p_taps);
    for (std::size_t r = 0; r < resample_p_rows; ++r) {
        for (std::size_t k = 0; k < resample_p_taps; ++k) {
            proto[resample_p_rows * (resample_p_taps - 1 - k) + (resample_p_rows - 1 - r)] = resample_p[r][k];
        }
    }
    return proto;
}

// Relative gain in dB of a long symmetric FIR at each of freqs. The cosines
// come from rotating a phasor tap by tap instead of calling cos 17920 times
// per frequency; the accumulated rounding stays far below the stop-band level.
std::vector<double> relative_db_grid(std::span<const float> taps, double fs, const std::vector<double>& freqs)
{
    const double dc = std::abs(tap_sum(taps));
    std::vector<double> out;
    out.reserve(freqs.size());
    const std::size_t half = taps.size() / 2;
    for (double f : freqs) {
        const double w = 2.0 * std::numbers::pi * f / fs;
        // Symmetric taps: A = 2 * sum_{n < half} h[n] cos(w (centre - n)).
        // Walk from the centre outwards: d = centre - n = 0.5, 1.5, ...
        const double c1 = std::cos(w), s1 = std::sin(w);
        double c = std::cos(0.5 * w), s = std::sin(0.5 * w);
        double sum = 0.0;
        for (std::size_t i = 0; i < half; ++i) {
            sum += static_cast<double>(taps[half - 1 - i]) * c;
            const double nc = c * c1 - s * s1;
            s = s * c1 + c * s1;
            c = nc;
        }
        out.push_back(20.0 * std::log10(std::abs(2.0 * sum) / dc));
    }
    return out;
}

struct Table {
    const char* name;
    std::span<const float> taps;
    double rate;
};

const Table kDecimators[] = {
    {"A", resample_a, 48000.0},
    {"D", resample_d, 16000.0},
    {"E", resample_e, 44100.0},
    {"F", resample_f, 32000.0},
};

// ---------------------------------------------------------------------------
// Shape of the decimator tables

TEST(ResampleTables, DecimatorTablesAreSymmetric)
{
    for (const Table& t : kDecimators) {
        SCOPED_TRACE(t.name);
        const std::size_t n = t.taps.size();
        for (std::size_t k = 0; k < n / 2; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(t.taps[k], t.taps[n - 1 - k]);
        }
    }
}

TEST(ResampleTables, DecimatorSums)
{
    struct Case {
        const char* name;
        std::span<const float> taps;
        double sum;
    };
    const Case cases[] = {
        {"A", resample_a, 1.014437},
        {"D", resample_d, 0.983194},
        {"E", resample_e, 1.038995},
        {"F", resample_f, 0.9664713},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(tap_sum(c.taps), c.sum, 1e-5 * c.sum);
    }
}

TEST(ResampleTables, DecimatorLeadingAndCentreCoefficients)
{
    struct Case {
        const char* name;
        std::span<const float> taps;
        float first[4];
        float centre[4];
    };
    const Case cases[] = {
        {"A",
         resample_a,
         {-0.002250621f, -0.01019695f, -0.02206022f, -0.02288736f},
         {0.1942521f, 0.2678164f, 0.2678164f, 0.1942521f}},
        {"D",
         resample_d,
         {5.898912e-05f, -0.0007213975f, -0.003016914f, -0.004760687f},
         {0.1594472f, 0.4393776f, 0.4393776f, 0.1594472f}},
        {"E",
         resample_e,
         {0.0002913463f, 0.002423564f, 0.005949168f, 0.01049262f},
         {0.1795531f, 0.2139984f, 0.2139984f, 0.1795531f}},
        {"F",
         resample_f,
         {0.0008196573f, 0.001631468f, 0.00252293f, 0.00291076f},
         {0.192997f, 0.2371237f, 0.2371237f, 0.192997f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t mid = c.taps.size() / 2;
        for (std::size_t k = 0; k < 4; ++k) {
            SCOPED_TRACE(k);
            // The quoted values carry seven significant digits.
            EXPECT_NEAR(c.taps[k], c.first[k], 5e-7 * std::abs(c.first[k]) + 1e-9);
            EXPECT_NEAR(c.taps[mid - 2 + k], c.centre[k], 5e-7 * std::abs(c.centre[k]));
        }
    }
}

// ---------------------------------------------------------------------------
// Frequency responses of the decimator tables

struct PointGain {
    const char* table;
    std::span<const float> taps;
    double rate;
    double freq;
    double db;
    double tolerance;
};

TEST(ResampleTables, DecimatorGainAtStatedFrequencies)
{
    const PointGain cases[] = {
        {"A", resample_a, 48000.0, 5400.0, -3.0, 0.3},  {"D", resample_d, 16000.0, 3800.0, -3.4, 0.3},
        {"D", resample_d, 16000.0, 4000.0, -12.5, 0.5}, {"E", resample_e, 44100.0, 4250.0, -3.0, 0.3},
        {"E", resample_e, 44100.0, 6000.0, -23.0, 0.5}, {"F", resample_f, 32000.0, 3800.0, -3.4, 0.3},
        {"F", resample_f, 32000.0, 4000.0, -11.0, 0.5},
    };
    for (const PointGain& c : cases) {
        SCOPED_TRACE(std::string(c.table) + " at " + std::to_string(c.freq) + " Hz");
        EXPECT_NEAR(relative_db(c.taps, c.freq, c.rate), c.db, c.tolerance);
    }
}

TEST(ResampleTables, DecimatorPassBands)
{
    struct Case {
        const char* name;
        std::span<const float> taps;
        double rate;
        double edge;
        double max_dev_db;
    };
    const Case cases[] = {
        {"D", resample_d, 16000.0, 3600.0, 0.3},
        {"F", resample_f, 32000.0, 3600.0, 0.6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Extremes e = relative_extremes(c.taps, c.rate, 0.0, c.edge, 5.0);
        EXPECT_GE(e.min_db, -c.max_dev_db);
        EXPECT_LE(e.max_db, c.max_dev_db);
    }
}

TEST(ResampleTables, DecimatorStopBands)
{
    struct Case {
        const char* name;
        std::span<const float> taps;
        double rate;
        double from;
        double min_atten_db;
    };
    const Case cases[] = {
        // A's own stop band: what would fold below 3.7 kHz at 16000 Hz.
        {"A", resample_a, 48000.0, 12300.0, 77.0},
        {"D", resample_d, 16000.0, 4500.0, 83.0},
        {"E", resample_e, 44100.0, 7000.0, 60.0},
        {"F", resample_f, 32000.0, 4500.0, 65.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Extremes e = relative_extremes(c.taps, c.rate, c.from, c.rate / 2.0, 1.0);
        EXPECT_LE(e.max_db, -c.min_atten_db);
    }
}

TEST(ResampleTables, FirstStageOf48kIsOnlyAGentleLowPass)
{
    // Above 8.5 kHz table A suppresses only about 16 dB; the 2:1 stage that
    // follows does the real work. A much steeper table would not be this one.
    const Extremes e = relative_extremes(resample_a, 48000.0, 8500.0, 24000.0, 1.0);
    EXPECT_NEAR(e.max_db, -16.0, 1.0);
    // The pass band is still roughly flat where the final stage passes audio.
    const Extremes pass = relative_extremes(resample_a, 48000.0, 0.0, 3600.0, 5.0);
    EXPECT_GE(pass.min_db, -0.5);
    EXPECT_LE(pass.max_db, 0.5);
}

// ---------------------------------------------------------------------------
// The polyphase table

TEST(ResamplePolyphase, RowReversedEqualsMirrorRow)
{
    for (std::size_t r = 0; r < resample_p_rows; ++r) {
        SCOPED_TRACE(r);
        for (std::size_t k = 0; k < resample_p_taps; ++k) {
            ASSERT_EQ(resample_p[r][k], resample_p[resample_p_rows - 1 - r][resample_p_taps - 1 - k]) << "tap " << k;
        }
    }
}

TEST(ResamplePolyphase, TellingRows)
{
    // Row 0 holds the phase just after an input sample (its tap 28 is the
    // prototype's centre), row 160 the phase half-way between two inputs, and
    // row 319 mirrors row 0.
    struct Case {
        std::size_t row;
        float taps[12];  // taps 0..3, 26..29, 52..55
    };
    const Case cases[] = {
        {0,
         {0.007614843f, -0.001611414f, -0.00802394f, -0.008128826f, -0.151844f, 0.2541331f, 0.706502f, 0.2520078f,
          0.003497815f, -0.008153775f, -0.008003986f, -0.0015981f}},
        {160,
         {-0.0002312549f, -0.004489211f, -0.009975356f, -0.002547739f, -0.03871759f, 0.5706323f, 0.56903f, -0.04007334f,
          -0.002588855f, -0.009973389f, -0.004467454f, -0.0002266392f}},
        {319,
         {-0.0015981f, -0.008003986f, -0.008153775f, 0.003497815f, 0.2520078f, 0.706502f, 0.2541331f, -0.151844f,
          -0.008128826f, -0.00802394f, -0.001611414f, 0.007614843f}},
    };
    const std::size_t columns[12] = {0, 1, 2, 3, 26, 27, 28, 29, 52, 53, 54, 55};
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.row));
        for (std::size_t i = 0; i < 12; ++i) {
            SCOPED_TRACE("tap " + std::to_string(columns[i]));
            EXPECT_NEAR(resample_p[c.row][columns[i]], c.taps[i], 5e-7 * std::abs(c.taps[i]));
        }
    }
}

TEST(ResamplePolyphase, RowSumsStayInStatedRange)
{
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (std::size_t r = 0; r < resample_p_rows; ++r) {
        SCOPED_TRACE(r);
        const double s = tap_sum(resample_p[r]);
        EXPECT_GE(s, 0.9715);
        EXPECT_LE(s, 0.9791);
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    // Rows are phases of one filter: their gains differ, but only slightly.
    EXPECT_GT(hi - lo, 0.0);
}

TEST(ResamplePolyphase, PrototypeIsSymmetricAndDcGainMatchesRows)
{
    const std::vector<float> proto = polyphase_prototype();
    ASSERT_EQ(proto.size(), 17920u);
    for (std::size_t i = 0; i < proto.size() / 2; ++i) {
        ASSERT_EQ(proto[i], proto[proto.size() - 1 - i]) << "delay " << i;
    }
    double rows = 0.0;
    for (std::size_t r = 0; r < resample_p_rows; ++r)
        rows += tap_sum(resample_p[r]);
    EXPECT_NEAR(tap_sum(proto), rows, 1e-9 * rows);
}

TEST(ResamplePolyphase, PrototypeResponse)
{
    constexpr double fs = 320.0 * 11025.0;  // 3528000 Hz
    const std::vector<float> proto = polyphase_prototype();

    struct Point {
        double freq;
        double db;
        double tolerance;
    };
    const Point points[] = {
        {3800.0, -2.2, 0.3},
        {4000.0, -14.0, 0.5},
        {4200.0, -43.0, 1.0},
    };
    std::vector<double> freqs;
    for (const Point& p : points)
        freqs.push_back(p.freq);
    const std::vector<double> at = relative_db_grid(proto, fs, freqs);
    for (std::size_t i = 0; i < std::size(points); ++i) {
        SCOPED_TRACE(std::to_string(points[i].freq) + " Hz");
        EXPECT_NEAR(at[i], points[i].db, points[i].tolerance);
    }

    // Pass band: within +/-0.5 dB up to 3.6 kHz.
    std::vector<double> pass;
    for (double f = 0.0; f <= 3600.0; f += 5.0)
        pass.push_back(f);
    for (double g : relative_db_grid(proto, fs, pass)) {
        EXPECT_LE(std::abs(g), 0.5);
    }

    // Stop band: at least 86 dB down from 4.41 kHz. The ripple period of a
    // 17920-tap filter at this rate is about 197 Hz; the grid is dense near the
    // band edge and still several points per ripple up to the Nyquist rate.
    std::vector<double> stop;
    for (double f = 4410.0; f < 40000.0; f += 4.0)
        stop.push_back(f);
    for (double f = 40000.0; f <= fs / 2.0; f += 37.0)
        stop.push_back(f);
    const std::vector<double> g = relative_db_grid(proto, fs, stop);
    const auto worst = std::max_element(g.begin(), g.end());
    EXPECT_LE(*worst, -86.0) << "at " << stop[static_cast<std::size_t>(worst - g.begin())] << " Hz";
}

// ---------------------------------------------------------------------------
// FFT window

TEST(FftWindow, EndAndCentreValues)
{
    EXPECT_FLOAT_EQ(fft_window[0], 9.3940025e-06f);
    EXPECT_FLOAT_EQ(fft_window[511], 0.99999768f);
    EXPECT_FLOAT_EQ(fft_window[512], 0.99999768f);
    EXPECT_EQ(fft_window[1023], fft_window[0]);
}

TEST(FftWindow, IsSymmetricAndPositive)
{
    for (std::size_t i = 0; i < fft_window_length; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fft_window[i], fft_window[fft_window_length - 1 - i]);
        EXPECT_GT(fft_window[i], 0.0f);
        EXPECT_LT(fft_window[i], 1.0f);
    }
}

TEST(FftWindow, MatchesHannInnerPointsRoundedToFloat)
{
    for (std::size_t i = 0; i < fft_window_length; ++i) {
        SCOPED_TRACE(i);
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i + 1) / 1025.0);
        EXPECT_EQ(fft_window[i], static_cast<float>(w));
    }
}

TEST(FftWindow, SumsToHalfTheLengthPlusAHalf)
{
    double sum = 0.0;
    for (float w : fft_window)
        sum += w;
    EXPECT_NEAR(sum, 512.5, 1e-4);
}

}  // namespace
