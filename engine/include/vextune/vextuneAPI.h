// The signature engine's public front.
//
// An engine turns 16-bit mono PCM at 8000, 11025, 16000, 32000, 44100 or
// 48000 Hz into audio signatures. Make one with create_engine, feed it with
// feed_samples, ask for signatures with get_signature at any time (feeding
// may continue afterwards), start over with reset_engine, and destroy it with
// destroy_engine or by letting the handle go.
//
// Errors: create_engine throws VXT_Exception (or std::bad_alloc). The three
// working calls never throw; they return 0 on success and a negative code on
// failure. One engine must not be used from two threads at once; separate
// engines share nothing that changes.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "vextune/export.h"

namespace vxt {

// The engine's one exception type. what() is "FILE(LINE): TEXT", naming the
// source file (relative to the source tree, e.g. "engine/src/checksum.cpp")
// and line of the throw site; the code is kept apart.
class VXT_API VXT_Exception : public std::exception {
public:
    VXT_Exception(const std::string& text, const char* file, int line, std::int32_t code);

    const char* what() const noexcept override { return message_.c_str(); }
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
    std::string message_;
};

// Codes carried by VXT_Exception.
inline constexpr std::int32_t error_unsupported_rate = -6;  // rate outside the six
inline constexpr std::int32_t error_invalid_configuration = -7;  // type outside 1..4
inline constexpr std::int32_t error_no_engine = -30;
inline constexpr std::int32_t error_misuse = -9999;  // a stage used out of order

// Results of the working calls.
inline constexpr std::int32_t result_ok = 0;
inline constexpr std::int32_t result_failed = -13;  // feed_samples, get_signature
inline constexpr std::int32_t result_reset_failed = -9999;  // reset_engine

// Signature types:
//   1  band-selected peaks of every kept period, up to the latest audio
//   2  band-selected peaks of the most recent periods covering the requested
//      duration (all kept periods for 0.0); feeding continues undisturbed
//   3  band-selected peaks of the periods completed since the last request,
//      as a stream of increments (the flags get 0x1100 added)
//   4  every detected peak since creation or reset, unselected
using SignatureType = std::int32_t;

// Configuration bits; all others are ignored.
using EngineFlags = std::uint32_t;
inline constexpr EngineFlags flag_band_config_mask = 0x300;  // period and peaks per band
inline constexpr EngineFlags flag_no_timestamp = 0x800;  // no clock fit: timestamp 0
inline constexpr EngineFlags flag_sample_info_form = 0x1000;  // 48-byte header form
inline constexpr EngineFlags flag_capture_input = 0x10000;  // attach the input audio
inline constexpr EngineFlags flag_capture_resampled = 0x20000;  // attach the 8 kHz audio

class SignatureEngine;

struct VXT_API engine_deleter {
    void operator()(SignatureEngine* engine) const noexcept;
};

// Owning, single-owner handle to an engine.
using engine_handle = std::unique_ptr<SignatureEngine, engine_deleter>;

// Makes an engine. Throws VXT_Exception -6 "unsupported sample rate" (after
// writing one line to standard error) or -7 "invalid configuration". The rate
// is checked first.
VXT_API engine_handle create_engine(SignatureType type, std::int32_t sample_rate, EngineFlags flags);

// Destroys the engine and empties the handle; an empty handle is left alone.
VXT_API void destroy_engine(engine_handle& engine);

// Feeds count samples at the engine's rate. Returns 0, or -13 on any failure
// (an empty handle, a null pointer with a positive count, a negative count).
VXT_API std::int32_t feed_samples(engine_handle& engine, const std::int16_t* samples, std::int32_t count);

// Replaces out with a signature of what the engine holds: everything for
// seconds == 0.0, at most about that much recent audio otherwise. Returns 0,
// or -13 on any failure (out then holds what was written before it).
VXT_API std::int32_t get_signature(engine_handle& engine, std::vector<std::uint8_t>& out, double seconds);

// Forgets all audio; the next signature equals a fresh engine's. Returns 0,
// or -9999 on any failure.
VXT_API std::int32_t reset_engine(engine_handle& engine);

// The engine version: the release, then the git revision the engine was built
// from when known, e.g. "3.1.2 (13ea430)". Signatures carry the release only.
VXT_API const char* engine_version() noexcept;

}  // namespace vxt
