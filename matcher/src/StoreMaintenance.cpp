// What a store does beyond adding and looking up: making its index anew.
#include <limits>

#include "vextune/matcher/Store.h"

namespace vxt::matcher {

bool Store::ReplacePostings(std::uint32_t, std::span<const Landmark>)
{
    throw StoreError("this store cannot make a track's postings again");
}

std::string Store::IndexFormat() const
{
    return kUnrecordedIndexFormat;
}

void Store::SetIndexFormat(const std::string&)
{
    throw StoreError("this store cannot record its landmark format");
}

ReindexReport ReindexStore(Store& store, const LandmarkOptions& options,
                           const std::function<void(const TrackInfo&, std::uint64_t postings)>& progress)
{
    ReindexReport report;
    for (const TrackInfo& track : store.Tracks()) {
        const PeakWindow whole{track.id, 0, std::numeric_limits<std::uint32_t>::max()};
        const std::vector<std::vector<Peak>> peaks = store.TrackPeaks({&whole, 1});
        const std::vector<Landmark> landmarks = MakeLandmarks(peaks.at(0), options);
        if (peaks.at(0).empty())
            report.without_peaks.push_back(track.id);
        // A track removed meanwhile is simply not there to make again.
        if (!store.ReplacePostings(track.id, landmarks))
            continue;
        const std::optional<TrackInfo> now = store.Track(track.id);
        const std::uint64_t postings = now ? now->postings : 0;
        report.tracks += 1;
        report.postings += postings;
        if (progress)
            progress(track, postings);
    }
    store.SetIndexFormat(LandmarkFormat(options));
    return report;
}

}  // namespace vxt::matcher
