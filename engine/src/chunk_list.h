// In-memory chunk lists and the two ways they are laid out on the wire.
//
// The sig_sample_info form writes a "narrow" list (8-byte chunk headers: type,
// padded length); the compact form a "wide" one (24-byte chunk headers: 0,
// type, padded length, 12 zero bytes). Both start with an fp_data_list_start
// header whose length word covers the whole list. A chunk whose type has
// zero low 16 bits is a placeholder and writes no bytes at all. Payloads are
// zero-padded to a multiple of 4 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vxt {

constexpr std::uint32_t padded_length(std::uint32_t length) noexcept
{
    return (length + 3u) & ~3u;
}

// A chunk: type and payload, padded with zeros to a multiple of 4.
struct FpChunk {
    std::uint32_t type = 0;
    std::uint32_t length = 0;           // payload bytes without the padding
    std::vector<std::uint8_t> payload;  // length rounded up to 4

    // Throws VXT_Exception -7 when the payload could not be described by a
    // 32-bit length.
    static FpChunk make(std::uint32_t type, std::span<const std::uint8_t> bytes);
    static FpChunk make(std::uint32_t type, std::vector<std::uint8_t>&& bytes);
};

// A chunk list, kept sorted by type.
using chunk_list = std::vector<FpChunk>;

// Inserts after every chunk of a lower or equal type.
void insert_chunk(chunk_list& chunks, FpChunk chunk);
void remove_chunks(chunk_list& chunks, std::uint32_t type);
bool has_chunk(const chunk_list& chunks, std::uint32_t type) noexcept;

inline constexpr std::size_t narrow_list_header_bytes = 8;
inline constexpr std::size_t wide_list_header_bytes = 24;
inline constexpr std::size_t narrow_chunk_header_bytes = 8;
inline constexpr std::size_t wide_chunk_header_bytes = 24;

std::size_t narrow_list_length(const chunk_list& chunks) noexcept;
std::size_t wide_list_length(const chunk_list& chunks) noexcept;
void write_narrow_list(const chunk_list& chunks, std::uint8_t* out) noexcept;
void write_wide_list(const chunk_list& chunks, std::uint8_t* out) noexcept;

}  // namespace vxt
