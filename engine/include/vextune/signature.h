// Reading signatures: validation and decoding of signature bytes of either
// form, whatever their origin.
//
// Nothing is read outside the given bytes, whatever they claim. A signature
// that fails a check is decoded as far as the check allows, and the problem
// is described in decoded_signature::error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vextune/config.h"
#include "vextune/export.h"
#include "vextune/peaks.h"

namespace vxt {

// Results of checking a record or a chunk, as the dump's printers return
// them.
inline constexpr int check_valid = 0;
inline constexpr int check_bad_magic = 1;
inline constexpr int check_bad_sample_info_length = 2;  // sig_sample_info not 48 bytes
inline constexpr int check_missing = 4;                 // section missing, or unknown chunk type
inline constexpr int check_bad_search_info_length = 6;  // fp_search_info not 24 bytes

// The compact form's 32-byte envelope.
struct signature_envelope {
    std::uint32_t length = 0;  // bytes of chunk list after the envelope
    std::uint32_t magic = 0;
    std::uint32_t payload_type = 0;  // low 2 bits: 0 wave, 1 fat peaks, 2 band peaks
    std::uint32_t stored_checksum = 0;
    std::uint32_t computed_checksum = 0;
    bool checksum_checked = false;  // the bytes got far enough to check it

    bool checksum_ok() const noexcept { return checksum_checked && stored_checksum == computed_checksum; }
};

// The 48-byte record that heads the sig_sample_info form.
struct signature_sample_info {
    std::uint32_t magic_key = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t size = 0;          // bytes of chunk list after the record
    std::uint32_t src_revision = 0;  // packed engine version
    std::uint64_t track_id = 0;
    std::uint64_t utc_us = 0;       // capture time, microseconds since 1970 UTC; 0 without a clock
    std::uint32_t time_source = 0;  // 0 none, 1 system clock
    std::uint32_t raw_rate_code = 0;
    std::int32_t raw_rate = 0;           // Hz; 0 for an unknown code
    std::uint32_t internal_rate = 8000;  // Hz
    std::uint64_t raw_samples = 0;       // input samples covered, plus 0.24 s
    bool is_stream = false;
    std::uint64_t stream_position = 0;  // start frame
    std::uint32_t sig_length = 0;       // frames
    std::uint32_t payload_type = 0;
    std::uint32_t offset_adjustment = 0;  // frames
};

// The compact form's 24-byte search record.
struct signature_search_info {
    std::uint32_t magic_cookie = 0;
    std::uint32_t sample_length = 0;      // input samples expressed at 8000 Hz
    float analysis_offset = 0.0f;         // seconds
    std::uint32_t pipeline_version = 0;   // packed engine version
    std::uint32_t offset_adjustment = 0;  // frames
    float analysis_length = 0.0f;         // seconds
};

// One chunk as stored: its type and its payload, padded to a multiple of 4,
// viewing the bytes given to read_signature.
struct signature_chunk {
    std::uint32_t type = 0;
    std::span<const std::uint8_t> payload;
};

// The band-selected peaks of one band, time-ordered.
struct band_list {
    std::size_t chunk = 0;  // index into decoded_signature::chunks
    std::uint32_t band = 0;
    std::vector<BandPeak> peaks;
};

struct fat_peak_list {
    std::size_t chunk = 0;
    std::vector<FatPeak> peaks;  // in detector order
};

// Audio attached to a signature: the input at its own rate, or the audio
// resampled to 8000 Hz.
struct audio_capture {
    std::size_t chunk = 0;
    std::int32_t rate = 0;  // Hz
    bool resampled = false;
    std::size_t sample_count = 0;       // from the stored (padded) length
    std::vector<std::int16_t> samples;  // empty unless read_options::audio
};

// When and how much: taken from the sig_sample_info record, or in the
// compact form from the search record (which has no start or clock).
struct signature_timing {
    std::uint64_t start_frame = 0;    // 8 ms frames since the engine's start or reset
    std::uint32_t length_frames = 0;  // frames covered, for streams
    std::uint64_t timestamp_us = 0;   // capture time of the start frame, microseconds since 1970 UTC; 0 unknown
    double audio_seconds = 0.0;       // input covered, plus the 0.24 s the engine adds
};

struct read_options {
    bool peaks = true;   // decode band lists and fat peaks (their chunks are always listed)
    bool audio = false;  // copy out captured samples (their counts are always given)
};

struct VXT_API decoded_signature {
    std::optional<signature_form> form;                // none when neither form is recognised
    std::size_t size = 0;                              // bytes in all
    std::optional<signature_envelope> envelope;        // compact form
    std::optional<signature_sample_info> sample_info;  // sig_sample_info form
    std::optional<signature_search_info> search_info;  // the fp_search_info chunk, if any
    signature_timing timing;
    std::vector<signature_chunk> chunks;  // in stored order
    std::vector<band_list> bands;
    std::vector<fat_peak_list> fat_peaks;
    std::vector<audio_capture> audio;
    std::string error;  // the first problem found; empty for a valid signature

    bool ok() const noexcept { return error.empty(); }
    // Peaks in all band lists, or in all fat-peak lists.
    std::size_t band_peak_count() const noexcept;
    std::size_t fat_peak_count() const noexcept;
};

// Validates and decodes bytes of either form. Never throws but for memory
// exhaustion. Bytes beyond max_signature_bytes are refused unread.
VXT_API decoded_signature read_signature(std::span<const std::uint8_t> bytes, const read_options& options = {});

// The format's name of a chunk type ("fp_search_info", ...), or "unknown
// format"; static text.
VXT_API const char* chunk_type_name(std::uint32_t type) noexcept;

// A packed version word as text: "3.1.2".
VXT_API std::string version_string(std::uint32_t packed);

}  // namespace vxt
