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

std::uint32_t Hash(std::int32_t anchor_bin, std::int32_t bin_step, std::uint32_t frame_step)
{
    return static_cast<std::uint32_t>(anchor_bin) << 13 | static_cast<std::uint32_t>(bin_step + 64) << 6 |
           frame_step;  // 22 bits
}

bool InZone(std::int32_t bin_step, const LandmarkOptions& options)
{
    return bin_step != 0 && bin_step >= -options.max_bin_step && bin_step < options.max_bin_step;
}

// Calls pair(anchor, target, frame step) for the pairs each anchor makes:
// the next peaks in its target zone, at most fan_out of them.
template <typename Pair>
void ForEachPair(std::span<const Peak> peaks, const LandmarkOptions& options, Pair pair)
{
    for (std::size_t a = 0; a < peaks.size(); ++a) {
        const Peak& anchor = peaks[a];
        std::uint32_t made = 0;
        for (std::size_t t = a + 1; t < peaks.size() && made < options.fan_out; ++t) {
            const std::uint32_t dt = peaks[t].frame - anchor.frame;
            if (dt == 0)
                continue;
            if (dt > options.max_frame_step)
                break;
            if (!InZone((peaks[t].frequency >> 6) - (anchor.frequency >> 6), options))
                continue;
            pair(anchor, peaks[t], dt);
            ++made;
        }
    }
}

}  // namespace

std::vector<Landmark> MakeLandmarks(std::span<const Peak> peaks, const LandmarkOptions& options)
{
    std::vector<Landmark> landmarks;
    landmarks.reserve(peaks.size() * options.fan_out);
    ForEachPair(peaks, options, [&](const Peak& anchor, const Peak& target, std::uint32_t dt) {
        landmarks.push_back(
            {Hash(anchor.frequency >> 6, (target.frequency >> 6) - (anchor.frequency >> 6), dt), anchor.frame});
    });
    return landmarks;
}

std::vector<Landmark> QueryLandmarks(std::span<const Peak> peaks, const QueryTolerance& tolerance,
                                     const LandmarkOptions& options)
{
    // The bins a peak may have in the clean track: its own, and the
    // neighbour whose edge it lies within bin_edge of.
    const auto bins = [&](std::uint16_t frequency, std::int32_t out[2]) {
        const std::int32_t bin = frequency >> 6;
        const std::int32_t within = frequency & 63;
        out[0] = bin;
        if (tolerance.bin_edge > 0 && within < tolerance.bin_edge && bin > 0)
            out[1] = bin - 1;
        else if (tolerance.bin_edge > 0 && 64 - within <= tolerance.bin_edge && bin < 511)
            out[1] = bin + 1;
        else
            return 1;
        return 2;
    };
    std::vector<Landmark> landmarks;
    landmarks.reserve(peaks.size() * options.fan_out * (2 * tolerance.frames + 1) * 2);
    ForEachPair(peaks, options, [&](const Peak& anchor, const Peak& target, std::uint32_t dt) {
        std::int32_t anchor_bins[2];
        std::int32_t target_bins[2];
        const int anchor_count = bins(anchor.frequency, anchor_bins);
        const int target_count = bins(target.frequency, target_bins);
        const std::uint32_t shortest = dt > tolerance.frames ? dt - tolerance.frames : 1;
        const std::uint32_t longest = std::min(dt + tolerance.frames, options.max_frame_step);
        for (int i = 0; i < anchor_count; ++i) {
            for (int j = 0; j < target_count; ++j) {
                const std::int32_t step = target_bins[j] - anchor_bins[i];
                if (!InZone(step, options))
                    continue;
                for (std::uint32_t d = shortest; d <= longest; ++d)
                    landmarks.push_back({Hash(anchor_bins[i], step, d), anchor.frame});
            }
        }
    });
    return landmarks;
}

std::vector<Peak> SignaturePeaks(const decoded_signature& signature)
{
    std::vector<Peak> peaks;
    for (const band_list& band : signature.bands) {
        for (const BandPeak& p : band.peaks)
            peaks.push_back({p.time, p.frequency});
    }
    SortByTime(peaks);
    return peaks;
}

std::span<const Peak> PeaksBetween(std::span<const Peak> peaks, std::uint32_t from, std::uint32_t to)
{
    const auto before = [](const Peak& p, std::uint32_t frame) { return p.frame < frame; };
    const auto first = std::lower_bound(peaks.begin(), peaks.end(), from, before);
    const auto last = std::lower_bound(first, peaks.end(), std::max(from, to), before);
    return {first, last};
}

std::vector<Landmark> SignatureLandmarks(const decoded_signature& signature, const LandmarkOptions& options)
{
    return MakeLandmarks(SignaturePeaks(signature), options);
}

}  // namespace vxt::matcher
