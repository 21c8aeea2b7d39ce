// Writes the seed corpus of the signature-reader fuzzer into a directory:
//
//   make_corpus DIR
//
// Real signatures come from the engine fed a short deterministic signal (all
// four types, both outer forms, the band configurations and the two capture
// flags; always without a timestamp, so the files are the same on every
// run). Malformed ones are assembled with the format's own writers: odd
// chunks inside valid envelopes, cut and corrupted copies of real ones.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "byte_order.h"
#include "vextune/peaks.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_reader.h"
#include "vextune/vextuneAPI.h"

namespace {

using bytes_t = std::vector<std::uint8_t>;

std::filesystem::path out_dir;
int written = 0;

void save(const std::string& name, const bytes_t& bytes)
{
    std::ofstream file(out_dir / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        std::fprintf(stderr, "make_corpus: cannot write %s\n", (out_dir / name).c_str());
        std::exit(1);
    }
    ++written;
}

// Three gliding tones over a quiet pseudo-random floor.
std::vector<std::int16_t> signal(std::int32_t rate, double seconds)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> pcm(count);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        double x = 0.0;
        for (double f : {330.0, 880.0, 2100.0})
            x += 3000.0 * std::sin(2.0 * std::numbers::pi * f * (1.0 + 0.2 * t) * t);
        noise = noise * 1664525u + 1013904223u;
        x += static_cast<double>(noise >> 24) - 128.0;
        pcm[i] = static_cast<std::int16_t>(std::lround(x));
    }
    return pcm;
}

bytes_t engine_signature(vxt::SignatureType type, std::int32_t rate, vxt::EngineFlags flags, double seconds,
                         double request = 0.0)
{
    vxt::engine_handle engine = vxt::create_engine(type, rate, flags | vxt::flag_no_timestamp);
    const auto pcm = signal(rate, seconds);
    bytes_t out;
    if (vxt::feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size())) != vxt::result_ok ||
        vxt::get_signature(engine, out, request) != vxt::result_ok) {
        std::fprintf(stderr, "make_corpus: the engine failed (type %d, rate %d)\n", type, rate);
        std::exit(1);
    }
    return out;
}

vxt::FpChunk chunk(std::uint32_t type, const bytes_t& payload)
{
    return vxt::FpChunk::make(type, payload);
}

vxt::FpChunk search_info_chunk()
{
    bytes_t payload(vxt::fp_search_info::bytes);
    vxt::fp_search_info{}.store(payload.data());
    return chunk(vxt::to_u32(vxt::FpChunkType::fp_search_info), payload);
}

bytes_t compact_form(vxt::chunk_list chunks)
{
    bytes_t out;
    vxt::write_compact_form(chunks, 2, out);
    return out;
}

bytes_t sample_info_form(const vxt::chunk_list& chunks)
{
    vxt::sig_sample_info record;
    record.initialise(16000, 8000, vxt::pack_version("3.1.2"));
    bytes_t out;
    vxt::write_sample_info_form(record, chunks, out);
    return out;
}

bytes_t compact_record(std::uint8_t delta, std::uint16_t amplitude, std::uint16_t frequency)
{
    bytes_t r(vxt::compact_peak_bytes);
    r[0] = delta;
    vxt::store_le16(r.data() + 1, amplitude);
    vxt::store_le16(r.data() + 3, frequency);
    return r;
}

bytes_t compact_escape(std::uint32_t time)
{
    bytes_t r(vxt::compact_peak_bytes);
    r[0] = vxt::compact_escape;
    vxt::store_le32(r.data() + 1, time);
    return r;
}

bytes_t concat(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

void real_signatures()
{
    using vxt::flag_capture_input;
    using vxt::flag_capture_resampled;
    using vxt::flag_sample_info_form;
    save("type1-compact", engine_signature(1, 32000, 0, 3.0));
    save("type1-sample-info", engine_signature(1, 11025, flag_sample_info_form, 3.0));
    // The most recent 2.5 s of 5 s: the last two periods.
    save("type2-recent-compact", engine_signature(2, 16000, 0, 5.0, 2.5));
    save("type2-sample-info", engine_signature(2, 16000, flag_sample_info_form, 3.0));
    // Type 3 always comes in the sig_sample_info form.
    save("type3-sample-info", engine_signature(3, 16000, 0, 3.0));
    save("type4-compact", engine_signature(4, 16000, 0, 3.0));
    save("type4-sample-info", engine_signature(4, 16000, flag_sample_info_form, 3.0));
    save("type2-config100-compact", engine_signature(2, 8000, 0x100, 3.0));
    save("type2-config200-sample-info", engine_signature(2, 44100, 0x200 | flag_sample_info_form, 3.0));
    save("type1-config300-compact", engine_signature(1, 48000, 0x300, 3.0));
    // The captures hold the audio itself: keep it to a tenth of a second.
    save("type2-captures-compact", engine_signature(2, 11025, flag_capture_input | flag_capture_resampled, 0.1));
    save("type4-capture-resampled-sample-info",
         engine_signature(4, 32000, flag_capture_resampled | flag_sample_info_form, 0.1));
    save("type3-capture-input-sample-info", engine_signature(3, 8000, flag_capture_input | flag_sample_info_form, 0.1));
}

void malformed_signatures()
{
    using vxt::FpChunkType;
    using vxt::to_u32;

    // Odd chunks inside well-formed envelopes.
    const bytes_t peaks = concat({compact_record(3, 900, 5000),
                                  compact_escape(70000),
                                  compact_record(0, 1, 2048),
                                  compact_escape(5),
                                  compact_record(254, 65535, 28671),
                                  {0xff, 0x01}});
    save("odd-chunks-compact",
         compact_form({search_info_chunk(), chunk(0x12345678, {1, 2, 3, 4, 5}),
                       chunk(to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0), peaks),
                       chunk(to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_4), compact_escape(0xffffffff)),
                       chunk(to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp87_low), bytes_t(13, 0x5a)),
                       chunk(to_u32(FpChunkType::fp_data_format_external_FATPEAK_8000HZ), bytes_t(30, 0xa5))}));
    save("short-search-info-compact", compact_form({chunk(to_u32(FpChunkType::fp_search_info), bytes_t(20, 0xef)),
                                                    chunk(to_u32(FpChunkType::sig_sample_info), bytes_t(48, 0x11))}));
    save("nested-sample-info",
         sample_info_form({chunk(to_u32(FpChunkType::sig_sample_info), bytes_t(47, 0x80)), search_info_chunk(),
                           chunk(to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_2), peaks)}));
    save("empty-list-sample-info", sample_info_form({}));

    // Cut and corrupted copies of a real signature.
    const bytes_t compact = engine_signature(2, 16000, 0, 3.0);
    save("cut-compact", bytes_t(compact.begin(), compact.begin() + static_cast<std::ptrdiff_t>(compact.size() / 2)));
    bytes_t bad_sum = compact;
    bad_sum[bad_sum.size() - 3] ^= 0x40;
    save("bad-checksum-compact", bad_sum);

    const bytes_t info = engine_signature(1, 16000, vxt::flag_sample_info_form, 3.0);
    save("cut-sample-info", bytes_t(info.begin(), info.end() - 7));
    // The first chunk claims more bytes than the list holds; the size words
    // still agree with the file.
    bytes_t overlong = info;
    vxt::store_le32(overlong.data() + vxt::sig_sample_info::bytes + vxt::narrow_list_header_bytes + 4, 0x7ffffff0);
    save("overlong-chunk-sample-info", overlong);

    save("too-short", {0x80, 0x25, 0xfe, 0xca, 0, 0, 0});
    save("bare-record", bytes_t(info.begin(), info.begin() + vxt::sig_sample_info::bytes));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    out_dir = argv[1];
    std::filesystem::create_directories(out_dir);
    real_signatures();
    malformed_signatures();
    std::printf("make_corpus: %d files in %s\n", written, out_dir.c_str());
    return 0;
}
