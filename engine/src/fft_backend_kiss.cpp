// The default FFT backend, on kiss FFT's real-input forward transform.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>

#include <kiss_fftr.h>

#include "fft_backend.h"
#include "target_clones.h"

namespace vxt {
namespace {

// Re^2 + im^2, scaled, per bin; built for AVX too, which gives the same
// bits (each value is the same three multiplies and one add).
VXT_CLONES
void scaled_power(const kiss_fft_cpx* __restrict bins, float* __restrict output) noexcept
{
    for (std::size_t k = 0; k < fft_bins; ++k)
        output[k] = (bins[k].i * bins[k].i + bins[k].r * bins[k].r) * fft_power_scale;
}

// Whether every value of the frame is zero, looked at from the middle, where
// the window is largest, so that any other frame settles it at once.
bool all_zero(const float* frame) noexcept
{
    for (std::size_t i = fft_size / 2; i < fft_size; ++i)
        if (frame[i] != 0.0f)
            return false;
    for (std::size_t i = 0; i < fft_size / 2; ++i)
        if (frame[i] != 0.0f)
            return false;
    return true;
}

struct plan_deleter {
    void operator()(kiss_fftr_state* plan) const noexcept { std::free(plan); }
};

class FFT_implementation_kiss final : public FFT_implementation {
public:
    FFT_implementation_kiss() : plan_(kiss_fftr_alloc(fft_size, 0, nullptr, nullptr))
    {
        if (!plan_)
            throw std::bad_alloc();
    }

    void compute(const float* input, float* output) override
    {
        // A frame of zeros (the engine's drain of silence, digital silence
        // in the audio) transforms to zeros, so its power is known without
        // the transform: +0 in every bin, as the transform would give.
        if (all_zero(input)) {
            std::fill_n(output, fft_bins, 0.0f);
            return;
        }
        kiss_fftr(plan_.get(), input, bins_.data());
        scaled_power(bins_.data(), output);
    }

private:
    std::unique_ptr<kiss_fftr_state, plan_deleter> plan_;
    std::array<kiss_fft_cpx, fft_bins> bins_{};
};

}  // namespace

std::unique_ptr<FFT_implementation> make_kiss_fft()
{
    return std::make_unique<FFT_implementation_kiss>();
}

}  // namespace vxt
