#include "fft_stream.h"

#include <algorithm>

#include "engine_error.h"
#include "fft_window.h"
#include "target_clones.h"

namespace vxt {
namespace {

// The elementwise loops of a hop, built for AVX too (target_clones.h).

VXT_CLONES void window_frame(const float* __restrict window, const float* __restrict history, std::size_t oldest,
                             std::size_t length, float* __restrict windowed) noexcept
{
    const std::size_t first_piece = length - oldest;
    for (std::size_t i = 0; i < first_piece; ++i)
        windowed[i] = window[i] * history[oldest + i];
    for (std::size_t i = first_piece; i < length; ++i)
        windowed[i] = window[i] * history[i - first_piece];
}

// v > 1e-10 in double precision holds exactly for the floats from
// float(1e-10) up, so the test runs in single precision; NaN fails it.
VXT_CLONES void raise_to_floor(float* power, std::size_t bins, float floor) noexcept
{
    for (std::size_t k = 0; k < bins; ++k)
        power[k] = power[k] >= floor ? power[k] : floor;
}

}  // namespace

static_assert(tables::fft_window_length == fft_stream::frame_samples);

fft_stream::fft_stream() : fft_stream(make_fft_implementation()) {}

fft_stream::fft_stream(std::unique_ptr<FFT_implementation> transform)
    : history_(frame_samples), history_copy_(frame_samples), transform_(std::move(transform)), windowed_(frame_samples)
{}

void fft_stream::process(const float* samples, std::int32_t n, float* output)
{
    constexpr std::uint64_t mask = frame_samples - 1;
    for (std::int32_t i = 0; i < n; ++i)
        history_[sample_count_++ & mask] = samples[i];

    // The history is a ring indexed by the sample count: the frame in time
    // order starts at the next write position. It is windowed straight out
    // of the ring, in its two contiguous pieces.
    window_frame(tables::fft_window, history_.data(), sample_count_ & mask, frame_samples, windowed_.data());
    transform_->compute(windowed_.data(), output);
    raise_to_floor(output, spectrum_bins, power_floor);
}

void fft_stream::checkpoint()
{
    checkpoint_.save(sample_count_, "Can't checkpoint a fft_stream that has already been checkpointed. "
                                    "Must call rewind() before.");
    std::copy_n(history_.data(), frame_samples, history_copy_.data());
}

void fft_stream::rewind()
{
    sample_count_ = checkpoint_.take("Can't rewind a fft_stream that hasn't been checkpointed. "
                                     "Must call checkpoint() before.");
    std::copy_n(history_copy_.data(), frame_samples, history_.data());
    history_copy_.zero();
}

void fft_stream::reset() noexcept
{
    history_.zero();
    sample_count_ = 0;
}

}  // namespace vxt
