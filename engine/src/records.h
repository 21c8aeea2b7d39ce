// The two fixed records of the signature format and the engine version word.
//
// sig_sample_info (48 bytes, twelve u32 words with bit fields) heads the
// sig_sample_info form and carries the signature's timing; fp_search_info (24
// bytes) is a chunk of the compact form. Both are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vextune/peaks.h"

namespace vxt {

struct sig_sample_info {
    static constexpr std::size_t bytes = 48;
    static constexpr std::uint32_t magic = 0xCAFE2580;
    static constexpr std::uint32_t crc_placeholder = 0xFACADE99;  // no CRC is computed

    std::array<std::uint32_t, 12> words{};

    // All zero but the magic, the CRC placeholder, the version, the rate
    // code, the internal-rate bit and the offset adjustment.
    void initialise(std::int32_t raw_rate, std::int32_t internal_rate, std::uint32_t version);

    std::uint32_t magic_key() const noexcept { return words[0]; }
    std::uint32_t crc32() const noexcept { return words[1]; }
    std::uint32_t size() const noexcept { return words[2]; }
    std::uint32_t src_revision() const noexcept { return words[3]; }
    std::uint64_t track_id() const noexcept { return words[4] | std::uint64_t{words[5]} << 32; }
    std::uint64_t utc() const noexcept;                // 56 bits, microseconds since 1970
    std::uint32_t time_source() const noexcept;        // 3 bits
    std::uint32_t raw_rate_code() const noexcept;      // 4 bits
    std::uint32_t internal_rate_bit() const noexcept;  // 0: 8000 Hz, 1: 16000 Hz
    std::uint64_t stream_position() const noexcept;    // 40 bits, frames
    std::uint32_t sig_length() const noexcept;         // 24 bits, frames
    std::uint64_t raw_samples() const noexcept;        // 48 bits
    bool is_stream() const noexcept;
    std::uint32_t payload_type() const noexcept;       // 2 bits
    std::uint32_t offset_adjustment() const noexcept;  // 13 bits, frames

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

struct fp_search_info {
    static constexpr std::size_t bytes = 24;
    static constexpr std::uint32_t magic = 0xDEADBEEF;

    std::uint32_t magic_cookie = magic;
    std::uint32_t sample_length = 0;  // input samples expressed at 8000 Hz
    float analysis_offset = 0.0f;     // seconds
    std::uint32_t pipeline_version = 0;
    std::uint32_t offset_adjustment = offset_adjustment_frames;
    float analysis_length = 60.0f;  // seconds

    void store(std::uint8_t* out) const noexcept;
    static fp_search_info load(const std::uint8_t* in) noexcept;
};

// Checks of a record's payload, with the codes of vextune/signature.h: 0
// valid, 1 bad magic, 2 sig_sample_info not 48 bytes, 4 missing, 6
// fp_search_info not 24 bytes.
int check_sample_info(std::span<const std::uint8_t> payload) noexcept;
int check_search_info(std::span<const std::uint8_t> payload) noexcept;
// Any chunk: the record checks for the two records, 4 for an unknown type,
// 0 otherwise.
int check_chunk(std::uint32_t type, std::span<const std::uint8_t> payload) noexcept;

// Engine version words: "3.1.2" packs to 0x31100000 (major in bits 31..28,
// minor in 27..24, patch in 23..19). Anything after the first space of the
// text is ignored.
std::uint32_t pack_version(std::string_view version_text);
// "3.1.2 ", with the trailing space.
std::string version_text(std::uint32_t packed);

}  // namespace vxt
