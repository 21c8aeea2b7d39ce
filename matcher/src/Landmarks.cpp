#include "vextune/matcher/Landmarks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
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

// A pair's hash from its peaks' frequencies in quanta of 1 / 2^bits bin:
// the anchor's bin (9 bits) and its quantum within the bin (`bits`), the
// step in bins (7 bits, -64..63 as 0..127) and the target's quantum within
// its bin (`bits`), the frame step (6 bits): 22 + 2 bits bits, today's
// hash where bits is 0.
std::uint32_t Hash(std::int32_t anchor, std::int32_t target, std::uint32_t frame_step, std::uint32_t bits)
{
    const std::int32_t mask = (1 << bits) - 1;
    const std::int32_t bin_step = (target >> bits) - (anchor >> bits);
    const std::uint32_t high = static_cast<std::uint32_t>(anchor) << (7 + bits) |
                               static_cast<std::uint32_t>(bin_step + 64) << bits |
                               static_cast<std::uint32_t>(target & mask);
    return high << 6 | frame_step;
}

// A peak's frequency in quanta of 1 / 2^bits bin.
std::int32_t Quantum(std::uint16_t frequency, std::uint32_t bits)
{
    return frequency >> (6 - bits);
}

bool InZone(std::int32_t bin_step, const LandmarkOptions& options)
{
    return bin_step != 0 && bin_step >= -options.max_bin_step && bin_step < options.max_bin_step;
}

std::int32_t Bin(const Peak& p)
{
    return p.frequency >> 6;
}

// Runs of one frame longer than this are searched by halving when their
// peaks are in bin order; shorter ones peak by peak, which costs less.
constexpr std::size_t kShortRun = 8;

// A run of peaks of one frame longer than kShortRun, one after another in
// the list.
struct LongRun {
    std::size_t begin;
    std::size_t end;
    bool bins_ascend;  // the run's peaks in bin order, so that a zone is two stretches of it
};

// Calls pair(anchor, target, frame step) for the pairs each anchor makes:
// the next peaks in its target zone, at most fan_out of them. That is, in
// the list's own order: the peaks after the anchor up to the first that
// lies more than max_frame_step frames later (a frame step in unsigned
// 32-bit arithmetic, as frames are), passing over those of the anchor's
// frame and those outside its bins.
//
// A search peak by peak costs as much as the peaks it passes over, and a
// frame or a bin of a great many peaks (which no music has, but a request
// can) makes it quadratic. Here the rest of the anchor's own frame is
// passed over at once; a later frame of many peaks in bin order (as
// SignaturePeaks orders them) has the anchor's zone found in it by halving;
// and the anchors of one frame and one bin, which pair with the same peaks,
// search once. An anchor thus costs at most max_frame_step frames' worth
// of steps or halvings and fan_out pairs, and the search is linear in the
// peaks. Music's peaks, a few to a frame, are searched peak by peak as
// before; a long frame whose peaks are not in bin order is too, with the
// same pairs.
template <typename Pair>
void ForEachPair(std::span<const Peak> peaks, const LandmarkOptions& options, Pair pair)
{
    const std::uint32_t fan_out = options.fan_out;
    const std::uint32_t longest = options.max_frame_step;
    const std::int32_t reach = options.max_bin_step;
    const std::size_t n = peaks.size();
    if (fan_out == 0 || reach <= 0 || n == 0)
        return;  // no target zone
    const auto in_zone = [reach](std::int32_t step) { return step != 0 && step >= -reach && step < reach; };

    std::vector<LongRun> long_runs;
    for (std::size_t i = 0; i < n;) {
        std::size_t end = i + 1;
        bool ascend = true;
        while (end < n && peaks[end].frame == peaks[i].frame) {
            ascend = ascend && Bin(peaks[end - 1]) <= Bin(peaks[end]);
            ++end;
        }
        if (end - i > kShortRun)
            long_runs.push_back({i, end, ascend});
        i = end;
    }
    // The first peak of [from, to) in a bin of at least `bin`.
    const auto first_in = [&](std::size_t from, std::size_t to, std::int64_t bin) {
        const auto begin = peaks.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = peaks.begin() + static_cast<std::ptrdiff_t>(to);
        return static_cast<std::size_t>(
            std::partition_point(begin, end, [bin](const Peak& p) { return Bin(p) < bin; }) - peaks.begin());
    };

    // An anchor's targets: the peak and the frame step.
    struct Target {
        std::size_t at;
        std::uint32_t dt;
    };
    std::vector<Target> targets(std::min<std::size_t>(fan_out, n));
    const std::size_t most = targets.size();
    std::size_t count = 0;

    for (std::size_t own = 0; own < n;) {
        std::size_t own_end = own + 1;  // the anchor's frame: peaks [own, own_end)
        while (own_end < n && peaks[own_end].frame == peaks[own].frame)
            ++own_end;
        // The first long run after the anchor's frame.
        const auto first_long = std::partition_point(long_runs.begin(), long_runs.end(),
                                                     [own_end](const LongRun& r) { return r.begin < own_end; });
        for (std::size_t a = own; a < own_end; ++a) {
            const Peak& anchor = peaks[a];
            const std::int32_t bin = Bin(anchor);
            if (a == own || Bin(peaks[a - 1]) != bin) {
                count = 0;
                // The peaks of [from, to) in the zone, in order, until
                // there are enough.
                const auto take = [&](std::size_t from, std::size_t to, std::uint32_t dt) {
                    for (std::size_t t = from; t < to; ++t) {
                        if (in_zone(Bin(peaks[t]) - bin)) {
                            targets[count++] = {t, dt};
                            if (count == most)
                                return true;
                        }
                    }
                    return false;
                };
                auto next_long = first_long;
                std::size_t long_begin = next_long == long_runs.end() ? n : next_long->begin;
                for (std::size_t t = own_end; t < n;) {
                    const std::uint32_t dt = peaks[t].frame - anchor.frame;
                    if (dt > longest)
                        break;
                    if (t != long_begin) {
                        if (dt != 0 && in_zone(Bin(peaks[t]) - bin)) {
                            targets[count++] = {t, dt};
                            if (count == most)
                                break;
                        }
                        ++t;
                        continue;
                    }
                    // A long run: passed over, searched by halving, or
                    // peak by peak.
                    const LongRun& run = *next_long++;
                    long_begin = next_long == long_runs.end() ? n : next_long->begin;
                    t = run.end;
                    if (dt == 0)
                        continue;
                    bool enough = false;
                    if (run.bins_ascend) {
                        // Below the anchor's bin, then above it.
                        const std::size_t low = first_in(run.begin, run.end, std::int64_t{bin} - reach);
                        const std::size_t own_bin = first_in(low, run.end, bin);
                        const std::size_t above = first_in(own_bin, run.end, std::int64_t{bin} + 1);
                        const std::size_t high = first_in(above, run.end, std::int64_t{bin} + reach);
                        enough = take(low, own_bin, dt) || take(above, high, dt);
                    } else {
                        enough = take(run.begin, run.end, dt);
                    }
                    if (enough)
                        break;
                }
            }
            for (std::size_t i = 0; i < count; ++i)
                pair(anchor, peaks[targets[i].at], targets[i].dt);
        }
        own = own_end;
    }
}

}  // namespace

std::string LandmarkFormat(const LandmarkOptions& options)
{
    std::string name = "pairs/1 fan-out " + std::to_string(options.fan_out) + " frames " +
                       std::to_string(options.max_frame_step) + " bins " + std::to_string(options.max_bin_step);
    if (options.frequency_bits > 0)
        name += " quanta 1/" + std::to_string(1u << options.frequency_bits);
    return name;
}

std::vector<Landmark> MakeLandmarks(std::span<const Peak> peaks, const LandmarkOptions& options)
{
    const std::uint32_t bits = std::min(options.frequency_bits, kMostFrequencyBits);
    std::vector<Landmark> landmarks;
    landmarks.reserve(peaks.size() * options.fan_out);
    ForEachPair(peaks, options, [&](const Peak& anchor, const Peak& target, std::uint32_t dt) {
        landmarks.push_back(
            {Hash(Quantum(anchor.frequency, bits), Quantum(target.frequency, bits), dt, bits), anchor.frame});
    });
    return landmarks;
}

std::vector<Landmark> QueryLandmarks(std::span<const Peak> peaks, const QueryTolerance& tolerance,
                                     const LandmarkOptions& options)
{
    // The quanta a peak may have in the clean track: its own, and the
    // neighbour whose edge it lies within the edge of (bin_edge scaled to
    // the quantum).
    const std::uint32_t bits = std::min(options.frequency_bits, kMostFrequencyBits);
    const std::int32_t size = 64 >> bits;
    const std::int32_t edge = tolerance.bin_edge >> bits;
    const std::int32_t most = (512 << bits) - 1;
    const auto bins = [&](std::uint16_t frequency, std::int32_t out[2]) {
        const std::int32_t quantum = Quantum(frequency, bits);
        const std::int32_t within = frequency & (size - 1);
        out[0] = quantum;
        if (edge > 0 && within < edge && quantum > 0)
            out[1] = quantum - 1;
        else if (edge > 0 && size - within <= edge && quantum < most)
            out[1] = quantum + 1;
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
                const std::int32_t step = (target_bins[j] >> bits) - (anchor_bins[i] >> bits);
                if (!InZone(step, options))
                    continue;
                for (std::uint32_t d = shortest; d <= longest; ++d)
                    landmarks.push_back({Hash(anchor_bins[i], target_bins[j], d, bits), anchor.frame});
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

std::vector<Peak> PeaksAtSpeed(std::span<const Peak> peaks, double speed)
{
    std::vector<Peak> out;
    out.reserve(peaks.size());
    for (const Peak& p : peaks) {
        const double frequency = std::round(p.frequency / speed);
        if (frequency > std::numeric_limits<std::uint16_t>::max())
            continue;
        out.push_back(
            {static_cast<std::uint32_t>(std::llround(p.frame * speed)), static_cast<std::uint16_t>(frequency)});
    }
    return out;
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
