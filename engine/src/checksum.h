// checksum: the 32-bit wrapping sum of little-endian u32 words.
#pragma once

#include <cstdint>
#include <span>

namespace vxt {

// Throws VXT_Exception -9999 "Checksum Alignment Error" when the length is not
// a multiple of 4. Fewer than 4 bytes sum to 0.
std::uint32_t checksum(std::span<const std::uint8_t> bytes);

}  // namespace vxt
