#include "uniform_tracks.h"

#include <algorithm>
#include <iterator>

namespace vxt::bench {

using matcher::Peak;

void SortPeaks(std::vector<Peak>& peaks)
{
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
}

void DrawPeaks(std::mt19937_64& random, std::uint32_t frames, double mean, std::vector<Peak>& peaks)
{
    std::poisson_distribution<std::uint32_t> count(mean);
    for (std::uint32_t start = 0; start < frames; start += kPeriodFrames) {
        const std::uint32_t span = std::min(kPeriodFrames, frames - start);
        for (std::size_t b = 0; b + 1 < std::size(kBandEdges); ++b) {
            const std::uint32_t n = std::min(kMostPeaksPerBand, count(random) * span / kPeriodFrames);
            for (std::uint32_t i = 0; i < n; ++i) {
                const auto frame = start + static_cast<std::uint32_t>(random() % span);
                const auto frequency =
                    static_cast<std::uint16_t>(kBandEdges[b] + random() % (kBandEdges[b + 1] - kBandEdges[b]));
                peaks.push_back({frame, frequency});
            }
        }
    }
}

std::vector<Peak> UniformTrackPeaks(std::uint32_t track, std::uint32_t frames)
{
    std::mt19937_64 random(0x5eed0000ull + track);
    std::vector<Peak> peaks;
    DrawPeaks(random, frames, kPeaksPerBand, peaks);
    SortPeaks(peaks);
    return peaks;
}

std::uint32_t UniformTrackFrames(std::uint32_t track)
{
    std::mt19937_64 random(0x1e9600ull + track);
    return static_cast<std::uint32_t>((120 + random() % 181) * kFramesPerSecond);
}

}  // namespace vxt::bench
