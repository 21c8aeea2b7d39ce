// The public reader and the JSON dump: decoded views agree with what the
// engine wrote, hand-made records decode exactly, reals print as a standard
// JSON library prints them, and the size limit and reset faults stay fixed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "records.h"
#include "signature_engine.h"
#include "vextune/dump.h"
#include "vextune/signature.h"
#include "vextune/vextuneAPI.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

using json = nlohmann::ordered_json;

json json_of(std::span<const std::uint8_t> bytes, int verbosity = 4)
{
    std::ostringstream out;
    dump_signature_json(out, bytes, verbosity);
    return json::parse(out.str());
}

std::vector<std::uint8_t> front_signature(SignatureType type, std::int32_t rate, EngineFlags flags,
                                          const std::vector<std::int16_t>& pcm, double seconds = 0.0)
{
    auto engine = create_engine(type, rate, flags);
    EXPECT_EQ(feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size())), result_ok);
    std::vector<std::uint8_t> out;
    EXPECT_EQ(get_signature(engine, out, seconds), result_ok);
    return out;
}

TEST(SignatureReader, DecodesWhatTheEngineWrote)
{
    const auto pcm = test::music_like(16000, 6.0);
    struct form_case {
        EngineFlags flags;
        signature_form form;
    };
    for (const form_case c :
         {form_case{0x800, signature_form::compact}, form_case{0x1800, signature_form::sample_info}}) {
        SCOPED_TRACE(c.flags);
        SignatureEngine engine(engine_config::decode(2, c.flags | flag_capture_input | flag_capture_resampled), 16000);
        engine.feed(pcm.data(), static_cast<std::int32_t>(pcm.size()));
        std::vector<std::uint8_t> bytes;
        engine.make_signature(bytes, 0.0);

        read_options options;
        options.audio = true;
        const decoded_signature d = read_signature(bytes, options);
        ASSERT_TRUE(d.ok()) << d.error;
        ASSERT_EQ(d.form, c.form);
        EXPECT_EQ(d.envelope.has_value(), c.form == signature_form::compact);
        EXPECT_EQ(d.search_info.has_value(), c.form == signature_form::compact);
        ASSERT_EQ(d.bands.size(), 3u);
        for (std::size_t b = 0; b < 3; ++b) {
            EXPECT_EQ(d.bands[b].band, b);
            EXPECT_EQ(d.bands[b].peaks, engine.bands()[b]);
        }
        EXPECT_GT(d.band_peak_count(), 50u);
        ASSERT_EQ(d.audio.size(), 2u);
        EXPECT_EQ(d.audio[0].rate, 16000);
        EXPECT_FALSE(d.audio[0].resampled);
        EXPECT_TRUE(std::equal(d.audio[0].samples.begin(), d.audio[0].samples.end(), pcm.begin(), pcm.end()));
        EXPECT_EQ(d.audio[1].rate, 8000);
        EXPECT_TRUE(d.audio[1].resampled);
        EXPECT_TRUE(std::equal(d.audio[1].samples.begin(), d.audio[1].samples.end(), engine.resampled_capture().begin(),
                               engine.resampled_capture().end()));
        EXPECT_NEAR(d.timing.audio_seconds, 6.24, 1e-3);
        if (d.sample_info) {
            EXPECT_EQ(d.sample_info->raw_rate, 16000);
            EXPECT_EQ(d.sample_info->src_revision, SignatureEngine::version_word());
        }
    }
}

TEST(SignatureReader, FatPeaksMatchTheDetector)
{
    const auto pcm = test::music_like(8000, 4.0);
    SignatureEngine engine(engine_config::decode(4, 0x800), 8000);
    engine.feed(pcm.data(), static_cast<std::int32_t>(pcm.size()));
    std::vector<std::uint8_t> bytes;
    engine.make_signature(bytes, 0.0);
    const decoded_signature d = read_signature(bytes);
    ASSERT_TRUE(d.ok()) << d.error;
    ASSERT_EQ(d.fat_peaks.size(), 1u);
    // The request's flushed peaks are cut back afterwards, so the engine
    // holds at most as many as the signature carries.
    ASSERT_GE(d.fat_peaks[0].peaks.size(), engine.peaks().size());
    EXPECT_TRUE(std::equal(engine.peaks().begin(), engine.peaks().end(), d.fat_peaks[0].peaks.begin()));
}

TEST(SignatureJson, DecodesRecordsTheEngineNeverWrites)
{
    // Band-peak (8-byte) and fat-peak records and PCM, in both forms.
    std::vector<std::uint8_t> band(16);
    const auto put32 = [](std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
        for (std::size_t i = 0; i < 4; ++i)
            v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
    };
    put32(band, 0, 5);
    put32(band, 4, 1000u << 16 | 2048);  // amplitude 1000, 250 Hz
    put32(band, 8, 70000);
    put32(band, 12, 7u << 16 | 28672);  // amplitude 7, 3500 Hz
    std::vector<std::uint8_t> fat(12);
    put32(fat, 0, 123456);
    put32(fat, 4, 500u << 16 | 4096);  // amplitude 500, 500 Hz
    put32(fat, 8, 65535u << 16 | 42);  // curvatures 42 and 65535
    const std::vector<std::uint8_t> pcm_bytes(6, 0x11);
    std::vector<std::uint8_t> search(fp_search_info::bytes);
    fp_search_info{}.store(search.data());

    chunk_list chunks;
    insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_search_info), search));
    insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp90_high), band));
    insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_data_format_external_FATPEAK_16000HZ), fat));
    insert_chunk(chunks, FpChunk::make(pcm_chunk_type(11025), pcm_bytes));

    std::vector<std::uint8_t> compact;
    write_compact_form(chunks, 1, compact);
    sig_sample_info record;
    record.initialise(11025, 8000, 0x31100000);
    std::vector<std::uint8_t> sample_info;
    write_sample_info_form(record, chunks, sample_info);

    for (const auto* bytes : {&compact, &sample_info}) {
        const json doc = json_of(*bytes);
        ASSERT_TRUE(doc["valid"].get<bool>()) << doc.dump();
        std::map<std::string, json> by_type;
        for (const json& chunk : doc["chunks"])
            by_type[chunk["type"]] = chunk["content"];

        EXPECT_EQ(by_type.at("60030006"), json::parse(R"({"count": 2, "peaks": [
            {"time": 5, "frequency": 2048, "frequency_hz": 250.0, "amplitude": 1000},
            {"time": 70000, "frequency": 28672, "frequency_hz": 3500.0, "amplitude": 7}]})"));
        EXPECT_EQ(by_type.at("60023e80"), json::parse(R"({"count": 1, "peaks": [
            {"frame": 123456, "frequency": 4096, "frequency_hz": 500.0, "amplitude": 500,
             "time_curvature": 42, "freq_curvature": 65535}]})"));
        // Stored lengths are padded to 4 bytes, so 3 samples read as 4.
        EXPECT_EQ(by_type.at("60012b11"), json::parse(R"({"rate": 11025, "samples": 4})"));

        const decoded_signature d = read_signature(*bytes);
        ASSERT_EQ(d.bands.size(), 1u);
        EXPECT_EQ(d.bands[0].band, 2u);  // sp90_high
    }
    EXPECT_EQ(json_of(compact)["envelope"]["payload_type_name"], "Fat Sig (RCST)");
    EXPECT_EQ(json_of(sample_info)["sig_sample_info"]["raw_sample_rate"], 11025);
}

// The document is written by hand; its bytes must be those a standard JSON
// library writes for the same values, reals included, so that the layout of
// stored documents never shifts.
TEST(SignatureJson, LayoutIsThatOfAStandardWriter)
{
    const auto pcm = test::music_like(44100, 3.0);
    for (const auto& bytes : {front_signature(2, 44100, 0x800, pcm), front_signature(4, 44100, 0x1800, pcm),
                              front_signature(1, 44100, 0x30800, pcm)}) {
        for (int verbosity : {3, 4}) {
            std::ostringstream out;
            dump_signature_json(out, bytes, verbosity);
            EXPECT_EQ(out.str(), json::parse(out.str()).dump(2) + "\n");
        }
    }
    // Empty containers, an invalid signature and a null form.
    for (const std::vector<std::uint8_t>& bytes : {std::vector<std::uint8_t>(3, 0), std::vector<std::uint8_t>(64, 1)}) {
        std::ostringstream out;
        dump_signature_json(out, bytes, 4);
        EXPECT_EQ(out.str(), json::parse(out.str()).dump(2) + "\n");
    }
}

// Reals are the shortest text that reads back to the same double. For every
// frequency that is also the standard writer's text; for arbitrary floats
// (the search record's reals come from untrusted bytes) it reads back to the
// same value, where the standard writer sometimes spends a 17th digit.
TEST(SignatureJson, RealsReadBackExactly)
{
    for (std::uint32_t f = 0; f <= 65535; ++f) {
        const double hz = frequency_hz(static_cast<std::uint16_t>(f));
        std::ostringstream out;
        BandPeak peak{0, static_cast<std::uint16_t>(f), 1};
        chunk_list chunks;
        insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp87_low),
                                           std::span(reinterpret_cast<const std::uint8_t*>(&peak), sizeof peak)));
        std::vector<std::uint8_t> bytes;
        write_compact_form(chunks, 2, bytes);
        dump_signature_json(out, bytes, 4);
        const json doc = json::parse(out.str());
        const json& value = doc["chunks"][0]["content"]["peaks"][0]["frequency_hz"];
        ASSERT_EQ(value.get<double>(), hz) << f;
        ASSERT_NE(out.str().find("\"frequency_hz\": " + json(hz).dump() + ",\n"), std::string::npos) << f;
    }

    std::vector<float> values;
    std::mt19937 random(99);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t word = random();
        float v;
        std::memcpy(&v, &word, sizeof v);
        values.push_back(v);
    }
    for (float v : {0.0f, -0.0f, 1.0f, 1e-5f, 1e-4f, 1e15f, 1e16f, 123456789.0f, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity()})
        values.push_back(v);

    for (float v : values) {
        // A search record carrying v as its analysis offset.
        chunk_list chunks;
        fp_search_info info;
        info.analysis_offset = v;
        std::uint8_t record[fp_search_info::bytes];
        info.store(record);
        insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_search_info), record));
        std::vector<std::uint8_t> bytes;
        write_compact_form(chunks, 2, bytes);
        std::ostringstream out;
        dump_signature_json(out, bytes, 4);
        const json doc = json::parse(out.str());
        const json& offset = doc["chunks"][0]["content"]["analysis_offset"];
        if (std::isfinite(v))
            ASSERT_EQ(offset.get<double>(), static_cast<double>(v)) << v;
        else
            ASSERT_TRUE(offset.is_null()) << v;
    }
}

TEST(SignatureReader, RefusesWhatPassesTheSizeLimit)
{
    std::vector<std::uint8_t> bytes(max_signature_bytes + 4, 0);
    const decoded_signature d = read_signature(bytes);
    EXPECT_FALSE(d.ok());
    EXPECT_NE(d.error.find("256 MiB"), std::string::npos) << d.error;
}

// A capture that would pass the limit (or a chunk's 32-bit length) gives a
// clear error and no signature, where its length used to wrap and overflow
// the chunk's buffer.
TEST(SignatureEngine, OversizedCaptureIsRefusedBeforeAnyLengthWraps)
{
    EXPECT_THROW(FpChunk::make(0x60011F40, std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(nullptr),
                                                                         std::size_t{1} << 32)),
                 VXT_Exception);

    SignatureEngine engine(engine_config::decode(4, 0x800 | flag_capture_input), 48000);
    const std::vector<std::int16_t> block(1 << 20, 100);
    const std::size_t blocks = max_signature_bytes / 2 / block.size() + 1;
    for (std::size_t i = 0; i < blocks; ++i)
        engine.feed(block.data(), static_cast<std::int32_t>(block.size()));
    std::vector<std::uint8_t> out;
    try {
        engine.make_signature(out, 0.0);
        FAIL() << "a signature of " << out.size() << " bytes";
    } catch (const VXT_Exception& e) {
        EXPECT_NE(std::string(e.what()).find("256 MiB"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(out.empty());
}

// A request for more periods than the engine keeps raises the count of kept
// periods; a reset must forget that too, or the second signature after the
// reset covers more than a fresh engine's.
TEST(SignatureEngine, ResetForgetsTheKeptPeriods)
{
    const auto pcm = test::music_like(8000, 40.0);
    const auto run = [&](bool with_earlier_request) {
        auto engine = create_engine(2, 8000, 0x800);
        if (with_earlier_request) {
            feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size()));
            std::vector<std::uint8_t> ignored;
            get_signature(engine, ignored, 1000.0);
            reset_engine(engine);
        }
        std::vector<std::vector<std::uint8_t>> signatures(2);
        for (auto& signature : signatures) {
            for (int i = 0; i < 8; ++i)
                feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size()));
            get_signature(engine, signature, 0.0);
        }
        return signatures;
    };
    EXPECT_EQ(run(true), run(false));
}

// Signatures are dated by the caller's clock when it gives one.
TEST(EngineFront, SignaturesAreDatedByTheGivenWallClock)
{
    const auto pcm = test::music_like(8000, 3.0);
    auto engine = create_engine(2, 8000, flag_sample_info_form);
    double now_us = 1.7e15;
    ASSERT_EQ(set_wall_clock(engine, [&] { return now_us += 100000.0; }), result_ok);
    for (std::size_t at = 0; at < pcm.size(); at += 800)
        feed_samples(engine, pcm.data() + at, 800);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(get_signature(engine, bytes, 0.0), result_ok);
    const decoded_signature d = read_signature(bytes);
    ASSERT_TRUE(d.ok()) << d.error;
    // The first feed ended 100 ms of audio after the clock's first reading.
    EXPECT_NEAR(static_cast<double>(d.timing.timestamp_us), 1.7e15, 2000.0);
    engine_handle none;
    EXPECT_EQ(set_wall_clock(none, {}), result_failed);
}

TEST(EngineFront, EveryCodeHasAName)
{
    for (std::int32_t code : {0, -6, -7, -13, -30, -9999})
        EXPECT_STRNE(error_name(code), "unknown code") << code;
    EXPECT_STREQ(error_name(-1), "unknown code");
    EXPECT_STREQ(chunk_type_name(0x50000001), "fp_search_info");
    EXPECT_STREQ(chunk_type_name(0x12345678), "unknown format");
}

TEST(EngineConfig, DecodesTheFlagsWord)
{
    struct config_case {
        SignatureType type;
        EngineFlags flags;
        std::uint32_t period, peaks;
        bool timestamp;
        signature_form form;
    };
    for (const config_case c : {
             config_case{2, 0, 256, 24, true, signature_form::compact},
             config_case{2, 0x100, 128, 14, true, signature_form::compact},
             config_case{1, 0x200, 256, 16, true, signature_form::compact},
             config_case{4, 0x1B00, 128, 8, false, signature_form::sample_info},
             config_case{3, 0x800, 128, 14, false, signature_form::sample_info},  // 0x1100 added
         }) {
        SCOPED_TRACE(c.flags);
        const engine_config config = engine_config::decode(c.type, c.flags);
        EXPECT_EQ(config.period_frames, c.period);
        EXPECT_EQ(config.peaks_per_band, c.peaks);
        EXPECT_EQ(config.timestamp, c.timestamp);
        EXPECT_EQ(config.form, c.form);
    }
    EXPECT_EQ(engine_config::decode(3, 0x800).flags, 0x1900u);
    EXPECT_TRUE(engine_config::decode(2, 0x30000).capture_input);
    EXPECT_TRUE(engine_config::decode(2, 0x30000).capture_resampled);
}

}  // namespace
}  // namespace vxt
