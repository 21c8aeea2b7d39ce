#include "vextune/matcher/Matcher.h"

#include <algorithm>
#include <cmath>

namespace vxt::matcher {
namespace {

// P(Poisson(lambda) >= k), summed upward from k so that tiny tails keep
// their precision (1 minus the head would lose them to rounding).
double PoissonTail(double lambda, std::uint32_t k)
{
    if (k == 0 || lambda <= 0.0)
        return k == 0 ? 1.0 : 0.0;
    double term = std::exp(-lambda + k * std::log(lambda) - std::lgamma(k + 1.0));
    double tail = 0.0;
    for (std::uint32_t i = k; i < k + 100000; ++i) {
        tail += term;
        term *= lambda / (i + 1);
        if (term < tail * 1e-17)
            break;
    }
    return std::min(1.0, tail);
}

std::uint64_t Key(std::uint32_t track, std::int64_t offset)
{
    return static_cast<std::uint64_t>(track) << 32 | static_cast<std::uint32_t>(static_cast<std::int32_t>(offset));
}

}  // namespace

void MemoryIndex::Add(std::uint32_t track, std::span<const Landmark> landmarks, std::uint32_t frames_long)
{
    for (const Landmark& l : landmarks)
        table_[l.hash].push_back({track, l.frame});
    postings_ += landmarks.size();
    frames_ += frames_long;
    ++tracks_;
}

std::span<const Posting> MemoryIndex::Lookup(std::uint32_t hash) const
{
    const auto found = table_.find(hash);
    return found == table_.end() ? std::span<const Posting>{} : std::span<const Posting>(found->second);
}

std::uint32_t PoissonThreshold(double lambda, double cells, double rate)
{
    std::uint32_t k = 1;
    while (k < 100000 && cells * PoissonTail(lambda, k) > rate)
        ++k;
    return k;
}

MatchResult Match(const MemoryIndex& index, std::span<const Landmark> query, const MatchOptions& options)
{
    std::unordered_map<std::uint64_t, std::uint32_t> votes;
    std::uint64_t hits = 0;
    for (const Landmark& l : query) {
        for (const Posting& p : index.Lookup(l.hash)) {
            ++votes[Key(p.track, static_cast<std::int64_t>(p.frame) - static_cast<std::int64_t>(l.frame))];
            ++hits;
        }
    }

    MatchResult result;
    // Scores within a frame: a cell and its two neighbours.
    const auto score_at = [&](std::uint32_t track, std::int64_t offset) {
        std::uint32_t s = 0;
        for (std::int64_t d = -1; d <= 1; ++d) {
            const auto found = votes.find(Key(track, offset + d));
            if (found != votes.end())
                s += found->second;
        }
        return s;
    };
    std::unordered_map<std::uint32_t, std::uint32_t> best_by_track;
    for (const auto& [key, count] : votes) {
        const auto track = static_cast<std::uint32_t>(key >> 32);
        const std::int64_t offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
        const std::uint32_t s = score_at(track, offset);
        auto& best = best_by_track[track];
        best = std::max(best, s);
        if (s > result.score || (s == result.score && (track < result.track || offset < result.offset_frames))) {
            result.score = s;
            result.track = track;
            result.offset_frames = offset;
        }
    }
    for (const auto& [track, s] : best_by_track) {
        if (track != result.track)
            result.runner_up = std::max(result.runner_up, s);
    }

    const double cells = std::max<double>(1.0, static_cast<double>(index.IndexedFrames()));
    const double lambda = 3.0 * static_cast<double>(hits) / cells;
    result.threshold = std::max(options.min_score, PoissonThreshold(lambda, cells, options.false_claim_rate));
    result.chance = cells * PoissonTail(lambda, result.score);
    if (result.score >= result.threshold &&
        static_cast<double>(result.score) >= options.min_margin * static_cast<double>(result.runner_up))
        result.verdict = Verdict::Match;
    else if (2 * result.score >= result.threshold)
        result.verdict = Verdict::NeedMore;
    else
        result.verdict = Verdict::NoMatch;
    return result;
}

}  // namespace vxt::matcher
