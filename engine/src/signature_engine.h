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
// wall-clock time and received audio (ClockFit) dates every signature. With
// the capture flags the engine also keeps the audio itself, as fed and as
// resampled, and attaches it to every signature.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "band_selector.h"
#include "chunk_list.h"
#include "fatsig_stream.h"
#include "fft_stream.h"
#include "records.h"
#include "resample_stream.h"
#include "vextune/config.h"
#include "vextune/peaks.h"

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
    static constexpr std::size_t hop_samples = 64;
    static constexpr int flush_hops = 61;                // 488 ms: past the detector's look-ahead
    static constexpr std::size_t peak_reserve = 699050;  // about 8 MiB of peaks
    static constexpr std::size_t fat_peak_reserve = 144;
    static constexpr std::int32_t initial_kept_periods = 128;

    // Microseconds since 1970-01-01 UTC.
    using clock_source = std::function<double()>;

    // The configuration's type is taken as valid; the rate must have a
    // converter (else VXT_Exception -6).
    SignatureEngine(const engine_config& config, std::int32_t input_rate);
    SignatureEngine(SignatureType type, std::int32_t input_rate, EngineFlags flags)
        : SignatureEngine(engine_config::decode(type, flags), input_rate)
    {}
    SignatureEngine(const SignatureEngine&) = delete;
    SignatureEngine& operator=(const SignatureEngine&) = delete;

    void feed(const std::int16_t* samples, std::int32_t count);
    std::int32_t make_signature(std::vector<std::uint8_t>& out, double seconds);
    void reset();

    // The wall clock read by feed; the system clock unless replaced (an
    // empty function restores it).
    void set_clock(clock_source clock);
    // Replaces the FFT backend (tests drive failures and comparisons with it).
    void set_fft_backend(std::unique_ptr<FFT_implementation> backend) { fft_.set_transform(std::move(backend)); }

    SignatureType type() const noexcept { return config_.type; }
    EngineFlags flags() const noexcept { return config_.flags; }
    const engine_config& config() const noexcept { return config_; }
    std::int32_t input_rate() const noexcept { return input_rate_; }
    std::uint64_t total_input() const noexcept { return total_input_; }
    std::span<const float> pending_samples() const noexcept { return pending_; }
    std::span<const FatPeak> peaks() const noexcept { return peaks_; }
    std::int32_t kept_periods() const noexcept { return kept_periods_; }
    std::uint64_t frames_processed() const noexcept { return detector_.frame_count(); }
    // The audio kept by the capture flags: as fed, and resampled to 8000 Hz
    // (each sample truncated toward zero to 16 bits).
    std::span<const std::int16_t> input_capture() const noexcept { return input_capture_; }
    std::span<const std::int16_t> resampled_capture() const noexcept { return resampled_capture_; }
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
    void convert(const std::int16_t* samples, std::int32_t count);
    void attach_captures();

    chunk_list chunks_;
    band_lists bands_;
    sig_sample_info header_;
    fft_stream fft_;
    std::vector<float> pending_;
    std::vector<float> work_;  // feed's working copy of the pending samples
    std::vector<FatPeak> peaks_;
    std::int32_t kept_periods_ = initial_kept_periods;
    std::uint64_t last_incremental_count_ = 0;
    engine_config config_;
    PeakBandSelector selector_;
    fatsig_stream detector_;
    resample_stream resampler_;
    std::int32_t input_rate_;
    ClockFit clock_fit_;
    std::uint64_t total_input_ = 0;
    clock_source clock_;
    std::vector<std::int16_t> input_capture_;
    std::vector<std::int16_t> resampled_capture_;
};

}  // namespace vxt
