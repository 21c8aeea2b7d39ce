#include "memory_index.h"

#include "StoreSupport.h"

namespace vxt::matcher {

void MemoryIndex::Add(std::uint32_t track, std::span<const Landmark> landmarks, std::uint32_t frames_long,
                      std::span<const Peak> peaks)
{
    if (!peaks.empty())
        peaks_[track] = InTimeOrder(peaks);
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

std::vector<std::vector<Peak>> MemoryIndex::TrackPeaks(std::span<const PeakWindow> windows) const
{
    return PeaksInWindows(peaks_, windows);
}

}  // namespace vxt::matcher
