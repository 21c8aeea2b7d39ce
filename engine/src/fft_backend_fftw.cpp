// The fast FFT backend, on FFTW's single-precision real-to-complex plan.
//
// FFTW's planner is not thread-safe, so plans are made under one lock; the
// plan is then executed on this object's own aligned buffers, which keeps
// compute() independent of the caller's alignment.
#include <algorithm>
#include <mutex>
#include <new>

#include <fftw3.h>

#include "fft_backend.h"

namespace vxt {
namespace {

std::mutex planner_lock;

template <typename T>
struct fftw_deleter {
    void operator()(T* p) const noexcept { fftwf_free(p); }
};

class FFT_implementation_fftw final : public FFT_implementation {
public:
    FFT_implementation_fftw()
        : in_(static_cast<float*>(fftwf_malloc(sizeof(float) * fft_size))),
          out_(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * fft_bins)))
    {
        if (!in_ || !out_)
            throw std::bad_alloc();
        std::lock_guard lock(planner_lock);
        plan_ = fftwf_plan_dft_r2c_1d(fft_size, in_.get(), out_.get(), FFTW_ESTIMATE);
        if (!plan_)
            throw std::bad_alloc();
    }

    ~FFT_implementation_fftw() override
    {
        std::lock_guard lock(planner_lock);
        fftwf_destroy_plan(plan_);
    }

    FFT_implementation_fftw(const FFT_implementation_fftw&) = delete;
    FFT_implementation_fftw& operator=(const FFT_implementation_fftw&) = delete;

    void compute(const float* input, float* output) override
    {
        std::copy_n(input, fft_size, in_.get());
        fftwf_execute(plan_);
        const fftwf_complex* bins = out_.get();
        for (std::size_t k = 0; k < fft_bins; ++k)
            output[k] = (bins[k][1] * bins[k][1] + bins[k][0] * bins[k][0]) * fft_power_scale;
    }

private:
    std::unique_ptr<float, fftw_deleter<float>> in_;
    std::unique_ptr<fftwf_complex, fftw_deleter<fftwf_complex>> out_;
    fftwf_plan plan_ = nullptr;
};

}  // namespace

std::unique_ptr<FFT_implementation> make_fftw_fft()
{
    return std::make_unique<FFT_implementation_fftw>();
}

}  // namespace vxt
