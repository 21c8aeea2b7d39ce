// The signature byte format: typed chunks inside one of two outer forms.
//
// A signature is a header followed by a list of typed chunks (fp_data
// sections). The compact form is a 32-byte envelope with a word-sum checksum
// around a "wide" chunk list (24-byte chunk headers); the sig_sample_info form
// is a 48-byte sig_sample_info record followed by a "narrow" chunk list
// (8-byte chunk headers). Every integer is little-endian and every payload is
// zero-padded to a multiple of 4 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peaks.h"

namespace vxt {

enum class FpChunkType : std::uint32_t {
    fp_data_format_header_undefined = 0x00000000,
    fp_data_list_start = 0x40000000,
    fp_search_info = 0x50000001,
    sig_sample_info = 0x50000002,
    fp_data_search_parameters = 0x50010001,
    fp_data_format_pcm_16bit_mono_8000 = 0x60011F40,
    fp_data_format_pcm_16bit_mono_11025 = 0x60012B11,
    fp_data_format_pcm_16bit_mono_16000 = 0x60013E80,
    fp_data_format_pcm_16bit_mono_32000 = 0x60017D00,
    fp_data_format_pcm_16bit_mono_44100 = 0x6001AC44,
    fp_data_format_pcm_16bit_mono_48000 = 0x6001BB80,
    fp_data_format_resampled_pcm_16bit_mono_8000 = 0x60811F40,
    fp_data_format_resampled_pcm_16bit_mono_16000 = 0x60813E80,
    fp_data_format_external_FATPEAK_8000HZ = 0x60021F40,
    fp_data_format_external_FATPEAK_16000HZ = 0x60023E80,
    fp_data_section_header_NORMALPEAK = 0x60030000,
    fp_data_format_NORMALPEAK_sp87_low = 0x60030001,
    fp_data_format_NORMALPEAK_sp87_medium = 0x60030002,
    fp_data_format_NORMALPEAK_sp87_high = 0x60030003,
    fp_data_format_NORMALPEAK_sp90_low = 0x60030004,
    fp_data_format_NORMALPEAK_sp90_medium = 0x60030005,
    fp_data_format_NORMALPEAK_sp90_high = 0x60030006,
    fp_data_format_NORMALPEAK_compact_0 = 0x60030040,
    fp_data_format_NORMALPEAK_compact_1 = 0x60030041,
    fp_data_format_NORMALPEAK_compact_2 = 0x60030042,
    fp_data_format_NORMALPEAK_compact_3 = 0x60030043,
    fp_data_format_NORMALPEAK_compact_4 = 0x60030044,
};

constexpr std::uint32_t to_u32(FpChunkType type) noexcept { return static_cast<std::uint32_t>(type); }

// 16-bit PCM at the input rate: 0x6001 followed by the rate in Hz.
constexpr std::uint32_t pcm_chunk_type(std::int32_t rate) noexcept
{
    return 0x60010000u + static_cast<std::uint32_t>(rate);
}

// Lowercase hexadecimal, zero-filled to 8 digits.
std::string hex8(std::uint32_t value);

// Every chunk type with its name in the format's vocabulary.
struct chunk_type_entry {
    FpChunkType type;
    std::string_view name;
};

#define VXT_TYPE_NAME(t) chunk_type_entry{FpChunkType::t, #t}
inline constexpr chunk_type_entry chunk_type_names[] = {
    VXT_TYPE_NAME(fp_data_format_header_undefined),
    VXT_TYPE_NAME(fp_data_list_start),
    VXT_TYPE_NAME(fp_search_info),
    VXT_TYPE_NAME(sig_sample_info),
    VXT_TYPE_NAME(fp_data_search_parameters),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_8000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_11025),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_16000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_32000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_44100),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_48000),
    VXT_TYPE_NAME(fp_data_format_resampled_pcm_16bit_mono_8000),
    VXT_TYPE_NAME(fp_data_format_resampled_pcm_16bit_mono_16000),
    VXT_TYPE_NAME(fp_data_format_external_FATPEAK_8000HZ),
    VXT_TYPE_NAME(fp_data_format_external_FATPEAK_16000HZ),
    VXT_TYPE_NAME(fp_data_section_header_NORMALPEAK),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_low),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_medium),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_high),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_low),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_medium),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_high),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_0),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_1),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_2),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_3),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_4),
};
#undef VXT_TYPE_NAME

// The format's name for a chunk type, "unknown format" for any other value.
constexpr std::string_view chunk_type_name(std::uint32_t type) noexcept
{
    for (const auto& entry : chunk_type_names) {
        if (to_u32(entry.type) == type)
            return entry.name;
    }
    return "unknown format";
}

// An in-memory chunk: its payload is padded with zeros to a multiple of 4.
struct FpChunk {
    std::uint32_t type = 0;
    std::uint32_t length = 0;           // payload bytes without the padding
    std::vector<std::uint8_t> payload;  // length rounded up to 4

    static FpChunk make(std::uint32_t type, std::span<const std::uint8_t> bytes);
};

constexpr std::uint32_t padded_length(std::uint32_t length) noexcept { return (length + 3u) & ~3u; }

// A chunk list, kept sorted by type.
using chunk_list = std::vector<FpChunk>;

// Inserts after every chunk of a lower or equal type.
void insert_chunk(chunk_list& chunks, FpChunk chunk);
void remove_chunks(chunk_list& chunks, std::uint32_t type);

// CompactPeak: 5 bytes, either (delta 0..254, amplitude u16, frequency u16)
// or an escape (255, absolute time u32). A band list is encoded in time order
// from a running time of 0; a step of 255 frames or more is written as an
// escape followed by a peak with delta 0.
inline constexpr std::size_t compact_peak_bytes = 5;
inline constexpr std::uint8_t compact_escape = 255;

std::vector<std::uint8_t> encode_compact_peaks(std::span<const BandPeak> peaks);
// Decodes length / 5 whole records; escapes set the running time and yield
// no peak.
std::vector<BandPeak> decode_compact_peaks(std::span<const std::uint8_t> bytes);

// Engine version words: "3.1.2" packs to 0x31100000 (major in bits 31..28,
// minor in 27..24, patch in 23..19).
std::uint32_t pack_version(std::string_view version_text);
// "3.1.2 ", with the trailing space.
std::string version_text(std::uint32_t packed);

// Rate codes of the sig_sample_info record: 1..6 for the six rates, 0 (and
// any undefined code) for unknown, which stands for 0 Hz.
std::uint32_t rate_code(std::int32_t rate) noexcept;
std::int32_t rate_of_code(std::uint32_t code) noexcept;

// The 48-byte header of the sig_sample_info form: twelve u32 words with bit
// fields.
struct sig_sample_info {
    static constexpr std::size_t bytes = 48;
    static constexpr std::uint32_t magic = 0xCAFE2580;
    static constexpr std::uint32_t crc_placeholder = 0xFACADE99;  // no CRC is computed
    static constexpr std::uint32_t offset_adjustment_ticks = 15;

    std::array<std::uint32_t, 12> words{};

    // All zero but the magic, the CRC placeholder, the version, the rate
    // code, the internal-rate bit and the offset adjustment.
    void initialise(std::int32_t raw_rate, std::int32_t internal_rate, std::uint32_t version);

    std::uint32_t magic_key() const noexcept { return words[0]; }
    std::uint32_t crc32() const noexcept { return words[1]; }
    std::uint32_t size() const noexcept { return words[2]; }
    std::uint32_t src_revision() const noexcept { return words[3]; }
    std::uint64_t track_id() const noexcept { return words[4] | std::uint64_t{words[5]} << 32; }
    std::uint64_t utc() const noexcept;              // 56 bits, microseconds since 1970
    std::uint32_t time_source() const noexcept;      // 3 bits
    std::uint32_t raw_rate_code() const noexcept;    // 4 bits
    std::uint32_t internal_rate_bit() const noexcept;
    std::uint64_t stream_position() const noexcept;  // 40 bits, frames
    std::uint32_t sig_length() const noexcept;       // 24 bits, frames
    std::uint64_t raw_samples() const noexcept;      // 48 bits
    bool is_stream() const noexcept;
    std::uint32_t payload_type() const noexcept;     // 2 bits
    std::uint32_t offset_adjustment() const noexcept;  // 13 bits

    void set_size(std::uint32_t v) noexcept { words[2] = v; }
    void set_src_revision(std::uint32_t v) noexcept { words[3] = v; }
    void set_utc(std::uint64_t v) noexcept;
    void set_time_source(std::uint32_t v) noexcept;
    void set_stream_position(std::uint64_t v) noexcept;
    void set_sig_length(std::uint32_t v) noexcept;
    void set_raw_samples(std::uint64_t v) noexcept;
    void set_is_stream(bool v) noexcept;
    void set_payload_type(std::uint32_t v) noexcept;

    void store(std::uint8_t* out) const noexcept;
    static sig_sample_info load(const std::uint8_t* in) noexcept;
};

// The 24-byte search record of the compact form.
struct fp_search_info {
    static constexpr std::size_t bytes = 24;
    static constexpr std::uint32_t magic = 0xDEADBEEF;

    std::uint32_t magic_cookie = magic;
    std::uint32_t sample_length = 0;  // input samples expressed at 8000 Hz
    float analysis_offset = 0.0f;     // seconds
    std::uint32_t pipeline_version = 0;
    std::uint32_t offset_adjustment = 15;  // frames
    float analysis_length = 60.0f;    // seconds

    void store(std::uint8_t* out) const noexcept;
    static fp_search_info load(const std::uint8_t* in) noexcept;
};

// Chunk lists on the wire. A chunk whose type has zero low 16 bits writes no
// bytes at all.
inline constexpr std::size_t narrow_list_header_bytes = 8;
inline constexpr std::size_t wide_list_header_bytes = 24;

std::size_t narrow_list_length(const chunk_list& chunks) noexcept;
std::size_t wide_list_length(const chunk_list& chunks) noexcept;
void write_narrow_list(const chunk_list& chunks, std::uint8_t* out) noexcept;
void write_wide_list(const chunk_list& chunks, std::uint8_t* out) noexcept;

// The compact form's 32-byte envelope.
inline constexpr std::size_t envelope_bytes = 32;
inline constexpr std::uint32_t envelope_magic = 0x789ABC05;
inline constexpr std::uint32_t envelope_length_key = 0x789ABC13;
inline constexpr std::uint32_t envelope_checksum_offset = 28;

// Writes the compact form of chunks (which must already hold their
// fp_search_info) into out, resized to fit, checksum included.
void write_compact_form(const chunk_list& chunks, std::uint32_t payload_type, std::vector<std::uint8_t>& out);
// Writes the sig_sample_info form: the record, with its size word set, then
// the narrow list.
void write_sample_info_form(sig_sample_info record, const chunk_list& chunks, std::vector<std::uint8_t>& out);

// Reading signature bytes. Nothing is read outside the given span, whatever
// the bytes claim; a problem is described in error and parsing stops there.
enum class signature_form { compact, sample_info };

struct parsed_chunk {
    std::uint32_t type;
    std::span<const std::uint8_t> payload;  // as stored: the padded length
};

struct parsed_signature {
    signature_form form = signature_form::compact;
    std::span<const std::uint8_t> header;  // the envelope or the record
    std::vector<parsed_chunk> chunks;
    bool checksum_checked = false;         // compact form: the walk got that far
    std::uint32_t stored_checksum = 0;
    std::uint32_t computed_checksum = 0;
    std::string error;                     // empty when the walk succeeded

    bool ok() const noexcept { return error.empty(); }
};

parsed_signature parse_signature(std::span<const std::uint8_t> bytes);

}  // namespace vxt
