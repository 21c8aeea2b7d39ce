// The recognition request: what the client sends and how the service reads
// it.
//
// The client fills a caller's template: every "{sigdata}" becomes the
// signature in base64, then every "\"{samplems}\"" (the placeholder with
// its quotes) becomes the sample length as a bare JSON number. The service
// reads a JSON object with "signature" (base64 text) and "samplems" (a
// number, or a number in a string, as a template may quote a fixed length);
// other members are the caller's and are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "vextune/protocol/Error.h"

namespace vxt::protocol {

inline constexpr char signature_member[] = "signature";
inline constexpr char sample_ms_member[] = "samplems";
inline constexpr char signature_placeholder[] = "{sigdata}";
inline constexpr char sample_placeholder[] = "\"{samplems}\"";

// The sample length as the request carries it: "%f" in the C locale, cut to
// 9 characters, but never inside the whole part (3000.0 -> "3000.0000",
// 12000.0 -> "12000.000", 12345678.0 -> "12345678", 99.0 -> "99.000000").
// A cut right after the point drops the point too, and a length that is not
// a finite number gives "0", so the text is always a JSON number.
std::string SampleText(double sample_ms);

// Replaces every "{sigdata}" with signature, then every "\"{samplems}\""
// with sample, left to right; inserted text is never searched again by the
// same replacement. The second replacement runs over the result of the
// first.
std::string FillTemplate(std::string_view request_template, std::string_view signature, std::string_view sample);

// The request text of one signature: the template filled with its base64
// and its sample length.
std::string RequestText(std::string_view request_template, std::span<const std::uint8_t> signature, double sample_ms);

// A "samplems" value as the service takes it: a JSON number, or a string
// that is a number and nothing else; finite and not negative. Throws Error
// ("... is not a number", "... is not a length of time").
double ReadSampleMs(const nlohmann::json& value);

struct Request {
    std::vector<std::uint8_t> signature;
    double sample_ms = 0.0;
};

// Reads a request body, within the bounds of ReadJson (vextune/protocol/
// Json.h: 64 levels of nesting, 10 000 values). Throws Error with the
// message the service answers a bad request with: not JSON, past a bound
// ("the request nests arrays and objects more than 64 deep"), not an
// object, no "signature" text, no "samplems", a "samplems" that is no
// length of time, a signature that is not base64 (with the reason of
// DecodeBase64).
Request ReadRequest(std::string_view body);

}  // namespace vxt::protocol
