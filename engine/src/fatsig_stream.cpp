// Spectral peak detection.
#include "fatsig_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine_error.h"
#include "target_clones.h"

namespace vxt {
namespace {

// The two constants of the log power, computed once in single precision.
const float log_min_power = std::log(0.0078125f);
const float log_power_scale = 32768.0f / std::log(4294967296.0f);

// A float that is converted to an unsigned integer by truncation and stored
// in 16 bits; negative values give 0.
std::uint16_t to_u16(float value) noexcept
{
    return value > 0.0f ? static_cast<std::uint16_t>(static_cast<std::uint32_t>(value)) : 0;
}

}  // namespace

fatsig_stream::fatsig_stream() : max_history_(std::size_t{history_frames} * bins), spectra_(bins, history_frames) {}

// Saves the frame counter and the ring's position. The engine then pushes
// silent frames through the stage, so that the look-ahead reaches past the
// last real frame, and rewinds. Rows of the max-filter history are not
// saved: the rewind rebuilds the few that the silence disturbed from the
// spectra still held in the ring: seven filter passes instead of a 513 KiB
// copy per signature. The ring keeps its own checkpoint.
// A second checkpoint without a rewind would lose the first position, so it
// is refused and the first stays in force.
void fatsig_stream::checkpoint()
{
    checkpoint_.save(frame_counter_,
                     "Can't checkpoint a fatsig stream that has already been checkpointed. Must call rewind() before.");
    spectra_.checkpoint();
}

// Restores the position and rebuilds the partial maxima of the seven
// youngest rows by replaying their spectra at the levels they had reached.
void fatsig_stream::rewind()
{
    const std::uint64_t checkpoint = checkpoint_.take(
        "Can't rewind() a fatsig stream that hasn't been checkpointed. Must call checkpoint() before.");
    spectra_.rewind();
    if (checkpoint < replay_frames) {
        // Early in the stream the rows before frame 0 took part too: start
        // them from zero again and redo the frames so far as they first ran.
        for (std::uint64_t r = history_frames - replay_frames; r < history_frames; ++r)
            std::fill_n(max_row(r), bins, 0.0f);
        frame_counter_ = 0;
        for (std::uint64_t n = 0; n < checkpoint; ++n) {
            max_filter(spectra_.read(static_cast<std::int32_t>(n) - static_cast<std::int32_t>(checkpoint) + 1), n, 6);
            ++frame_counter_;
        }
    } else {
        // Older rows were final at the checkpoint and stay untouched as long
        // as at most 256 - 90 = 166 frames ran in between; the flush runs 61.
        frame_counter_ = checkpoint - replay_frames;
        for (std::uint32_t i = 0; i < replay_frames; ++i) {
            const auto offset = static_cast<std::int32_t>(i) - static_cast<std::int32_t>(replay_frames) + 1;
            max_filter(spectra_.read(offset), frame_counter_, static_cast<int>(i));
            ++frame_counter_;
        }
    }
}

void fatsig_stream::reset() noexcept
{
    frame_counter_ = 0;
    max_history_.zero();
    spectra_.clear();
}

float fatsig_stream::log_power(float power) noexcept
{
    return (std::log(std::max(power, min_power)) - log_min_power) * log_power_scale;
}

std::int64_t fatsig_stream::advance(std::vector<FatPeak>& peaks)
{
    const float* spectrum = spectra_.next_row();
    spectra_.commit();
    const std::uint64_t n = frame_counter_;
    max_filter(spectrum, n, 6);
    if (n >= static_cast<std::uint64_t>(look_ahead_frames))
        search(n - look_ahead_frames, peaks);
    ++frame_counter_;
    return static_cast<std::int64_t>(frame_counter_) - look_ahead_frames;
}

namespace {

// The max filter's loops, built for AVX too: every value is a maximum of the
// same operands whatever the vector width, so both builds give the same bits.
VXT_CLONES
void max_filter_rows(const float* __restrict spectrum, float* __restrict row, float* __restrict r1,
                     float* __restrict r3, float* __restrict r6, int level) noexcept
{
    constexpr std::size_t bins = fatsig_stream::bins;
    // Frequency maximum over bins i..i+2; the top two bins keep their own
    // values. Read from the spectrum itself, so each value is the maximum of
    // the original three whatever order the lanes run in.
    for (std::size_t i = 0; i + 2 < bins; ++i) {
        const float a = spectrum[i];
        const float b = spectrum[i + 1];
        const float c = spectrum[i + 2];
        const float ab = a < b ? b : a;  // std::max, spelled out so that it vectorises
        row[i] = ab < c ? c : ab;
    }
    row[bins - 2] = spectrum[bins - 2];
    row[bins - 1] = spectrum[bins - 1];

    // Frames before 0 wrap to rows that hold zeros (or the partial maxima of
    // frames 0..5), which is what frames before the first one should count as.
    // Each bin is independent, so the three steps run in one pass per bin.
    const float* __restrict r0 = row;
    if (level >= 6) {
        for (std::size_t k = 0; k < bins; ++k) {
            const float m1 = std::max(r1[k], r0[k]);
            const float m3 = std::max(r3[k], m1);
            r1[k] = m1;
            r3[k] = m3;
            r6[k] = std::max(r6[k], m3);
        }
    } else if (level >= 3) {
        for (std::size_t k = 0; k < bins; ++k) {
            const float m1 = std::max(r1[k], r0[k]);
            r1[k] = m1;
            r3[k] = std::max(r3[k], m1);
        }
    } else if (level >= 1) {
        for (std::size_t k = 0; k < bins; ++k)
            r1[k] = std::max(r1[k], r0[k]);
    }
}

// The branch-free tests of the peak search for the searched bins, built for
// AVX too (maxima and compares only, so the same bits either way).
VXT_CLONES
void mark_candidates(const float* __restrict s, const float* __restrict box, float* __restrict frequency_max,
                     std::uint8_t* __restrict candidate) noexcept
{
    constexpr float floor = fatsig_stream::min_power;
    for (std::size_t j = fatsig_stream::first_bin; j <= fatsig_stream::last_bin; ++j) {
        const float v = s[j];
        float f = box[j - 10];
        f = std::max(f, box[j - 7]);
        f = std::max(f, box[j - 4]);
        f = std::max(f, box[j - 3]);
        f = std::max(f, box[j + 1]);
        f = std::max(f, box[j + 2]);
        f = std::max(f, box[j + 5]);
        f = std::max(f, box[j + 8]);
        frequency_max[j] = f;
        candidate[j] = static_cast<std::uint8_t>(!(v < floor) & !(v < box[j - 1]) & (v > f));
    }
}

}  // namespace

// Max filter of frame n at level 0..6. After level 6, row n - 6 is final:
// R[n-6][k] is the maximum over frames n-6..n and bins k..k+2 (k <= 510); the
// six younger rows hold partial maxima that later frames complete.
void fatsig_stream::max_filter(const float* spectrum, std::uint64_t n, int level) noexcept
{
    max_filter_rows(spectrum, max_row(n), max_row(n - 1), max_row(n - 3), max_row(n - 6), level);
}

void fatsig_stream::search(std::uint64_t t, std::vector<FatPeak>& peaks)
{
    const float* s = spectra_.read(-look_ahead_frames);
    const float* box = max_row(t - 3);  // frames t-3..t+3
    // Rows whose 7-frame boxes tile frames t-45..t-1 and t+1..t+45.
    const float* strip[14];
    constexpr std::int64_t strip_offsets[14] = {-7, 1, 4, 11, 18, 25, 32, 39, -10, -17, -24, -31, -38, -45};
    for (std::size_t i = 0; i < 14; ++i)
        strip[i] = max_row(t + static_cast<std::uint64_t>(strip_offsets[i]));

    // The tests in order of cost: at least 1/128; not below its own box
    // (bins j-1..j+1 of frames t-3..t+3, v itself included); above the rest
    // of frames t-3..t+3, bins j-10..j-1 and j+1..j+10 (8 boxes). These three
    // run for every bin at once, without branches; the few bins that pass all
    // of them go on to the time strip.
    std::uint8_t candidate[bins];
    float frequency_max[bins];
    mark_candidates(s, box, frequency_max, candidate);

    std::fill(candidate + last_bin + 1, candidate + bins, std::uint8_t{0});
    for (std::uint32_t j = first_bin; j <= last_bin; ++j) {
        // Skip eight bins at a time while none of them passed.
        std::uint64_t eight;
        while (j + 8 <= bins && (std::memcpy(&eight, candidate + j, 8), eight == 0))
            j += 8;
        if (j > last_bin)
            break;
        if (!candidate[j])
            continue;
        const float v = s[j];
        const float f = frequency_max[j];
        float tmax = f;
        for (const float* row : strip)
            tmax = std::max(tmax, row[j - 1]);
        if (!(v > tmax))
            continue;

        // Refinement over the neighbours in frequency and in time.
        const float* prev = spectra_.read(-look_ahead_frames - 1);
        const float* next = spectra_.read(-look_ahead_frames + 1);
        const float a = log_power(s[j - 1]);
        const float c = log_power(s[j]);
        const float b = log_power(s[j + 1]);
        const float p = log_power(prev[j]);
        const float q = log_power(next[j]);
        const float bend = 2.0f * c - a - b;
        const int offset = bend == 0.0f ? 0 : static_cast<int>(std::trunc(32.0f * (b - a) / bend));
        FatPeak peak;
        peak.frame = static_cast<std::uint32_t>(t);
        peak.frequency = static_cast<std::uint16_t>(64 * static_cast<int>(j) + offset);
        peak.amplitude = to_u16(c);
        peak.freq_curvature = to_u16(std::min(bend, 32767.0f));
        peak.time_curvature = to_u16(std::min(2.0f * (2.0f * c - p - q), 32767.0f));
        peaks.push_back(peak);
    }
}

}  // namespace vxt
