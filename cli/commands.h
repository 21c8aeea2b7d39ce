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

// Receives every block of samples as it is fed to the engine.
using block_sink = std::function<void(std::span<const std::int16_t>)>;

// Feeds everything the reader gives into one engine and returns the
// signature taken at the end; on_block, if set, sees every block. Throws
// cli_error.
std::vector<std::uint8_t> sign_audio(audio_reader& reader, const signature_options& options, const note_sink& note,
                                     const block_sink& on_block = {});

// Decodes the audio file at path ("-": standard input) block by block into
// one engine and returns the signature taken once the whole file has been
// fed. Notes a conversion, and a signature without peaks: from a file without
// a sample, or from audio without a peak (silence, or too short). Throws
// cli_error.
std::vector<std::uint8_t> sign_file(const std::string& path, const signature_options& options, const note_sink& note);

// ---- dump ----

inline constexpr int default_verbosity = 4;

// Reads a whole signature file; "-" reads standard input. Anything larger
// than max_signature_bytes is refused as soon as it passes the limit.
// Throws cli_error.
std::vector<std::uint8_t> read_signature_file(const std::string& path);

}  // namespace vxt::cli
