#include <gtest/gtest.h>

#include <random>

#include "resample_stream.h"
#include "resample_tables.h"
#include "vextune/error.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

constexpr std::int32_t rates[] = {8000, 11025, 16000, 32000, 44100, 48000};

// The converters written the slow, obvious way: one output at a time over
// doubled histories, each sum in increasing tap order from 0. The fast
// resampler must agree with it bit for bit.
class reference_resampler {
public:
    explicit reference_resampler(std::int32_t rate) : rate_(rate) {}

    std::vector<float> convert(const std::vector<std::int16_t>& in)
    {
        std::vector<float> out;
        for (std::int16_t s : in)
            push(static_cast<float>(s), out);
        return out;
    }

private:
    struct history {
        std::vector<float> values;
        std::uint32_t position = 0;
        explicit history(std::size_t h) : values(2 * h) {}
        void store(float x)
        {
            const std::size_t h = values.size() / 2;
            values[position % h] = x;
            values[position % h + h] = x;
        }
        float dot(const float* table, std::size_t taps) const
        {
            const std::size_t h = values.size() / 2;
            const std::size_t start = (position - (taps - 1)) % h;
            float y = 0;
            for (std::size_t k = 0; k < taps; ++k)
                y += table[k] * values[start + k];
            return y;
        }
    };

    void decimate(history& h, const float* table, std::size_t taps, std::uint32_t m, float x, std::vector<float>& out,
                  bool to_polyphase)
    {
        h.store(x);
        bool emit;
        if (m == 3) {
            emit = phase_ == 0;
            phase_ = (phase_ + 1) % 3;
        } else {
            emit = h.position % m == 0;
        }
        if (emit) {
            const float y = h.dot(table, taps);
            if (to_polyphase)
                polyphase(y, out);
            else if (rate_ == 48000 && &h == &first_)
                decimate(main_, tables::resample_d, 64, 2, y, out, false);
            else
                out.push_back(y);
        }
        ++h.position;
    }

    void polyphase(float x, std::vector<float>& out)
    {
        main_.store(x);
        while (d_ < 320) {
            out.push_back(main_.dot(tables::resample_p[319 - d_], 56));
            d_ += 441;
        }
        d_ -= 320;
        ++main_.position;
    }

    void push(float x, std::vector<float>& out)
    {
        switch (rate_) {
        case 8000: out.push_back(x); break;
        case 11025: polyphase(x, out); break;
        case 16000: decimate(main_, tables::resample_d, 64, 2, x, out, false); break;
        case 32000: decimate(main_, tables::resample_f, 96, 4, x, out, false); break;
        case 44100: decimate(first_, tables::resample_e, 32, 4, x, out, true); break;
        case 48000: decimate(first_, tables::resample_a, 16, 3, x, out, false); break;
        }
    }

    std::int32_t rate_;
    history first_{64};
    history main_{256};
    std::uint32_t phase_ = 0;
    std::uint32_t d_ = 0;
};

std::vector<float> convert_in_pieces(resample_stream& r, const std::vector<std::int16_t>& in, std::mt19937& rng,
                                     int max_piece)
{
    std::uniform_int_distribution<int> piece(0, max_piece);
    std::vector<float> out;
    for (std::size_t done = 0; done < in.size();) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(piece(rng)), in.size() - done);
        r.convert(in.data() + done, static_cast<std::int32_t>(n), out);
        done += n;
    }
    return out;
}

TEST(ResampleStream, AgreesBitForBitWithTheReferenceHoweverSplit)
{
    for (bool wide : {true, false}) {
        const bool avx = resample_stream::use_wide_vectors(wide);
        for (std::int32_t rate : rates) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, AVX " << avx);
            const auto in = test::music_like(rate, 1.3, static_cast<std::uint32_t>(rate));
            const auto expected = reference_resampler(rate).convert(in);
            std::mt19937 rng(static_cast<std::uint32_t>(rate));
            for (int max_piece : {1, 7, 353, 5000}) {
                resample_stream r(rate, 8000);
                const auto out = convert_in_pieces(r, in, rng, max_piece);
                ASSERT_EQ(out, expected) << "pieces up to " << max_piece;
            }
            // About 8000 outputs per second of input.
            EXPECT_NEAR(static_cast<double>(expected.size()), in.size() * 8000.0 / rate, 2.0);
        }
    }
    resample_stream::use_wide_vectors(true);
}

// The polyphase stage's batches start wherever a call leaves the 441-input
// cycle, and only some lanes of a batch emit. Every start position of the
// cycle, followed by calls of the engine's chunk length, must give the
// reference's outputs, with and without AVX.
TEST(ResampleStream, PolyphaseAgreesFromEveryPlaceInTheCycle)
{
    struct polyphase_case {
        std::int32_t rate;
        std::size_t first_call_step;   // first-call lengths 0, step, 2 * step, ...
        std::size_t first_call_limit;  // ... below this: one whole cycle at this rate
        std::size_t later_call;
    };
    const polyphase_case cases[] = {
        {11025, 1, 441, 89},    // every cycle position
        {11025, 1, 441, 32},    // calls of exactly one batch
        {44100, 4, 1764, 353},  // every cycle position of the second stage
        {44100, 5, 1764, 353},  // and every first-stage phase with them
    };
    for (bool wide : {true, false}) {
        const bool avx = resample_stream::use_wide_vectors(wide);
        for (const polyphase_case& c : cases) {
            const auto in = test::music_like(c.rate, 0.06 + static_cast<double>(c.first_call_limit) / c.rate, 11);
            const auto expected = reference_resampler(c.rate).convert(in);
            for (std::size_t first = 0; first < c.first_call_limit; first += c.first_call_step) {
                resample_stream r(c.rate, 8000);
                std::vector<float> out;
                r.convert(in.data(), static_cast<std::int32_t>(first), out);
                for (std::size_t done = first; done < in.size(); done += c.later_call) {
                    const auto n = std::min(c.later_call, in.size() - done);
                    r.convert(in.data() + done, static_cast<std::int32_t>(n), out);
                }
                ASSERT_EQ(out, expected) << c.rate << " Hz, AVX " << avx << ", first call of " << first << ", then "
                                         << c.later_call;
            }
        }
    }
    resample_stream::use_wide_vectors(true);
}

TEST(ResampleStream, ChunkLengthsAndOutputCounts)
{
    const std::pair<std::int32_t, std::uint32_t> chunks[] = {{8000, 64},   {11025, 89},  {16000, 128},
                                                             {32000, 256}, {44100, 353}, {48000, 384}};
    for (auto [rate, chunk] : chunks)
        EXPECT_EQ(resample_stream(rate, 8000).chunk_length(), chunk) << rate;

    const auto count_outputs = [](std::int32_t rate, std::size_t n) {
        resample_stream r(rate, 8000);
        const std::vector<std::int16_t> in(n, 100);
        std::vector<float> out;
        r.convert(in.data(), static_cast<std::int32_t>(n), out);
        return out.size();
    };
    EXPECT_EQ(count_outputs(11025, 441), 320u);
    EXPECT_EQ(count_outputs(44100, 353), 65u);
    EXPECT_EQ(count_outputs(44100, 352), 64u);
    EXPECT_EQ(count_outputs(48000, 384), 64u);
    EXPECT_EQ(count_outputs(16000, 126), 63u);
}

TEST(ResampleStream, FirstOutputsUseTheExpectedTaps)
{
    std::vector<float> out;
    const std::int16_t in[4] = {1000, -2000, 3000, 4};

    resample_stream copy(8000, 8000);
    copy.convert(in, 4, out);
    EXPECT_EQ(out, (std::vector<float>{1000, -2000, 3000, 4}));

    // 16000 Hz: inputs 0 and 2 produce; the first meets only the last tap.
    out.clear();
    resample_stream half(16000, 8000);
    half.convert(in, 4, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], tables::resample_d[63] * 1000.0f);

    // 11025 Hz: rows 319, 198 and 77 for inputs 0, 1 and 2; input 3 gives nothing.
    out.clear();
    resample_stream poly(11025, 8000);
    poly.convert(in, 4, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], tables::resample_p[319][55] * 1000.0f);
    EXPECT_EQ(out[1], 0.0f + tables::resample_p[198][54] * 1000.0f + tables::resample_p[198][55] * -2000.0f);
}

TEST(ResampleStream, ResetForgetsEverything)
{
    const auto in = test::music_like(44100, 0.2);
    resample_stream r(44100, 8000);
    std::vector<float> first;
    r.convert(in.data(), static_cast<std::int32_t>(in.size()), first);
    r.reset();
    std::vector<float> second;
    r.convert(in.data(), static_cast<std::int32_t>(in.size()), second);
    EXPECT_EQ(first, second);
}

TEST(ResampleStream, RejectsRatesWithoutAConverter)
{
    for (std::int32_t rate : {22050, 0, -8000}) {
        try {
            resample_stream r(rate, 8000);
            FAIL() << rate;
        } catch (const VXT_Exception& e) {
            EXPECT_EQ(e.code(), -6);
            EXPECT_TRUE(std::string(e.what()).ends_with("): Invalid sample rate"));
        }
    }
}

}  // namespace
}  // namespace vxt
