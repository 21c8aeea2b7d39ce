#include "vextune/matcher/Landmarks.h"

#include <algorithm>
#include <cstdlib>

namespace vxt::matcher {
namespace {

// Time order, then frequency: the order landmarks are made in.
void SortByTime(std::vector<Peak>& peaks)
{
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
}

}  // namespace

std::vector<Peak> MergeBands(std::span<const std::vector<BandPeak>> bands, std::uint32_t start_frame)
{
    std::vector<Peak> peaks;
    for (const auto& band : bands) {
        for (const BandPeak& p : band)
            peaks.push_back({start_frame + p.time, p.frequency});
    }
    SortByTime(peaks);
    return peaks;
}

std::vector<Landmark> MakeLandmarks(std::span<const Peak> peaks, const LandmarkOptions& options)
{
    std::vector<Landmark> landmarks;
    landmarks.reserve(peaks.size() * options.fan_out);
    for (std::size_t a = 0; a < peaks.size(); ++a) {
        const Peak& anchor = peaks[a];
        const std::int32_t anchor_bin = anchor.frequency >> 6;
        std::uint32_t made = 0;
        for (std::size_t t = a + 1; t < peaks.size() && made < options.fan_out; ++t) {
            const std::uint32_t dt = peaks[t].frame - anchor.frame;
            if (dt == 0)
                continue;
            if (dt > options.max_frame_step)
                break;
            const std::int32_t db = static_cast<std::int32_t>(peaks[t].frequency >> 6) - anchor_bin;
            if (db == 0 || db < -options.max_bin_step || db >= options.max_bin_step)
                continue;
            const auto hash = static_cast<std::uint32_t>(anchor_bin) << 13 |
                              static_cast<std::uint32_t>(db + 64) << 6 | dt;  // 22 bits
            landmarks.push_back({hash, anchor.frame});
            ++made;
        }
    }
    return landmarks;
}

std::vector<Landmark> WithTimeTolerance(std::span<const Landmark> landmarks, std::uint32_t tolerance,
                                        const LandmarkOptions& options)
{
    std::vector<Landmark> out;
    out.reserve(landmarks.size() * (2 * tolerance + 1));
    for (const Landmark& l : landmarks) {
        out.push_back(l);
        const std::uint32_t dt = l.hash & 63;
        for (std::uint32_t d = 1; d <= tolerance; ++d) {
            if (dt > d)
                out.push_back({(l.hash & ~63u) | (dt - d), l.frame});
            if (dt + d <= options.max_frame_step)
                out.push_back({(l.hash & ~63u) | (dt + d), l.frame});
        }
    }
    return out;
}

std::vector<Landmark> SignatureLandmarks(const decoded_signature& signature, const LandmarkOptions& options)
{
    std::vector<Peak> peaks;
    for (const band_list& band : signature.bands) {
        for (const BandPeak& p : band.peaks)
            peaks.push_back({p.time, p.frequency});
    }
    SortByTime(peaks);
    return MakeLandmarks(peaks, options);
}

}  // namespace vxt::matcher
