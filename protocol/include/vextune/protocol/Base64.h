// Base64 as requests carry signatures: RFC 4648 section 4, the standard
// alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vxt::protocol {

// "=" padding to a multiple of 4 characters, no line breaks; no bytes give
// an empty text.
std::string EncodeBase64(std::span<const std::uint8_t> bytes);

// Padded or not. Throws Error for anything else: a length no base64 text
// has ("wrong length"), a character outside the alphabet, white space and
// line breaks included ("unexpected character at N", N counting from 0),
// or a last digit whose unused bits are not zero ("stray bits at its end").
std::vector<std::uint8_t> DecodeBase64(std::string_view text);

}  // namespace vxt::protocol
