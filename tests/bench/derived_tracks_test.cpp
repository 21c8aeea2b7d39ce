// The derivation of large catalogues' tracks from real ones: the same
// tracks for the same seed, factor pairs of one source apart, and peaks
// that stay inside the track and the band, placed where the factors and the
// cut put them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "derived_tracks.h"

namespace vxt::bench {
namespace {

using matcher::Peak;

const std::vector<std::uint32_t> kSourceFrames = {12000, 30000, 22500};

class EachScheme : public ::testing::TestWithParam<Scheme> {};
INSTANTIATE_TEST_SUITE_P(DerivedTracks, EachScheme, ::testing::Values(Scheme::Lattice, Scheme::Semitones));

TEST_P(EachScheme, SameSeedSameTracksOtherSeedOthers)
{
    int differ = 0;
    for (std::uint64_t i = 0; i < 300; ++i) {
        const Derivation a = Derive(7, i, kSourceFrames, GetParam());
        const Derivation b = Derive(7, i, kSourceFrames, GetParam());
        EXPECT_EQ(std::tie(a.source, a.nth, a.time_step, a.frequency_step, a.offset, a.frames),
                  std::tie(b.source, b.nth, b.time_step, b.frequency_step, b.offset, b.frames));
        EXPECT_EQ(a.source, i % kSourceFrames.size());
        EXPECT_GE(a.frames, kLeastFrames);
        EXPECT_LE(a.frames, kMostFrames);
        EXPECT_LT(a.offset, std::lround(kSourceFrames[a.source] * a.time_factor));
        EXPECT_GE(a.time_factor, kLeastFactor);
        EXPECT_LE(a.frequency_factor, kMostFactor);
        EXPECT_GE(std::abs(a.frequency_factor - 1.0), kNearOne);
        EXPECT_GE(std::abs(a.time_factor - 1.0), kNearOne);
        const Derivation c = Derive(8, i, kSourceFrames, GetParam());
        differ += a.offset != c.offset || a.frames != c.frames || a.time_step != c.time_step;
    }
    EXPECT_GE(differ, 290);
}

TEST(DerivedTracks, LatticeFactorsInRangeApartAndNeverNearOne)
{
    for (std::uint32_t s = 0; s < kLatticeSide; ++s) {
        const double f = LatticeFactor(s);
        EXPECT_GE(f, kLeastFactor);
        EXPECT_LE(f, kMostFactor);
        EXPECT_GE(std::abs(f - 1.0), kNearOne) << s;
        if (s > 0) {
            EXPECT_GT(f / LatticeFactor(s - 1), 1.0056) << s;
        }
    }
}

// The first 4^L tracks of a source: a regular 2^L lattice, so two of them
// lie at least 64 / 2^L steps apart on one axis; all 4096 distinct.
TEST(DerivedTracks, LatticeFactorPairsOfOneSourceSpreadThenDistinct)
{
    const std::uint32_t sources = static_cast<std::uint32_t>(kSourceFrames.size());
    for (const std::uint32_t level : {1u, 2u, 3u, 4u, 6u}) {
        const std::uint32_t n = 1u << (2 * level);
        const std::uint32_t apart = kLatticeSide >> level;
        for (std::uint32_t source = 0; source < sources; ++source) {
            std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
            std::vector<Derivation> ds;
            for (std::uint32_t k = 0; k < n; ++k) {
                ds.push_back(Derive(3, std::uint64_t{k} * sources + source, kSourceFrames, Scheme::Lattice));
                ASSERT_EQ(ds.back().source, source);
                seen.insert({ds.back().time_step, ds.back().frequency_step});
            }
            EXPECT_EQ(seen.size(), n) << "level " << level;
            if (level > 3)
                continue;  // pairwise check of the small levels is enough
            for (std::size_t x = 0; x < ds.size(); ++x)
                for (std::size_t y = x + 1; y < ds.size(); ++y) {
                    const auto dt = std::abs(static_cast<int>(ds[x].time_step) - static_cast<int>(ds[y].time_step));
                    const auto df =
                        std::abs(static_cast<int>(ds[x].frequency_step) - static_cast<int>(ds[y].frequency_step));
                    EXPECT_GE(std::max(dt, df), static_cast<int>(apart)) << "level " << level;
                }
        }
    }
}

TEST_P(EachScheme, RefusesWithoutSourcesOrPastTheLattice)
{
    EXPECT_THROW(Derive(1, 0, {}, GetParam()), std::invalid_argument);
    EXPECT_NO_THROW(Derive(1, MostDerived(3, GetParam()) - 1, kSourceFrames, GetParam()));
    EXPECT_THROW(Derive(1, MostDerived(3, GetParam()), kSourceFrames, GetParam()), std::invalid_argument);
}

// Transposed by whole semitones, the six in turn; within one
// transposition the first 2^L time factors 512 / 2^L steps apart; all
// 3072 of a source distinct.
TEST(DerivedTracks, SemitonesInTurnTimeFactorsSpreadThenDistinct)
{
    const auto sources = static_cast<std::uint32_t>(kSourceFrames.size());
    const std::uint32_t per_source = static_cast<std::uint32_t>(MostDerived(sources, Scheme::Semitones) / sources);
    for (std::uint32_t source = 0; source < sources; ++source) {
        std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
        std::vector<std::vector<std::uint32_t>> steps(std::size(kSemitones));
        for (std::uint32_t k = 0; k < per_source; ++k) {
            const Derivation d = Derive(4, std::uint64_t{k} * sources + source, kSourceFrames, Scheme::Semitones);
            const double semitones = 12.0 * std::log2(d.frequency_factor);
            ASSERT_NEAR(semitones, kSemitones[d.frequency_step], 1e-9);
            seen.insert({d.time_step, d.frequency_step});
            steps[d.frequency_step].push_back(d.time_step);
        }
        EXPECT_EQ(seen.size(), per_source);
        for (const std::vector<std::uint32_t>& of_one : steps) {
            ASSERT_EQ(of_one.size(), kTimeSteps);
            for (std::uint32_t level = 1; level <= 5; ++level) {
                std::vector<std::uint32_t> first(of_one.begin(), of_one.begin() + (1u << level));
                std::sort(first.begin(), first.end());
                for (std::size_t i = 1; i < first.size(); ++i)
                    EXPECT_GE(first[i] - first[i - 1], kTimeSteps >> level) << "level " << level;
            }
        }
    }
}

// A source of one peak, cut longer than the scaled source: the peak recurs
// once a scaled source length, shifted by the offset, at its scaled
// frequency.
TEST(DerivedTracks, PeaksScaledCutAndRepeated)
{
    SourceTrack source{100, {{10, 10000}}};
    Derivation d;
    d.time_factor = 1.2;  // the source lasts 120 frames
    d.frequency_factor = 0.9;
    d.offset = 20;
    d.frames = 500;
    const std::vector<Peak> peaks = DerivedPeaks(d, source);
    // 12 + 120 k - 20, for k = 1..4 (k = 0 lies before the cut).
    const std::vector<Peak> want = {{112, 9000}, {232, 9000}, {352, 9000}, {472, 9000}};
    ASSERT_EQ(peaks.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(peaks[i].frame, want[i].frame);
        EXPECT_EQ(peaks[i].frequency, want[i].frequency);
    }
}

// Peaks at the band's edges and beyond, and at the source's last frame,
// under every corner of the factors: all that comes out lies in the track
// and the band, in time order without repeats, and makes landmarks inside
// the track.
TEST(DerivedTracks, PeaksStayInTheTrackAndTheBand)
{
    std::mt19937 random(5);
    SourceTrack source;
    source.frames = 15000;
    for (std::uint32_t f = 0; f < source.frames; f += 3) {
        source.peaks.push_back({f, static_cast<std::uint16_t>(1500 + random() % 30000)});
        source.peaks.push_back({f, static_cast<std::uint16_t>(random() % 2 ? 2048 : 28671)});
    }
    source.peaks.push_back({source.frames - 1, 65535});
    std::sort(source.peaks.begin(), source.peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
    const std::vector<std::uint32_t> frames = {source.frames};
    std::vector<Derivation> cases;
    for (const double t : {LatticeFactor(0), LatticeFactor(kLatticeSide - 1)})
        for (const double f : {LatticeFactor(0), LatticeFactor(kLatticeSide - 1)}) {
            Derivation d = Derive(11, cases.size(), frames);
            d.time_factor = t;
            d.frequency_factor = f;
            cases.push_back(d);
        }
    for (const Derivation& d : cases) {
        const std::vector<Peak> peaks = DerivedPeaks(d, source);
        ASSERT_FALSE(peaks.empty());
        for (std::size_t i = 0; i < peaks.size(); ++i) {
            ASSERT_LT(peaks[i].frame, d.frames);
            ASSERT_GE(peaks[i].frequency, kLowestFrequency);
            ASSERT_LT(peaks[i].frequency, kHighestFrequency);
            if (i > 0) {
                ASSERT_TRUE(peaks[i - 1].frame < peaks[i].frame ||
                            (peaks[i - 1].frame == peaks[i].frame && peaks[i - 1].frequency < peaks[i].frequency));
            }
        }
        // The cut is filled end to end: peaks up to its last few frames.
        EXPECT_GT(peaks.back().frame + 10, d.frames);
        for (const matcher::Landmark& l : matcher::MakeLandmarks(peaks))
            ASSERT_LT(l.frame, d.frames);
    }
}

// What the bulk load relies on: a track's landmarks once each, as sorting
// them would leave them, and within a hash in ascending frames; a hash
// range keeps exactly its own. Dense peaks make many repeated landmarks.
TEST(DerivedTracks, IndexLandmarksOnceEachFramesAscendingPerHash)
{
    std::mt19937 random(9);
    std::vector<Peak> peaks;
    for (std::uint32_t f = 0; f < 3000; ++f)
        for (int k = 0; k < 3; ++k)
            peaks.push_back({f, static_cast<std::uint16_t>(kLowestFrequency + (random() % 40) * 64)});
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.frequency < b.frequency;
    });
    const auto sorted = [](std::vector<matcher::Landmark> l) {
        std::sort(l.begin(), l.end(), [](const matcher::Landmark& a, const matcher::Landmark& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame;
        });
        l.erase(std::unique(l.begin(), l.end()), l.end());
        return l;
    };
    const std::vector<matcher::Landmark> all = sorted(matcher::MakeLandmarks(peaks));
    ASSERT_LT(all.size(), matcher::MakeLandmarks(peaks).size());  // there were repeats
    const std::uint64_t mid = all[all.size() / 2].hash;
    for (const auto& [lo, hi] :
         {std::pair<std::uint64_t, std::uint64_t>{0, kIndexHashes}, {0, mid}, {mid, kIndexHashes}}) {
        const std::vector<matcher::Landmark> got = IndexLandmarks(peaks, lo, hi);
        std::vector<matcher::Landmark> want;
        std::copy_if(all.begin(), all.end(), std::back_inserter(want),
                     [lo, hi](const matcher::Landmark& l) { return l.hash >= lo && l.hash < hi; });
        EXPECT_EQ(sorted(got), want);
        EXPECT_EQ(got.size(), want.size());
        std::map<std::uint32_t, std::uint32_t> last;
        for (const matcher::Landmark& l : got) {
            const auto [it, first] = last.try_emplace(l.hash, l.frame);
            if (!first) {
                EXPECT_LT(it->second, l.frame) << l.hash;
                it->second = l.frame;
            }
        }
    }
}

}  // namespace
}  // namespace vxt::bench
