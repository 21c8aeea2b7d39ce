// The engine's exception and its codes.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "vextune/export.h"

namespace vxt {

// Every code the engine reports, thrown in a VXT_Exception or returned by a
// working call of the front.
enum class error_code : std::int32_t {
    ok = 0,
    unsupported_rate = -6,       // a rate outside supported_rates
    invalid_configuration = -7,  // a type outside 1..4, or a configuration no stage takes
    failed = -13,                // feed_samples or get_signature failed
    no_engine = -30,             // construction gave no engine
    misuse = -9999,              // a stage used out of order; reset_engine failed
};

// Codes carried by VXT_Exception.
inline constexpr std::int32_t error_unsupported_rate = -6;
inline constexpr std::int32_t error_invalid_configuration = -7;
inline constexpr std::int32_t error_no_engine = -30;
inline constexpr std::int32_t error_misuse = -9999;

// Results of the front's working calls.
inline constexpr std::int32_t result_ok = 0;
inline constexpr std::int32_t result_failed = -13;          // feed_samples, get_signature
inline constexpr std::int32_t result_reset_failed = -9999;  // reset_engine

// A short lower-case name of a code ("unsupported sample rate", "feed or
// signature failed", ...); "unknown code" for any other value. The pointer
// is to static text.
VXT_API const char* error_name(std::int32_t code) noexcept;

// The engine's one exception type. what() is "FILE(LINE): TEXT", naming the
// source file (relative to the source tree) and line of the throw site; the
// code is kept apart.
class VXT_API VXT_Exception : public std::exception {
public:
    VXT_Exception(const std::string& text, const char* file, int line, std::int32_t code);

    const char* what() const noexcept override { return message_.c_str(); }
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
    std::string message_;
};

}  // namespace vxt
