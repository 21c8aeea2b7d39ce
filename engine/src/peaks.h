// The two peak records that travel between the engine's stages.
#pragma once

#include <cstdint>

namespace vxt {

// A spectral peak as the detector finds it. Frequencies are in 1/64 of an
// FFT bin (8000 / 65536 Hz); levels are normalised log powers, where power
// 1/128 maps to 0 and each factor of 2^32 adds 32768.
struct FatPeak {
    std::uint32_t frame;           // low 32 bits of the frame index (8 ms frames)
    std::uint16_t frequency;       // 64 * bin + interpolated offset
    std::uint16_t amplitude;       // log power of the peak
    std::uint16_t time_curvature;  // 2 * curvature of the log power across frames
    std::uint16_t freq_curvature;  // curvature of the log power across bins
};
static_assert(sizeof(FatPeak) == 12);

// A peak kept by band selection, timed from the start of its build.
struct BandPeak {
    std::uint32_t time;  // frames since the first block of the build
    std::uint16_t frequency;
    std::uint16_t amplitude;

    friend bool operator==(const BandPeak&, const BandPeak&) = default;
};
static_assert(sizeof(BandPeak) == 8);

}  // namespace vxt
