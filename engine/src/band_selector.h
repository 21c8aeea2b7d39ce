// PeakBandSelector: the strongest peaks per frequency band and period.
//
// Input: the detector's peaks of one period (256 or 128 frames), sealed into
// the newest block at the end of the period, or at signature time.
// Output: on request, three time-ordered band lists (BandPeak) over a run of
// consecutive blocks, and the start frame of that run.
// Latency: one period. Ownership: owns its blocks; retired blocks go to a
// free list and are reused, so steady feeding allocates nothing.
//
// Bands, in 1/64 bin (8000 / 65536 Hz), lower edge included:
//   0: 2048..4259 (250 to about 520 Hz)   1: 4259..11878 (to about 1450 Hz)
//   2: 11878..28672 (to 3500 Hz)          outside them nothing is kept.
//
// The period and the peaks kept per band come from the engine's
// configuration (engine_config): 256 or 128 frames, 8 to 24 peaks.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "vextune/peaks.h"

namespace vxt {

inline constexpr std::size_t band_count = 3;
using band_lists = std::array<std::vector<BandPeak>, band_count>;

class PeakBandSelector {
public:
    static constexpr std::size_t block_slots = 24;  // per band; no limit exceeds it
    static constexpr std::uint16_t band_edges[band_count + 1] = {2048, 4259, 11878, 28672};

    struct slot {
        std::uint16_t time;  // frame mod period
        std::uint16_t frequency;
        std::uint16_t amplitude;  // 0 ends a band's list
    };

    struct PeakBlock {
        std::uint64_t index = 0;  // period number since creation or reset
        std::array<std::array<slot, block_slots>, band_count> bands{};
    };

    // period_frames a power of two; peaks_per_band at most block_slots.
    // Throws VXT_Exception -7 for anything else.
    PeakBandSelector(std::uint32_t period_frames, std::uint32_t peaks_per_band);
    PeakBandSelector(const PeakBandSelector&) = delete;
    PeakBandSelector& operator=(const PeakBandSelector&) = delete;

    // Band-selects peaks into the newest block, leaving peaks sorted by frame
    // then frequency; with push_new_block, a new empty block follows.
    void seal(std::vector<FatPeak>& peaks, bool push_new_block);

    // Fills lists from the newest block and blocks_back blocks before it
    // (all ones: from the oldest block), the newest one only when
    // include_newest is set, and sets the start frame.
    void build_band_lists(std::uint32_t blocks_back, bool include_newest, band_lists& lists);

    // Retires old blocks so that at most keep remain (never the newest).
    void trim(std::uint32_t keep);

    void reset();

    std::uint32_t period_frames() const noexcept { return period_; }
    std::uint32_t band_limit() const noexcept { return limit_; }
    std::uint64_t start_frame() const noexcept { return start_frame_; }
    std::uint64_t newest_index() const noexcept { return blocks_.back()->index; }
    std::uint64_t oldest_index() const noexcept { return blocks_.front()->index; }
    std::size_t block_count() const noexcept { return blocks_.size(); }
    const PeakBlock& newest() const noexcept { return *blocks_.back(); }

private:
    void push_block();

    std::uint32_t period_;
    std::uint32_t limit_;
    std::deque<std::unique_ptr<PeakBlock>> blocks_;  // oldest first, indices consecutive
    std::vector<std::unique_ptr<PeakBlock>> free_;
    std::uint64_t block_counter_ = 0;  // the index the next block gets
    std::uint64_t start_frame_ = 0;
};

}  // namespace vxt
