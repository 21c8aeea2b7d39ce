// resample_stream: 16-bit mono PCM at one of six rates to floats at 8000 Hz.
//
// Input: int16 samples at 8000, 11025, 16000, 32000, 44100 or 48000 Hz,
// turned into floats of the same integer value (no scaling).
// Output: floats at 8000 Hz, appended to the caller's vector as soon as the
// input that completes them arrives; about 64 per chunk_length() inputs.
// Latency: the FIR stages' group delays; nothing is held back.
// Ownership: owns its filter windows.
//
// The stages are fixed FIR filters over constant tables: integer decimators
// (2:1 table D, 3:1 table A, 4:1 tables E and F) and a 320/441 polyphase
// stage (table P) for 11025 Hz. 44100 Hz runs E then P; 48000 Hz runs A then
// D. Every output is a sum over its taps in increasing tap order, started
// from 0 in single precision; several outputs are computed side by side in
// vector lanes, which leaves each sum's order, and so its bits, unchanged.
// All state carries across calls, so the output does not depend on how the
// input is split.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "aligned_buffer.h"

namespace vxt {

class resample_stream {
public:
    static constexpr std::int32_t internal_rate = 8000;
    // Outputs computed side by side in one batch.
    static constexpr std::size_t lanes = 32;
    // Inputs converted per block; the stack scratch is sized for it.
    static constexpr std::size_t block_samples = 256;

    // Throws VXT_Exception -6 "Invalid sample rate" for a rate without a
    // converter.
    resample_stream(std::int32_t input_rate, std::int32_t output_rate);
    resample_stream(const resample_stream&) = delete;
    resample_stream& operator=(const resample_stream&) = delete;

    // Input samples per about 64 outputs: 64 when the rates are equal, else
    // ceil(input rate / 8000 * 64) in single precision (89, 128, 256, 353, 384).
    std::uint32_t chunk_length() const noexcept { return chunk_length_; }

    // Appends the resampled samples of count inputs to output.
    void convert(const std::int16_t* input, std::int32_t count, std::vector<float>& output);

    void reset() noexcept;

    // AVX kernels are used where the processor has them; they give the same
    // bits as the portable ones. Tests switch between the two with this; it
    // returns whether AVX is now in use. Not thread-safe: call it before any
    // engine runs.
    static bool use_wide_vectors(bool wanted) noexcept;

    std::int32_t input_rate() const noexcept { return input_rate_; }

private:
    // The recent inputs of one FIR stage, oldest first: the taps - 1 inputs
    // the next output reaches back to, then room for one block of new inputs
    // and for the lanes of a partial batch.
    struct fir_window {
        explicit fir_window(std::size_t taps) : samples(taps - 1 + block_samples + lanes + 1), tail(taps - 1) {}
        aligned_buffer<float> samples;
        std::size_t tail;            // inputs kept between blocks
        std::uint32_t position = 0;  // inputs entered since reset
    };

    using RateConverter = std::size_t (resample_stream::*)(const float* in, std::size_t n, float* out);

    std::size_t convert_copy(const float* in, std::size_t n, float* out);
    std::size_t convert_11025(const float* in, std::size_t n, float* out);
    std::size_t convert_16000(const float* in, std::size_t n, float* out);
    std::size_t convert_32000(const float* in, std::size_t n, float* out);
    std::size_t convert_44100(const float* in, std::size_t n, float* out);
    std::size_t convert_48000(const float* in, std::size_t n, float* out);

    template <std::size_t M, std::size_t L>
    std::size_t decimate(const float (&table)[L], fir_window& window, std::size_t first_output, const float* in,
                         std::size_t n, float* out);
    std::size_t polyphase(const float* in, std::size_t n, float* out);

    RateConverter converter_ = nullptr;
    std::int32_t input_rate_;
    std::uint32_t chunk_length_;
    fir_window first_stage_;             // A or E, at the input rate
    fir_window main_stage_;              // D, F or P
    std::uint32_t phase_ = 0;            // 3:1 decimation phase (48000 Hz)
    std::uint32_t polyphase_cycle_ = 0;  // input position mod 441 (11025, 44100 Hz)
    aligned_buffer<float> phases_;       // decimator inputs split by phase
};

}  // namespace vxt
