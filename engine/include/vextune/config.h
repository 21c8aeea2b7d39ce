// The engine's configuration: input rates, signature types and the flags
// word, decoded once into a typed configuration.
//
// Everything here is constexpr and header-only: callers can validate a
// configuration before they make an engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vxt {

// Input sample rates the engine takes, in Hz, ascending.
inline constexpr std::array<std::int32_t, 6> supported_rates = {8000, 11025, 16000, 32000, 44100, 48000};

// The rate everything is resampled to, in Hz.
inline constexpr std::int32_t internal_rate = 8000;

constexpr bool is_supported_rate(std::int32_t rate) noexcept
{
    for (std::int32_t r : supported_rates) {
        if (r == rate)
            return true;
    }
    return false;
}

// The rate codes of the sig_sample_info record: 1..6 for supported_rates in
// order; 0 (and any code above 6) stands for an unknown rate, given as 0 Hz.
constexpr std::uint32_t rate_code(std::int32_t rate) noexcept
{
    for (std::uint32_t i = 0; i < supported_rates.size(); ++i) {
        if (supported_rates[i] == rate)
            return i + 1;
    }
    return 0;
}

constexpr std::int32_t rate_of_code(std::uint32_t code) noexcept
{
    return code >= 1 && code <= supported_rates.size() ? supported_rates[code - 1] : 0;
}

// Signature types:
//   1  band-selected peaks of every kept period, up to the latest audio
//   2  band-selected peaks of the most recent periods covering the requested
//      duration (all kept periods for 0.0); feeding continues undisturbed
//   3  band-selected peaks of the periods completed since the last request,
//      as a stream of increments (the flags get flag_stream_defaults added)
//   4  every detected peak since creation or reset, unselected
using SignatureType = std::int32_t;

constexpr bool is_valid_type(SignatureType type) noexcept
{
    return type >= 1 && type <= 4;
}

// Configuration bits; all others are ignored.
using EngineFlags = std::uint32_t;
inline constexpr EngineFlags flag_band_config_mask = 0x300;     // period and peaks per band
inline constexpr EngineFlags flag_no_timestamp = 0x800;         // no clock fit: timestamp 0
inline constexpr EngineFlags flag_sample_info_form = 0x1000;    // 48-byte header form
inline constexpr EngineFlags flag_capture_input = 0x10000;      // attach the input audio
inline constexpr EngineFlags flag_capture_resampled = 0x20000;  // attach the 8 kHz audio
// What type 3 always adds: 128-frame periods of 14 peaks, sig_sample_info form.
inline constexpr EngineFlags flag_stream_defaults = 0x1100;

// The two outer forms of signature bytes.
enum class signature_form { compact, sample_info };

// One engine's configuration, decoded from its type and flags word.
struct engine_config {
    SignatureType type = 2;
    EngineFlags flags = 0;              // the word in force (type 3's additions included)
    std::uint32_t period_frames = 256;  // band-selection period, 8 ms frames
    std::uint32_t peaks_per_band = 24;  // strongest peaks kept per band and period
    bool timestamp = true;              // dates signatures by a wall-clock fit
    signature_form form = signature_form::compact;
    bool capture_input = false;      // attaches the input audio at its own rate
    bool capture_resampled = false;  // attaches the audio resampled to 8000 Hz

    // Bits 0x300 choose period and peaks per band: 256/24, 128/14, 256/16,
    // 128/8. Type 3 forces flag_stream_defaults. The type is not checked.
    static constexpr engine_config decode(SignatureType type, EngineFlags flags) noexcept
    {
        struct band_config {
            std::uint32_t period_frames;
            std::uint32_t peaks_per_band;
        };
        constexpr band_config band_configs[4] = {{256, 24}, {128, 14}, {256, 16}, {128, 8}};

        engine_config c;
        c.type = type;
        c.flags = type == 3 ? flags | flag_stream_defaults : flags;
        const band_config band = band_configs[(c.flags & flag_band_config_mask) >> 8];
        c.period_frames = band.period_frames;
        c.peaks_per_band = band.peaks_per_band;
        c.timestamp = (c.flags & flag_no_timestamp) == 0;
        c.form = (c.flags & flag_sample_info_form) ? signature_form::sample_info : signature_form::compact;
        c.capture_input = (c.flags & flag_capture_input) != 0;
        c.capture_resampled = (c.flags & flag_capture_resampled) != 0;
        return c;
    }
};

// No signature, of either form, is written or read beyond this size. A
// signature that would pass it (only audio captures can) is refused.
inline constexpr std::size_t max_signature_bytes = std::size_t{256} << 20;

}  // namespace vxt
