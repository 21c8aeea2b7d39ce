#include <gtest/gtest.h>

#include "band_selector.h"
#include "vextune/config.h"

namespace vxt {
namespace {

FatPeak peak(std::uint32_t frame, std::uint16_t frequency, std::uint16_t amplitude)
{
    return FatPeak{frame, frequency, amplitude, 0, 0};
}

std::vector<PeakBandSelector::slot> band_slots(const PeakBandSelector& s, std::size_t band)
{
    std::vector<PeakBandSelector::slot> out;
    for (const auto& slot : s.newest().bands[band]) {
        if (slot.amplitude == 0)
            break;
        out.push_back(slot);
    }
    return out;
}

TEST(PeakBandSelector, ConfigurationsFollowTheFlags)
{
    const std::tuple<EngineFlags, std::uint32_t, std::uint32_t> configs[] = {
        {0x000, 256, 24}, {0x100, 128, 14}, {0x200, 256, 16}, {0x300, 128, 8}, {0x1900, 128, 14}};
    for (auto [flags, period, limit] : configs) {
        const engine_config config = engine_config::decode(2, flags);
        PeakBandSelector s(config.period_frames, config.peaks_per_band);
        EXPECT_EQ(s.period_frames(), period) << flags;
        EXPECT_EQ(s.band_limit(), limit) << flags;
    }
}

TEST(PeakBandSelector, SealKeepsTheStrongestPerBandInTimeOrder)
{
    PeakBandSelector s(128, 8);  // 128 frames, 8 per band
    std::vector<FatPeak> peaks;
    // Band edges: 2047 and 28672 are outside; 4259 is band 1, 11878 band 2.
    peaks.push_back(peak(1, 2047, 9000));
    peaks.push_back(peak(2, 28672, 9000));
    peaks.push_back(peak(3, 2048, 100));
    peaks.push_back(peak(4, 4259, 200));
    peaks.push_back(peak(5, 11878, 300));
    // Ten band-0 peaks: only the eight strongest stay, sorted back by time.
    for (std::uint16_t i = 0; i < 10; ++i)
        peaks.push_back(
            peak(200u - i, static_cast<std::uint16_t>(3000 + i), static_cast<std::uint16_t>(1000 + 10 * i)));
    // Same time and amplitude: the higher frequency is taken first.
    peaks.push_back(peak(129, 5000, 700));
    peaks.push_back(peak(129, 6000, 700));
    s.seal(peaks, false);

    const auto band0 = band_slots(s, 0);
    ASSERT_EQ(band0.size(), 8u);
    for (std::size_t i = 0; i < band0.size(); ++i) {
        // Frames 191..198 (amplitudes 1090 down to 1020), mod 128, ascending.
        EXPECT_EQ(band0[i].time, 191 + i - 128);
        EXPECT_EQ(band0[i].amplitude, 1090 - 10 * i);
    }
    const auto band1 = band_slots(s, 1);
    ASSERT_EQ(band1.size(), 3u);
    EXPECT_EQ(band1[0].frequency, 6000);  // time 1 (129 mod 128), taken first by frequency
    EXPECT_EQ(band1[1].frequency, 5000);
    EXPECT_EQ(band1[2].frequency, 4259);  // time 4
    const auto band2 = band_slots(s, 2);
    ASSERT_EQ(band2.size(), 1u);
    EXPECT_EQ(band2[0].frequency, 11878);

    // The caller's peaks come back in frame, then frequency order.
    for (std::size_t i = 1; i < peaks.size(); ++i) {
        ASSERT_TRUE(peaks[i - 1].frame < peaks[i].frame ||
                    (peaks[i - 1].frame == peaks[i].frame && peaks[i - 1].frequency < peaks[i].frequency));
    }

    // Sealing again with fewer peaks ends the lists where the new ones end.
    std::vector<FatPeak> fewer = {peak(10, 3000, 50)};
    s.seal(fewer, false);
    EXPECT_EQ(band_slots(s, 0).size(), 1u);
    EXPECT_TRUE(band_slots(s, 1).empty());
}

TEST(PeakBandSelector, AZeroAmplitudeEndsTheBandList)
{
    PeakBandSelector s(256, 24);
    std::vector<FatPeak> peaks = {peak(1, 3000, 500), peak(2, 3001, 0), peak(3, 3002, 400)};
    s.seal(peaks, false);
    // Time order puts the zero-amplitude peak between the two others.
    EXPECT_EQ(band_slots(s, 0).size(), 1u);
}

// Seals blocks 0..count-1, block b holding one band-0 peak at time b.
void fill(PeakBandSelector& s, std::uint32_t count)
{
    for (std::uint32_t b = 0; b < count; ++b) {
        std::vector<FatPeak> peaks = {peak(256 * b + b, 3000, static_cast<std::uint16_t>(100 + b))};
        s.seal(peaks, true);
    }
}

TEST(PeakBandSelector, BuildsFromTheRequestedBlocks)
{
    PeakBandSelector s(256, 24);
    fill(s, 5);  // blocks 0..4 sealed, block 5 empty and newest
    band_lists lists;

    s.build_band_lists(0, true, lists);  // the newest alone
    EXPECT_TRUE(lists[0].empty());
    EXPECT_EQ(s.start_frame(), 5u * 256);

    s.build_band_lists(2, true, lists);  // blocks 3, 4, 5
    ASSERT_EQ(lists[0].size(), 2u);
    EXPECT_EQ(lists[0][0], (BandPeak{3, 3000, 103}));
    EXPECT_EQ(lists[0][1], (BandPeak{256 + 4, 3000, 104}));
    EXPECT_EQ(s.start_frame(), 3u * 256);

    // All ones reaches back past the oldest block: every block, not only the
    // newest (an unsigned difference would wrap).
    s.build_band_lists(~0u, true, lists);
    ASSERT_EQ(lists[0].size(), 5u);
    EXPECT_EQ(lists[0][4].time, 4u * 256 + 4);
    EXPECT_EQ(s.start_frame(), 0u);

    s.build_band_lists(3, false, lists);  // blocks 2, 3, 4; newest excluded
    EXPECT_EQ(lists[0].size(), 3u);
    EXPECT_EQ(s.start_frame(), 2u * 256);
}

TEST(PeakBandSelector, TrimRetiresOldBlocksAndReusesThem)
{
    PeakBandSelector s(256, 24);
    fill(s, 10);
    s.trim(4);
    EXPECT_EQ(s.block_count(), 4u);
    EXPECT_EQ(s.oldest_index(), 7u);
    band_lists lists;
    s.build_band_lists(~0u, true, lists);
    EXPECT_EQ(s.start_frame(), 7u * 256);
    ASSERT_EQ(lists[0].size(), 3u);
    EXPECT_EQ(lists[0][0].time, 7u);

    s.trim(100);  // fewer blocks than that: nothing happens
    EXPECT_EQ(s.block_count(), 4u);

    s.reset();
    EXPECT_EQ(s.block_count(), 1u);
    EXPECT_EQ(s.newest_index(), 0u);
    s.build_band_lists(~0u, true, lists);
    EXPECT_TRUE(lists[0].empty());  // a recycled block comes back zeroed
}

}  // namespace
}  // namespace vxt
