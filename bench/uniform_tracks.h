// Synthetic tracks whose peaks are drawn uniformly, as band selection
// leaves them: in each 256-frame period each of the three bands (250-520
// Hz, to 1450 Hz, to 3500 Hz) keeps about 17 peaks, at frames and
// frequencies drawn uniformly in the period and the band. At this density
// their landmarks come to about 106 a second of audio, as real music's do;
// but every hash is about as likely as any other of its band, which music's
// are not.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "vextune/matcher/Landmarks.h"

namespace vxt::bench {

inline constexpr double kFramesPerSecond = 125.0;  // 8 ms frames
inline constexpr std::uint32_t kPeriodFrames = 256;
inline constexpr std::uint16_t kBandEdges[] = {2048, 4259, 11878, 28672};  // 1/64 bin
inline constexpr double kPeaksPerBand = 17.2;                              // a period's mean, at most 24
inline constexpr std::uint32_t kMostPeaksPerBand = 24;

// Time order, then frequency.
void SortPeaks(std::vector<matcher::Peak>& peaks);

// Peaks over frames [0, frames), `mean` a band a period, appended.
void DrawPeaks(std::mt19937_64& random, std::uint32_t frames, double mean, std::vector<matcher::Peak>& peaks);

// A track's peaks in time order, the same every time for the same track.
std::vector<matcher::Peak> UniformTrackPeaks(std::uint32_t track, std::uint32_t frames);

// The length of the uniform catalogue's track `track` (from 1): 2 to 5
// minutes, the same every time.
std::uint32_t UniformTrackFrames(std::uint32_t track);

}  // namespace vxt::bench
