#include "signature_writer.h"

#include <algorithm>

#include "byte_order.h"

namespace vxt {

chunk_list build_compact_chunks(const band_lists& lists)
{
    chunk_list chunks;
    chunks.reserve(lists.size() + 3);  // room for the search record and captures
    for (std::size_t band = 0; band < lists.size(); ++band) {
        const auto type = to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0) + static_cast<std::uint32_t>(band);
        chunks.push_back(FpChunk::make(type, encode_compact_peaks(lists[band])));
    }
    return chunks;
}

chunk_list build_fat_peak_chunks(std::span<const FatPeak> peaks)
{
    std::vector<std::uint8_t> bytes(peaks.size() * sizeof(FatPeak));
    std::uint8_t* p = bytes.data();
    for (const FatPeak& peak : peaks) {
        store_le32(p, peak.frame);
        store_le16(p + 4, peak.frequency);
        store_le16(p + 6, peak.amplitude);
        store_le16(p + 8, peak.time_curvature);
        store_le16(p + 10, peak.freq_curvature);
        p += sizeof(FatPeak);
    }
    chunk_list chunks;
    chunks.push_back(FpChunk::make(to_u32(FpChunkType::fp_data_format_external_FATPEAK_8000HZ), bytes));
    return chunks;
}

void store_timing(sig_sample_info& record, const signature_timing& timing) noexcept
{
    record.set_stream_position(timing.start_frame);
    record.set_sig_length(timing.length_frames);
    record.set_utc(timing.timestamp_us);
    record.set_time_source(timing.clock_state);
    record.set_raw_samples(timing.sample_count);
}

void write_signature(const sig_sample_info& record, chunk_list& chunks, std::uint32_t version,
                     signature_layout layout, std::vector<std::uint8_t>& out)
{
    if (layout == signature_layout::sample_info) {
        remove_chunks(chunks, to_u32(FpChunkType::fp_search_info));
        sig_sample_info header = record;
        header.set_src_revision(version);
        header.words[1] = sig_sample_info::crc_placeholder;
        write_sample_info_form(header, chunks, out);
        return;
    }

    const bool has_search_info = std::any_of(chunks.begin(), chunks.end(), [](const FpChunk& chunk) {
        return chunk.type == to_u32(FpChunkType::fp_search_info);
    });
    if (!has_search_info) {
        fp_search_info info;
        // Raw samples / rate * 8000 in this order: a reordered product
        // differs by one for some counts. The low 32 bits are kept.
        const std::int32_t rate = rate_of_code(record.raw_rate_code());
        const double samples_at_8k =
            rate > 0 ? static_cast<double>(record.raw_samples()) / rate * 8000.0 : 0.0;
        info.sample_length = static_cast<std::uint32_t>(static_cast<std::uint64_t>(samples_at_8k));
        info.pipeline_version = version;
        info.offset_adjustment = record.offset_adjustment();
        std::uint8_t bytes[fp_search_info::bytes];
        info.store(bytes);
        insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_search_info), bytes));
    }
    remove_chunks(chunks, to_u32(FpChunkType::sig_sample_info));
    write_compact_form(chunks, record.payload_type(), out);
}

}  // namespace vxt
