// libFuzzer target: the signature reader, the text dump and the JSON dump on
// arbitrary bytes.
//
// Each input is read as it is and, when it looks like one of the two outer
// forms, a second time with its derived words (length words, size words and
// the compact form's checksum) made consistent, so that mutations reach the
// chunk walk and the chunk printers instead of stopping at the checksum.
//
// Beyond what the sanitizers catch, the target stops on any broken promise
// of the reader:
//   - every parsed payload lies inside the input;
//   - a failed walk makes dump_signature return 1 with the walk's message;
//   - read_signature and the JSON dump report the same problem, and every
//     decoded list belongs to a chunk of its kind;
//   - dump and printer codes are among 0, 1, 2, 4, 6, and a printer's code
//     depends neither on the verbosity nor on whether text is collected;
//   - decoding n compact bytes gives at most n / 5 peaks, and a decoded list
//     in time order survives encoding and decoding again unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "byte_order.h"
#include "checksum.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_dump.h"
#include "signature_reader.h"
#include "vextune/dump.h"
#include "vextune/signature.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "signature_reader_fuzz: broken promise: %s\n", what);
        std::abort();
    }
}

bool known_code(int code)
{
    return code == vxt::check_valid || code == vxt::check_bad_magic || code == vxt::check_bad_sample_info_length ||
           code == vxt::check_missing || code == vxt::check_bad_search_info_length;
}

void check_chunk(const vxt::parsed_chunk& chunk)
{
    const std::uint8_t* payload = chunk.payload.data();
    const std::size_t length = chunk.payload.size();

    const int quiet = vxt::print_chunk(chunk.type, payload, length, 0, nullptr);
    require(known_code(quiet), "printer code outside 0, 1, 2, 4, 6");
    for (int verbosity = 0; verbosity <= 4; ++verbosity) {
        std::string text;
        require(vxt::print_chunk(chunk.type, payload, length, verbosity, &text) == quiet,
                "printer code depends on the verbosity or on the text output");
        require(vxt::print_chunk(chunk.type, payload, length, verbosity, nullptr) == quiet,
                "printer code depends on the verbosity");
    }

    const std::vector<vxt::BandPeak> peaks = vxt::decode_compact_peaks(chunk.payload);
    require(peaks.size() <= length / vxt::compact_peak_bytes, "more peaks than 5-byte records");
    for (std::size_t i = 1; i < peaks.size(); ++i) {
        if (peaks[i].time < peaks[i - 1].time)
            return;
    }
    const std::vector<std::uint8_t> encoded = vxt::encode_compact_peaks(peaks);
    require(vxt::decode_compact_peaks(encoded) == peaks, "compact peaks do not survive a round trip");
}

void check_reader(std::span<const std::uint8_t> bytes)
{
    const vxt::parsed_signature parsed = vxt::parse_signature(bytes);
    const std::uint8_t* begin = bytes.data();
    const std::uint8_t* end = begin + bytes.size();
    for (const vxt::parsed_chunk& chunk : parsed.chunks) {
        require(chunk.payload.empty() || (chunk.payload.data() >= begin && chunk.payload.data() <= end &&
                                          chunk.payload.size() <= static_cast<std::size_t>(end - chunk.payload.data())),
                "payload outside the input");
        check_chunk(chunk);
    }
    if (!parsed.header.empty())
        require(parsed.header.data() == begin && parsed.header.size() <= bytes.size(), "header outside the input");

    for (int verbosity : {0, 4}) {
        std::ostringstream text;
        std::string error;
        const int code = vxt::dump_signature(text, bytes, verbosity, &error);
        require(known_code(code), "dump code outside 0, 1, 2, 4, 6");
        if (!parsed.ok())
            require(code == vxt::check_bad_magic && error == parsed.error, "failed walk not reported by the dump");
        else
            require(error.empty(), "error text for a walk that succeeded");
    }

    vxt::read_options options;
    options.audio = true;
    const vxt::decoded_signature decoded = vxt::read_signature(bytes, options);
    require(decoded.ok() == (vxt::find_problem(parsed).empty()), "reader and walk disagree on validity");
    require(decoded.chunks.size() == parsed.chunks.size(), "reader lists other chunks than the walk");
    for (const vxt::band_list& list : decoded.bands)
        require(list.chunk < decoded.chunks.size() && list.band < 5, "band list without its chunk");
    for (const vxt::audio_capture& audio : decoded.audio)
        require(audio.chunk < decoded.chunks.size() && audio.samples.size() == audio.sample_count,
                "capture without its chunk or with other samples");
    std::ostringstream json;
    require(vxt::dump_signature_json(json, bytes, 4) == decoded.error, "JSON dump reports another problem");
}

// The input with its derived words recomputed, when it carries the marker of
// one of the two forms and the fix changes something.
std::optional<std::vector<std::uint8_t>> repaired(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8)
        return std::nullopt;
    std::vector<std::uint8_t> fixed(bytes.begin(), bytes.end());
    std::uint8_t* p = fixed.data();

    if (vxt::load_le32(p) == vxt::sig_sample_info::magic) {
        if (fixed.size() < vxt::sig_sample_info::bytes + vxt::narrow_list_header_bytes)
            return std::nullopt;
        const auto list = static_cast<std::uint32_t>(fixed.size() - vxt::sig_sample_info::bytes);
        vxt::store_le32(p + 8, list);
        vxt::store_le32(p + vxt::sig_sample_info::bytes + 4, list);
    } else if (vxt::load_le32(p + 4) == vxt::envelope_magic) {
        if (fixed.size() < vxt::envelope_bytes + vxt::wide_list_header_bytes || fixed.size() % 4 != 0)
            return std::nullopt;
        const auto list = static_cast<std::uint32_t>(fixed.size() - vxt::envelope_bytes);
        vxt::store_le32(p + 0, list);
        vxt::store_le32(p + 20, list);
        vxt::store_le32(p + 24, list ^ vxt::envelope_length_key);
        vxt::store_le32(p + vxt::envelope_bytes + 8, list);
        vxt::store_le32(p + vxt::envelope_checksum_offset, 0);
        vxt::store_le32(p + vxt::envelope_checksum_offset, vxt::checksum(fixed));
    } else {
        return std::nullopt;
    }
    if (std::equal(fixed.begin(), fixed.end(), bytes.begin()))
        return std::nullopt;
    return fixed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    check_reader(bytes);
    if (const auto fixed = repaired(bytes))
        check_reader(*fixed);
    return 0;
}
