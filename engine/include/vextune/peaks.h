// Peak records and the units of time and frequency they are given in.
#pragma once

#include <cstdint>

namespace vxt {

// Time: a frame is one hop of 64 samples at 8000 Hz.
inline constexpr double frame_seconds = 0.008;
inline constexpr std::uint32_t frames_per_second = 125;
// The offset adjustment that every signature records, in frames.
inline constexpr std::uint32_t offset_adjustment_frames = 15;

// Frequency: 1/64 of an FFT bin, a bin being 8000 / 1024 = 7.8125 Hz.
inline constexpr float bin_hz = 7.8125f;
inline constexpr float frequency_unit_hz = bin_hz / 64.0f;  // 0.1220703125 Hz

// A frequency in 1/64 bin as Hz, in single precision.
constexpr float frequency_hz(std::uint16_t frequency) noexcept
{
    return static_cast<float>(frequency) * 0.015625f * bin_hz;
}

// A spectral peak as the detector finds it. Levels are normalised log
// powers, where power 1/128 maps to 0 and each factor of 2^32 adds 32768.
struct FatPeak {
    std::uint32_t frame;           // low 32 bits of the frame index
    std::uint16_t frequency;       // 1/64 bin: 64 * bin + interpolated offset
    std::uint16_t amplitude;       // log power of the peak
    std::uint16_t time_curvature;  // 2 * curvature of the log power across frames
    std::uint16_t freq_curvature;  // curvature of the log power across bins

    friend bool operator==(const FatPeak&, const FatPeak&) = default;
};
static_assert(sizeof(FatPeak) == 12);

// A peak kept by band selection, timed from the start of its signature.
struct BandPeak {
    std::uint32_t time;       // frames since the signature's start frame
    std::uint16_t frequency;  // 1/64 bin
    std::uint16_t amplitude;  // log power, as FatPeak

    friend bool operator==(const BandPeak&, const BandPeak&) = default;
};
static_assert(sizeof(BandPeak) == 8);

}  // namespace vxt
