#include "peak_codec.h"

#include "byte_order.h"

namespace vxt {

std::vector<std::uint8_t> encode_compact_peaks(std::span<const BandPeak> peaks)
{
    std::size_t records = peaks.size();
    std::uint32_t running = 0;
    for (const BandPeak& peak : peaks) {
        if (peak.time - running > 254u)
            ++records;
        running = peak.time;
    }

    std::vector<std::uint8_t> bytes(records * compact_peak_bytes);
    std::uint8_t* p = bytes.data();
    running = 0;
    for (const BandPeak& peak : peaks) {
        std::uint32_t delta = peak.time - running;
        if (delta > 254u) {
            p[0] = compact_escape;
            store_le32(p + 1, peak.time);
            p += compact_peak_bytes;
            delta = 0;
        }
        p[0] = static_cast<std::uint8_t>(delta);
        store_le16(p + 1, peak.amplitude);
        store_le16(p + 3, peak.frequency);
        p += compact_peak_bytes;
        running = peak.time;
    }
    return bytes;
}

std::vector<BandPeak> decode_compact_peaks(std::span<const std::uint8_t> bytes)
{
    std::vector<BandPeak> peaks;
    peaks.reserve(bytes.size() / compact_peak_bytes);
    for_each_compact_peak(bytes, [&](const BandPeak& peak) { peaks.push_back(peak); });
    return peaks;
}

std::vector<BandPeak> decode_band_peaks(std::span<const std::uint8_t> bytes)
{
    std::vector<BandPeak> peaks;
    peaks.reserve(bytes.size() / band_peak_bytes);
    for_each_band_peak(bytes, [&](const BandPeak& peak) { peaks.push_back(peak); });
    return peaks;
}

std::vector<std::uint8_t> encode_fat_peaks(std::span<const FatPeak> peaks)
{
    std::vector<std::uint8_t> bytes(peaks.size() * fat_peak_bytes);
    std::uint8_t* p = bytes.data();
    for (const FatPeak& peak : peaks) {
        store_le32(p, peak.frame);
        store_le16(p + 4, peak.frequency);
        store_le16(p + 6, peak.amplitude);
        store_le16(p + 8, peak.time_curvature);
        store_le16(p + 10, peak.freq_curvature);
        p += fat_peak_bytes;
    }
    return bytes;
}

std::vector<FatPeak> decode_fat_peaks(std::span<const std::uint8_t> bytes)
{
    std::vector<FatPeak> peaks;
    peaks.reserve(bytes.size() / fat_peak_bytes);
    for_each_fat_peak(bytes, [&](const FatPeak& peak) { peaks.push_back(peak); });
    return peaks;
}

std::vector<std::uint8_t> encode_pcm(std::span<const std::int16_t> samples)
{
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        store_le16(bytes.data() + 2 * i, static_cast<std::uint16_t>(samples[i]));
    return bytes;
}

std::vector<std::int16_t> decode_pcm(std::span<const std::uint8_t> bytes)
{
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(load_le16(bytes.data() + 2 * i));
    return samples;
}

}  // namespace vxt
