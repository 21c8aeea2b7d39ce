#include "vextune/matcher/Matcher.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <utility>

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

// A vote's cell: the track, and the offset biased so that the keys of one
// track sort by offset, negative offsets first.
std::uint64_t Cell(std::uint32_t track, std::int64_t offset)
{
    return static_cast<std::uint64_t>(track) << 32 | static_cast<std::uint32_t>(offset + 0x80000000LL);
}
std::uint32_t CellTrack(std::uint64_t cell) { return static_cast<std::uint32_t>(cell >> 32); }
std::int64_t CellOffset(std::uint64_t cell) { return static_cast<std::int64_t>(cell & 0xffffffffu) - 0x80000000LL; }

// Sorts votes (cells) faster than a comparison sort can: the cells are
// packed into as few bits as their tracks and offsets need (track above
// offset, so the order is kept), sorted by 11-bit digits from the lowest,
// and unpacked. A query over a large catalogue brings close to a million
// votes, whose offsets span a few tens of thousands of frames.
void SortVotes(std::vector<std::uint64_t>& votes)
{
    if (votes.size() < 4096) {
        std::sort(votes.begin(), votes.end());
        return;
    }
    std::uint32_t min_low = 0xffffffffu;
    std::uint32_t max_low = 0;
    std::uint32_t max_track = 0;
    for (const std::uint64_t v : votes) {
        min_low = std::min(min_low, static_cast<std::uint32_t>(v));
        max_low = std::max(max_low, static_cast<std::uint32_t>(v));
        max_track = std::max(max_track, CellTrack(v));
    }
    const int offset_bits = std::bit_width(max_low - min_low);
    const int bits = offset_bits + std::bit_width(max_track);
    for (std::uint64_t& v : votes)
        v = (v >> 32) << offset_bits | (static_cast<std::uint32_t>(v) - min_low);

    constexpr int kDigitBits = 11;
    constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
    thread_local std::vector<std::uint64_t> other;  // kept, as the votes are: see Match
    other.resize(votes.size());
    std::array<std::size_t, kDigits> start;
    for (int shift = 0; shift < bits; shift += kDigitBits) {
        std::fill(start.begin(), start.end(), 0);
        for (const std::uint64_t v : votes)
            ++start[(v >> shift) & (kDigits - 1)];
        std::size_t sum = 0;
        for (std::size_t& s : start)
            sum += std::exchange(s, sum);
        for (const std::uint64_t v : votes)
            other[start[(v >> shift) & (kDigits - 1)]++] = v;
        votes.swap(other);
    }

    const std::uint64_t offset_mask = (std::uint64_t{1} << offset_bits) - 1;
    for (std::uint64_t& v : votes)
        v = (v >> offset_bits) << 32 | ((v & offset_mask) + min_low);
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

void MemoryIndex::Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const
{
    for (const std::uint32_t hash : hashes) {
        const std::span<const Posting> postings = Lookup(hash);
        if (!postings.empty())
            visit(hash, postings);
    }
}

std::uint32_t PoissonThreshold(double lambda, double cells, double rate)
{
    std::uint32_t k = 1;
    while (k < 100000 && cells * PoissonTail(lambda, k) > rate)
        ++k;
    return k;
}

MatchResult Match(const LandmarkIndex& index, std::span<const Landmark> query, const MatchOptions& options)
{
    // The query's landmarks by hash, and its distinct hashes, looked up at once.
    std::vector<Landmark> sorted(query.begin(), query.end());
    std::sort(sorted.begin(), sorted.end(), [](const Landmark& a, const Landmark& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
    });
    std::vector<std::uint32_t> hashes;
    for (const Landmark& l : sorted) {
        if (hashes.empty() || hashes.back() != l.hash)
            hashes.push_back(l.hash);
    }

    // Every hit votes for its cell. The tallies of a large catalogue run to
    // tens of megabytes: the thread keeps its buffers from query to query
    // rather than have fresh pages mapped and zeroed for every one.
    thread_local std::vector<std::uint64_t> votes;
    thread_local std::vector<std::size_t> hash_ends;  // where each looked-up hash's votes end
    votes.clear();
    hash_ends.clear();
    auto next = sorted.begin();
    index.Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        while (next != sorted.end() && next->hash < hash)
            ++next;
        for (auto l = next; l != sorted.end() && l->hash == hash; ++l) {
            for (const Posting& p : postings)
                votes.push_back(Cell(p.track, static_cast<std::int64_t>(p.frame) - static_cast<std::int64_t>(l->frame)));
        }
        hash_ends.push_back(votes.size());
    });
    const std::uint64_t hits = votes.size();
    thread_local std::vector<std::uint64_t> by_hash;
    by_hash.assign(votes.begin(), votes.end());
    SortVotes(votes);

    // Cells with their counts, in key order, then each cell's score: its
    // votes and its neighbours' a frame either way.
    struct Count {
        std::uint64_t cell;
        std::uint32_t votes;
    };
    thread_local std::vector<Count> counts;
    counts.clear();
    for (const std::uint64_t v : votes) {
        if (counts.empty() || counts.back().cell != v)
            counts.push_back({v, 0});
        ++counts.back().votes;
    }

    // The best cell of each track by votes.
    struct TrackBest {
        std::uint32_t track;
        std::uint32_t votes;
        std::uint64_t cell;
    };
    thread_local std::vector<TrackBest> track_best;
    track_best.clear();
    for (std::size_t i = 0; i < counts.size(); ++i) {
        std::uint32_t s = counts[i].votes;
        if (i > 0 && counts[i - 1].cell + 1 == counts[i].cell)
            s += counts[i - 1].votes;
        if (i + 1 < counts.size() && counts[i + 1].cell == counts[i].cell + 1)
            s += counts[i + 1].votes;
        const std::uint32_t track = CellTrack(counts[i].cell);
        if (track_best.empty() || track_best.back().track != track)
            track_best.push_back({track, 0, 0});
        if (s > track_best.back().votes)  // ties keep the first: the lowest offset
            track_best.back() = {track, s, counts[i].cell};
    }

    // A cell's score is the number of distinct hashes voting for it (or a
    // frame either way), not its votes: music that repeats a pattern (a
    // beat, a loop) votes again and again with the same few pairs into one
    // cell of any track that has the pattern at that tempo, while a true
    // match brings many different pairs. The tracks with the most votes are
    // scored so, each at its best cell.
    const std::size_t candidates = std::min<std::size_t>(track_best.size(), 8);
    std::partial_sort(track_best.begin(), track_best.begin() + static_cast<std::ptrdiff_t>(candidates),
                      track_best.end(), [](const TrackBest& a, const TrackBest& b) {
                          return a.votes != b.votes ? a.votes > b.votes : a.track < b.track;
                      });
    std::array<std::uint32_t, 8> distinct{};
    std::size_t begin = 0;
    for (const std::size_t end : hash_ends) {
        std::array<bool, 8> seen{};
        for (std::size_t v = begin; v < end; ++v) {
            for (std::size_t c = 0; c < candidates; ++c)
                seen[c] = seen[c] || by_hash[v] + 1 - track_best[c].cell <= 2;  // within a frame
        }
        for (std::size_t c = 0; c < candidates; ++c)
            distinct[c] += seen[c] ? 1 : 0;
        begin = end;
    }

    MatchResult result;
    std::size_t best = candidates;
    for (std::size_t c = 0; c < candidates; ++c) {
        if (best == candidates || distinct[c] > distinct[best] ||
            (distinct[c] == distinct[best] && track_best[c].track < track_best[best].track))
            best = c;
    }
    if (best < candidates && distinct[best] > 0) {
        result.score = distinct[best];
        result.track = track_best[best].track;
        result.offset_frames = CellOffset(track_best[best].cell);
        for (std::size_t c = 0; c < candidates; ++c) {
            if (c != best)
                result.runner_up = std::max(result.runner_up, distinct[c]);
        }
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
