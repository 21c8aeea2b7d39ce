#include "resample_stream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>

#include "engine_error.h"
#include "resample_tables.h"

namespace vxt {
namespace {

constexpr std::size_t lanes = resample_stream::lanes;
constexpr std::size_t block_samples = resample_stream::block_samples;
// Room per phase for a block, a partial batch and the longest filter.
constexpr std::size_t phase_stride = block_samples + 2 * lanes + tables::resample_f_taps;

// Thirty-two sums side by side in four 8-float vectors: four independent
// addition chains, enough to keep the adders busy. Each lane adds its
// products in increasing tap order with separate multiplies and adds (no
// fused multiply-add), so every output has the bits of the plain scalar
// loop. Without AVX the compiler splits each vector into two SSE halves.
using float8 = float __attribute__((vector_size(32)));
static_assert(lanes == 32);

// Vectors pass by reference: returning one by value from code built
// without AVX would change the calling convention.
[[gnu::always_inline]] inline void load8(float8& v, const float* p) noexcept
{
    std::memcpy(&v, p, sizeof v);
}

[[gnu::always_inline]] inline void store_lanes(float* sum, const float8& s0, const float8& s1, const float8& s2,
                                               const float8& s3) noexcept
{
    std::memcpy(sum, &s0, sizeof s0);
    std::memcpy(sum + 8, &s1, sizeof s1);
    std::memcpy(sum + 16, &s2, sizeof s2);
    std::memcpy(sum + 24, &s3, sizeof s3);
}

// sum[l] = sum over k of table[k] * phase[k % M][k / M + l].
template <std::size_t M, std::size_t L>
[[gnu::always_inline]] inline void decimator_lanes(const float* table, const float* phase, std::size_t stride,
                                                   float* sum) noexcept
{
    float8 s0{}, s1{}, s2{}, s3{};
    float8 x0, x1, x2, x3;
    for (std::size_t k = 0; k < L; ++k) {
        const float8 c = float8{} + table[k];
        const float* x = phase + (k % M) * stride + k / M;
        load8(x0, x);
        load8(x1, x + 8);
        load8(x2, x + 16);
        load8(x3, x + 24);
        s0 += c * x0;
        s1 += c * x1;
        s2 += c * x2;
        s3 += c * x3;
    }
    store_lanes(sum, s0, s1, s2, s3);
}

// sum[l] = sum over k of coefficients[k][l] * x[k + l], a row per tap.
template <std::size_t L, std::size_t Stride>
[[gnu::always_inline]] inline void polyphase_lanes(const float* coefficients, const float* x, float* sum) noexcept
{
    float8 s0{}, s1{}, s2{}, s3{};
    float8 c0, c1, c2, c3, x0, x1, x2, x3;
    for (std::size_t k = 0; k < L; ++k) {
        const float* c = coefficients + k * Stride;
        load8(c0, c);
        load8(c1, c + 8);
        load8(c2, c + 16);
        load8(c3, c + 24);
        load8(x0, x + k);
        load8(x1, x + k + 8);
        load8(x2, x + k + 16);
        load8(x3, x + k + 24);
        s0 += c0 * x0;
        s1 += c1 * x1;
        s2 += c2 * x2;
        s3 += c3 * x3;
    }
    store_lanes(sum, s0, s1, s2, s3);
}

// The same kernels built for AVX, used when the processor has it. AVX
// brings 8-float vectors but no fused multiply-add, so the results are the
// same bits.
#if defined(__x86_64__) || defined(__i386__)
#define VXT_TARGET_AVX __attribute__((target("avx")))
std::atomic<bool> use_avx{__builtin_cpu_supports("avx") != 0};
#else
#define VXT_TARGET_AVX
std::atomic<bool> use_avx{false};
#endif

template <std::size_t M, std::size_t L>
VXT_TARGET_AVX void decimator_lanes_avx(const float* table, const float* phase, std::size_t stride, float* sum) noexcept
{
    decimator_lanes<M, L>(table, phase, stride, sum);
}

template <std::size_t L, std::size_t Stride>
VXT_TARGET_AVX void polyphase_lanes_avx(const float* coefficients, const float* x, float* sum) noexcept
{
    polyphase_lanes<L, Stride>(coefficients, x, sum);
}

#undef VXT_TARGET_AVX

// The 320/441 stage, rearranged so that a batch of consecutive inputs reads
// its coefficients as one contiguous run per tap.
//
// On a grid of 320 * 11025 = 441 * 8000 steps per second, input i sits at
// 320 * i and output j at 441 * j; output j is computed when the input with
// 320 * i <= 441 * j < 320 * (i + 1) arrives, with the row 319 - d where d =
// 441 * j - 320 * i. An input yields at most one output (441 > 320), and d
// depends only on i mod 441, the input's position in the 441-input cycle.
// Column v of the table holds the row for cycle position v, or zeros when
// that input yields nothing; the first lanes - 1 columns are repeated at the
// end so that a batch starting anywhere in the cycle reads straight on.
struct polyphase_table {
    static constexpr std::size_t cycle = 441;
    static constexpr std::size_t columns = cycle + lanes - 1;
    static constexpr std::size_t taps = tables::resample_p_taps;

    std::array<float, taps * columns> coefficients{};  // tap k's row at k * columns
    std::array<bool, columns> emits{};

    polyphase_table()
    {
        std::size_t d = 0;  // output position minus input position at reset
        for (std::size_t v = 0; v < cycle; ++v) {
            if (d < 320) {
                const std::size_t row = 319 - d;
                for (std::size_t k = 0; k < taps; ++k)
                    coefficients[k * columns + v] = tables::resample_p[row][k];
                emits[v] = true;
                d += 441;
            }
            d -= 320;
        }
        for (std::size_t v = cycle; v < columns; ++v) {
            for (std::size_t k = 0; k < taps; ++k)
                coefficients[k * columns + v] = coefficients[k * columns + v - cycle];
            emits[v] = emits[v - cycle];
        }
    }
};

const polyphase_table& polyphase_rows()
{
    static const polyphase_table table;
    return table;
}

std::size_t first_stage_taps(std::int32_t rate)
{
    return rate == 48000 ? tables::resample_a_taps : tables::resample_e_taps;
}

std::size_t main_stage_taps(std::int32_t rate)
{
    switch (rate) {
    case 16000:
    case 48000: return tables::resample_d_taps;
    case 32000: return tables::resample_f_taps;
    default: return tables::resample_p_taps;
    }
}

std::uint32_t chunk_length_for(std::int32_t input_rate, std::int32_t output_rate)
{
    if (input_rate == output_rate)
        return 64;
    return static_cast<std::uint32_t>(
        std::ceil(static_cast<float>(input_rate) / static_cast<float>(output_rate) * 64.0f));
}

}  // namespace

resample_stream::resample_stream(std::int32_t input_rate, std::int32_t output_rate)
    : input_rate_(input_rate),
      chunk_length_(chunk_length_for(input_rate, output_rate)),
      first_stage_(first_stage_taps(input_rate)),
      main_stage_(main_stage_taps(input_rate)),
      phases_(4 * phase_stride)
{
    if (output_rate == 8000) {
        switch (input_rate) {
        case 8000: converter_ = &resample_stream::convert_copy; break;
        case 11025: converter_ = &resample_stream::convert_11025; break;
        case 16000: converter_ = &resample_stream::convert_16000; break;
        case 32000: converter_ = &resample_stream::convert_32000; break;
        case 44100: converter_ = &resample_stream::convert_44100; break;
        case 48000: converter_ = &resample_stream::convert_48000; break;
        default: break;
        }
    }
    if (!converter_)
        raise(error_unsupported_rate, "Invalid sample rate");
    if (input_rate == 11025 || input_rate == 44100)
        polyphase_rows();  // build the shared table now, not inside a feed
    reset();
}

bool resample_stream::use_wide_vectors(bool wanted) noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    use_avx = wanted && __builtin_cpu_supports("avx");
#else
    (void)wanted;
#endif
    return use_avx;
}

void resample_stream::reset() noexcept
{
    for (fir_window* window : {&first_stage_, &main_stage_}) {
        window->samples.zero();
        window->position = 0;
    }
    phase_ = 0;
    polyphase_cycle_ = 0;
}

void resample_stream::convert(const std::int16_t* input, std::int32_t count, std::vector<float>& output)
{
    if (count <= 0)
        return;
    const auto total = static_cast<std::size_t>(count);

    float block[block_samples];
    float converted[block_samples];
    for (std::size_t done = 0; done < total;) {
        const std::size_t n = std::min(total - done, block_samples);
        for (std::size_t i = 0; i < n; ++i)
            block[i] = static_cast<float>(input[done + i]);
        const std::size_t produced = (this->*converter_)(block, n, converted);
        output.insert(output.end(), converted, converted + produced);
        done += n;
    }
}

std::size_t resample_stream::convert_copy(const float* in, std::size_t n, float* out)
{
    std::copy_n(in, n, out);
    return n;
}

std::size_t resample_stream::convert_11025(const float* in, std::size_t n, float* out)
{
    return polyphase(in, n, out);
}

std::size_t resample_stream::convert_16000(const float* in, std::size_t n, float* out)
{
    return decimate<2>(tables::resample_d, main_stage_, (2 - main_stage_.position % 2) % 2, in, n, out);
}

std::size_t resample_stream::convert_32000(const float* in, std::size_t n, float* out)
{
    return decimate<4>(tables::resample_f, main_stage_, (4 - main_stage_.position % 4) % 4, in, n, out);
}

std::size_t resample_stream::convert_44100(const float* in, std::size_t n, float* out)
{
    float mid[block_samples / 4 + 1];
    const std::size_t m =
        decimate<4>(tables::resample_e, first_stage_, (4 - first_stage_.position % 4) % 4, in, n, mid);
    return polyphase(mid, m, out);
}

std::size_t resample_stream::convert_48000(const float* in, std::size_t n, float* out)
{
    float mid[block_samples / 3 + 1];
    const std::size_t m = decimate<3>(tables::resample_a, first_stage_, (3 - phase_) % 3, in, n, mid);
    phase_ = static_cast<std::uint32_t>((phase_ + n) % 3);
    const std::size_t first_output = (2 - main_stage_.position % 2) % 2;
    return decimate<2>(tables::resample_d, main_stage_, first_output, mid, m, out);
}

// An M:1 decimator over one block. The inputs at first_output, first_output
// + M, ... each produce y = sum over k of table[k] * x[p - (L - 1) + k], the
// newest input x[p] meeting the last coefficient.
template <std::size_t M, std::size_t L>
std::size_t resample_stream::decimate(const float (&table)[L], fir_window& window, std::size_t first_output,
                                      const float* in, std::size_t n, float* out)
{
    // The window holds the L - 1 inputs before this block; the block goes
    // after them, so output t's inputs are x[t .. t + L - 1].
    float* x = window.samples.data();
    std::copy_n(in, n, x + (L - 1));
    window.position += static_cast<std::uint32_t>(n);
    const std::size_t outputs = first_output < n ? (n - 1 - first_output) / M + 1 : 0;

    // Split by phase so that the lanes of every tap read consecutive floats:
    // x[first_output + M * u + k] is phase[k % M][u + k / M].
    constexpr std::size_t stride = phase_stride;
    float* phase = phases_.data();
    const std::size_t valid = L - 1 + n - first_output;
    const float* from = x + first_output;
    for (std::size_t u = 0; u < valid / M; ++u) {
        for (std::size_t m = 0; m < M; ++m)
            phase[m * stride + u] = from[M * u + m];
    }
    for (std::size_t i = valid / M * M; i < valid; ++i)
        phase[(i % M) * stride + i / M] = from[i];

    for (std::size_t u0 = 0; u0 < outputs; u0 += lanes) {
        float sum[lanes];
        if (use_avx.load(std::memory_order_relaxed))
            decimator_lanes_avx<M, L>(table, phase + u0, stride, sum);
        else
            decimator_lanes<M, L>(table, phase + u0, stride, sum);
        std::copy_n(sum, std::min(lanes, outputs - u0), out + u0);
    }

    // Keep the newest L - 1 inputs for the next block.
    std::copy_n(x + n, L - 1, x);
    return outputs;
}

// The 320/441 polyphase stage over one block. Lane l of a batch stands for
// input t0 + l and computes that input's row of the table whether or not the
// input yields an output; lanes without one are dropped.
std::size_t resample_stream::polyphase(const float* in, std::size_t n, float* out)
{
    constexpr std::size_t L = tables::resample_p_taps;
    const polyphase_table& table = polyphase_rows();
    float* x = main_stage_.samples.data();
    std::copy_n(in, n, x + (L - 1));
    main_stage_.position += static_cast<std::uint32_t>(n);

    std::size_t produced = 0;
    for (std::size_t t0 = 0; t0 < n; t0 += lanes) {
        const std::size_t v = (polyphase_cycle_ + t0) % polyphase_table::cycle;
        float sum[lanes];
        const float* c = table.coefficients.data() + v;
        if (use_avx.load(std::memory_order_relaxed))
            polyphase_lanes_avx<L, polyphase_table::columns>(c, x + t0, sum);
        else
            polyphase_lanes<L, polyphase_table::columns>(c, x + t0, sum);
        // Branch-free compaction: every lane is written at the next output
        // slot and only an emitting one moves it on (the slot after the
        // last output is scratch within the caller's block).
        const std::size_t batch = std::min(lanes, n - t0);
        for (std::size_t l = 0; l < batch; ++l) {
            out[produced] = sum[l];
            produced += table.emits[v + l];
        }
    }
    polyphase_cycle_ = static_cast<std::uint32_t>((polyphase_cycle_ + n) % polyphase_table::cycle);

    std::copy_n(x + n, L - 1, x);
    return produced;
}

}  // namespace vxt
