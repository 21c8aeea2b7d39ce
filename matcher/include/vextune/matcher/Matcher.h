// The decision on a query.
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
// the model calls impossible, which the evaluation set measures.
//
// Pairs need both their peaks to survive a room and its noise, so a
// recording that keeps a fair share of its peaks can keep few of its pairs.
// Each candidate is therefore also checked peak by peak: the recording's
// peaks are laid over the track's at the candidate's offset (a few frames
// either way), and those with a track peak within 2 frames and a bin count.
// The best count is judged against the same count with the recording's
// peaks rotated in time (the chance level of these two peak lists), by a
// Poisson tail over the offsets and candidates tried, never below
// min_peaks; and it must stand clear (peak_margin) of every other track's
// count and of its own track's a beat or so either side, where a rhythm
// lines peaks up by itself. A candidate whose peaks pass, and whose pairs
// have reached half the pairs' threshold and are more than any other
// track's, is a match, even where its pair score falls short of min_score
// or min_margin. Anything else is no match: whether to ask for a longer
// recording is the service's decision, not the matcher's.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {

struct MatchOptions {
    double false_claim_rate = 1e-6;  // chance per query that a wrong track reaches the threshold
    std::uint32_t min_score = 15;    // never less evidence than this
    double min_margin = 3.5;         // best over the best other track's score
    std::uint32_t min_peaks = 15;    // peaks matched, at the least, for a match on peaks
    double peak_margin = 2.3;        // peaks matched over any other track's, and its own track's nearby
    // The work of one query (see LookupBounds): a hash with more postings
    // than most_postings votes nothing, and the votes of the rest stay
    // within most_votes, the commonest hashes left out first. Each vote
    // takes 16 bytes while the query is matched.
    std::uint32_t most_postings = 4096;
    std::uint64_t most_votes = std::uint64_t{1} << 22;
    // The cells an exact pass puts forward for the tolerant pairs (see
    // MatchTolerant), at most 1024; 0: none, the tolerant pairs are looked
    // up. Not yet the default: at 100 000 tracks the runner-ups it finds
    // are too low for held-out pieces that share themes with catalogue
    // tracks (docs/recognition.md, "Scoring the tolerant pairs on the
    // exact pass's candidates").
    std::uint32_t tolerant_candidates = 0;
    // How the index's pairs were made: where the bounds left hashes out,
    // the candidates are scored again from their tracks' peaks with them.
    LandmarkOptions landmarks;
};

enum class Verdict { Match, NoMatch };

struct MatchResult {
    Verdict verdict = Verdict::NoMatch;
    std::uint32_t track = 0;         // of the best cell
    std::int64_t offset_frames = 0;  // track frame of the query's frame 0
    std::uint32_t score = 0;         // votes of the best cell (within a frame)
    std::uint32_t runner_up = 0;     // best score of any other track
    std::uint32_t threshold = 0;     // the score a match needs here
    double chance = 1.0;             // expected number of wrong cells reaching the score
    // The check peak by peak (all 0 without the recording's peaks, or
    // where the index holds none of the candidates' peaks):
    std::uint32_t peaks = 0;            // recording's peaks matched at the answer (or best) candidate
    std::uint32_t peaks_runner_up = 0;  // the most any other track's candidate matched
    std::uint32_t peaks_threshold = 0;  // what a match on peaks needs there
    bool on_peaks = false;              // a match made by the peak check, not by the pairs alone
    // The work done, and what the bounds left out:
    std::uint64_t votes = 0;            // cast by the postings looked up
    std::uint64_t hashes_left_out = 0;  // distinct hashes with postings that cast no vote
    std::uint64_t votes_left_out = 0;   // the votes those would have cast
};

// The decision on a recording: its landmarks, and its peaks (in time order)
// for the check of the candidates; without peaks, the pairs alone decide.
MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, std::span<const Peak> peaks,
                  const MatchOptions& options = {});
MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options = {});

// A track an exact pass's votes put forward, at its best offset.
struct Candidate {
    std::uint32_t track = 0;
    std::int64_t offset = 0;  // track frame of the query's frame 0
    std::uint32_t votes = 0;  // at that offset and a frame either way
};

// A recording through a room and its noise keeps a fair share of its
// peaks but few of its pairs whole, and its exact pairs fall short. Its
// tolerant pairs (QueryLandmarks) have twenty times the hashes, whose
// postings cost twenty times the votes, nearly all of them for tracks
// that have nothing to do with it; yet the true track is among those its
// few exact pairs vote for most. So the exact pass (this Match, the same
// decision as the one above without peaks) also puts forward the
// options.tolerant_candidates cells it has the most votes for (a few a
// track: where music repeats, a track's best cell by a few pairs may be
// a repeat), and where the tolerant pairs' votes would pass the bounds,
// MatchTolerant scores each candidate with them from its track's stored
// peaks, at its offset and two frames either way (exactly what every
// tolerant hash looked up would have scored there), and decides as Match
// does on the best 32 tracks, with chance reckoned on every vote the
// tolerant pairs would have cast and their rivals looked up as Match's
// are. Nothing is looked up but the posting counts, those rivals and the
// candidates' peaks. Within the bounds (a small catalogue), nothing put
// forward (an index that tallies its own votes, no votes at all) or a
// candidate's track without peaks, the tolerant pairs are matched as
// Match does: looked up, every track at its best cell by them.
MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options,
                  std::vector<Candidate>& put_forward);
MatchResult MatchTolerant(const LandmarkIndex& index, std::span<const Landmark> tolerant, std::span<const Peak> peaks,
                          std::span<const Candidate> put_forward, const MatchOptions& options = {});

// Where in a recording a track agrees with it at an offset (track frame of
// the recording's frame 0): the frames of the recording's landmarks whose
// hash the track has at that place, a frame either way, ascending. Made
// from the track's stored peaks with the options the index was made with;
// empty where the index holds none. Tells where in a window a track
// begins or ends.
std::vector<std::uint32_t> AgreeingFrames(const LandmarkIndex& index, std::uint32_t track, std::int64_t offset,
                                          std::span<const Landmark> query, const LandmarkOptions& options = {});

// The smallest k with cells * P(Poisson(lambda) >= k) <= rate.
std::uint32_t PoissonThreshold(double lambda, double cells, double rate);

}  // namespace vxt::matcher
