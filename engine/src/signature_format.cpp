#include "signature_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "byte_order.h"
#include "checksum.h"

namespace vxt {
namespace {

constexpr std::int32_t code_rates[] = {0, 8000, 11025, 16000, 32000, 44100, 48000};

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

// Chunks whose type has zero low 16 bits are placeholders and write nothing.
constexpr bool writes_bytes(const FpChunk& chunk) noexcept { return (chunk.type & 0xFFFFu) != 0; }

}  // namespace

std::string hex8(std::uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

FpChunk FpChunk::make(std::uint32_t type, std::span<const std::uint8_t> bytes)
{
    FpChunk chunk;
    chunk.type = type;
    chunk.length = static_cast<std::uint32_t>(bytes.size());
    chunk.payload.assign(padded_length(chunk.length), 0);
    std::copy(bytes.begin(), bytes.end(), chunk.payload.begin());
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

std::vector<std::uint8_t> encode_compact_peaks(std::span<const BandPeak> peaks)
{
    std::size_t records = peaks.size();
    std::uint32_t running = 0;
    for (const BandPeak& peak : peaks) {
        if (peak.time - running > 254u)
            ++records;
        running = peak.time;
    }

    std::vector<std::uint8_t> bytes(records * compact_peak_bytes);
    std::uint8_t* p = bytes.data();
    running = 0;
    for (const BandPeak& peak : peaks) {
        std::uint32_t delta = peak.time - running;
        if (delta > 254u) {
            p[0] = compact_escape;
            store_le32(p + 1, peak.time);
            p += compact_peak_bytes;
            delta = 0;
        }
        p[0] = static_cast<std::uint8_t>(delta);
        store_le16(p + 1, peak.amplitude);
        store_le16(p + 3, peak.frequency);
        p += compact_peak_bytes;
        running = peak.time;
    }
    return bytes;
}

std::vector<BandPeak> decode_compact_peaks(std::span<const std::uint8_t> bytes)
{
    std::vector<BandPeak> peaks;
    const std::size_t records = bytes.size() / compact_peak_bytes;
    peaks.reserve(records);
    std::uint32_t running = 0;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint8_t* p = bytes.data() + i * compact_peak_bytes;
        if (p[0] == compact_escape) {
            running = load_le32(p + 1);
            continue;
        }
        running += p[0];
        peaks.push_back({running, load_le16(p + 3), load_le16(p + 1)});
    }
    return peaks;
}

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

std::uint32_t rate_code(std::int32_t rate) noexcept
{
    for (std::uint32_t code = 1; code < std::size(code_rates); ++code) {
        if (code_rates[code] == rate)
            return code;
    }
    return 0;
}

std::int32_t rate_of_code(std::uint32_t code) noexcept
{
    return code < std::size(code_rates) ? code_rates[code] : 0;
}

void sig_sample_info::initialise(std::int32_t raw_rate, std::int32_t internal_rate, std::uint32_t version)
{
    words = {};
    words[0] = magic;
    words[1] = crc_placeholder;
    words[3] = version;
    set_bits(words[7], 27, 4, rate_code(raw_rate));
    set_bits(words[7], 31, 1, internal_rate == 16000 ? 1 : 0);
    set_bits(words[11], 19, 13, offset_adjustment_ticks);
}

std::uint64_t sig_sample_info::utc() const noexcept
{
    return words[6] | std::uint64_t{get_bits(words[7], 0, 24)} << 32;
}
std::uint32_t sig_sample_info::time_source() const noexcept { return get_bits(words[7], 24, 3); }
std::uint32_t sig_sample_info::raw_rate_code() const noexcept { return get_bits(words[7], 27, 4); }
std::uint32_t sig_sample_info::internal_rate_bit() const noexcept { return get_bits(words[7], 31, 1); }
std::uint64_t sig_sample_info::stream_position() const noexcept
{
    return words[8] | std::uint64_t{get_bits(words[9], 0, 8)} << 32;
}
std::uint32_t sig_sample_info::sig_length() const noexcept { return get_bits(words[9], 8, 24); }
std::uint64_t sig_sample_info::raw_samples() const noexcept
{
    return words[10] | std::uint64_t{get_bits(words[11], 0, 16)} << 32;
}
bool sig_sample_info::is_stream() const noexcept { return get_bits(words[11], 16, 1) != 0; }
std::uint32_t sig_sample_info::payload_type() const noexcept { return get_bits(words[11], 17, 2); }
std::uint32_t sig_sample_info::offset_adjustment() const noexcept { return get_bits(words[11], 19, 13); }

void sig_sample_info::set_utc(std::uint64_t v) noexcept
{
    words[6] = static_cast<std::uint32_t>(v);
    set_bits(words[7], 0, 24, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_time_source(std::uint32_t v) noexcept { set_bits(words[7], 24, 3, v); }
void sig_sample_info::set_stream_position(std::uint64_t v) noexcept
{
    words[8] = static_cast<std::uint32_t>(v);
    set_bits(words[9], 0, 8, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_sig_length(std::uint32_t v) noexcept { set_bits(words[9], 8, 24, v); }
void sig_sample_info::set_raw_samples(std::uint64_t v) noexcept
{
    words[10] = static_cast<std::uint32_t>(v);
    set_bits(words[11], 0, 16, static_cast<std::uint32_t>(v >> 32));
}
void sig_sample_info::set_is_stream(bool v) noexcept { set_bits(words[11], 16, 1, v ? 1 : 0); }
void sig_sample_info::set_payload_type(std::uint32_t v) noexcept { set_bits(words[11], 17, 2, v); }

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

std::size_t narrow_list_length(const chunk_list& chunks) noexcept
{
    std::size_t total = narrow_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (writes_bytes(chunk))
            total += 8 + chunk.payload.size();
    }
    return total;
}

std::size_t wide_list_length(const chunk_list& chunks) noexcept
{
    std::size_t total = wide_list_header_bytes;
    for (const FpChunk& chunk : chunks) {
        if (writes_bytes(chunk))
            total += 24 + chunk.payload.size();
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
        std::copy(chunk.payload.begin(), chunk.payload.end(), out + 8);
        out += 8 + chunk.payload.size();
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
        std::fill_n(out, 24, 0);
        store_le32(out + 4, chunk.type);
        store_le32(out + 8, static_cast<std::uint32_t>(chunk.payload.size()));
        std::copy(chunk.payload.begin(), chunk.payload.end(), out + 24);
        out += 24 + chunk.payload.size();
    }
}

void write_compact_form(const chunk_list& chunks, std::uint32_t payload_type, std::vector<std::uint8_t>& out)
{
    const std::size_t list_bytes = wide_list_length(chunks);
    const auto length = static_cast<std::uint32_t>(list_bytes);
    out.assign(envelope_bytes + list_bytes, 0);
    std::uint8_t* p = out.data();
    store_le32(p + 0, length);
    store_le32(p + 4, envelope_magic);
    store_le32(p + 8, 0xFFFFFFFF);
    store_le32(p + 12, 0x30000000 | payload_type);
    store_le32(p + 16, 16);
    store_le32(p + 20, length);
    store_le32(p + 24, length ^ envelope_length_key);
    write_wide_list(chunks, p + envelope_bytes);
    store_le32(p + envelope_checksum_offset, checksum(out));
}

void write_sample_info_form(sig_sample_info record, const chunk_list& chunks, std::vector<std::uint8_t>& out)
{
    const std::size_t list_bytes = narrow_list_length(chunks);
    record.set_size(static_cast<std::uint32_t>(list_bytes));
    out.assign(sig_sample_info::bytes + list_bytes, 0);
    record.store(out.data());
    write_narrow_list(chunks, out.data() + sig_sample_info::bytes);
}

parsed_signature parse_signature(std::span<const std::uint8_t> bytes)
{
    parsed_signature result;
    const auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    if (bytes.size() < 8)
        return fail("too short for a signature (" + std::to_string(bytes.size()) + " bytes)");

    // The chunk headers of both list forms: the type at type_at, the padded
    // payload length at type_at + 4, the payload after header bytes.
    const auto walk = [&](std::span<const std::uint8_t> list, std::size_t list_header,
                          std::size_t header, std::size_t type_at) {
        std::size_t at = list_header;
        while (at < list.size()) {
            if (list.size() - at < header)
                return fail("chunk header at list offset " + std::to_string(at) + " is cut short");
            const std::uint32_t type = load_le32(list.data() + at + type_at);
            const std::uint32_t length = load_le32(list.data() + at + type_at + 4);
            at += header;
            if (length > list.size() - at)
                return fail("chunk " + std::string(chunk_type_name(type)) + " claims " +
                            std::to_string(length) + " bytes but only " +
                            std::to_string(list.size() - at) + " remain");
            result.chunks.push_back({type, list.subspan(at, length)});
            at += padded_length(length) <= list.size() - at ? padded_length(length) : length;
        }
        return result;
    };

    const std::uint32_t first = load_le32(bytes.data());
    if (first == sig_sample_info::magic) {
        result.form = signature_form::sample_info;
        if (bytes.size() < sig_sample_info::bytes)
            return fail("sig_sample_info record is cut short");
        result.header = bytes.first(sig_sample_info::bytes);
        const auto list = bytes.subspan(sig_sample_info::bytes);
        const std::uint32_t size = load_le32(bytes.data() + 8);
        if (size != list.size())
            return fail("size word says " + std::to_string(size) + " bytes of chunks, the file holds " +
                        std::to_string(list.size()));
        if (list.size() < narrow_list_header_bytes)
            return fail("chunk list header is cut short");
        if (load_le32(list.data()) != to_u32(FpChunkType::fp_data_list_start))
            return fail("chunk list does not start with fp_data_list_start");
        if (load_le32(list.data() + 4) != list.size())
            return fail("chunk list length does not match the size word");
        return walk(list, narrow_list_header_bytes, 8, 0);
    }

    if (load_le32(bytes.data() + 4) != envelope_magic)
        return fail("not a signature: neither the compact envelope nor a sig_sample_info record");
    result.form = signature_form::compact;
    if (bytes.size() < envelope_bytes)
        return fail("envelope is cut short");
    result.header = bytes.first(envelope_bytes);
    const std::uint32_t length = first;
    if (load_le32(bytes.data() + 20) != length || load_le32(bytes.data() + 24) != (length ^ envelope_length_key))
        return fail("envelope length words disagree");
    if (length != bytes.size() - envelope_bytes)
        return fail("envelope says " + std::to_string(length) + " bytes of chunks, the file holds " +
                    std::to_string(bytes.size() - envelope_bytes));
    if (bytes.size() % 4 != 0)
        return fail("length is not a multiple of 4");
    // The checksum was taken with its own word 0: the sum of the stored words
    // minus the stored checksum.
    result.stored_checksum = load_le32(bytes.data() + envelope_checksum_offset);
    result.computed_checksum = checksum(bytes) - result.stored_checksum;
    result.checksum_checked = true;
    if (result.stored_checksum != result.computed_checksum)
        return fail("checksum mismatch: stored " + hex8(result.stored_checksum) + ", computed " +
                    hex8(result.computed_checksum));
    const auto list = bytes.subspan(envelope_bytes);
    if (list.size() < wide_list_header_bytes)
        return fail("chunk list header is cut short");
    if (load_le32(list.data() + 4) != to_u32(FpChunkType::fp_data_list_start))
        return fail("chunk list does not start with fp_data_list_start");
    if (load_le32(list.data() + 8) != list.size())
        return fail("chunk list length does not match the envelope");
    return walk(list, wide_list_header_bytes, 24, 4);
}

}  // namespace vxt
