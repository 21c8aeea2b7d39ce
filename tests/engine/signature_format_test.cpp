#include <gtest/gtest.h>

#include <random>

#include "byte_order.h"
#include "checksum.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_reader.h"
#include "engine/test_signals.h"
#include "vextune/vextuneAPI.h"

namespace vxt {
namespace {

TEST(CompactPeaks, EscapeOnlyForStepsOf255OrMore)
{
    const std::vector<BandPeak> peaks = {{254, 100, 1}, {508, 200, 2}, {763, 300, 3}, {763, 400, 4}};
    const auto bytes = encode_compact_peaks(peaks);
    // 254 and then 254 again fit a delta; 255 needs an escape.
    ASSERT_EQ(bytes.size(), 5u * 5);
    EXPECT_EQ(bytes[0], 254);
    EXPECT_EQ(bytes[5], 254);
    EXPECT_EQ(bytes[10], 255);
    EXPECT_EQ(load_le32(bytes.data() + 11), 763u);
    EXPECT_EQ(bytes[15], 0);
    EXPECT_EQ(bytes[20], 0);
    EXPECT_EQ(load_le16(bytes.data() + 16), 3);    // amplitude first
    EXPECT_EQ(load_le16(bytes.data() + 18), 300);  // then frequency
    EXPECT_EQ(decode_compact_peaks(bytes), peaks);

    const std::vector<BandPeak> late = {{255, 1, 1}};
    const auto escaped = encode_compact_peaks(late);
    ASSERT_EQ(escaped.size(), 10u);
    EXPECT_EQ(escaped[0], 255);
    EXPECT_EQ(decode_compact_peaks(escaped), late);
}

TEST(CompactPeaks, RandomListsRoundTrip)
{
    std::mt19937 rng(1);
    std::uniform_int_distribution<std::uint32_t> step(0, 600);
    std::uniform_int_distribution<int> value(1, 65535);
    for (int round = 0; round < 50; ++round) {
        std::vector<BandPeak> peaks(static_cast<std::size_t>(value(rng) % 200));
        std::uint32_t time = 0;
        for (BandPeak& p : peaks) {
            time += step(rng);
            p = {time, static_cast<std::uint16_t>(value(rng)), static_cast<std::uint16_t>(value(rng))};
        }
        ASSERT_EQ(decode_compact_peaks(encode_compact_peaks(peaks)), peaks);
    }
    // Trailing bytes short of a record are ignored.
    std::vector<std::uint8_t> seven = {3, 1, 0, 2, 0, 9, 9};
    EXPECT_EQ(decode_compact_peaks(seven), (std::vector<BandPeak>{{3, 2, 1}}));
}

TEST(Checksum, SumsLittleEndianWordsAndRefusesPartialWords)
{
    std::vector<std::uint8_t> bytes(4 * 37);
    std::mt19937 rng(2);
    std::uint32_t expected = 0;
    for (std::size_t i = 0; i < 37; ++i) {
        const std::uint32_t word = rng();
        store_le32(bytes.data() + 4 * i, word);
        expected += word;
    }
    EXPECT_EQ(checksum(bytes), expected);  // 4 groups of 8 lanes and 5 single words
    EXPECT_EQ(checksum(std::span(bytes).first(0)), 0u);
    try {
        checksum(std::span(bytes).first(6));
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(test::is_engine_message(e.what(), "engine/src/checksum.cpp", "Checksum Alignment Error"))
            << e.what();
    }
}

TEST(SignatureFormat, VersionWordsAndNames)
{
    EXPECT_EQ(pack_version("3.1.2 (4a8e984)"), 0x31100000u);
    EXPECT_EQ(version_text(0x31100000u), "3.1.2 ");
    EXPECT_EQ(pack_version("15.15.31"), 0xFFF80000u);
    EXPECT_EQ(type_name_of(0x6001AC44), "fp_data_format_pcm_16bit_mono_44100");
    EXPECT_EQ(type_name_of(0x60030042), "fp_data_format_NORMALPEAK_compact_2");
    EXPECT_EQ(type_name_of(0x12345678), "unknown format");
    EXPECT_EQ(rate_of_code(rate_code(11025)), 11025);
    EXPECT_EQ(rate_code(22050), 0u);
    EXPECT_EQ(rate_of_code(12), 0);
}

TEST(SignatureFormat, SampleInfoFieldsKeepTheirNeighbours)
{
    sig_sample_info r;
    r.initialise(44100, 8000, 0x31100000);
    EXPECT_EQ(r.words[0], 0xCAFE2580u);
    EXPECT_EQ(r.words[1], 0xFACADE99u);
    EXPECT_EQ(r.raw_rate_code(), 5u);
    EXPECT_EQ(r.internal_rate_bit(), 0u);
    EXPECT_EQ(r.offset_adjustment(), 15u);

    r.set_utc(0x00FFFFFFFFFFFFFFull + 2);  // 57 bits: only the low 56 stay
    r.set_time_source(1);
    r.set_stream_position(0xAB'1234'5678ull);
    r.set_sig_length(0xFFFFFFFF);
    r.set_raw_samples(0x1'0000'0000'0001ull);
    r.set_is_stream(true);
    r.set_payload_type(2);
    EXPECT_EQ(r.utc(), 1u);
    EXPECT_EQ(r.time_source(), 1u);
    EXPECT_EQ(r.raw_rate_code(), 5u);
    EXPECT_EQ(r.stream_position(), 0xAB'1234'5678ull);
    EXPECT_EQ(r.sig_length(), 0xFFFFFFu);
    EXPECT_EQ(r.raw_samples(), 1u);
    EXPECT_TRUE(r.is_stream());
    EXPECT_EQ(r.payload_type(), 2u);
    EXPECT_EQ(r.offset_adjustment(), 15u);

    std::uint8_t bytes[48];
    r.store(bytes);
    EXPECT_EQ(bytes[0], 0x80);  // little-endian on any host
    EXPECT_EQ(sig_sample_info::load(bytes).words, r.words);
}

TEST(SignatureFormat, ChunksArePaddedAndOrderedByType)
{
    const std::uint8_t fifteen[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const FpChunk chunk = FpChunk::make(0x60030040, fifteen);
    EXPECT_EQ(chunk.length, 15u);
    ASSERT_EQ(chunk.payload.size(), 16u);
    EXPECT_EQ(chunk.payload[15], 0);

    chunk_list chunks;
    insert_chunk(chunks, FpChunk::make(0x60030041, std::span<const std::uint8_t>{}));
    insert_chunk(chunks, FpChunk::make(0x50000001, std::span<const std::uint8_t>{}));
    insert_chunk(chunks, FpChunk::make(0x60030041, fifteen));  // after its equal
    insert_chunk(chunks, FpChunk::make(0x60030000, fifteen));  // writes nothing
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0].type, 0x50000001u);
    EXPECT_EQ(chunks[1].type, 0x60030000u);
    EXPECT_EQ(chunks[3].length, 15u);
    EXPECT_EQ(narrow_list_length(chunks), 8u + 8 + 8 + 8 + 16);
    EXPECT_EQ(wide_list_length(chunks), 24u + 24 + 24 + 24 + 16);

    std::vector<std::uint8_t> out;
    write_compact_form(chunks, 2, out);
    ASSERT_EQ(out.size(), 32u + 24 + 24 + 24 + 24 + 16);
    const auto parsed = parse_signature(out);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.chunks.size(), 3u);
    EXPECT_EQ(parsed.chunks[2].payload.size(), 16u);
    EXPECT_EQ(parsed.chunks[2].payload[14], 15);
}

TEST(SignatureFormat, EnvelopeAndChecksumOverFinishedBytes)
{
    chunk_list chunks;
    insert_chunk(chunks, FpChunk::make(0x60030040, std::vector<std::uint8_t>(10, 7)));
    std::vector<std::uint8_t> out;
    write_compact_form(chunks, 1, out);
    const std::uint32_t length = static_cast<std::uint32_t>(out.size() - 32);
    EXPECT_EQ(load_le32(out.data()), length);
    EXPECT_EQ(load_le32(out.data() + 4), 0x789ABC05u);
    EXPECT_EQ(load_le32(out.data() + 8), 0xFFFFFFFFu);
    EXPECT_EQ(load_le32(out.data() + 12), 0x30000001u);
    EXPECT_EQ(load_le32(out.data() + 16), 16u);
    EXPECT_EQ(load_le32(out.data() + 20), length);
    EXPECT_EQ(load_le32(out.data() + 24), length ^ 0x789ABC13u);
    auto zeroed = out;
    store_le32(zeroed.data() + 28, 0);
    EXPECT_EQ(load_le32(out.data() + 28), checksum(zeroed));
}

// Every way of breaking a signature is reported, and nothing is read
// outside the bytes (the sanitizer build checks the second half).
TEST(SignatureFormat, ParseRejectsDamagedSignatures)
{
    chunk_list chunks;
    insert_chunk(chunks, FpChunk::make(0x60030040, std::vector<std::uint8_t>(25, 1)));
    std::vector<std::uint8_t> compact;
    write_compact_form(chunks, 2, compact);
    sig_sample_info record;
    record.initialise(8000, 8000, 0x31100000);
    std::vector<std::uint8_t> narrow;
    write_sample_info_form(record, chunks, narrow);
    ASSERT_TRUE(parse_signature(compact).ok());
    ASSERT_TRUE(parse_signature(narrow).ok());

    for (const auto* original : {&compact, &narrow}) {
        for (std::size_t cut = 0; cut < original->size(); ++cut) {
            const std::vector<std::uint8_t> truncated(original->begin(),
                                                      original->begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_FALSE(parse_signature(truncated).ok()) << cut;
        }
        for (std::size_t at = 0; at + 4 <= original->size(); at += 4) {
            auto damaged = *original;
            store_le32(damaged.data() + at, 0xFFFFFFF0u);  // huge lengths, wrong magics
            (void)parse_signature(damaged);
        }
    }
    auto flipped = compact;
    flipped[40] ^= 1;
    const auto parsed = parse_signature(flipped);
    EXPECT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error.find("checksum"), std::string::npos);
}

}  // namespace
}  // namespace vxt
