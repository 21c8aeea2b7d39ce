// FFT backend: the power spectrum of one windowed 1024-sample frame.
//
// Input: 1024 floats (not modified). Output: 513 floats, the power of bins
// 0..512 (bin spacing 8000 / 1024 = 7.8125 Hz at the engine's rate), each
// (re^2 + im^2) * 2^-17 of the unnormalised forward transform
//   X[k] = sum_n x[n] e^(-2 pi i k n / 1024).
// With the engine's Hann window (sum 512.5) a sinusoid of amplitude A centred
// on a bin gives about (A * 256.25)^2 * 2^-17 = A^2 / 2 there, its mean power.
//
// Two implementations exist, chosen when the engine is built (VXT_FFT): kiss
// FFT (the default) and FFTW single precision. Each object owns its plan and
// its bins, so compute() allocates nothing and is not reentrant per object.
#pragma once

#include <cstddef>
#include <memory>

namespace vxt {

inline constexpr std::size_t fft_size = 1024;
inline constexpr std::size_t fft_bins = fft_size / 2 + 1;
inline constexpr float fft_power_scale = 0x1p-17f;  // 7.62939453125e-06

class FFT_implementation {
public:
    virtual ~FFT_implementation() = default;
    virtual void compute(const float* input, float* output) = 0;
};

// The backend this build was configured with, and its name ("kiss" or
// "fftw").
std::unique_ptr<FFT_implementation> make_fft_implementation();
const char* fft_implementation_name() noexcept;

// The implementations themselves. The engine builds only its own backend:
// make_kiss_fft exists only where kiss FFT is linked, make_fftw_fft only where
// FFTW is (the backend comparison test and the benchmarks add the other one).
std::unique_ptr<FFT_implementation> make_kiss_fft();
std::unique_ptr<FFT_implementation> make_fftw_fft();

}  // namespace vxt
