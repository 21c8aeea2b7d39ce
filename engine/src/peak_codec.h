// Peak and audio payloads: how peak lists and captured audio are laid out
// inside chunks.
//
//   compact peaks  5 bytes each: (delta 0..254 u8, amplitude u16, frequency
//                  u16), or an escape (255, absolute time u32). A band list
//                  is encoded in time order from a running time of 0; a step
//                  of 255 frames or more is written as an escape followed by
//                  a peak with delta 0.
//   band peaks     8 bytes each: time u32, frequency u16, amplitude u16.
//   fat peaks      12 bytes each: frame u32, frequency, amplitude,
//                  time_curvature, freq_curvature (u16 each).
//   PCM            16-bit signed samples.
// Decoders take whole records only and never read past the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "byte_order.h"
#include "vextune/peaks.h"

namespace vxt {

inline constexpr std::size_t compact_peak_bytes = 5;
inline constexpr std::uint8_t compact_escape = 255;
inline constexpr std::size_t band_peak_bytes = 8;
inline constexpr std::size_t fat_peak_bytes = 12;

std::vector<std::uint8_t> encode_compact_peaks(std::span<const BandPeak> peaks);

// Calls visit(BandPeak) for each peak in order, escapes applied.
template <typename Visit>
void for_each_compact_peak(std::span<const std::uint8_t> bytes, Visit&& visit);
// Calls visit(BandPeak) or visit(FatPeak) for each whole record.
template <typename Visit>
void for_each_band_peak(std::span<const std::uint8_t> bytes, Visit&& visit);
template <typename Visit>
void for_each_fat_peak(std::span<const std::uint8_t> bytes, Visit&& visit);
// Escapes set the running time and yield no peak.
std::vector<BandPeak> decode_compact_peaks(std::span<const std::uint8_t> bytes);
std::vector<BandPeak> decode_band_peaks(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> encode_fat_peaks(std::span<const FatPeak> peaks);
std::vector<FatPeak> decode_fat_peaks(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> encode_pcm(std::span<const std::int16_t> samples);
std::vector<std::int16_t> decode_pcm(std::span<const std::uint8_t> bytes);

template <typename Visit>
void for_each_compact_peak(std::span<const std::uint8_t> bytes, Visit&& visit)
{
    const std::size_t records = bytes.size() / compact_peak_bytes;
    std::uint32_t running = 0;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint8_t* p = bytes.data() + i * compact_peak_bytes;
        if (p[0] == compact_escape) {
            running = load_le32(p + 1);
            continue;
        }
        running += p[0];
        visit(BandPeak{running, load_le16(p + 3), load_le16(p + 1)});
    }
}

template <typename Visit>
void for_each_band_peak(std::span<const std::uint8_t> bytes, Visit&& visit)
{
    for (std::size_t at = 0; at + band_peak_bytes <= bytes.size(); at += band_peak_bytes) {
        const std::uint8_t* p = bytes.data() + at;
        visit(BandPeak{load_le32(p), load_le16(p + 4), load_le16(p + 6)});
    }
}

template <typename Visit>
void for_each_fat_peak(std::span<const std::uint8_t> bytes, Visit&& visit)
{
    for (std::size_t at = 0; at + fat_peak_bytes <= bytes.size(); at += fat_peak_bytes) {
        const std::uint8_t* p = bytes.data() + at;
        visit(FatPeak{load_le32(p), load_le16(p + 4), load_le16(p + 6), load_le16(p + 8), load_le16(p + 10)});
    }
}

}  // namespace vxt
