#include "StoreSupport.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vxt::matcher {
namespace {

std::uint32_t FrameAt(const unsigned char* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The index of the first stored peak at or after frame.
std::size_t FirstAtOrAfter(const unsigned char* data, std::size_t count, std::uint32_t frame)
{
    std::size_t low = 0;
    std::size_t high = count;
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (FrameAt(data + mid * kStoredPeakBytes) < frame)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

}  // namespace

std::uint64_t VotesOf(std::uint64_t postings, std::uint32_t weight)
{
    return weight != 0 && postings > std::numeric_limits<std::uint64_t>::max() / weight
               ? std::numeric_limits<std::uint64_t>::max()
               : postings * weight;
}

std::uint64_t AddVotes(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::vector<bool> KeptWithin(std::span<const std::uint64_t> counts, std::span<const std::uint32_t> weights,
                             const LookupBounds& bounds, LookupLeftOut& left_out)
{
    if (weights.size() != counts.size())
        throw std::invalid_argument("a bounded lookup needs a weight for every hash");
    std::vector<bool> kept(counts.size(), false);
    std::vector<std::size_t> within;  // below the limit of one hash
    std::uint64_t votes = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] > 0 && counts[i] <= bounds.most_postings) {
            within.push_back(i);
            votes = AddVotes(votes, VotesOf(counts[i], weights[i]));
        }
    }
    if (votes > bounds.most_votes) {
        // The fewest postings first, then the lowest hash (the hashes
        // ascend with their index).
        std::sort(within.begin(), within.end(),
                  [&](std::size_t a, std::size_t b) { return counts[a] != counts[b] ? counts[a] < counts[b] : a < b; });
        votes = 0;
        std::size_t fit = 0;
        while (fit < within.size()) {
            const std::uint64_t more = AddVotes(votes, VotesOf(counts[within[fit]], weights[within[fit]]));
            if (more > bounds.most_votes)
                break;
            votes = more;
            ++fit;
        }
        within.resize(fit);
    }
    for (const std::size_t i : within)
        kept[i] = true;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] > 0 && !kept[i]) {
            ++left_out.hashes;
            left_out.votes = AddVotes(left_out.votes, VotesOf(counts[i], weights[i]));
        }
    }
    return kept;
}

void Store::AddAll(std::span<const NewTrack> tracks, const CommittedSink& committed)
{
    for (std::size_t i = 0; i < tracks.size(); ++i)
        committed(i, Add(tracks[i].info, tracks[i].landmarks, tracks[i].peaks));
}

LookupLeftOut LandmarkIndex::LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                                          const LookupBounds& bounds, const PostingVisitor& visit) const
{
    LookupLeftOut left_out;
    const std::vector<bool> kept = KeptWithin(CountPostings(hashes), weights, bounds, left_out);
    // The postings may have changed since they were counted: the second
    // look visits only what was counted, within the limits as counted.
    std::size_t at = 0;
    std::uint64_t votes = 0;
    Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        while (at < hashes.size() && hashes[at] < hash)
            ++at;
        if (at >= hashes.size() || hashes[at] != hash || !kept[at] || postings.size() > bounds.most_postings)
            return;
        const std::uint64_t more = AddVotes(votes, VotesOf(postings.size(), weights[at]));
        if (more > bounds.most_votes)
            return;
        votes = more;
        visit(hash, postings);
    });
    return left_out;
}

std::vector<std::uint64_t> LandmarkIndex::CountPostings(std::span<const std::uint32_t> hashes) const
{
    std::vector<std::uint64_t> counts(hashes.size(), 0);
    std::size_t at = 0;
    Lookup(hashes, [&](std::uint32_t hash, std::span<const Posting> postings) {
        while (at < hashes.size() && hashes[at] < hash)
            ++at;
        if (at < hashes.size() && hashes[at] == hash)
            counts[at] = postings.size();
    });
    return counts;
}

std::vector<Landmark> DistinctLandmarks(std::span<const Landmark> landmarks)
{
    std::vector<Landmark> sorted(landmarks.begin(), landmarks.end());
    std::sort(sorted.begin(), sorted.end(), [](const Landmark& a, const Landmark& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
    });
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    return sorted;
}

std::vector<std::vector<Peak>> PeaksInWindows(const std::unordered_map<std::uint32_t, std::vector<Peak>>& tracks,
                                              std::span<const PeakWindow> windows)
{
    std::vector<std::vector<Peak>> lists(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto found = tracks.find(windows[i].track);
        if (found != tracks.end()) {
            const std::span<const Peak> in = PeaksBetween(found->second, windows[i].from, windows[i].to);
            lists[i].assign(in.begin(), in.end());
        }
    }
    return lists;
}

std::vector<Peak> InTimeOrder(std::span<const Peak> peaks)
{
    const auto earlier = [](const Peak& a, const Peak& b) { return a.frame < b.frame; };
    std::vector<Peak> sorted(peaks.begin(), peaks.end());
    if (!std::is_sorted(sorted.begin(), sorted.end(), earlier))  // a signature's peaks come sorted
        std::stable_sort(sorted.begin(), sorted.end(), earlier);
    return sorted;
}

std::string EncodePeaks(std::span<const Peak> peaks)
{
    std::string out;
    out.reserve(peaks.size() * kStoredPeakBytes);
    for (const Peak& p : peaks) {
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<char>(p.frame >> shift));
        out.push_back(static_cast<char>(p.frequency));
        out.push_back(static_cast<char>(p.frequency >> 8));
    }
    return out;
}

bool DecodePeaksBetween(std::string_view stored, std::uint32_t from, std::uint32_t to, std::vector<Peak>& out)
{
    if (stored.size() % kStoredPeakBytes != 0)
        return false;
    const auto* data = reinterpret_cast<const unsigned char*>(stored.data());
    const std::size_t count = stored.size() / kStoredPeakBytes;
    const std::size_t end = FirstAtOrAfter(data, count, std::max(from, to));
    for (std::size_t i = FirstAtOrAfter(data, count, from); i < end; ++i) {
        const unsigned char* p = data + i * kStoredPeakBytes;
        out.push_back({FrameAt(p), static_cast<std::uint16_t>(p[4] | p[5] << 8)});
    }
    return true;
}

}  // namespace vxt::matcher
