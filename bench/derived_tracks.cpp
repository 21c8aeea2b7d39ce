#include "derived_tracks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vxt::bench {
namespace {

using matcher::Peak;

constexpr std::uint32_t kLatticeBits = 6;  // per axis: 64 steps
static_assert(kLatticeSide == 1u << kLatticeBits);

std::uint64_t SplitMix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::uint32_t Reverse(std::uint32_t value, std::uint32_t bits)
{
    std::uint32_t out = 0;
    for (std::uint32_t b = 0; b < bits; ++b)
        out |= ((value >> b) & 1u) << (bits - 1 - b);
    return out;
}

}  // namespace

std::uint64_t MostDerived(std::uint32_t sources, Scheme scheme)
{
    return std::uint64_t{sources} *
           (scheme == Scheme::Lattice ? kLatticeSide * kLatticeSide : kTimeSteps * std::size(kSemitones));
}

double LatticeFactor(std::uint32_t step, std::uint32_t side)
{
    // Log factor over [ln 0.80, ln 0.96] then [ln 1.04, ln 1.25], steps at
    // the middles of equal cells.
    const double low = std::log((1.0 - kNearOne) / kLeastFactor);
    const double high = std::log(kMostFactor / (1.0 + kNearOne));
    const double at = (step + 0.5) / side * (low + high);
    return at < low ? kLeastFactor * std::exp(at) : (1.0 + kNearOne) * std::exp(at - low);
}

Derivation Derive(std::uint64_t seed, std::uint64_t index, std::span<const std::uint32_t> source_frames, Scheme scheme)
{
    if (source_frames.empty())
        throw std::invalid_argument("no source tracks to derive from");
    const auto sources = static_cast<std::uint32_t>(source_frames.size());
    if (index >= MostDerived(sources, scheme))
        throw std::invalid_argument("more derived tracks than " + std::to_string(sources) + " sources allow (" +
                                    std::to_string(MostDerived(sources, scheme)) + ")");
    Derivation d;
    d.source = static_cast<std::uint32_t>(index % sources);
    d.nth = static_cast<std::uint32_t>(index / sources);

    // The nth point of the source's progressive order: its bits reversed
    // and split between the axes, so that the first 4^L points are a
    // regular 2^L x 2^L lattice; then shifted by the source's own amount.
    const std::uint64_t shift = SplitMix(seed ^ (0xfac7000000ull + d.source));
    if (scheme == Scheme::Lattice) {
        const std::uint32_t point =
            Reverse(d.nth, 2 * kLatticeBits) ^ static_cast<std::uint32_t>(shift % (kLatticeSide * kLatticeSide));
        for (std::uint32_t b = 0; b < kLatticeBits; ++b) {
            d.time_step |= ((point >> (2 * b + 1)) & 1u) << b;
            d.frequency_step |= ((point >> (2 * b)) & 1u) << b;
        }
        d.time_factor = LatticeFactor(d.time_step);
        d.frequency_factor = LatticeFactor(d.frequency_step);
    } else {
        // The transpositions in turn (from a seeded one), each one's time
        // factors in the progressive order of a 512-step lattice.
        constexpr std::uint32_t kTimeBits = 9;
        static_assert(kTimeSteps == 1u << kTimeBits);
        const auto transpositions = static_cast<std::uint32_t>(std::size(kSemitones));
        d.frequency_step = static_cast<std::uint32_t>((d.nth + shift) % transpositions);
        d.time_step =
            Reverse(d.nth / transpositions, kTimeBits) ^ static_cast<std::uint32_t>((shift >> 32) % kTimeSteps);
        d.time_factor = LatticeFactor(d.time_step, kTimeSteps);
        d.frequency_factor = std::exp2(kSemitones[d.frequency_step] / 12.0);
    }

    const std::uint64_t draw = SplitMix(seed * 0x100000001b3ull + index);
    d.frames = kLeastFrames + static_cast<std::uint32_t>(draw % (kMostFrames - kLeastFrames + 1));
    const auto scaled =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(source_frames[d.source] * d.time_factor)));
    d.offset = static_cast<std::uint32_t>((draw >> 32) % scaled);
    return d;
}

std::vector<Peak> DerivedPeaks(const Derivation& d, const SourceTrack& source)
{
    const auto scaled_frames =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(source.frames * d.time_factor)));
    std::vector<Peak> scaled;
    scaled.reserve(source.peaks.size());
    for (const Peak& p : source.peaks) {
        const double frequency = std::round(p.frequency * d.frequency_factor);
        const double frame = std::round(p.frame * d.time_factor);
        if (frequency < kLowestFrequency || frequency >= kHighestFrequency || frame >= scaled_frames)
            continue;
        scaled.push_back({static_cast<std::uint32_t>(frame), static_cast<std::uint16_t>(frequency)});
    }
    std::vector<Peak> out;
    if (scaled.empty())
        return out;
    const std::uint64_t end = std::uint64_t{d.offset} + d.frames;
    for (std::uint64_t start = 0; start < end; start += scaled_frames) {
        for (const Peak& p : scaled) {
            const std::uint64_t at = start + p.frame;
            if (at >= d.offset && at < end)
                out.push_back({static_cast<std::uint32_t>(at - d.offset), p.frequency});
        }
    }
    std::sort(out.begin(), out.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
    out.erase(
        std::unique(out.begin(), out.end(),
                    [](const Peak& a, const Peak& b) { return a.frame == b.frame && a.frequency == b.frequency; }),
        out.end());
    return out;
}

std::vector<matcher::Landmark> IndexLandmarks(std::span<const Peak> peaks, std::uint64_t lo, std::uint64_t hi)
{
    std::vector<matcher::Landmark> l = MakeLandmarks(peaks);
    if (lo > 0 || hi < kIndexHashes)
        std::erase_if(l, [lo, hi](const matcher::Landmark& x) { return x.hash < lo || x.hash >= hi; });
    const auto by_hash = [](const matcher::Landmark& a, const matcher::Landmark& b) { return a.hash < b.hash; };
    std::size_t kept = 0;
    for (std::size_t i = 0; i < l.size();) {
        std::size_t end = i + 1;
        while (end < l.size() && l[end].frame == l[i].frame)
            ++end;
        std::sort(l.begin() + static_cast<std::ptrdiff_t>(i), l.begin() + static_cast<std::ptrdiff_t>(end), by_hash);
        for (std::size_t k = i; k < end; ++k)
            if (k == i || l[k].hash != l[k - 1].hash)
                l[kept++] = l[k];
        i = end;
    }
    l.resize(kept);
    return l;
}

std::string DerivedName(std::uint64_t index, const Derivation& d)
{
    char name[96];
    std::snprintf(name, sizeof name, "d%06llu-s%02u-t%.3f-f%.3f", static_cast<unsigned long long>(index), d.source,
                  d.time_factor, d.frequency_factor);
    return name;
}

}  // namespace vxt::bench
