// An index of synthetic catalogues, for the matcher's tests: no titles, no
// removal, postings kept as added (repeats too), tracks numbered by the
// test, any id from 0 up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {

class MemoryIndex final : public LandmarkIndex {
public:
    // Adds a track's landmarks and peaks (in time order); frames_long is
    // the track's length in frames.
    void Add(std::uint32_t track, std::span<const Landmark> landmarks, std::uint32_t frames_long,
             std::span<const Peak> peaks = {});
    std::span<const Posting> Lookup(std::uint32_t hash) const;
    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override;
    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override;

    std::uint64_t Postings() const noexcept { return postings_; }
    std::uint64_t IndexedFrames() const override { return frames_; }
    std::size_t Tracks() const noexcept { return tracks_; }

private:
    std::unordered_map<std::uint32_t, std::vector<Posting>> table_;
    std::unordered_map<std::uint32_t, std::vector<Peak>> peaks_;
    std::uint64_t postings_ = 0;
    std::uint64_t frames_ = 0;
    std::size_t tracks_ = 0;
};

}  // namespace vxt::matcher
