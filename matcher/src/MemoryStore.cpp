// The store in memory: a fixture of the tests (the reference the other
// stores' tests are read against) and of the fuzzers, and ":memory:" for
// experiments; it keeps nothing once closed. One lock: readers share it, a
// writer holds it alone, so a reader sees a track wholly or not at all.
#include <algorithm>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "StoreSupport.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {
namespace {

class MemoryStore final : public Store {
public:
    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override
    {
        std::shared_lock lock(mutex_);
        for (const std::uint32_t hash : hashes) {
            const auto found = postings_.find(hash);
            if (found != postings_.end() && !found->second.empty())
                visit(hash, found->second);
        }
    }

    LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                               const LookupBounds& bounds, const PostingVisitor& visit) const override
    {
        std::shared_lock lock(mutex_);
        std::vector<const std::vector<Posting>*> found(hashes.size(), nullptr);
        std::vector<std::uint64_t> counts(hashes.size(), 0);
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            if (const auto at = postings_.find(hashes[i]); at != postings_.end()) {
                found[i] = &at->second;
                counts[i] = at->second.size();
            }
        }
        LookupLeftOut left_out;
        const std::vector<bool> kept = KeptWithin(counts, weights, bounds, left_out);
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            if (kept[i])
                visit(hashes[i], *found[i]);
        }
        return left_out;
    }

    std::uint64_t IndexedFrames() const override
    {
        std::shared_lock lock(mutex_);
        return totals_.frames;
    }

    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override
    {
        std::shared_lock lock(mutex_);
        return PeaksInWindows(peaks_, windows);
    }

    Added Add(const TrackInfo& info, std::span<const Landmark> landmarks, std::span<const Peak> peaks) override
    {
        std::unique_lock lock(mutex_);
        for (const auto& [id, track] : tracks_) {
            if (track.content == info.content)
                return {id, false};
        }
        TrackInfo track = info;
        track.id = next_id_++;  // never reused: an old answer never names another track

        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        for (const Landmark& l : sorted) {
            auto& list = postings_[l.hash];
            const Posting p{track.id, l.frame};
            list.insert(std::upper_bound(list.begin(), list.end(), p), p);
        }
        track.postings = sorted.size();
        totals_.tracks += 1;
        totals_.postings += track.postings;
        totals_.frames += track.frames;
        const std::uint32_t id = track.id;
        tracks_.emplace(id, std::move(track));
        if (!peaks.empty())
            peaks_.emplace(id, InTimeOrder(peaks));
        return {id, true};
    }

    bool Remove(std::uint32_t id) override
    {
        std::unique_lock lock(mutex_);
        const auto found = tracks_.find(id);
        if (found == tracks_.end())
            return false;
        ErasePostingsOf(id);
        totals_.tracks -= 1;
        totals_.postings -= found->second.postings;
        totals_.frames -= found->second.frames;
        tracks_.erase(found);
        peaks_.erase(id);
        return true;
    }

    bool ReplacePostings(std::uint32_t id, std::span<const Landmark> landmarks) override
    {
        std::unique_lock lock(mutex_);
        const auto found = tracks_.find(id);
        if (found == tracks_.end())
            return false;
        ErasePostingsOf(id);
        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        for (const Landmark& l : sorted) {
            auto& list = postings_[l.hash];
            const Posting p{id, l.frame};
            list.insert(std::upper_bound(list.begin(), list.end(), p), p);
        }
        totals_.postings = totals_.postings - found->second.postings + sorted.size();
        found->second.postings = sorted.size();
        return true;
    }

    std::string IndexFormat() const override
    {
        std::shared_lock lock(mutex_);
        return format_;
    }

    void SetIndexFormat(const std::string& format) override
    {
        std::unique_lock lock(mutex_);
        format_ = format;
    }

    std::optional<TrackInfo> Track(std::uint32_t id) const override
    {
        std::shared_lock lock(mutex_);
        const auto found = tracks_.find(id);
        return found == tracks_.end() ? std::nullopt : std::optional<TrackInfo>(found->second);
    }

    std::optional<TrackInfo> TrackWithContent(std::string_view content) const override
    {
        std::shared_lock lock(mutex_);
        for (const auto& [id, track] : tracks_) {
            if (track.content == content)
                return track;
        }
        return std::nullopt;
    }

    std::vector<TrackInfo> Tracks() const override
    {
        std::shared_lock lock(mutex_);
        std::vector<TrackInfo> all;
        for (const auto& [id, track] : tracks_)
            all.push_back(track);
        return all;
    }

    StoreTotals Totals() const override
    {
        std::shared_lock lock(mutex_);
        return totals_;
    }

private:
    // With mutex_ held alone.
    void ErasePostingsOf(std::uint32_t id)
    {
        for (auto& [hash, list] : postings_)
            std::erase_if(list, [id](const Posting& p) { return p.track == id; });
    }

    mutable std::shared_mutex mutex_;
    std::map<std::uint32_t, TrackInfo> tracks_;
    std::unordered_map<std::uint32_t, std::vector<Posting>> postings_;
    std::unordered_map<std::uint32_t, std::vector<Peak>> peaks_;  // of tracks that have any
    StoreTotals totals_;
    std::uint32_t next_id_ = 1;
    std::string format_ = LandmarkFormat();
};

}  // namespace

std::unique_ptr<Store> MakeMemoryStore()
{
    return std::make_unique<MemoryStore>();
}

}  // namespace vxt::matcher
