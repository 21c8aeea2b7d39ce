// Derived tracks: distinct pieces made from real tracks' peaks, for
// catalogues far larger than the music at hand, with music's statistics
// (which hashes are common, how peaks cluster in time and frequency)
// rather than uniform ones.
//
// Derived track i takes source track (i mod S) of S sources and is the k-th
// (k = i / S) derived from it. It plays the source slower or faster by a
// time factor and higher or lower by a frequency factor, both within
// 0.80..1.25 and neither within 0.04 of 1 (so no derived track is its
// source in disguise), and is cut at a seeded offset to a seeded length of
// 2 to 6 minutes, the scaled source repeated end to end where the cut runs
// past its end. Peaks are scaled in frame and frequency (1/64 bin),
// rounded, and those pushed out of 250..3500 Hz dropped; their landmarks
// are whatever MakeLandmarks makes of them.
//
// Scheme::Semitones (the default) transposes by whole semitones, so that a
// derived track keeps its source's tuning: its notes land on the
// frequencies other music's notes have, as in a key change, and a
// recording's pairs meet its hashes as often as they meet real tracks'.
// The frequency factor is 2^(k/12) for k of -3..-1 and 1..3 (0.84..1.19,
// each 5.9 % or more from any other: every peak moves more than a bin and
// its edge tolerance), the six in turn; the time factor lies on a lattice
// of 512 steps (0.072 % apart) evenly spaced in log factor over the
// allowed range, taken progressively: the first 2^L of one transposition
// lie 512 / 2^L steps apart (shifted by a seeded amount per source). Two
// tracks of one source are thus apart beyond any tolerance in frequency, or
// in time by 2.3 % or more (a 12 s recording's offsets drift by 35 frames)
// in catalogues of up to 6 * 16 S tracks; above that, tracks of one
// transposition come nearer in time (1.1 % up to 6 * 32 S, 0.57 % up to
// 6 * 64 S, 0.14 % up to 6 * 256 S) and share more of their hashes.
// 6 * 512 S tracks at most.
//
// Scheme::Lattice draws both factors freely from a 64 x 64 lattice (0.57 %
// from one step to the next on each axis), taken so that the first 4^L of
// a source form a regular 2^L x 2^L sub-lattice: the first 64 of a source
// differ pairwise by 4.6 % or more in one factor, 256 by 2.3 %, 1024 by
// 1.1 %, all 4096 by 0.57 %. Its notes fall between the tuned ones, and
// real recordings find its hashes about a quarter less often than real
// tracks' (the index looks more selective than music's).
//
// Either way a catalogue of N tracks is the first N of any larger one
// made with the same seed and scheme.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vextune/matcher/Landmarks.h"

namespace vxt::bench {

inline constexpr double kLeastFactor = 0.80;
inline constexpr double kMostFactor = 1.25;
inline constexpr double kNearOne = 0.04;                   // factors within this of 1 are not used
inline constexpr std::uint16_t kLowestFrequency = 2048;    // 250 Hz, 1/64 bin
inline constexpr std::uint16_t kHighestFrequency = 28672;  // 3500 Hz (excluded)
inline constexpr std::uint32_t kLatticeSide = 64;          // factor values on each axis
inline constexpr std::uint32_t kTimeSteps = 512;           // time factors of the semitone scheme
inline constexpr int kSemitones[] = {-3, -2, -1, 1, 2, 3};

enum class Scheme { Semitones, Lattice };
inline constexpr std::uint32_t kLeastFrames = 120 * 125;  // 2 min
inline constexpr std::uint32_t kMostFrames = 360 * 125;   // 6 min

// A real track's peaks, time-ordered, over frames [0, frames).
struct SourceTrack {
    std::uint32_t frames = 0;
    std::vector<matcher::Peak> peaks;
};

struct Derivation {
    std::uint32_t source = 0;                         // index into the sources
    std::uint32_t nth = 0;                            // of the tracks derived from that source
    std::uint32_t time_step = 0, frequency_step = 0;  // on the lattice, 0..kLatticeSide-1
    double time_factor = 1.0;                         // > 1 slower
    double frequency_factor = 1.0;                    // > 1 higher
    std::uint32_t offset = 0;                         // frames into the scaled source where the cut starts
    std::uint32_t frames = 0;                         // the derived track's length
};

// The most tracks `sources` sources allow.
std::uint64_t MostDerived(std::uint32_t sources, Scheme scheme = Scheme::Semitones);

// The factor of step 0..side-1 of a lattice of `side` steps over the range.
double LatticeFactor(std::uint32_t step, std::uint32_t side = kLatticeSide);

// The derivation of track `index` (from 0), from the sources' lengths.
// Throws std::invalid_argument when there are no sources or index is past
// MostDerived. Under Scheme::Semitones, frequency_step is the index into
// kSemitones.
Derivation Derive(std::uint64_t seed, std::uint64_t index, std::span<const std::uint32_t> source_frames,
                  Scheme scheme = Scheme::Semitones);

// The derived track's peaks, time-ordered, all within [0, d.frames) and
// 250..3500 Hz.
std::vector<matcher::Peak> DerivedPeaks(const Derivation& d, const SourceTrack& source);

inline constexpr std::uint64_t kIndexHashes = std::uint64_t{1} << 22;

// A track's landmarks with hashes in [lo, hi) as an index holds them, a
// landmark repeated at one frame once: in frame order (MakeLandmarks makes
// them in anchor order, so repeats lie within one anchor frame's run), then
// hash order. Placed track by track, each hash's postings come out in
// (track, frame) order without a sort of the whole track's.
std::vector<matcher::Landmark> IndexLandmarks(std::span<const matcher::Peak> peaks, std::uint64_t lo = 0,
                                              std::uint64_t hi = kIndexHashes);

// A name that tells the derivation, e.g. "d000123-s07-t0.912-f1.187".
std::string DerivedName(std::uint64_t index, const Derivation& d);

}  // namespace vxt::bench
