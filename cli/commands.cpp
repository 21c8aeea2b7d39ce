#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "byte_order.h"
#include "checksum.h"
#include "peaks.h"
#include "signature_dump.h"
#include "signature_format.h"

namespace vxt::cli {
namespace {

using json = nlohmann::ordered_json;

// ---- dump ----

std::string describe_code(int code)
{
    switch (code) {
    case dump_bad_magic: return "bad magic value";
    case dump_bad_sample_info_length: return "sig_sample_info record is not 48 bytes";
    case dump_missing_or_unknown: return "missing section or unknown chunk type";
    case dump_bad_search_info_length: return "fp_search_info record is not 24 bytes";
    default: return "check failed with code " + std::to_string(code);
    }
}

std::string chunk_label(std::size_t index, std::uint32_t type)
{
    return "chunk " + std::to_string(index) + " (" + std::string(chunk_type_name(type)) + ", " + hex8(type) + ")";
}

// "3.1.2 " without its trailing space.
std::string version_string(std::uint32_t packed)
{
    std::string text = version_text(packed);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

bool is_pcm_type(std::uint32_t type)
{
    const std::uint32_t family = type & 0xFFFF0000u;
    return (family == 0x60010000u || family == 0x60810000u) && chunk_type_name(type) != "unknown format";
}

bool is_band_type(std::uint32_t type)
{
    return type >= to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp87_low) &&
           type <= to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp90_high);
}

bool is_compact_type(std::uint32_t type)
{
    return type >= to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0) &&
           type <= to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_4);
}

bool is_fat_type(std::uint32_t type)
{
    return type == to_u32(FpChunkType::fp_data_format_external_FATPEAK_8000HZ) ||
           type == to_u32(FpChunkType::fp_data_format_external_FATPEAK_16000HZ);
}

json sample_info_json(const sig_sample_info& record)
{
    const std::int32_t rate = rate_of_code(record.raw_rate_code());
    return json{
        {"magic_key", hex8(record.magic_key())},
        {"crc32", hex8(record.crc32())},
        {"size", record.size()},
        {"src_revision", version_string(record.src_revision())},
        {"track_id", record.track_id()},
        {"utc_us", record.utc()},
        {"time_source", record.time_source()},
        {"time_source_name", vxt::time_source_name(record.time_source())},
        {"raw_sample_rate_code", record.raw_rate_code()},
        {"raw_sample_rate", rate},
        {"internal_sample_rate", (record.internal_rate_bit() + 1) * 8000},
        {"raw_samples", record.raw_samples()},
        {"is_stream", record.is_stream()},
        {"stream_position", record.stream_position()},
        {"sig_length", record.sig_length()},
        {"payload_type", record.payload_type()},
        {"payload_type_name", vxt::payload_type_name(record.payload_type())},
        {"offset_adjustment", record.offset_adjustment()},
    };
}

json search_info_json(const fp_search_info& info)
{
    return json{
        {"magic_cookie", hex8(info.magic_cookie)},
        {"sample_length", info.sample_length},
        {"analysis_offset", info.analysis_offset},
        {"pipeline_version", version_string(info.pipeline_version)},
        {"offset_adjustment", info.offset_adjustment},
        {"analysis_length", info.analysis_length},
    };
}

json band_peaks_json(const std::vector<BandPeak>& peaks, bool with_peaks)
{
    json content{{"count", peaks.size()}};
    if (!with_peaks)
        return content;
    json list = json::array();
    for (const BandPeak& peak : peaks)
        list.push_back(json{{"time", peak.time},
                            {"frequency", peak.frequency},
                            {"frequency_hz", frequency_hz(peak.frequency)},
                            {"amplitude", peak.amplitude}});
    content["peaks"] = std::move(list);
    return content;
}

json fat_peaks_json(std::span<const std::uint8_t> payload, bool with_peaks)
{
    const std::size_t count = payload.size() / sizeof(FatPeak);
    json content{{"count", count}};
    if (!with_peaks)
        return content;
    json list = json::array();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = payload.data() + i * sizeof(FatPeak);
        const std::uint16_t frequency = load_le16(p + 4);
        list.push_back(json{{"frame", load_le32(p)},
                            {"frequency", frequency},
                            {"frequency_hz", frequency_hz(frequency)},
                            {"amplitude", load_le16(p + 6)},
                            {"time_curvature", load_le16(p + 8)},
                            {"freq_curvature", load_le16(p + 10)}});
    }
    content["peaks"] = std::move(list);
    return content;
}

// The decoded payload of a chunk, or null for a type without one (or a
// record of the wrong size).
json chunk_content(std::uint32_t type, std::span<const std::uint8_t> payload, bool with_peaks)
{
    if (type == to_u32(FpChunkType::fp_search_info)) {
        if (payload.size() != fp_search_info::bytes)
            return nullptr;
        return search_info_json(fp_search_info::load(payload.data()));
    }
    if (type == to_u32(FpChunkType::sig_sample_info)) {
        if (payload.size() != sig_sample_info::bytes)
            return nullptr;
        return sample_info_json(sig_sample_info::load(payload.data()));
    }
    if (is_compact_type(type))
        return band_peaks_json(decode_compact_peaks(payload), with_peaks);
    if (is_band_type(type)) {
        std::vector<BandPeak> peaks(payload.size() / sizeof(BandPeak));
        for (std::size_t i = 0; i < peaks.size(); ++i) {
            const std::uint8_t* p = payload.data() + i * sizeof(BandPeak);
            peaks[i] = {load_le32(p), load_le16(p + 4), load_le16(p + 6)};
        }
        return band_peaks_json(peaks, with_peaks);
    }
    if (is_fat_type(type))
        return fat_peaks_json(payload, with_peaks);
    if (is_pcm_type(type))
        return json{{"rate", type & 0xFFFFu}, {"samples", payload.size() / 2}};
    return nullptr;
}

// ---- signature ----

std::uint32_t le32_at(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// The peaks of a signature fresh from get_signature, counted from its bytes.
// The compact form is a 32-byte envelope, then a 24-byte list header and
// chunks with 24-byte headers (type at 4, padded payload length at 8); the
// sig_sample_info form (first word 0xCAFE2580) is a 48-byte record, then an
// 8-byte list header and chunks with 8-byte headers (type, padded length).
// Peak chunks: compact band lists 0x60030040 to 0x60030044 (5-byte records,
// those starting with 255 being time escapes), plain band lists 0x60030001 to
// 0x60030006 (8 bytes a peak) and fat peaks 0x60021F40 and 0x60023E80 (12
// bytes a peak). A walk that runs off the end stops there.
std::size_t count_peaks(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8)
        return 0;
    const bool sample_info_form = le32_at(bytes, 0) == 0xCAFE2580u;
    const std::size_t header = sample_info_form ? 8 : 24;
    const std::size_t type_at = sample_info_form ? 0 : 4;
    std::size_t at = sample_info_form ? 48 + 8 : 32 + 24;
    std::size_t peaks = 0;
    while (at + header <= bytes.size()) {
        const std::uint32_t type = le32_at(bytes, at + type_at);
        const std::size_t length = le32_at(bytes, at + type_at + 4);
        at += header;
        if (length > bytes.size() - at)
            break;
        const auto payload = bytes.subspan(at, length);
        if (type >= 0x60030040u && type <= 0x60030044u) {
            for (std::size_t record = 0; record + 5 <= payload.size(); record += 5)
                peaks += payload[record] != 255;
        } else if (type >= 0x60030001u && type <= 0x60030006u) {
            peaks += payload.size() / 8;
        } else if (type == 0x60021F40u || type == 0x60023E80u) {
            peaks += payload.size() / 12;
        }
        at += length;
    }
    return peaks;
}

}  // namespace

// ---- signature ----

std::vector<std::uint8_t> sign_file(const std::string& path, const signature_options& options,
                                    const note_sink& note)
{
    audio_reader reader(path, options.channels);
    if (reader.converting() && note)
        note("converting " + std::to_string(reader.file_rate()) + " Hz to " + std::to_string(reader.rate()) +
             " Hz");

    engine_handle engine;
    try {
        engine = create_engine(options.type, reader.rate(), options.flags);
    } catch (const VXT_Exception& e) {
        throw cli_error("cannot create the engine (code " + std::to_string(e.code()) + ")");
    }

    std::vector<std::int16_t> block;
    block.reserve(audio_reader::block_frames);
    std::uint64_t samples = 0;
    while (reader.read(block)) {
        samples += block.size();
        // A block holds at most block_frames samples: the count fits.
        if (feed_samples(engine, block.data(), static_cast<std::int32_t>(block.size())) != result_ok)
            throw cli_error("the engine failed while taking audio");
    }

    std::vector<std::uint8_t> bytes;
    if (get_signature(engine, bytes, options.seconds) != result_ok)
        throw cli_error("the engine failed to make a signature");
    // A signature of nothing is valid, but rarely what was meant.
    if (note && samples == 0)
        note("the file held no audio: the signature is empty");
    else if (note && count_peaks(bytes) == 0)
        note("the audio held no peaks: the signature is empty");
    return bytes;
}

// ---- dump ----

std::vector<std::uint8_t> read_signature_file(const std::string& path)
{
    const bool standard_input = path == "-";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, std::fclose);
    std::FILE* file = stdin;
    if (!standard_input) {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned)
            throw cli_error(std::strerror(errno));
        file = owned.get();
    }

    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (bytes.size() + got > max_signature_bytes)
            throw cli_error("larger than " + std::to_string(max_signature_bytes >> 20) +
                            " MiB, too large for a signature");
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(file))
        throw cli_error(std::string("read error: ") + std::strerror(errno));
    return bytes;
}

std::string find_problem(std::span<const std::uint8_t> bytes)
{
    const parsed_signature parsed = parse_signature(bytes);
    if (!parsed.ok())
        return parsed.error;
    if (parsed.form == signature_form::sample_info) {
        const int code = print_sig_sample_info(parsed.header.data(), parsed.header.size(), 0, nullptr);
        if (code != dump_valid)
            return "sig_sample_info record: " + describe_code(code);
    }
    for (std::size_t i = 0; i < parsed.chunks.size(); ++i) {
        const parsed_chunk& chunk = parsed.chunks[i];
        const int code = print_chunk(chunk.type, chunk.payload.data(), chunk.payload.size(), 0, nullptr);
        if (code != dump_valid)
            return chunk_label(i, chunk.type) + ": " + describe_code(code);
    }
    return {};
}

text_dump dump_text(std::span<const std::uint8_t> bytes, int verbosity)
{
    text_dump result;
    std::string error;
    dump_signature(bytes, verbosity, result.text, error);
    result.problem = find_problem(bytes);
    return result;
}

json dump_json(std::span<const std::uint8_t> bytes, int verbosity)
{
    const parsed_signature parsed = parse_signature(bytes);
    const std::string problem = find_problem(bytes);
    const bool with_peaks = verbosity >= 4;

    json doc;
    if (parsed.header.empty())
        doc["form"] = nullptr;
    else
        doc["form"] = parsed.form == signature_form::compact ? "compact" : "sig_sample_info";
    doc["size"] = bytes.size();
    doc["valid"] = problem.empty();
    if (!problem.empty())
        doc["error"] = problem;

    if (!parsed.header.empty() && parsed.form == signature_form::compact) {
        const std::uint8_t* h = parsed.header.data();
        const std::uint32_t stored = load_le32(h + envelope_checksum_offset);
        json sum{{"stored", hex8(stored)}};
        if (bytes.size() % 4 == 0) {
            const std::uint32_t computed = checksum(bytes) - stored;
            sum["computed"] = hex8(computed);
            sum["verified"] = computed == stored;
        } else {
            sum["computed"] = nullptr;
            sum["verified"] = false;
        }
        doc["envelope"] = json{
            {"length", load_le32(h)},
            {"magic", hex8(load_le32(h + 4))},
            {"payload_type", load_le32(h + 12) & 3},
            {"payload_type_name", vxt::payload_type_name(load_le32(h + 12))},
            {"checksum", std::move(sum)},
        };
    } else if (!parsed.header.empty()) {
        doc["sig_sample_info"] = sample_info_json(sig_sample_info::load(parsed.header.data()));
    }

    json chunks = json::array();
    for (const parsed_chunk& chunk : parsed.chunks) {
        chunks.push_back(json{
            {"type", hex8(chunk.type)},
            {"name", chunk_type_name(chunk.type)},
            {"length", chunk.payload.size()},
            {"content", chunk_content(chunk.type, chunk.payload, with_peaks)},
        });
    }
    doc["chunks"] = std::move(chunks);
    return doc;
}

float frequency_hz(std::uint16_t frequency) noexcept
{
    return static_cast<float>(frequency) * 0.015625f * 7.8125f;
}

}  // namespace vxt::cli
