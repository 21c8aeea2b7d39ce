// The text pieces of a recognition request: the signature as base64, the
// sample length as text, the template filled with both, and the sizes and
// network kind recorded with the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace VextuneCore {

// Standard base64 (RFC 4648 section 4): "+" and "/", "=" padding, no line
// breaks; no bytes give an empty text.
std::string Base64(std::span<const std::uint8_t> bytes);

// The sample length as the request carries it: "%f" in the C locale, cut to
// 9 characters, but never inside the whole part (3000.0 -> "3000.0000",
// 12000.0 -> "12000.000", 12345678.0 -> "12345678", 99.0 -> "99.000000").
// A cut right after the point drops the point too, and a length that is not
// a finite number gives "0", so the text is always a JSON number.
std::string SampleText(double sample_ms);

// Replaces every "{sigdata}" with signature, then every "\"{samplems}\""
// (the placeholder with its quotes) with sample, left to right; inserted
// text is never searched again by the same replacement. The second
// replacement runs over the result of the first.
std::string FillTemplate(std::string_view request_template, std::string_view signature, std::string_view sample);

// The length of UTF-8 text in UTF-16 code units (a character beyond the
// basic plane counts 2); an invalid byte (one not part of a well-formed
// sequence: a stray continuation, a cut sequence, an overlong form, a
// surrogate, beyond U+10FFFF) counts as one unit.
std::size_t Utf16Length(std::string_view utf8);

// "wifi" when the interface of the default route is a wireless one, "3g"
// otherwise and whenever that cannot be told. Reads root + "/proc/net/route"
// (the default route that is up; of several, the lowest metric, the first
// listed among equals) and whether root + "/sys/class/net/IFACE/wireless"
// is a directory.
std::string NetworkKind(const std::string& root = "");

}  // namespace VextuneCore
