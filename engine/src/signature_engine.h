// SignatureEngine: the object behind the engine front. It owns every stage
// and drives them, one hop of 64 resampled samples at a time:
//
//   int16 PCM -> resample_stream -> pending samples (until 64 wait)
//     -> fft_stream (spectrum written into the detector's ring)
//     -> fatsig_stream (peaks, 45 frames late) -> peak vector
//     -> PeakBandSelector (sealed every period)
//
// On request the pipeline is drained with silence without disturbing it, the
// selector assembles the requested periods and the writer serialises them.
// Time inside the engine is counted in frames of 8 ms. A running fit between
// wall-clock time and received audio (ClockFit) dates every signature.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "band_selector.h"
#include "fatsig_stream.h"
#include "fft_stream.h"
#include "peaks.h"
#include "resample_stream.h"
#include "signature_format.h"
#include "vextune/vextuneAPI.h"

namespace vxt {

// Weighted least-squares fit of wall-clock microseconds against frames, with
// old points forgotten by a factor of 0.998 per point.
struct ClockFit {
    static constexpr double initial_forgetting = 0.998;
    static constexpr double initial_threshold = 10.0;

    double s_y = 0, s_x = 0, s_xy = 0, s_xx = 0, s_1 = 0;
    double forgetting = initial_forgetting;
    double threshold = initial_threshold;

    void restart() noexcept { *this = ClockFit{}; }
    void add(double x, double y) noexcept;
    // Intercept a and slope b of y = a + b * x; both 0 while the points are
    // too few or too close to fix a line.
    void solve(double& a, double& b) const noexcept;
};

class SignatureEngine {
public:
    static constexpr std::int32_t internal_rate = resample_stream::internal_rate;
    static constexpr std::size_t hop_samples = 64;
    static constexpr int flush_hops = 61;  // 488 ms: past the detector's look-ahead
    static constexpr std::size_t peak_reserve = 699050;  // about 8 MiB of peaks
    static constexpr std::size_t fat_peak_reserve = 144;
    static constexpr std::int32_t initial_kept_periods = 128;

    // Microseconds since 1970-01-01 UTC.
    using clock_source = std::function<double()>;

    SignatureEngine(SignatureType type, std::int32_t input_rate, EngineFlags flags);
    SignatureEngine(const SignatureEngine&) = delete;
    SignatureEngine& operator=(const SignatureEngine&) = delete;

    void feed(const std::int16_t* samples, std::int32_t count);
    std::int32_t make_signature(std::vector<std::uint8_t>& out, double seconds);
    void reset();

    // The wall clock read by feed; the system clock unless replaced.
    void set_clock(clock_source clock) { clock_ = std::move(clock); }
    // Replaces the FFT backend (tests drive failures and comparisons with it).
    void set_fft_backend(std::unique_ptr<FFT_implementation> backend) { fft_.set_transform(std::move(backend)); }

    SignatureType type() const noexcept { return type_; }
    EngineFlags flags() const noexcept { return flags_; }
    std::int32_t input_rate() const noexcept { return input_rate_; }
    std::uint64_t total_input() const noexcept { return total_input_; }
    std::span<const float> pending_samples() const noexcept { return pending_; }
    std::span<const FatPeak> peaks() const noexcept { return peaks_; }
    std::int32_t kept_periods() const noexcept { return kept_periods_; }
    std::uint64_t frames_processed() const noexcept { return detector_.frame_count(); }
    const sig_sample_info& header() const noexcept { return header_; }
    const PeakBandSelector& selector() const noexcept { return selector_; }
    // The band lists of the last request of types 1 to 3.
    const band_lists& bands() const noexcept { return bands_; }

    // The packed engine version, 0x31100000 for "3.1.2".
    static std::uint32_t version_word();

private:
    void process_hop(const float* hop);
    void flush(std::vector<FatPeak>& peaks);
    void initialise_header();
    void update_clock(std::int32_t count);

    chunk_list chunks_;
    band_lists bands_;
    sig_sample_info header_;
    fft_stream fft_;
    std::vector<float> pending_;
    std::vector<float> work_;  // feed's working copy of the pending samples
    std::vector<FatPeak> peaks_;
    std::int32_t kept_periods_ = initial_kept_periods;
    std::uint64_t last_incremental_count_ = 0;
    PeakBandSelector selector_;
    fatsig_stream detector_;
    resample_stream resampler_;
    std::int32_t input_rate_;
    bool clock_fit_on_ = true;
    ClockFit clock_fit_;
    SignatureType type_;
    EngineFlags flags_;
    std::uint64_t total_input_ = 0;
    clock_source clock_;
};

}  // namespace vxt
