#include <gtest/gtest.h>

#include <random>

#include "byte_order.h"
#include "signature_engine.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_reader.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

constexpr std::int32_t rates[] = {8000, 11025, 16000, 32000, 44100, 48000};

std::vector<std::uint8_t> signature_of(SignatureEngine& engine, double seconds = 0.0)
{
    std::vector<std::uint8_t> out;
    engine.make_signature(out, seconds);
    return out;
}

void feed_all(SignatureEngine& engine, const std::vector<std::int16_t>& pcm, std::size_t from = 0,
              std::size_t to = SIZE_MAX)
{
    to = std::min(to, pcm.size());
    engine.feed(pcm.data() + from, static_cast<std::int32_t>(to - from));
}

// Feeds in random pieces of 0..max_piece samples.
void feed_in_pieces(SignatureEngine& engine, const std::vector<std::int16_t>& pcm, std::uint32_t seed, int max_piece)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> piece(0, max_piece);
    for (std::size_t done = 0; done < pcm.size();) {
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(piece(rng)), pcm.size() - done);
        engine.feed(pcm.data() + done, static_cast<std::int32_t>(n));
        ASSERT_LT(engine.pending_samples().size(), 64u);
        done += n;
    }
}

TEST(SignatureEngine, HopsFollowTheResampledCount)
{
    SignatureEngine e8(2, 8000, 0x800);
    const std::vector<std::int16_t> pcm(64 * 5, 100);
    feed_all(e8, pcm);
    EXPECT_EQ(e8.frames_processed(), 5u);
    EXPECT_TRUE(e8.pending_samples().empty());

    SignatureEngine e16(2, 16000, 0x800);
    feed_all(e16, pcm, 0, 126);
    EXPECT_EQ(e16.frames_processed(), 0u);
    EXPECT_EQ(e16.pending_samples().size(), 63u);
    feed_all(e16, pcm, 126, 127);
    EXPECT_EQ(e16.frames_processed(), 1u);

    SignatureEngine e44(2, 44100, 0x800);
    const std::vector<std::int16_t> chunk(353, 100);
    feed_all(e44, chunk);
    EXPECT_EQ(e44.frames_processed(), 1u);
    EXPECT_EQ(e44.pending_samples().size(), 1u);
    EXPECT_EQ(e44.total_input(), 353u);
}

// Whatever the split, the engine ends in the same state: the same hops have
// run and the same samples wait. Whole-buffer feeding can otherwise stop
// with a full hop waiting where sample-by-sample feeding would have run it.
TEST(SignatureEngine, SignaturesDoNotDependOnHowTheAudioIsSplit)
{
    for (std::int32_t rate : rates) {
        for (SignatureType type : {1, 2, 3, 4}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, type " << type);
            const auto pcm = test::music_like(rate, 5.5, static_cast<std::uint32_t>(rate + type));
            const EngineFlags flags = 0x800 | (type == 3 ? 0x1100 : 0);
            SignatureEngine whole(type, rate, flags);
            feed_all(whole, pcm);
            const auto expected = signature_of(whole);
            EXPECT_LT(whole.pending_samples().size(), 64u);
            for (int max_piece : {1, 7, 4096}) {
                SignatureEngine split(type, rate, flags);
                feed_in_pieces(split, pcm, static_cast<std::uint32_t>(max_piece), max_piece);
                ASSERT_EQ(signature_of(split), expected) << "pieces up to " << max_piece;
            }
        }
    }
}

// A whole hop never waits past the end of a feed: at 44.1 kHz a chunk can
// bring 65 samples to 63 waiting, and both hops must run then, or a
// signature taken now would miss a frame that other splits include.
TEST(SignatureEngine, NoWholeHopWaitsAfterAFeed)
{
    const auto pcm = test::music_like(44100, 0.2);
    for (std::size_t first = 0; first < 800; ++first) {
        SignatureEngine engine(2, 44100, 0x800);
        feed_all(engine, pcm, 0, first);
        feed_all(engine, pcm, first, first + 353 * 6);
        ASSERT_LT(engine.pending_samples().size(), 64u) << "after " << first << " then 6 chunks";
    }
}

TEST(SignatureEngine, RequestsLeaveNoTrace)
{
    const auto pcm = test::music_like(16000, 9.0);
    for (SignatureType type : {1, 2, 4}) {
        SCOPED_TRACE(type);
        SignatureEngine plain(type, 16000, 0x800);
        feed_all(plain, pcm);
        SignatureEngine asked(type, 16000, 0x800);
        std::size_t done = 0;
        for (std::size_t stop : {3000, 40000, 40001, 70000, 100000}) {
            feed_all(asked, pcm, done, stop);
            signature_of(asked);
            signature_of(asked, 2.0);
            done = stop;
        }
        feed_all(asked, pcm, done);
        EXPECT_EQ(signature_of(asked), signature_of(plain));
    }
}

// Type 3 hands out increments: each request carries the periods completed
// since the last one, and together they hold what one request would.
TEST(SignatureEngine, IncrementalSignaturesAddUp)
{
    const auto pcm = test::music_like(8000, 12.0);
    SignatureEngine once(3, 8000, 0x1900);
    feed_all(once, pcm);
    const auto once_bytes = signature_of(once);
    const auto all = parse_signature(once_bytes);
    ASSERT_TRUE(all.ok());

    SignatureEngine often(3, 8000, 0x1900);
    std::vector<BandPeak> joined;
    std::size_t done = 0;
    for (std::size_t stop : {20000, 50000, 96000}) {
        feed_all(often, pcm, done, stop);
        done = stop;
        const auto bytes = signature_of(often);
        const auto part = parse_signature(bytes);
        ASSERT_TRUE(part.ok());
        const auto header = sig_sample_info::load(part.header.data());
        EXPECT_TRUE(header.is_stream());
        for (const auto& chunk : part.chunks) {
            if (chunk.type != 0x60030040)
                continue;
            for (BandPeak p : decode_compact_peaks(chunk.payload)) {
                p.time += static_cast<std::uint32_t>(header.stream_position());
                joined.push_back(p);
            }
        }
    }
    std::vector<BandPeak> whole;
    for (const auto& chunk : all.chunks) {
        if (chunk.type == 0x60030040)
            whole = decode_compact_peaks(chunk.payload);
    }
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(joined, whole);
}

TEST(SignatureEngine, WrittenSignaturesDecodeToTheBandLists)
{
    const auto pcm = test::music_like(32000, 9.0);
    for (SignatureType type : {1, 2, 3}) {
        for (EngineFlags form : {0x800u, 0x1800u}) {
            for (EngineFlags config : {0x000u, 0x100u, 0x200u, 0x300u}) {
                SCOPED_TRACE(testing::Message() << "type " << type << ", flags " << std::hex << (form | config));
                SignatureEngine engine(type, 32000, form | config | (type == 3 ? 0x1100 : 0));
                feed_all(engine, pcm);
                const auto bytes = signature_of(engine, type == 2 ? 3.0 : 0.0);
                const auto parsed = parse_signature(bytes);
                ASSERT_TRUE(parsed.ok()) << parsed.error;
                std::size_t bands_seen = 0;
                for (const auto& chunk : parsed.chunks) {
                    if (chunk.type < 0x60030040 || chunk.type > 0x60030042)
                        continue;
                    const auto band = chunk.type - 0x60030040;
                    EXPECT_EQ(decode_compact_peaks(chunk.payload), engine.bands()[band]) << band;
                    ++bands_seen;
                }
                EXPECT_EQ(bands_seen, 3u);
                EXPECT_FALSE(engine.bands()[1].empty());
            }
        }
    }
}

TEST(SignatureEngine, ResetMatchesAFreshEngine)
{
    const auto pcm = test::music_like(44100, 4.0);
    for (SignatureType type : {1, 2, 3, 4}) {
        SCOPED_TRACE(type);
        const EngineFlags flags = 0x30800 | (type == 3 ? 0x1100 : 0);
        SignatureEngine fresh(type, 44100, flags);
        feed_all(fresh, pcm);
        SignatureEngine reused(type, 44100, flags);
        feed_all(reused, test::music_like(44100, 3.0, 99));
        signature_of(reused);
        reused.reset();
        feed_all(reused, pcm);
        EXPECT_EQ(signature_of(reused), signature_of(fresh));
    }
}

TEST(SignatureEngine, EmptySignatures)
{
    SignatureEngine compact(2, 8000, 0x800);
    const auto bytes = signature_of(compact);
    ASSERT_EQ(bytes.size(), 176u);
    const auto parsed = parse_signature(bytes);
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed.chunks.size(), 4u);
    EXPECT_EQ(parsed.chunks[0].type, 0x50000001u);  // the search record first
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(parsed.chunks[i].type, 0x60030040u + i - 1);
        EXPECT_TRUE(parsed.chunks[i].payload.empty());
    }

    SignatureEngine narrow(2, 8000, 0x1800);
    const auto record_form = signature_of(narrow);
    ASSERT_EQ(record_form.size(), 80u);
    EXPECT_EQ(load_le32(record_form.data() + 8), 32u);
    EXPECT_EQ(load_le32(record_form.data() + 4), 0xFACADE99u);

    SignatureEngine fat(4, 8000, 0x800);
    const std::vector<std::int16_t> silence(8000, 0);
    feed_all(fat, silence);
    const auto fat_bytes = signature_of(fat);
    const auto fat_parsed = parse_signature(fat_bytes);
    ASSERT_TRUE(fat_parsed.ok());
    ASSERT_EQ(fat_parsed.chunks.size(), 2u);
    EXPECT_EQ(fat_parsed.chunks[1].type, 0x60021F40u);
    EXPECT_TRUE(fat_parsed.chunks[1].payload.empty());
}

TEST(SignatureEngine, HeaderArithmetic)
{
    // 11025 Hz: 137 s of audio so that a 2.048 s request starts past frame 0.
    const std::int32_t rate = 11025;
    const auto pcm = test::music_like(rate, 37.0);
    SignatureEngine engine(2, rate, 0x1800);
    feed_all(engine, pcm);
    const auto bytes = signature_of(engine, 4.0);  // N = ceil(4000 * 0.125 / 256) = 2
    const auto record = sig_sample_info::load(bytes.data());
    const std::uint64_t s = record.stream_position();
    EXPECT_EQ(s, 256u * (engine.selector().newest_index() - 2));
    const std::uint64_t expected = pcm.size() - static_cast<std::uint64_t>(static_cast<double>(s) * 0.008 * rate) +
                                   static_cast<std::uint64_t>(rate * 0.24);
    EXPECT_EQ(record.raw_samples(), expected);
    EXPECT_EQ(record.sig_length(), (0 - s) & 0xFFFFFF);  // types 1 and 2: -S mod 2^24
    EXPECT_EQ(record.utc(), 0u);
    EXPECT_EQ(record.time_source(), 0u);
    EXPECT_EQ(record.payload_type(), 2u);
    EXPECT_EQ(record.src_revision(), 0x31100000u);

    // The compact form of the same request: sample_length = raw / rate * 8000.
    SignatureEngine compact(2, rate, 0x800);
    feed_all(compact, pcm);
    const auto compact_bytes = signature_of(compact, 4.0);
    const auto parsed = parse_signature(compact_bytes);
    ASSERT_TRUE(parsed.ok());
    const auto info = fp_search_info::load(parsed.chunks[0].payload.data());
    EXPECT_EQ(info.sample_length, static_cast<std::uint32_t>(static_cast<double>(expected) / rate * 8000.0));
    EXPECT_EQ(info.pipeline_version, 0x31100000u);
    EXPECT_EQ(info.offset_adjustment, 15u);
    EXPECT_EQ(info.analysis_length, 60.0f);
}

TEST(SignatureEngine, RequestedSecondsChooseThePeriods)
{
    const auto pcm = test::music_like(8000, 12.0);
    SignatureEngine engine(2, 8000, 0x1800);
    feed_all(engine, pcm);
    const auto start_for = [&](double seconds) {
        return sig_sample_info::load(signature_of(engine, seconds).data()).stream_position();
    };
    const std::uint64_t newest = engine.selector().newest_index();
    EXPECT_EQ(start_for(0.0), 0u);
    EXPECT_EQ(start_for(2.048), 256u * (newest - 1));  // N = 1
    EXPECT_EQ(start_for(2.049), 256u * (newest - 2));  // N = 2
}

TEST(SignatureEngine, ClockFitDatesTheFirstSample)
{
    // Audio arrives in real time from a fake wall clock, in 100 ms pieces,
    // the first sample having begun at t0: frame f began at t0 + 8 ms * f.
    const double t0 = 1.7e15;
    double now = t0;
    SignatureEngine engine(2, 16000, 0x1000);
    engine.set_clock([&] { return now; });
    const auto pcm = test::music_like(16000, 8.0);
    for (std::size_t done = 0; done < pcm.size(); done += 1600) {
        now += 100000.0;  // the piece has just been captured
        feed_all(engine, pcm, done, done + 1600);
    }
    const auto record = sig_sample_info::load(signature_of(engine, 2.0).data());
    EXPECT_EQ(record.time_source(), 1u);
    ASSERT_GT(record.stream_position(), 0u);
    const double expected = t0 + 8000.0 * static_cast<double>(record.stream_position());
    EXPECT_NEAR(static_cast<double>(record.utc()), expected, 1000.0);
}

// A backend that fails on request, to break a signature halfway.
class failing_fft : public FFT_implementation {
public:
    explicit failing_fft(bool& fail) : fail_(fail), inner_(make_fft_implementation()) {}
    void compute(const float* input, float* output) override
    {
        if (fail_)
            throw std::runtime_error("transform failed");
        inner_->compute(input, output);
    }

private:
    bool& fail_;
    std::unique_ptr<FFT_implementation> inner_;
};

TEST(SignatureEngine, AFailedRequestLeavesNoStageCheckpointed)
{
    bool fail = false;
    const auto pcm = test::music_like(8000, 3.0);
    SignatureEngine engine(2, 8000, 0x800);
    engine.set_fft_backend(std::make_unique<failing_fft>(fail));
    feed_all(engine, pcm, 0, 12000);
    fail = true;
    std::vector<std::uint8_t> out;
    EXPECT_THROW(engine.make_signature(out, 0.0), std::runtime_error);
    fail = false;
    feed_all(engine, pcm, 12000);

    SignatureEngine plain(2, 8000, 0x800);
    feed_all(plain, pcm);
    EXPECT_EQ(signature_of(engine), signature_of(plain));
}

TEST(SignatureEngine, CapturesTravelWithTheSignature)
{
    const auto pcm = test::music_like(44100, 1.0);
    SignatureEngine engine(2, 44100, 0x10800);
    feed_all(engine, pcm);
    const auto bytes = signature_of(engine);
    const auto parsed = parse_signature(bytes);
    ASSERT_TRUE(parsed.ok());
    // Audio chunks sort between the search record and the peak chunks.
    ASSERT_EQ(parsed.chunks.size(), 5u);
    const auto& last = parsed.chunks[1];
    ASSERT_EQ(last.type, 0x6001AC44u);
    ASSERT_EQ(last.payload.size(), 2 * pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i)
        ASSERT_EQ(static_cast<std::int16_t>(load_le16(last.payload.data() + 2 * i)), pcm[i]);
}

TEST(SignatureEngine, CapturesHoldEverySampleOnce)
{
    const auto in = test::music_like(44100, 0.5);
    SignatureEngine engine(2, 44100, 0x30800);
    feed_in_pieces(engine, in, 5, 500);
    // The engine holds back fewer than 64 resampled samples between feeds;
    // they must be captured once, as they come out of the resampler.
    resample_stream reference(44100, 8000);
    std::vector<float> all;
    reference.convert(in.data(), static_cast<std::int32_t>(in.size()), all);

    EXPECT_TRUE(std::equal(in.begin(), in.end(), engine.input_capture().begin(), engine.input_capture().end()));
    ASSERT_EQ(engine.resampled_capture().size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(engine.resampled_capture()[i], static_cast<std::int16_t>(static_cast<std::int32_t>(all[i]))) << i;

    const auto parsed = parse_signature(signature_of(engine));
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed.chunks[1].type, 0x6001AC44u);
    EXPECT_EQ(parsed.chunks[1].payload.size(), 2 * in.size());
    EXPECT_EQ(parsed.chunks.back().type, 0x60811F40u);

    engine.reset();
    EXPECT_TRUE(engine.input_capture().empty());
    EXPECT_TRUE(engine.resampled_capture().empty());
}

TEST(SignatureEngine, VersionWord)
{
    EXPECT_EQ(SignatureEngine::version_word(), 0x31100000u);
}

}  // namespace
}  // namespace vxt
