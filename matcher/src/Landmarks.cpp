#include "vextune/matcher/Landmarks.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

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

std::int32_t Bin(const Peak& p)
{
    return p.frequency >> 6;
}

// A stretch of peaks of one frame, one after another in the list.
struct FrameRun {
    std::size_t begin;
    std::size_t end;
    std::uint32_t frame;
    bool bins_ascend;  // the run's peaks in bin order, so that a zone is two stretches of it
};

// Runs shorter than this are searched peak by peak: cheaper than halving.
constexpr std::size_t kShortRun = 8;

// Calls pair(anchor, target, frame step) for the pairs each anchor makes:
// the next peaks in its target zone, at most fan_out of them. That is, in
// the list's own order: the peaks after the anchor up to the first that
// lies more than max_frame_step frames later (a frame step in unsigned
// 32-bit arithmetic, as frames are), passing over those of the anchor's
// frame and those outside its bins.
//
// A pair search peak by peak costs as much as the peaks it passes over,
// and a frame or a bin of a great many peaks (which no music has, but a
// request can) makes it quadratic. Here the peaks are taken a frame at a
// time: the rest of the anchor's own frame is passed over at once; in a
// later frame whose peaks are in bin order (as SignaturePeaks orders
// them), the zone is found by halving; and the anchors of one frame and
// one bin, which pair with the same peaks, search once. An anchor thus
// costs at most max_frame_step halvings and fan_out pairs, and the search
// is linear in the peaks. A frame whose peaks are not in bin order is
// searched peak by peak, with the same pairs.
template <typename Pair>
void ForEachPair(std::span<const Peak> peaks, const LandmarkOptions& options, Pair pair)
{
    const std::int64_t reach = options.max_bin_step;
    if (options.fan_out == 0 || reach <= 0 || peaks.empty())
        return;  // no target zone

    std::vector<FrameRun> runs;
    for (std::size_t i = 0; i < peaks.size();) {
        FrameRun run{i, i + 1, peaks[i].frame, true};
        while (run.end < peaks.size() && peaks[run.end].frame == run.frame) {
            run.bins_ascend = run.bins_ascend && Bin(peaks[run.end - 1]) <= Bin(peaks[run.end]);
            ++run.end;
        }
        runs.push_back(run);
        i = run.end;
    }

    struct Target {
        std::size_t at;
        std::uint32_t dt;
    };
    std::vector<Target> targets;
    targets.reserve(options.fan_out);
    // The peaks of run[from, to) in the anchor's zone, in order, while
    // fewer than fan_out are found.
    const auto take = [&](std::size_t from, std::size_t to, std::uint32_t dt, std::int64_t bin) {
        for (std::size_t t = from; t < to && targets.size() < options.fan_out; ++t) {
            const std::int64_t step = Bin(peaks[t]) - bin;
            if (step != 0 && step >= -reach && step < reach)
                targets.push_back({t, dt});
        }
    };
    // The first peak of the run from `from` on in a bin of at least `bin`.
    const auto first_in = [&](const FrameRun& run, std::size_t from, std::int64_t bin) {
        const auto begin = peaks.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = peaks.begin() + static_cast<std::ptrdiff_t>(run.end);
        return static_cast<std::size_t>(
            std::partition_point(begin, end, [bin](const Peak& p) { return Bin(p) < bin; }) - peaks.begin());
    };

    for (std::size_t r = 0; r < runs.size(); ++r) {
        const FrameRun& own = runs[r];
        for (std::size_t a = own.begin; a < own.end; ++a) {
            const Peak& anchor = peaks[a];
            const std::int64_t bin = Bin(anchor);
            if (a == own.begin || Bin(peaks[a - 1]) != bin) {
                targets.clear();
                for (std::size_t next = r + 1; next < runs.size() && targets.size() < options.fan_out; ++next) {
                    const FrameRun& run = runs[next];
                    const std::uint32_t dt = run.frame - anchor.frame;
                    if (dt == 0)
                        continue;
                    if (dt > options.max_frame_step)
                        break;
                    if (!run.bins_ascend || run.end - run.begin <= kShortRun) {
                        take(run.begin, run.end, dt, bin);
                        continue;
                    }
                    // Below the anchor's bin, then above it.
                    const std::size_t low = first_in(run, run.begin, bin - reach);
                    const std::size_t own_bin = first_in(run, low, bin);
                    const std::size_t above = first_in(run, own_bin, bin + 1);
                    const std::size_t high = first_in(run, above, bin + reach);
                    take(low, own_bin, dt, bin);
                    take(above, high, dt, bin);
                }
            }
            for (const Target& t : targets)
                pair(anchor, peaks[t.at], t.dt);
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
