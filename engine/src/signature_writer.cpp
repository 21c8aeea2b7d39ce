#include "signature_writer.h"

#include "chunk_types.h"
#include "engine_error.h"
#include "envelope.h"
#include "peak_codec.h"

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
    chunk_list chunks;
    chunks.push_back(
        FpChunk::make(to_u32(FpChunkType::fp_data_format_external_FATPEAK_8000HZ), encode_fat_peaks(peaks)));
    return chunks;
}

void write_signature(const sig_sample_info& record, const signature_timing& timing, chunk_list& chunks,
                     std::uint32_t version, signature_form form, std::vector<std::uint8_t>& out)
{
    sig_sample_info header = record;
    header.set_stream_position(timing.start_frame);
    header.set_sig_length(timing.length_frames);
    header.set_utc(timing.timestamp_us);
    header.set_time_source(timing.clock_state);
    header.set_raw_samples(timing.sample_count);

    if (form == signature_form::sample_info) {
        remove_chunks(chunks, to_u32(FpChunkType::fp_search_info));
        if (sig_sample_info::bytes + narrow_list_length(chunks) > max_signature_bytes)
            raise(error_invalid_configuration, "signature too large: it would pass the 256 MiB limit");
        header.set_src_revision(version);
        header.words[1] = sig_sample_info::crc_placeholder;
        write_sample_info_form(header, chunks, out);
        return;
    }

    if (!has_chunk(chunks, to_u32(FpChunkType::fp_search_info))) {
        fp_search_info info;
        // Raw samples / rate * 8000 in this order: a reordered product
        // differs by one for some counts. The low 32 bits are kept.
        // The count as the record holds it, in 48 bits.
        const double samples_at_8k =
            timing.input_rate > 0 ? static_cast<double>(header.raw_samples()) / timing.input_rate * 8000.0 : 0.0;
        info.sample_length = static_cast<std::uint32_t>(static_cast<std::uint64_t>(samples_at_8k));
        info.pipeline_version = version;
        info.offset_adjustment = header.offset_adjustment();
        std::uint8_t bytes[fp_search_info::bytes];
        info.store(bytes);
        insert_chunk(chunks, FpChunk::make(to_u32(FpChunkType::fp_search_info), bytes));
    }
    remove_chunks(chunks, to_u32(FpChunkType::sig_sample_info));
    if (envelope_bytes + wide_list_length(chunks) > max_signature_bytes)
        raise(error_invalid_configuration, "signature too large: it would pass the 256 MiB limit");
    write_compact_form(chunks, header.payload_type(), out);
}

}  // namespace vxt
