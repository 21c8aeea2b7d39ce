// The signature engine's public front.
//
// An engine turns 16-bit mono PCM at one of supported_rates into audio
// signatures. Make one with create_engine, feed it with feed_samples, ask for
// signatures with get_signature at any time (feeding may continue
// afterwards), start over with reset_engine, and destroy it with
// destroy_engine or by letting the handle go.
//
// Errors: create_engine throws VXT_Exception (or std::bad_alloc). The three
// working calls never throw; they return 0 on success and a negative code on
// failure. One engine must not be used from two threads at once; separate
// engines share nothing that changes.
//
// The other public headers: config.h (rates, types, flags), error.h (codes),
// peaks.h (peak records and units), signature.h (reading signatures) and
// dump.h (printing them as text or JSON).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "vextune/config.h"
#include "vextune/error.h"
#include "vextune/export.h"

namespace vxt {

class SignatureEngine;

struct VXT_API engine_deleter {
    void operator()(SignatureEngine* engine) const noexcept;
};

// Owning, single-owner handle to an engine.
using engine_handle = std::unique_ptr<SignatureEngine, engine_deleter>;

// Makes an engine for signatures of the given type (1 to 4) from input at
// sample_rate Hz, configured by flags (config.h). Throws VXT_Exception -6
// "unsupported sample rate" (after writing one line to standard error) or -7
// "invalid configuration". The rate is checked first. Never returns an
// empty handle.
VXT_API engine_handle create_engine(SignatureType type, std::int32_t sample_rate, EngineFlags flags);

// Destroys the engine and empties the handle; an empty handle is left alone.
VXT_API void destroy_engine(engine_handle& engine);

// Feeds count samples at the engine's rate; the engine copies what it needs.
// Returns 0, or -13 on any failure (an empty handle, a null pointer with a
// positive count, a negative count).
VXT_API std::int32_t feed_samples(engine_handle& engine, const std::int16_t* samples, std::int32_t count);

// Replaces out with a signature of what the engine holds: everything for
// seconds == 0.0, at most about that much recent audio otherwise. Returns 0,
// or -13 on any failure (out then holds what was written before it; nothing
// when the signature would pass max_signature_bytes).
VXT_API std::int32_t get_signature(engine_handle& engine, std::vector<std::uint8_t>& out, double seconds);

// Forgets all audio; every later signature equals a fresh engine's. Returns
// 0, or -9999 on any failure.
VXT_API std::int32_t reset_engine(engine_handle& engine);

// Replaces the wall clock that dates the engine's signatures (microseconds
// since 1970-01-01 UTC, read once per feed); an empty function restores the
// system clock. For callers that run on a clock of their own, simulated
// time included. Returns 0, or -13 for an empty handle.
VXT_API std::int32_t set_wall_clock(engine_handle& engine, std::function<double()> clock_us);

// The engine's version, "MAJOR.MINOR.PATCH (commit)"; static text.
VXT_API const char* engine_version() noexcept;

}  // namespace vxt
