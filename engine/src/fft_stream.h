// fft_stream: one Hann-windowed power spectrum per hop of resampled audio.
//
// Input: hops of samples at 8000 Hz (the engine passes 64 at a time).
// Output: per process() call, the 513-bin power spectrum of the latest 1024
// samples (128 ms), written straight into the caller's row, every value at
// least 1e-10 so that later logarithms are safe.
// Latency: none. The history starts zeroed, so the first frames see zeros
// where no sample has arrived yet.
// Ownership: owns its histories, the windowed frame and its FFT backend, all
// allocated at construction.
//
// checkpoint() and rewind() bracket a detour (the engine's silent flush):
// after rewind() the next process() gives exactly what it would have given
// had the detour's samples never been processed.
#pragma once

#include <cstdint>
#include <memory>

#include "aligned_buffer.h"
#include "checkpoint.h"
#include "fft_backend.h"

namespace vxt {

class fft_stream {
public:
    static constexpr std::size_t frame_samples = fft_size;
    static constexpr std::size_t spectrum_bins = fft_bins;
    // Every output value not greater than this (compared in double precision,
    // so NaN too) is raised to it.
    static constexpr float power_floor = 1e-10f;

    fft_stream();
    explicit fft_stream(std::unique_ptr<FFT_implementation> transform);
    fft_stream(const fft_stream&) = delete;
    fft_stream& operator=(const fft_stream&) = delete;

    void process(const float* samples, std::int32_t n, float* output);

    void checkpoint();
    void rewind();

    // Zero the history, count from 0. A checkpoint stays held.
    void reset() noexcept;

    std::uint64_t sample_count() const noexcept { return sample_count_; }
    void set_transform(std::unique_ptr<FFT_implementation> transform) noexcept { transform_ = std::move(transform); }

private:
    aligned_buffer<float> history_;       // sample s at index s mod 1024
    aligned_buffer<float> history_copy_;  // the history at the checkpoint
    std::uint64_t sample_count_ = 0;
    checkpoint_slot<std::uint64_t> checkpoint_;
    std::unique_ptr<FFT_implementation> transform_;
    aligned_buffer<float, 32> windowed_;  // the frame in time order, windowed
};

}  // namespace vxt
