// What the stores (and the tests' index of synthetic catalogues) share: a track's
// landmarks as stored, and its peaks as stored and by window.
//
// Stored peaks are 6 bytes a peak, the frame (4 bytes) then the frequency
// (2), little-endian, in time order, so that a window of a track is found
// by binary search in the stored bytes without decoding the rest.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {

// A track's landmarks as stored: in (hash, frame) order, a landmark repeated
// at one frame once.
std::vector<Landmark> DistinctLandmarks(std::span<const Landmark> landmarks);

// The peaks of each window, from tracks' peaks kept in memory in time
// order: what LandmarkIndex::TrackPeaks answers.
std::vector<std::vector<Peak>> PeaksInWindows(const std::unordered_map<std::uint32_t, std::vector<Peak>>& tracks,
                                              std::span<const PeakWindow> windows);

// The votes of postings postings of a hash of weight weight, and a sum of
// votes, both saturating rather than wrapping.
std::uint64_t VotesOf(std::uint64_t postings, std::uint32_t weight);
std::uint64_t AddVotes(std::uint64_t a, std::uint64_t b);

// The hashes a bounded lookup keeps (LandmarkIndex::LookupWithin), from
// each one's count of postings (0 for none) and weight: true for each one
// visited. Adds what it leaves out to left_out.
std::vector<bool> KeptWithin(std::span<const std::uint64_t> counts, std::span<const std::uint32_t> weights,
                             const LookupBounds& bounds, LookupLeftOut& left_out);

inline constexpr std::size_t kStoredPeakBytes = 6;

// The peaks sorted by frame (a stable sort: already ordered lists stay as
// they are).
std::vector<Peak> InTimeOrder(std::span<const Peak> peaks);

// Peaks in time order, as stored.
std::string EncodePeaks(std::span<const Peak> peaks);

// Appends to out the stored peaks with from <= frame < to. False when the
// bytes are not whole peaks.
bool DecodePeaksBetween(std::string_view stored, std::uint32_t from, std::uint32_t to, std::vector<Peak>& out);

}  // namespace vxt::matcher
