// The decision on a query, and an in-memory index of synthetic catalogues.
//
// An index maps a hash to its postings (track, anchor frame). A query's
// landmarks look up their postings and vote for (track, offset), the offset
// being the track frame minus the query frame; votes within a frame of each
// other count together. The eight tracks with the most votes are scored at
// their best cell by the number of distinct hashes voting there, so that a
// repeated pattern (a beat, a loop) voting again and again with the same
// few pairs counts once. The best cell's score is judged against chance:
// with H hits spread over C possible (track, offset) cells, a wrong track's
// cell collects a Poisson(lambda = 3 H / C) number of them, so a score is a
// match only when C times the Poisson tail at that score stays below the
// false-claim rate (the threshold grows with the log of the catalogue), and
// only when it stands clear (min_margin times) of the best other track, and
// never below min_score: music is not random, and related pieces (a loop
// shared by two tracker modules, a beat at the same tempo) reach scores
// the model calls impossible, which the evaluation set measures. A score that has
// reached half the threshold asks for more audio; anything less is no match.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {

// An index of synthetic catalogues, for tests and benchmarks: no titles, no
// removal, postings kept as added.
class MemoryIndex final : public LandmarkIndex {
public:
    // Adds a track's landmarks; frames_long is the track's length in frames.
    void Add(std::uint32_t track, std::span<const Landmark> landmarks, std::uint32_t frames_long);
    std::span<const Posting> Lookup(std::uint32_t hash) const;
    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override;

    std::uint64_t Postings() const noexcept { return postings_; }
    std::uint64_t IndexedFrames() const override { return frames_; }
    std::size_t Tracks() const noexcept { return tracks_; }

private:
    std::unordered_map<std::uint32_t, std::vector<Posting>> table_;
    std::uint64_t postings_ = 0;
    std::uint64_t frames_ = 0;
    std::size_t tracks_ = 0;
};

struct MatchOptions {
    double false_claim_rate = 1e-6;  // chance per query that a wrong track reaches the threshold
    std::uint32_t min_score = 15;    // never less evidence than this
    double min_margin = 3.5;         // best over the best other track's score
};

enum class Verdict { Match, NeedMore, NoMatch };

struct MatchResult {
    Verdict verdict = Verdict::NoMatch;
    std::uint32_t track = 0;        // of the best cell
    std::int64_t offset_frames = 0;  // track frame of the query's frame 0
    std::uint32_t score = 0;        // votes of the best cell (within a frame)
    std::uint32_t runner_up = 0;    // best score of any other track
    std::uint32_t threshold = 0;    // the score a match needs here
    double chance = 1.0;            // expected number of wrong cells reaching the score
};

MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options = {});

// The smallest k with cells * P(Poisson(lambda) >= k) <= rate.
std::uint32_t PoissonThreshold(double lambda, double cells, double rate);

}  // namespace vxt::matcher
