// Landmarks: hashes made from pairs of peaks, the unit of matching.
//
// Every peak of a signature (all bands merged, in time order) anchors pairs
// with the next few peaks in a target zone after it: 1 to 63 frames later
// and at most 64 bins (500 Hz) away in frequency, but not in the same bin
// (a held note pairs with itself alike forwards and backwards, so reversed
// audio would find its own track, and such pairs are the commonest and say
// the least). A pair's hash packs the
// anchor's bin (9 bits), the frequency step in bins (7 bits, -64..+63 as
// 0..127) and the time step in frames (6 bits), and with frequency_bits
// each peak's place within its bin too: pairs that look alike in two
// recordings of the same music get the same hash whatever their absolute
// time, and the anchor's time tells where in the track they are.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vextune/peaks.h"
#include "vextune/signature.h"

namespace vxt::matcher {

struct Peak {
    std::uint32_t frame;      // absolute, in 8 ms frames
    std::uint16_t frequency;  // 1/64 bin
};

struct Landmark {
    std::uint32_t hash;
    std::uint32_t frame;  // the anchor's

    friend bool operator==(const Landmark&, const Landmark&) = default;
};

struct LandmarkOptions {
    std::uint32_t fan_out = 10;         // pairs per anchor at most
    std::uint32_t max_frame_step = 63;  // frames (the hash holds 1..63)
    std::int32_t max_bin_step = 64;     // bins either way (the hash holds -64..63)
    // The hash tells each peak's frequency to 1 / 2^frequency_bits bin
    // (at most kMostFrequencyBits): 22 + 2 frequency_bits bits.
    std::uint32_t frequency_bits = 0;
};
inline constexpr std::uint32_t kMostFrequencyBits = 3;

// The name of the landmarks MakeLandmarks makes with these options: a
// store records it beside its index, so that an index whose hashes were
// made otherwise is found out when the store is opened, not matched
// against.
std::string LandmarkFormat(const LandmarkOptions& options = {});

// The landmarks of time-ordered peaks, in anchor order.
std::vector<Landmark> MakeLandmarks(std::span<const Peak> peaks, const LandmarkOptions& options = {});

// How far a recording's peaks may lie from the clean track's: frames
// either way on a pair's time step, and how near (in 1/64 bin) a peak may
// be to its bin's edge for the neighbouring bin to be tried too. Peaks of
// a recording through a room or a noisy line land a frame or two from
// where the clean track has them, and a fraction of a bin off; the index
// holds exact steps only, so a query pays for the tolerance alone.
struct QueryTolerance {
    std::uint32_t frames = 2;
    std::uint16_t bin_edge = 24;
};

// The landmarks a recording looks up: the pairs MakeLandmarks makes, each
// with the hashes of every time step and bin within the tolerance.
std::vector<Landmark> QueryLandmarks(std::span<const Peak> peaks, const QueryTolerance& tolerance,
                                     const LandmarkOptions& options = {});

// A recording's peaks as its track has them when the recording plays at
// `speed` track seconds a second (1.03: 3 % fast, and 3 % high): frames
// times speed, frequencies over it, still in time order. Frequencies
// pushed past the top of what a peak holds are dropped.
std::vector<Peak> PeaksAtSpeed(std::span<const Peak> peaks, double speed);

// The peaks of a time-ordered list with from <= frame < to.
std::span<const Peak> PeaksBetween(std::span<const Peak> peaks, std::uint32_t from, std::uint32_t to);

// The landmarks of a decoded signature's band lists, timed from its first
// frame: a whole track's for the index, a recording's for a query.
std::vector<Landmark> SignatureLandmarks(const decoded_signature& signature, const LandmarkOptions& options = {});
// The peaks of a decoded signature's band lists, all bands merged, in
// time order (then frequency), timed from its first frame.
std::vector<Peak> SignaturePeaks(const decoded_signature& signature);

}  // namespace vxt::matcher
