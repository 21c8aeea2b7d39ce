#include "signature_reader.h"

#include "byte_order.h"
#include "checksum.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"

namespace vxt {

parsed_signature parse_signature(std::span<const std::uint8_t> bytes)
{
    parsed_signature result;
    const auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    if (bytes.size() < 8)
        return fail("too short for a signature (" + std::to_string(bytes.size()) + " bytes)");
    if (bytes.size() > max_signature_bytes)
        return fail("larger than " + std::to_string(max_signature_bytes >> 20) + " MiB, too large for a signature");

    // The chunk headers of both list forms: the type at type_at, the padded
    // payload length at type_at + 4, the payload after header bytes.
    const auto walk = [&](std::span<const std::uint8_t> list, std::size_t list_header, std::size_t header,
                          std::size_t type_at) {
        std::size_t at = list_header;
        while (at < list.size()) {
            if (list.size() - at < header)
                return fail("chunk header at list offset " + std::to_string(at) + " is cut short");
            const std::uint32_t type = load_le32(list.data() + at + type_at);
            const std::uint32_t length = load_le32(list.data() + at + type_at + 4);
            at += header;
            if (length > list.size() - at)
                return fail("chunk " + std::string(type_name_of(type)) + " claims " + std::to_string(length) +
                            " bytes but only " + std::to_string(list.size() - at) + " remain");
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
        const std::uint32_t size = load_le32(bytes.data() + sample_info_size_offset);
        if (size != list.size())
            return fail("size word says " + std::to_string(size) + " bytes of chunks, the file holds " +
                        std::to_string(list.size()));
        if (list.size() < narrow_list_header_bytes)
            return fail("chunk list header is cut short");
        if (load_le32(list.data()) != to_u32(FpChunkType::fp_data_list_start))
            return fail("chunk list does not start with fp_data_list_start");
        if (load_le32(list.data() + 4) != list.size())
            return fail("chunk list length does not match the size word");
        return walk(list, narrow_list_header_bytes, narrow_chunk_header_bytes, 0);
    }

    if (load_le32(bytes.data() + envelope_magic_offset) != envelope_magic)
        return fail("not a signature: neither the compact envelope nor a sig_sample_info record");
    result.form = signature_form::compact;
    if (bytes.size() < envelope_bytes)
        return fail("envelope is cut short");
    result.header = bytes.first(envelope_bytes);
    const std::uint32_t length = first;
    if (load_le32(bytes.data() + envelope_length_copy_offset) != length ||
        load_le32(bytes.data() + envelope_length_check_offset) != (length ^ envelope_length_key))
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
    return walk(list, wide_list_header_bytes, wide_chunk_header_bytes, 4);
}

signature_envelope envelope_fields(const parsed_signature& parsed)
{
    signature_envelope e;
    if (parsed.header.size() < envelope_bytes)
        return e;
    const std::uint8_t* h = parsed.header.data();
    e.length = load_le32(h);
    e.magic = load_le32(h + envelope_magic_offset);
    e.payload_type = load_le32(h + envelope_payload_type_offset);
    e.stored_checksum = load_le32(h + envelope_checksum_offset);
    e.checksum_checked = parsed.checksum_checked;
    e.computed_checksum = parsed.computed_checksum;
    return e;
}

signature_sample_info sample_info_fields(std::span<const std::uint8_t> bytes)
{
    signature_sample_info f;
    if (bytes.size() < sig_sample_info::bytes)
        return f;
    const sig_sample_info r = sig_sample_info::load(bytes.data());
    f.magic_key = r.magic_key();
    f.crc32 = r.crc32();
    f.size = r.size();
    f.src_revision = r.src_revision();
    f.track_id = r.track_id();
    f.utc_us = r.utc();
    f.time_source = r.time_source();
    f.raw_rate_code = r.raw_rate_code();
    f.raw_rate = rate_of_code(r.raw_rate_code());
    f.internal_rate = (r.internal_rate_bit() + 1) * 8000;
    f.raw_samples = r.raw_samples();
    f.is_stream = r.is_stream();
    f.stream_position = r.stream_position();
    f.sig_length = r.sig_length();
    f.payload_type = r.payload_type();
    f.offset_adjustment = r.offset_adjustment();
    return f;
}

signature_search_info search_info_fields(std::span<const std::uint8_t> bytes)
{
    signature_search_info f;
    if (bytes.size() < fp_search_info::bytes)
        return f;
    const fp_search_info r = fp_search_info::load(bytes.data());
    f.magic_cookie = r.magic_cookie;
    f.sample_length = r.sample_length;
    f.analysis_offset = r.analysis_offset;
    f.pipeline_version = r.pipeline_version;
    f.offset_adjustment = r.offset_adjustment;
    f.analysis_length = r.analysis_length;
    return f;
}

std::string describe_check(int code)
{
    switch (code) {
    case check_bad_magic: return "bad magic value";
    case check_bad_sample_info_length: return "sig_sample_info record is not 48 bytes";
    case check_missing: return "missing section or unknown chunk type";
    case check_bad_search_info_length: return "fp_search_info record is not 24 bytes";
    default: return "check failed with code " + std::to_string(code);
    }
}

std::string find_problem(const parsed_signature& parsed)
{
    if (!parsed.ok())
        return parsed.error;
    if (parsed.form == signature_form::sample_info) {
        if (const int code = check_sample_info(parsed.header); code != check_valid)
            return "sig_sample_info record: " + describe_check(code);
    }
    for (std::size_t i = 0; i < parsed.chunks.size(); ++i) {
        const parsed_chunk& chunk = parsed.chunks[i];
        if (const int code = check_chunk(chunk.type, chunk.payload); code != check_valid)
            return "chunk " + std::to_string(i) + " (" + std::string(type_name_of(chunk.type)) + ", " +
                   hex8(chunk.type) + "): " + describe_check(code);
    }
    return {};
}

decoded_signature read_signature(std::span<const std::uint8_t> bytes, const read_options& options)
{
    decoded_signature d;
    d.size = bytes.size();
    const parsed_signature parsed = parse_signature(bytes);
    d.error = find_problem(parsed);
    if (parsed.header.empty())
        return d;

    d.form = parsed.form;
    if (parsed.form == signature_form::compact)
        d.envelope = envelope_fields(parsed);
    else
        d.sample_info = sample_info_fields(parsed.header);

    for (const parsed_chunk& chunk : parsed.chunks) {
        const std::size_t index = d.chunks.size();
        d.chunks.push_back({chunk.type, chunk.payload});
        switch (content_of(chunk.type)) {
        case chunk_content::search_info:
            if (chunk.payload.size() == fp_search_info::bytes && !d.search_info)
                d.search_info = search_info_fields(chunk.payload);
            break;
        case chunk_content::compact_peaks:
        case chunk_content::band_peaks: {
            band_list list{index, band_of(chunk.type), {}};
            if (options.peaks)
                list.peaks = content_of(chunk.type) == chunk_content::compact_peaks
                                 ? decode_compact_peaks(chunk.payload)
                                 : decode_band_peaks(chunk.payload);
            d.bands.push_back(std::move(list));
            break;
        }
        case chunk_content::fat_peaks:
            d.fat_peaks.push_back({index, options.peaks ? decode_fat_peaks(chunk.payload) : std::vector<FatPeak>{}});
            break;
        case chunk_content::pcm:
            d.audio.push_back({index, pcm_rate_of(chunk.type), (chunk.type & 0x00800000u) != 0,
                               chunk.payload.size() / 2,
                               options.audio ? decode_pcm(chunk.payload) : std::vector<std::int16_t>{}});
            break;
        default: break;
        }
    }

    if (d.sample_info) {
        const signature_sample_info& r = *d.sample_info;
        d.timing.start_frame = r.stream_position;
        d.timing.length_frames = r.sig_length;
        d.timing.timestamp_us = r.utc_us;
        d.timing.audio_seconds = r.raw_rate > 0 ? static_cast<double>(r.raw_samples) / r.raw_rate : 0.0;
    } else if (d.search_info) {
        d.timing.audio_seconds = static_cast<double>(d.search_info->sample_length) / internal_rate;
    }
    return d;
}

std::size_t decoded_signature::band_peak_count() const noexcept
{
    std::size_t n = 0;
    for (const band_list& list : bands)
        n += list.peaks.size();
    return n;
}

std::size_t decoded_signature::fat_peak_count() const noexcept
{
    std::size_t n = 0;
    for (const fat_peak_list& list : fat_peaks)
        n += list.peaks.size();
    return n;
}

const char* chunk_type_name(std::uint32_t type) noexcept
{
    return type_name_of(type).data();
}

std::string version_string(std::uint32_t packed)
{
    std::string text = version_text(packed);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

}  // namespace vxt
