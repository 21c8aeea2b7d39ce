// Little-endian loads and stores, whatever the host's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vxt {

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline std::uint16_t load_le16(const std::uint8_t* p) noexcept
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_le16(std::uint8_t* p, std::uint16_t v) noexcept
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline float load_le_f32(const std::uint8_t* p) noexcept
{
    return std::bit_cast<float>(load_le32(p));
}

inline void store_le_f32(std::uint8_t* p, float v) noexcept
{
    store_le32(p, std::bit_cast<std::uint32_t>(v));
}

}  // namespace vxt
