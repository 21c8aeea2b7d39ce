// The work behind the vextune commands, free of argument parsing and of the
// standard streams so that it can be tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio_input.h"
#include "vextune/vextuneAPI.h"

namespace vxt::cli {

// ---- signature ----

struct signature_options {
    SignatureType type = 2;
    // A file has no capture time, so by default no wall-clock fit: the
    // timestamp is 0 and the bytes depend only on the audio and the options.
    EngineFlags flags = flag_no_timestamp;
    double seconds = 0.0;  // 0: everything the engine keeps
    channel_mode channels = channel_mode::first;
};

// Receives one line of information for the user, without a line end.
using note_sink = std::function<void(const std::string&)>;

// Decodes the audio file at path ("-": standard input) block by block into
// one engine and returns the signature taken once the whole file has been
// fed. Notes a conversion, and a signature without peaks: from a file without
// a sample, or from audio without a peak (silence, or too short). Throws
// cli_error.
std::vector<std::uint8_t> sign_file(const std::string& path, const signature_options& options,
                                    const note_sink& note);

// ---- dump ----

inline constexpr int default_verbosity = 4;
inline constexpr int max_verbosity = 4;

// Signatures bigger than this are refused rather than read.
inline constexpr std::size_t max_signature_bytes = std::size_t{256} << 20;

// Reads a whole signature file; "-" reads standard input. Throws cli_error.
std::vector<std::uint8_t> read_signature_file(const std::string& path);

// What is wrong with the bytes as a signature: the first problem the reader
// or a chunk check finds, or an empty string for a valid signature.
std::string find_problem(std::span<const std::uint8_t> bytes);

struct text_dump {
    std::string text;     // everything printed, up to the problem if any
    std::string problem;  // as find_problem
};

text_dump dump_text(std::span<const std::uint8_t> bytes, int verbosity);

// The signature as a JSON document with keys in a fixed order:
//   form       "compact", "sig_sample_info", or null when neither header is
//              recognised
//   size       bytes in all
//   valid      false when find_problem finds something; "error" then says what
//   envelope   (compact form) length, magic, payload_type and its name, and
//              checksum {stored, computed, verified}
//   sig_sample_info  (that form) every field of the record; utc_us is the raw
//              time in microseconds, so the document does not depend on the
//              local time zone
//   chunks     in file order: type (8 hex digits), name, length (as stored,
//              padded to 4 bytes) and content: the fp_search_info or
//              sig_sample_info fields; for peak chunks count and peaks
//              ({time, frequency, frequency_hz, amplitude}, fat peaks {frame,
//              ..., time_curvature, freq_curvature}); for PCM rate and samples
//              (from the padded length); null for anything else.
// Below verbosity 4 the peak lists are left out (their counts stay).
nlohmann::ordered_json dump_json(std::span<const std::uint8_t> bytes, int verbosity);

// Frequency units (1/64 of a 7.8125 Hz bin) to Hz, as the text dump computes
// it, in single precision.
float frequency_hz(std::uint16_t frequency) noexcept;

}  // namespace vxt::cli
