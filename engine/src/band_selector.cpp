#include "band_selector.h"

#include <algorithm>
#include <bit>

#include "engine_error.h"

namespace vxt {

PeakBandSelector::PeakBandSelector(std::uint32_t period_frames, std::uint32_t peaks_per_band)
    : period_(period_frames), limit_(peaks_per_band)
{
    if (!std::has_single_bit(period_frames) || period_frames > 65536 || peaks_per_band > block_slots)
        raise(error_invalid_configuration, "invalid configuration");
    push_block();
}

void PeakBandSelector::push_block()
{
    std::unique_ptr<PeakBlock> block;
    if (!free_.empty()) {
        block = std::move(free_.back());
        free_.pop_back();
        *block = PeakBlock{};
    } else {
        block = std::make_unique<PeakBlock>();
    }
    block->index = block_counter_++;
    blocks_.push_back(std::move(block));
}

void PeakBandSelector::seal(std::vector<FatPeak>& peaks, bool push_new_block)
{
    // Strongest first; equal amplitudes by frequency, highest first. Two
    // peaks equal in both come in frame order, so that every platform keeps
    // the same ones.
    std::sort(peaks.begin(), peaks.end(), [](const FatPeak& x, const FatPeak& y) {
        if (x.amplitude != y.amplitude)
            return x.amplitude > y.amplitude;
        if (x.frequency != y.frequency)
            return x.frequency > y.frequency;
        return x.frame < y.frame;
    });

    PeakBlock& block = *blocks_.back();
    const std::uint32_t time_mask = period_ - 1;
    for (std::size_t band = 0; band < band_count; ++band) {
        auto& slots = block.bands[band];
        std::size_t taken = 0;
        for (const FatPeak& peak : peaks) {
            if (taken == limit_)
                break;
            if (peak.frequency >= band_edges[band] && peak.frequency < band_edges[band + 1])
                slots[taken++] = {static_cast<std::uint16_t>(peak.frame & time_mask), peak.frequency, peak.amplitude};
        }
        // Insertion sort by time: stable, so equal times keep the strongest
        // first, and cheap for at most 24 slots.
        for (std::size_t i = 1; i < taken; ++i) {
            const slot moving = slots[i];
            std::size_t at = i;
            for (; at > 0 && slots[at - 1].time > moving.time; --at)
                slots[at] = slots[at - 1];
            slots[at] = moving;
        }
        // End the list, also over the slots of an earlier seal of this block.
        if (taken < block_slots)
            slots[taken].amplitude = 0;
    }

    std::sort(peaks.begin(), peaks.end(), [](const FatPeak& x, const FatPeak& y) {
        return x.frame != y.frame ? x.frame < y.frame : x.frequency < y.frequency;
    });

    if (push_new_block)
        push_block();
}

void PeakBandSelector::build_band_lists(std::uint32_t blocks_back, bool include_newest, band_lists& lists)
{
    // The first block: blocks_back before the newest. All ones reaches back
    // past the oldest block, so the difference is taken as a signed number;
    // an unsigned one would wrap and keep only the newest period.
    const std::uint64_t reach = blocks_back == ~std::uint32_t{0} ? block_counter_ : blocks_back;
    const auto first_wanted = static_cast<std::int64_t>(newest_index()) - static_cast<std::int64_t>(reach);
    const std::size_t first = first_wanted <= static_cast<std::int64_t>(oldest_index())
                                  ? 0
                                  : static_cast<std::size_t>(static_cast<std::uint64_t>(first_wanted) - oldest_index());
    const std::uint64_t first_index = blocks_[first]->index;

    for (auto& list : lists) {
        list.clear();
        list.reserve((block_counter_ - first_index + 2) * block_slots);
    }

    const std::size_t end = include_newest ? blocks_.size() : blocks_.size() - 1;
    for (std::size_t b = first; b < end; ++b) {
        const PeakBlock& block = *blocks_[b];
        const auto base = static_cast<std::uint32_t>(block.index - first_index) * period_;
        for (std::size_t band = 0; band < band_count; ++band) {
            for (const slot& s : block.bands[band]) {
                if (s.amplitude == 0)
                    break;
                lists[band].push_back({base + s.time, s.frequency, s.amplitude});
            }
        }
    }
    start_frame_ = std::uint64_t{period_} * first_index;
}

void PeakBandSelector::trim(std::uint32_t keep)
{
    while (blocks_.size() > std::max<std::size_t>(keep, 1)) {
        free_.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
    }
}

void PeakBandSelector::reset()
{
    while (!blocks_.empty()) {
        free_.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
    }
    block_counter_ = 0;
    start_frame_ = 0;
    push_block();
}

}  // namespace vxt
