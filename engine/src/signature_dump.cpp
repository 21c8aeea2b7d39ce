#include "signature_dump.h"

#include <cstdio>
#include <ctime>
#include <limits>
#include <ostream>

#include "byte_order.h"
#include "chunk_types.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_reader.h"
#include "vextune/config.h"
#include "vextune/peaks.h"

namespace vxt {
namespace {

int print_nothing(const std::uint8_t*, std::size_t, int, std::string*, std::ostream*)
{
    return check_valid;
}

int print_unknown(const std::uint8_t*, std::size_t, int verbosity, std::string* out, std::ostream*)
{
    if (out && verbosity >= 1)
        *out += "ERROR: unknown fp_data_header type\n";
    return check_missing;
}

constexpr std::string_view time_source_names[8] = {"none",    "system clock", "NTP",     "GPS",
                                                   "unknown", "unknown",      "unknown", "unknown"};
constexpr std::string_view payload_type_names[4] = {"Wave", "Fat Sig (RCST)", "Sig (DCST)", "unknown"};

std::string calendar_time(std::uint64_t utc_us)
{
    const auto seconds = static_cast<std::time_t>(static_cast<double>(utc_us) * 1e-6);
    std::tm local{};
    char text[64];
    if (!localtime_r(&seconds, &local) || std::strftime(text, sizeof text, "%Y-%m-%d-%H:%M:%S", &local) == 0)
        return "?";
    return text;
}

// Moves the text to the spill stream, if any, once it passes 64 KiB.
void spill_if_long(std::string& out, std::ostream* spill)
{
    if (spill && out.size() > 65536) {
        *spill << out;
        out.clear();
    }
}

void print_band_row(const BandPeak& peak, std::string& out)
{
    out += '\t';
    out += std::to_string(peak.time);
    out += '\t';
    out += format_real(frequency_hz(peak.frequency));
    out += '\t';
    out += std::to_string(peak.amplitude);
    out += '\n';
}

constexpr std::uint32_t type_of(FpChunkType type)
{
    return to_u32(type);
}

#define VXT_ENTRY(t, printer)                                                                                          \
    printer_entry                                                                                                      \
    {                                                                                                                  \
        type_of(FpChunkType::t), printer                                                                               \
    }
constexpr printer_entry printer_table[] = {
    VXT_ENTRY(fp_data_format_header_undefined, print_nothing),
    VXT_ENTRY(fp_data_list_start, print_nothing),
    VXT_ENTRY(fp_search_info, print_fp_search_info),
    VXT_ENTRY(sig_sample_info, print_sig_sample_info),
    VXT_ENTRY(fp_data_search_parameters, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_8000, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_11025, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_16000, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_32000, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_44100, print_nothing),
    VXT_ENTRY(fp_data_format_pcm_16bit_mono_48000, print_nothing),
    VXT_ENTRY(fp_data_format_resampled_pcm_16bit_mono_8000, print_nothing),
    VXT_ENTRY(fp_data_format_resampled_pcm_16bit_mono_16000, print_nothing),
    VXT_ENTRY(fp_data_format_external_FATPEAK_8000HZ, print_fat_peaks),
    VXT_ENTRY(fp_data_format_external_FATPEAK_16000HZ, print_fat_peaks),
    VXT_ENTRY(fp_data_section_header_NORMALPEAK, print_nothing),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp87_low, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp87_medium, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp87_high, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp90_low, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp90_medium, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_sp90_high, print_band_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_compact_0, print_compact_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_compact_1, print_compact_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_compact_2, print_compact_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_compact_3, print_compact_peaks),
    VXT_ENTRY(fp_data_format_NORMALPEAK_compact_4, print_compact_peaks),
    printer_entry{0, print_unknown},
};
#undef VXT_ENTRY

}  // namespace

std::string_view time_source_name(std::uint32_t source) noexcept
{
    return time_source_names[source & 7];
}

std::string_view payload_type_name(std::uint32_t type) noexcept
{
    return payload_type_names[type & 3];
}

std::string format_real(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

const printer_entry& find_printer(std::uint32_t type) noexcept
{
    constexpr std::size_t catch_all = std::size(printer_table) - 1;
    for (std::size_t i = 0; i < catch_all; ++i) {
        if (printer_table[i].type == type)
            return printer_table[i];
    }
    return printer_table[catch_all];
}

int print_chunk(std::uint32_t type, const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                std::ostream* spill)
{
    return find_printer(type).printer(payload, length, verbosity, out, spill);
}

int print_sig_sample_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                          std::ostream*)
{
    const int code = payload ? check_sample_info({payload, length}) : check_bad_sample_info_length;
    if (code == check_bad_sample_info_length) {
        if (out && verbosity >= 1)
            *out += "ERROR: sig_sample_info size incorrect\n";
        return code;
    }
    const sig_sample_info record = sig_sample_info::load(payload);
    if (code == check_bad_magic && out && verbosity >= 1)
        *out += "ERROR: invalid magic_key\n";
    if (!out || verbosity < 2)
        return code;

    const std::int32_t rate = rate_of_code(record.raw_rate_code());
    std::string& o = *out;
    o += "sig_sample_info:\nmagic_key            : " + hex8(record.magic_key());
    o += "\nCRC32                : " + hex8(record.crc32());
    o += "\nsize                 : " + std::to_string(record.size()) + " bytes";
    o += "\nsrc_revision         : " + version_text(record.src_revision());
    o += "\nTrackID              : " + std::to_string(record.track_id());
    o += "\nUTC                  : " + calendar_time(record.utc());
    o += "\nTime source          : ";
    o += time_source_name(record.time_source());
    // An unknown rate code stands for 0 Hz: the duration prints as inf.
    const double seconds =
        rate > 0 ? static_cast<double>(record.raw_samples()) / rate : std::numeric_limits<double>::infinity();
    o += "\nRaw Samples Processed: " + format_real(seconds) + " seconds";
    o += "\n      (cumulatively) : " + std::to_string(record.raw_samples()) + " samples";
    o += "\nRaw Sample Rate      : " + std::to_string(rate);
    o += "\nInternal Sample Rate : " + std::to_string((record.internal_rate_bit() + 1) * 8000);
    o += "\nIs stream:           : ";
    o += record.is_stream() ? "yes" : "no";
    o += "\nStream Position ticks: " + std::to_string(record.stream_position());
    o += "\nsig length ticks     : " + std::to_string(record.sig_length());
    o += "\nPayload type         : ";
    o += payload_type_name(record.payload_type());
    o += "\nOffset Adjustment    : ";
    o += record.offset_adjustment() == offset_adjustment_frames ? "15" : "0";
    o += "\n";
    return code;
}

int print_fp_search_info(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                         std::ostream*)
{
    const int code = payload ? check_search_info({payload, length}) : check_missing;
    if (code == check_missing) {
        if (out && verbosity >= 1)
            *out += "ERROR: fp_search_info missing\n";
        return code;
    }
    if (code == check_bad_search_info_length) {
        if (out && verbosity >= 1)
            *out += "ERROR: fp_search_info size incorrect\n";
        return code;
    }
    const fp_search_info info = fp_search_info::load(payload);
    if (code == check_bad_magic && out && verbosity >= 1)
        *out += "ERROR: invalid MAGIC_COOKIE\n";
    if (!out || verbosity < 3)
        return code;

    const float sample_seconds = static_cast<float>(info.sample_length) / 8000.0f;
    const float analysis = sample_seconds < info.analysis_length ? sample_seconds : info.analysis_length;
    std::string& o = *out;
    o += "\t\tmagic_cookie    : " + hex8(info.magic_cookie);
    o += "\n\t\tsample_length     : " + format_real(static_cast<float>(info.sample_length) * 0.125f / 1000.0f) +
         " seconds";
    o += "\n\t\tanalysis offset   : " + format_real(info.analysis_offset) + " seconds";
    o += "\n\t\tanalysis length   : " + format_real(analysis) + " seconds";
    o += "\n\t\toffset adjustment : ";
    o += info.offset_adjustment == offset_adjustment_frames ? "15" : "0";
    o += "  ticks";
    o += "\n\t\tpipeline version  : " + version_text(info.pipeline_version);
    o += "\n";
    return code;
}

int print_fat_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                    std::ostream* spill)
{
    if (!out || verbosity < 4)
        return check_valid;
    *out += "\t[time  frequency amplitude time_curvature freq_curvature]\n";
    if (payload) {
        for_each_fat_peak({payload, length}, [&](const FatPeak& peak) {
            *out += '\t' + std::to_string(peak.frame);
            *out += '\t' + format_real(frequency_hz(peak.frequency));
            *out += '\t' + std::to_string(peak.amplitude);
            *out += '\t' + std::to_string(peak.time_curvature);
            *out += '\t' + std::to_string(peak.freq_curvature);
            *out += '\n';
            spill_if_long(*out, spill);
        });
    }
    return check_valid;
}

namespace {

// The rows of a band list of 8-byte records, or of compact ones.
int print_band_rows(bool compact, const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                    std::ostream* spill)
{
    if (!out || verbosity < 4)
        return check_valid;
    *out += "\t[time  frequency amplitude]\n";
    const auto row = [&](const BandPeak& peak) {
        print_band_row(peak, *out);
        spill_if_long(*out, spill);
    };
    if (payload && compact)
        for_each_compact_peak({payload, length}, row);
    else if (payload)
        for_each_band_peak({payload, length}, row);
    return check_valid;
}

}  // namespace

int print_band_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                     std::ostream* spill)
{
    return print_band_rows(false, payload, length, verbosity, out, spill);
}

int print_compact_peaks(const std::uint8_t* payload, std::size_t length, int verbosity, std::string* out,
                        std::ostream* spill)
{
    return print_band_rows(true, payload, length, verbosity, out, spill);
}

// Each section's text goes to the stream as soon as it is made, and long
// peak lists in slices of about 64 KiB, so that the text is never held
// whole.
int dump_signature(std::ostream& stream, std::span<const std::uint8_t> bytes, int verbosity, std::string* error)
{
    const parsed_signature parsed = parse_signature(bytes);
    int code = check_valid;
    const auto note = [&](int result) {
        if (code == check_valid)
            code = result;
    };
    std::string out;
    const auto flush = [&] {
        stream << out;
        out.clear();
    };

    if (verbosity >= 1 && !parsed.header.empty()) {
        if (parsed.form == signature_form::compact) {
            const signature_envelope e = envelope_fields(parsed);
            out += "signature: compact form, " + std::to_string(bytes.size()) + " bytes\n";
            out += "envelope:\n\tlength       : " + std::to_string(e.length) + " bytes";
            out += "\n\tpayload type : " + std::string(payload_type_name(e.payload_type));
            out += "\n\tchecksum     : " + hex8(e.stored_checksum);
            if (!e.checksum_checked)
                out += " (not checked)\n";
            else
                out += e.checksum_ok() ? " (verified)\n" : " (wrong)\n";
        } else {
            out += "signature: sig_sample_info form, " + std::to_string(bytes.size()) + " bytes\n";
        }
    }
    if (parsed.form == signature_form::sample_info && !parsed.header.empty())
        note(print_sig_sample_info(parsed.header.data(), parsed.header.size(), verbosity, &out));
    flush();

    for (const parsed_chunk& chunk : parsed.chunks) {
        if (verbosity >= 1)
            out += "fp_data " + std::string(type_name_of(chunk.type)) + " (" + hex8(chunk.type) + "), " +
                   std::to_string(chunk.payload.size()) + " bytes\n";
        note(print_chunk(chunk.type, chunk.payload.data(), chunk.payload.size(), verbosity, &out, &stream));
        flush();
    }

    if (!parsed.ok()) {
        if (error)
            *error = parsed.error;
        return check_bad_magic;
    }
    return code;
}

}  // namespace vxt
