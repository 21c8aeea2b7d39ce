// The default FFT backend, on kiss FFT's real-input forward transform.
#include <array>
#include <cstdlib>
#include <new>

#include <kiss_fftr.h>

#include "fft_backend.h"

namespace vxt {
namespace {

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
        kiss_fftr(plan_.get(), input, bins_.data());
        for (std::size_t k = 0; k < fft_bins; ++k)
            output[k] = (bins_[k].i * bins_[k].i + bins_[k].r * bins_[k].r) * fft_power_scale;
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
