#include "chunk_list.h"

#include <algorithm>
#include <limits>

#include "byte_order.h"
#include "chunk_types.h"
#include "engine_error.h"

namespace vxt {
namespace {

constexpr bool writes_bytes(const FpChunk& chunk) noexcept
{
    return (chunk.type & 0xFFFFu) != 0;
}

// The largest payload whose padded length still fits the 32-bit length word.
constexpr std::size_t max_payload_bytes = std::numeric_limits<std::uint32_t>::max() & ~std::size_t{3};

void check_payload(std::size_t bytes)
{
    if (bytes > max_payload_bytes)
        raise(error_invalid_configuration, "chunk payload too large for its 32-bit length");
}

}  // namespace

FpChunk FpChunk::make(std::uint32_t type, std::span<const std::uint8_t> bytes)
{
    check_payload(bytes.size());
    FpChunk chunk;
    chunk.type = type;
    chunk.length = static_cast<std::uint32_t>(bytes.size());
    chunk.payload.assign(padded_length(chunk.length), 0);
    std::copy(bytes.begin(), bytes.end(), chunk.payload.begin());
    return chunk;
}

FpChunk FpChunk::make(std::uint32_t type, std::vector<std::uint8_t>&& bytes)
{
    check_payload(bytes.size());
    FpChunk chunk;
    chunk.type = type;
    chunk.length = static_cast<std::uint32_t>(bytes.size());
    chunk.payload = std::move(bytes);
    chunk.payload.resize(padded_length(chunk.length), 0);
    return chunk;
}

void insert_chunk(chunk_list& chunks, FpChunk chunk)
{
    const auto at = std::upper_bound(chunks.begin(), chunks.end(), chunk.type,
                                     [](std::uint32_t type, const FpChunk& c) { return type < c.type; });
    chunks.insert(at, std::move(chunk));
}

void remove_chunks(chunk_list& chunks, std::uint32_t type)
{
    std::erase_if(chunks, [type](const FpChunk& c) { return c.type == type; });
}

bool has_chunk(const chunk_list& chunks, std::uint32_t type) noexcept
{
    return std::any_of(chunks.begin(), chunks.end(), [type](const FpChunk& c) { return c.type == type; });
}

std::size_t narrow_list_length(const chunk_list& chunks) noexcept
{
    std::size_t total = narrow_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (writes_bytes(chunk))
            total += narrow_chunk_header_bytes + chunk.payload.size();
    }
    return total;
}

std::size_t wide_list_length(const chunk_list& chunks) noexcept
{
    std::size_t total = wide_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (writes_bytes(chunk))
            total += wide_chunk_header_bytes + chunk.payload.size();
    }
    return total;
}

void write_narrow_list(const chunk_list& chunks, std::uint8_t* out) noexcept
{
    store_le32(out, to_u32(FpChunkType::fp_data_list_start));
    store_le32(out + 4, static_cast<std::uint32_t>(narrow_list_length(chunks)));
    out += narrow_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (!writes_bytes(chunk))
            continue;
        store_le32(out, chunk.type);
        store_le32(out + 4, static_cast<std::uint32_t>(chunk.payload.size()));
        std::copy(chunk.payload.begin(), chunk.payload.end(), out + narrow_chunk_header_bytes);
        out += narrow_chunk_header_bytes + chunk.payload.size();
    }
}

void write_wide_list(const chunk_list& chunks, std::uint8_t* out) noexcept
{
    std::fill_n(out, wide_list_header_bytes, 0);
    store_le32(out + 4, to_u32(FpChunkType::fp_data_list_start));
    store_le32(out + 8, static_cast<std::uint32_t>(wide_list_length(chunks)));
    out += wide_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (!writes_bytes(chunk))
            continue;
        std::fill_n(out, wide_chunk_header_bytes, 0);
        store_le32(out + 4, chunk.type);
        store_le32(out + 8, static_cast<std::uint32_t>(chunk.payload.size()));
        std::copy(chunk.payload.begin(), chunk.payload.end(), out + wide_chunk_header_bytes);
        out += wide_chunk_header_bytes + chunk.payload.size();
    }
}

}  // namespace vxt
