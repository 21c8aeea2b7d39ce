// The backend the build chose (VXT_FFT): kiss FFT unless FFTW was asked for.
#include "fft_backend.h"

namespace vxt {

#ifdef VXT_FFT_FFTW
std::unique_ptr<FFT_implementation> make_fft_implementation()
{
    return make_fftw_fft();
}
const char* fft_implementation_name() noexcept
{
    return "fftw";
}
#else
std::unique_ptr<FFT_implementation> make_fft_implementation()
{
    return make_kiss_fft();
}
const char* fft_implementation_name() noexcept
{
    return "kiss";
}
#endif

}  // namespace vxt
