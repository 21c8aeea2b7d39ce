// The signature writer: a request's peaks to signature bytes.
//
// Builds the chunk list of a request (compact band chunks for types 1 to 3,
// one fat-peak chunk for type 4), stamps the request's timing into the
// sig_sample_info record, and serialises record and list in the compact form
// or the sig_sample_info form. Holds no state of its own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "band_selector.h"
#include "chunk_list.h"
#include "records.h"
#include "vextune/config.h"
#include "vextune/peaks.h"

namespace vxt {

// Three owned chunks 0x60030040..0x60030042, one per band, in band order.
chunk_list build_compact_chunks(const band_lists& lists);

// One chunk 0x60021F40 holding every peak, 12 bytes each, in detector order.
chunk_list build_fat_peak_chunks(std::span<const FatPeak> peaks);

struct signature_timing {
    std::uint64_t start_frame = 0;
    std::uint32_t length_frames = 0;
    std::uint64_t timestamp_us = 0;  // UTC microseconds since 1970, 0 without a clock
    std::uint32_t clock_state = 0;   // 1 system clock, 0 none
    std::uint64_t sample_count = 0;  // input samples from the start frame on, plus 0.24 s
    std::int32_t input_rate = 0;     // Hz
};

// Serialises into out (resized to the exact length). The record gives the
// fixed fields; timing and version are stamped into a copy of it. The
// compact form gets an fp_search_info chunk if the list has none and drops
// sig_sample_info chunks; the sig_sample_info form drops fp_search_info
// chunks. Throws VXT_Exception -7, writing nothing, when the signature would
// pass max_signature_bytes.
void write_signature(const sig_sample_info& record, const signature_timing& timing, chunk_list& chunks,
                     std::uint32_t version, signature_form form, std::vector<std::uint8_t>& out);

}  // namespace vxt
