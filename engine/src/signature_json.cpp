// The JSON document of a signature, written straight to the stream as the
// reader's decoded view is walked: the memory taken is that of the decoded
// peaks, never that of a document tree.
//
// The layout is the conventional one of a two-space indented document:
// every member and element on a line of its own, empty containers as {} and
// [], reals in the shortest form that reads back to the same double, with
// ".0" on whole numbers and an exponent only outside 1e-5..1e15.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "chunk_types.h"
#include "records.h"
#include "signature_dump.h"
#include "signature_reader.h"
#include "vextune/dump.h"
#include "vextune/signature.h"

namespace vxt {
namespace {

std::string json_real(double x)
{
    if (!std::isfinite(x))
        return "null";
    if (x == 0.0)
        return std::signbit(x) ? "-0.0" : "0.0";
    char sci[40];
    const auto end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    // sci is "[-]d[.ddd]e[+-]XX": split it into sign, digits and exponent.
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    std::string out;
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e_at = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_at)) {
        if (c != '.')
            digits += c;
    }
    int exponent = 0;
    std::string_view exp_text = text.substr(e_at + 1);
    if (exp_text.front() == '+')
        exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1;  // where the decimal point goes, counted from the first digit
    constexpr int min_exp = -4;
    constexpr int max_exp = 15;
    if (k <= n && n <= max_exp) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
        out += ".0";
    } else if (0 < n && n <= max_exp) {
        out += digits.substr(0, static_cast<std::size_t>(n));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(n));
    } else if (min_exp < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out += digits.substr(1);
        }
        const int e = n - 1;
        out += e < 0 ? "e-" : "e+";
        const int magnitude = e < 0 ? -e : e;
        if (magnitude < 10)
            out += '0';
        out += std::to_string(magnitude);
    }
    return out;
}

void json_string(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// A streaming writer of indented JSON. Text is gathered in a small buffer
// and handed to the stream whenever it grows past a few KiB.
class json_writer {
public:
    explicit json_writer(std::ostream& stream) : stream_(stream) {}
    ~json_writer() { flush(); }
    json_writer(const json_writer&) = delete;
    json_writer& operator=(const json_writer&) = delete;

    void begin_object(std::string_view key = {}) { open(key, '{'); }
    void end_object() { close('}'); }
    void begin_array(std::string_view key = {}) { open(key, '['); }
    void end_array() { close(']'); }

    void null(std::string_view key)
    {
        member(key);
        out_ += "null";
    }
    void boolean(std::string_view key, bool v)
    {
        member(key);
        out_ += v ? "true" : "false";
    }
    void number(std::string_view key, std::uint64_t v)
    {
        member(key);
        out_ += std::to_string(v);
    }
    void number(std::string_view key, std::int64_t v)
    {
        member(key);
        out_ += std::to_string(v);
    }
    void real(std::string_view key, double v)
    {
        member(key);
        out_ += json_real(v);
    }
    void string(std::string_view key, std::string_view v)
    {
        member(key);
        json_string(out_, v);
    }

    void finish()
    {
        out_ += '\n';
        flush();
    }

private:
    // Starts a member (inside an object) or an element (inside an array).
    void member(std::string_view key)
    {
        if (!empty_.empty()) {
            out_ += empty_.back() ? "\n" : ",\n";
            empty_.back() = false;
            out_.append(2 * empty_.size(), ' ');
        }
        if (!key.empty()) {
            json_string(out_, key);
            out_ += ": ";
        }
        if (out_.size() > 16384)
            flush();
    }

    void open(std::string_view key, char bracket)
    {
        member(key);
        out_ += bracket;
        empty_.push_back(true);
    }

    void close(char bracket)
    {
        const bool was_empty = empty_.back();
        empty_.pop_back();
        if (!was_empty) {
            out_ += '\n';
            out_.append(2 * empty_.size(), ' ');
        }
        out_ += bracket;
    }

    void flush()
    {
        stream_ << out_;
        out_.clear();
    }

    std::ostream& stream_;
    std::string out_;
    std::vector<bool> empty_;  // per open container: nothing written in it yet
};

void write_sample_info(json_writer& w, const signature_sample_info& r)
{
    w.string("magic_key", hex8(r.magic_key));
    w.string("crc32", hex8(r.crc32));
    w.number("size", std::uint64_t{r.size});
    w.string("src_revision", version_string(r.src_revision));
    w.number("track_id", r.track_id);
    w.number("utc_us", r.utc_us);
    w.number("time_source", std::uint64_t{r.time_source});
    w.string("time_source_name", time_source_name(r.time_source));
    w.number("raw_sample_rate_code", std::uint64_t{r.raw_rate_code});
    w.number("raw_sample_rate", std::int64_t{r.raw_rate});
    w.number("internal_sample_rate", std::uint64_t{r.internal_rate});
    w.number("raw_samples", r.raw_samples);
    w.boolean("is_stream", r.is_stream);
    w.number("stream_position", r.stream_position);
    w.number("sig_length", std::uint64_t{r.sig_length});
    w.number("payload_type", std::uint64_t{r.payload_type});
    w.string("payload_type_name", payload_type_name(r.payload_type));
    w.number("offset_adjustment", std::uint64_t{r.offset_adjustment});
}

void write_search_info(json_writer& w, const signature_search_info& r)
{
    w.string("magic_cookie", hex8(r.magic_cookie));
    w.number("sample_length", std::uint64_t{r.sample_length});
    w.real("analysis_offset", r.analysis_offset);
    w.string("pipeline_version", version_string(r.pipeline_version));
    w.number("offset_adjustment", std::uint64_t{r.offset_adjustment});
    w.real("analysis_length", r.analysis_length);
}

void write_band_peaks(json_writer& w, const std::vector<BandPeak>& peaks, bool with_peaks)
{
    w.begin_object("content");
    w.number("count", std::uint64_t{peaks.size()});
    if (with_peaks) {
        w.begin_array("peaks");
        for (const BandPeak& p : peaks) {
            w.begin_object();
            w.number("time", std::uint64_t{p.time});
            w.number("frequency", std::uint64_t{p.frequency});
            w.real("frequency_hz", frequency_hz(p.frequency));
            w.number("amplitude", std::uint64_t{p.amplitude});
            w.end_object();
        }
        w.end_array();
    }
    w.end_object();
}

void write_fat_peaks(json_writer& w, std::size_t count, const std::vector<FatPeak>& peaks, bool with_peaks)
{
    w.begin_object("content");
    w.number("count", std::uint64_t{count});
    if (with_peaks) {
        w.begin_array("peaks");
        for (const FatPeak& p : peaks) {
            w.begin_object();
            w.number("frame", std::uint64_t{p.frame});
            w.number("frequency", std::uint64_t{p.frequency});
            w.real("frequency_hz", frequency_hz(p.frequency));
            w.number("amplitude", std::uint64_t{p.amplitude});
            w.number("time_curvature", std::uint64_t{p.time_curvature});
            w.number("freq_curvature", std::uint64_t{p.freq_curvature});
            w.end_object();
        }
        w.end_array();
    }
    w.end_object();
}

}  // namespace

std::string dump_signature_json(std::ostream& stream, std::span<const std::uint8_t> bytes, int verbosity)
{
    const bool with_peaks = verbosity >= 4;
    read_options options;
    options.peaks = true;  // band counts need the decoded lists (escapes are not peaks)
    const decoded_signature d = read_signature(bytes, options);

    json_writer w(stream);
    w.begin_object();
    if (!d.form)
        w.null("form");
    else
        w.string("form", *d.form == signature_form::compact ? "compact" : "sig_sample_info");
    w.number("size", std::uint64_t{d.size});
    w.boolean("valid", d.ok());
    if (!d.ok())
        w.string("error", d.error);

    if (d.envelope) {
        const signature_envelope& e = *d.envelope;
        w.begin_object("envelope");
        w.number("length", std::uint64_t{e.length});
        w.string("magic", hex8(e.magic));
        w.number("payload_type", std::uint64_t{e.payload_type & 3});
        w.string("payload_type_name", payload_type_name(e.payload_type));
        w.begin_object("checksum");
        w.string("stored", hex8(e.stored_checksum));
        if (e.checksum_checked) {
            w.string("computed", hex8(e.computed_checksum));
            w.boolean("verified", e.checksum_ok());
        } else {
            w.null("computed");
            w.boolean("verified", false);
        }
        w.end_object();
        w.end_object();
    } else if (d.sample_info) {
        w.begin_object("sig_sample_info");
        write_sample_info(w, *d.sample_info);
        w.end_object();
    }

    // The decoded lists come in chunk order: one cursor each.
    std::size_t band = 0;
    std::size_t fat = 0;
    std::size_t audio = 0;
    w.begin_array("chunks");
    for (std::size_t i = 0; i < d.chunks.size(); ++i) {
        const signature_chunk& chunk = d.chunks[i];
        w.begin_object();
        w.string("type", hex8(chunk.type));
        w.string("name", type_name_of(chunk.type));
        w.number("length", std::uint64_t{chunk.payload.size()});
        switch (content_of(chunk.type)) {
        case chunk_content::search_info:
        case chunk_content::sample_info: {
            // A record of the wrong size has no fields to show.
            const bool search = content_of(chunk.type) == chunk_content::search_info;
            if (chunk.payload.size() != (search ? fp_search_info::bytes : sig_sample_info::bytes)) {
                w.null("content");
                break;
            }
            w.begin_object("content");
            if (search)
                write_search_info(w, search_info_fields(chunk.payload));
            else
                write_sample_info(w, sample_info_fields(chunk.payload));
            w.end_object();
            break;
        }
        case chunk_content::band_peaks:
        case chunk_content::compact_peaks: write_band_peaks(w, d.bands[band++].peaks, with_peaks); break;
        case chunk_content::fat_peaks:
            write_fat_peaks(w, chunk.payload.size() / 12, d.fat_peaks[fat++].peaks, with_peaks);
            break;
        case chunk_content::pcm: {
            const audio_capture& a = d.audio[audio++];
            w.begin_object("content");
            w.number("rate", std::int64_t{a.rate});
            w.number("samples", std::uint64_t{a.sample_count});
            w.end_object();
            break;
        }
        default: w.null("content"); break;
        }
        w.end_object();
    }
    w.end_array();
    w.end_object();
    w.finish();
    return d.error;
}

}  // namespace vxt
