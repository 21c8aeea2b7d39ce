#include "fft_stream.h"

#include <algorithm>

#include "engine_error.h"
#include "fft_window.h"

namespace vxt {

static_assert(tables::fft_window_length == fft_stream::frame_samples);

fft_stream::fft_stream() : fft_stream(make_fft_implementation()) {}

fft_stream::fft_stream(std::unique_ptr<FFT_implementation> transform)
    : history_(frame_samples), history_copy_(frame_samples), frame_(frame_samples),
      transform_(std::move(transform)), windowed_(frame_samples)
{
}

void fft_stream::process(const float* samples, std::int32_t n, float* output)
{
    constexpr std::uint64_t mask = frame_samples - 1;
    for (std::int32_t i = 0; i < n; ++i)
        history_[sample_count_++ & mask] = samples[i];

    // The history is a ring indexed by the sample count; lay the frame out
    // in time order: the oldest sample sits at the next write position.
    const std::size_t oldest = sample_count_ & mask;
    std::copy(history_.data() + oldest, history_.data() + frame_samples, frame_.data());
    std::copy(history_.data(), history_.data() + oldest, frame_.data() + (frame_samples - oldest));

    const float* window = tables::fft_window;
    float* windowed = windowed_.data();
    const float* frame = frame_.data();
    for (std::size_t i = 0; i < frame_samples; ++i)
        windowed[i] = window[i] * frame[i];

    transform_->compute(windowed, output);

    for (std::size_t k = 0; k < spectrum_bins; ++k) {
        if (!(static_cast<double>(output[k]) > 1e-10))
            output[k] = power_floor;
    }
}

void fft_stream::checkpoint()
{
    if (checkpoint_ != no_checkpoint)
        raise(error_misuse,
              "Can't checkpoint a fft_stream that has already been checkpointed. "
              "Must call rewind() before.");
    checkpoint_ = sample_count_;
    std::copy_n(history_.data(), frame_samples, history_copy_.data());
}

void fft_stream::rewind()
{
    if (checkpoint_ == no_checkpoint)
        raise(error_misuse,
              "Can't rewind a fft_stream that hasn't been checkpointed. "
              "Must call checkpoint() before.");
    sample_count_ = checkpoint_;
    std::copy_n(history_copy_.data(), frame_samples, history_.data());
    checkpoint_ = no_checkpoint;
    history_copy_.zero();
}

void fft_stream::reset() noexcept
{
    history_.zero();
    frame_.zero();
    sample_count_ = 0;
}

}  // namespace vxt
