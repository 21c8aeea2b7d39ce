#include "records.h"

#include <cstdlib>

#include "byte_order.h"
#include "chunk_types.h"
#include "vextune/config.h"
#include "vextune/signature.h"

namespace vxt {
namespace {

// Bit field access on a word.
constexpr std::uint32_t get_bits(std::uint32_t word, unsigned shift, unsigned width) noexcept
{
    return (word >> shift) & ((1u << width) - 1u);
}

constexpr void set_bits(std::uint32_t& word, unsigned shift, unsigned width, std::uint32_t value) noexcept
{
    const std::uint32_t mask = ((1u << width) - 1u) << shift;
    word = (word & ~mask) | ((value << shift) & mask);
}

}  // namespace

std::uint32_t pack_version(std::string_view text)
{
    // Split at the first '.', the next '.' and the space after it; each piece
    // is read as a decimal number the way atoi reads it.
    const std::string padded = std::string(text) + ' ';
    const std::size_t dot1 = padded.find('.');
    const std::size_t dot2 = dot1 == std::string::npos ? dot1 : padded.find('.', dot1 + 1);
    const std::size_t space = dot2 == std::string::npos ? dot2 : padded.find(' ', dot2 + 1);
    if (space == std::string::npos)
        return 0;
    const auto number = [&](std::size_t from, std::size_t to) {
        return static_cast<std::uint32_t>(std::atoi(padded.substr(from, to - from).c_str()));
    };
    const std::uint32_t major = number(0, dot1);
    const std::uint32_t minor = number(dot1 + 1, dot2);
    const std::uint32_t patch = number(dot2 + 1, space);
    // Field widths 4, 4 and 5: the shift is 32 - 4 - 4 - 5 = 19.
    return (major << 9 | minor << 5 | patch) << 19;
}

std::string version_text(std::uint32_t packed)
{
    return std::to_string(packed >> 28) + "." + std::to_string((packed >> 24) & 0xF) + "." +
           std::to_string((packed >> 19) & 0x1F) + " ";
}

void sig_sample_info::initialise(std::int32_t raw_rate, std::int32_t internal_rate, std::uint32_t version)
{
    words = {};
    words[0] = magic;
    words[1] = crc_placeholder;
    words[3] = version;
    set_bits(words[7], 27, 4, rate_code(raw_rate));
    set_bits(words[7], 31, 1, internal_rate == 16000 ? 1 : 0);
    set_bits(words[11], 19, 13, offset_adjustment_frames);
}

std::uint64_t sig_sample_info::utc() const noexcept
{
    return words[6] | std::uint64_t{get_bits(words[7], 0, 24)} << 32;
}
std::uint32_t sig_sample_info::time_source() const noexcept
{
    return get_bits(words[7], 24, 3);
}
std::uint32_t sig_sample_info::raw_rate_code() const noexcept
{
    return get_bits(words[7], 27, 4);
}
std::uint32_t sig_sample_info::internal_rate_bit() const noexcept
{
    return get_bits(words[7], 31, 1);
}
std::uint64_t sig_sample_info::stream_position() const noexcept
{
    return words[8] | std::uint64_t{get_bits(words[9], 0, 8)} << 32;
}
std::uint32_t sig_sample_info::sig_length() const noexcept
{
    return get_bits(words[9], 8, 24);
}
std::uint64_t sig_sample_info::raw_samples() const noexcept
{
    return words[10] | std::uint64_t{get_bits(words[11], 0, 16)} << 32;
}
bool sig_sample_info::is_stream() const noexcept
{
    return get_bits(words[11], 16, 1) != 0;
}
std::uint32_t sig_sample_info::payload_type() const noexcept
{
    return get_bits(words[11], 17, 2);
}
std::uint32_t sig_sample_info::offset_adjustment() const noexcept
{
    return get_bits(words[11], 19, 13);
}

void sig_sample_info::set_utc(std::uint64_t v) noexcept
{
    words[6] = static_cast<std::uint32_t>(v);
    set_bits(words[7], 0, 24, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_time_source(std::uint32_t v) noexcept
{
    set_bits(words[7], 24, 3, v);
}
void sig_sample_info::set_stream_position(std::uint64_t v) noexcept
{
    words[8] = static_cast<std::uint32_t>(v);
    set_bits(words[9], 0, 8, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_sig_length(std::uint32_t v) noexcept
{
    set_bits(words[9], 8, 24, v);
}
void sig_sample_info::set_raw_samples(std::uint64_t v) noexcept
{
    words[10] = static_cast<std::uint32_t>(v);
    set_bits(words[11], 0, 16, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_is_stream(bool v) noexcept
{
    set_bits(words[11], 16, 1, v ? 1 : 0);
}
void sig_sample_info::set_payload_type(std::uint32_t v) noexcept
{
    set_bits(words[11], 17, 2, v);
}

void sig_sample_info::store(std::uint8_t* out) const noexcept
{
    for (std::size_t i = 0; i < words.size(); ++i)
        store_le32(out + 4 * i, words[i]);
}

sig_sample_info sig_sample_info::load(const std::uint8_t* in) noexcept
{
    sig_sample_info record;
    for (std::size_t i = 0; i < record.words.size(); ++i)
        record.words[i] = load_le32(in + 4 * i);
    return record;
}

void fp_search_info::store(std::uint8_t* out) const noexcept
{
    store_le32(out, magic_cookie);
    store_le32(out + 4, sample_length);
    store_le_f32(out + 8, analysis_offset);
    store_le32(out + 12, pipeline_version);
    store_le32(out + 16, offset_adjustment);
    store_le_f32(out + 20, analysis_length);
}

fp_search_info fp_search_info::load(const std::uint8_t* in) noexcept
{
    fp_search_info info;
    info.magic_cookie = load_le32(in);
    info.sample_length = load_le32(in + 4);
    info.analysis_offset = load_le_f32(in + 8);
    info.pipeline_version = load_le32(in + 12);
    info.offset_adjustment = load_le32(in + 16);
    info.analysis_length = load_le_f32(in + 20);
    return info;
}

int check_sample_info(std::span<const std::uint8_t> payload) noexcept
{
    if (payload.size() != sig_sample_info::bytes)
        return check_bad_sample_info_length;
    return load_le32(payload.data()) == sig_sample_info::magic ? check_valid : check_bad_magic;
}

int check_search_info(std::span<const std::uint8_t> payload) noexcept
{
    if (payload.empty())
        return check_missing;
    if (payload.size() != fp_search_info::bytes)
        return check_bad_search_info_length;
    return load_le32(payload.data()) == fp_search_info::magic ? check_valid : check_bad_magic;
}

int check_chunk(std::uint32_t type, std::span<const std::uint8_t> payload) noexcept
{
    switch (content_of(type)) {
    case chunk_content::sample_info: return check_sample_info(payload);
    case chunk_content::search_info: return check_search_info(payload);
    default: return is_known_type(type) ? check_valid : check_missing;
    }
}

}  // namespace vxt
