// Signatures with peaks chosen by hand, as a hostile client could send them:
// the compact form of a real signature the engine made (its envelope, its
// search record), with its band lists replaced by the given ones and its
// lengths and checksum made to fit, so that the service's reader takes it.
//
// The compact form: a 32-byte envelope (list length at 0, its copy at 20,
// length ^ 0x789ABC13 at 24, the 32-bit sum of every little-endian word of
// the signature at 28, taken while that word is 0), then a list of 24-byte
// chunk headers (type at 4, padded payload length at 8) each followed by
// its payload, the list itself opening with such a header. A band list's
// payload is 5 bytes a peak: frames since the previous peak (255: the next
// four bytes are an absolute frame, and the peak follows), amplitude,
// frequency, little-endian.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "vextune/peaks.h"
#include "vextune/signature.h"
#include "vextune/vextuneAPI.h"

namespace vxt::testing {

namespace crafted_detail {

inline void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t Get32(std::span<const std::uint8_t> in, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(in[at + static_cast<std::size_t>(i)]) << (8 * i);
    return v;
}

inline void Append16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// One band's peaks in the compact encoding.
inline std::vector<std::uint8_t> CompactPeaks(std::span<const BandPeak> peaks)
{
    std::vector<std::uint8_t> out;
    std::uint32_t running = 0;
    for (const BandPeak& p : peaks) {
        std::uint32_t delta = p.time - running;
        if (p.time < running || delta > 254) {
            out.push_back(255);
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<std::uint8_t>(p.time >> (8 * i)));
            delta = 0;
        }
        out.push_back(static_cast<std::uint8_t>(delta));
        Append16(out, p.amplitude);
        Append16(out, p.frequency);
        running = p.time;
    }
    return out;
}

}  // namespace crafted_detail

// A recording's signature whose band lists hold the given peaks: bands[i]
// goes into the list of band i (at most as many bands as the engine's
// recordings have, four).
inline std::vector<std::uint8_t> CraftedSignature(const std::vector<std::vector<BandPeak>>& bands)
{
    using namespace crafted_detail;
    // A second of a tone, for the engine's envelope and search record.
    std::vector<std::int16_t> tone(16000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000.0 * std::sin(static_cast<double>(i) * 0.2));
    engine_handle engine = create_engine(2, 16000, flag_no_timestamp);
    feed_samples(engine, tone.data(), static_cast<std::int32_t>(tone.size()));
    std::vector<std::uint8_t> real;
    get_signature(engine, real, 0.0);
    const decoded_signature decoded = read_signature(real);
    if (!decoded.ok() || decoded.form != signature_form::compact || decoded.bands.size() < bands.size())
        throw std::logic_error("the engine's recording signature is not the compact form expected");

    constexpr std::size_t kEnvelope = 32;
    constexpr std::size_t kHeader = 24;
    std::vector<std::uint8_t> out(real.begin(), real.begin() + kEnvelope + kHeader);  // envelope, list header
    const auto chunk = [&](std::uint32_t type, std::vector<std::uint8_t> payload) {
        payload.resize((payload.size() + 3) / 4 * 4, 0);
        const std::size_t at = out.size();
        out.resize(at + kHeader, 0);
        Put32(out, at + 4, type);
        Put32(out, at + 8, static_cast<std::uint32_t>(payload.size()));
        out.insert(out.end(), payload.begin(), payload.end());
    };
    std::vector<bool> is_band(decoded.chunks.size(), false);
    for (const band_list& band : decoded.bands)
        is_band[band.chunk] = true;
    for (std::size_t c = 0; c < decoded.chunks.size(); ++c) {
        const signature_chunk& sc = decoded.chunks[c];
        if (!is_band[c])
            chunk(sc.type, {sc.payload.begin(), sc.payload.end()});
    }
    for (std::size_t b = 0; b < bands.size(); ++b)
        chunk(decoded.chunks[decoded.bands[b].chunk].type, CompactPeaks(bands[b]));

    const auto list = static_cast<std::uint32_t>(out.size() - kEnvelope);
    Put32(out, 0, list);
    Put32(out, 20, list);
    Put32(out, 24, list ^ 0x789ABC13u);
    Put32(out, kEnvelope + 8, list);
    Put32(out, 28, 0);
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < out.size(); at += 4)
        sum += Get32(out, at);
    Put32(out, 28, sum);
    return out;
}

}  // namespace vxt::testing
