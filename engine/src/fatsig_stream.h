// fatsig_stream: spectral peaks of the spectrum stream.
//
// Input: one 513-bin power spectrum per frame (8 ms), written by the FFT
// stream into next_slot() and taken by advance().
// Output: FatPeaks appended to the caller's vector, in frame order and, within
// a frame, in bin order.
// Latency: 45 frames; the peaks of frame t are found when frame t + 45 arrives.
// Ownership: owns the spectrum ring (256 x 513) and the max-filter history
// (256 x 513), both allocated at construction.
//
// A peak is a value of at least 1/128 that is strictly greater than every
// other value in a cross around it: frames t-3..t+3 x bins j-10..j+10 and
// frames t-45..t+45 x bins j-1..j+1. Box maxima come from a running max
// filter that doubles its reach in time (1, 2, 4 then 7 frames) over a 3-bin
// frequency maximum, so each candidate needs 1 + 8 + 14 row look-ups instead
// of a scan of its neighbourhood. Each peak is refined by parabolic
// interpolation of the log power across bins (the vertex offset of the
// parabola through three points) and annotated with its curvatures.
#pragma once

#include <cstdint>
#include <vector>

#include "aligned_buffer.h"
#include "checkpoint.h"
#include "vextune/peaks.h"
#include "ring_buffer.h"

namespace vxt {

class fatsig_stream {
public:
    static constexpr std::uint32_t bins = 513;
    static constexpr std::uint32_t history_frames = 256;
    static constexpr std::int64_t look_ahead_frames = 45;
    static constexpr std::uint32_t first_bin = 10;     // peaks are searched in
    static constexpr std::uint32_t last_bin = 502;     // bins 10..502 inclusive
    static constexpr std::uint32_t replay_frames = 7;  // rows the filter leaves partial
    static constexpr float min_power = 1.0f / 128.0f;

    fatsig_stream();
    fatsig_stream(const fatsig_stream&) = delete;
    fatsig_stream& operator=(const fatsig_stream&) = delete;

    // Where the next spectrum is to be written.
    float* next_slot() noexcept { return spectra_.next_row(); }

    // Takes the spectrum in the slot as frame n, filters it, searches frame
    // n - 45 when there is one, and returns n - 44 (not positive for the first
    // 45 frames).
    std::int64_t advance(std::vector<FatPeak>& peaks);

    void checkpoint();
    void rewind();

    // Frames count from 0 again and both histories are zeroed; a checkpoint
    // stays held.
    void reset() noexcept;

    std::uint64_t frame_count() const noexcept { return frame_counter_; }

    // Normalised log power: (ln(max(x, 1/128)) - ln(1/128)) * 32768 / ln(2^32).
    static float log_power(float power) noexcept;

private:
    float* max_row(std::uint64_t frame) noexcept { return max_history_.data() + (frame % history_frames) * bins; }
    void max_filter(const float* spectrum, std::uint64_t frame, int level) noexcept;
    void search(std::uint64_t frame, std::vector<FatPeak>& peaks);

    aligned_buffer<float> max_history_;  // row r mod 256 belongs to frame r
    std::uint64_t frame_counter_ = 0;
    checkpoint_slot<std::uint64_t> checkpoint_;
    ring_buffer<float> spectra_;
};

}  // namespace vxt
