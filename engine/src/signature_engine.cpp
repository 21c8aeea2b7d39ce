#include "signature_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "engine_error.h"
#include "engine_version.h"
#include "signature_writer.h"

namespace vxt {
namespace {

double system_clock_us()
{
    using namespace std::chrono;
    return static_cast<double>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

// Truncation toward zero into 0..2^64-1; NaN and negative values give 0.
std::uint64_t to_u64(double value) noexcept
{
    if (!(value > 0.0))
        return 0;
    if (value >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

// Periods covering the requested seconds; -1 (everything held) for 0.0.
std::int32_t periods_for(double seconds, std::uint32_t period_frames) noexcept
{
    if (seconds == 0.0 || std::isnan(seconds))
        return -1;
    const double periods = std::ceil(seconds * 1000.0 * 0.125 / period_frames);
    return static_cast<std::int32_t>(std::clamp(periods, -2147483648.0, 2147483647.0));
}

}  // namespace

void ClockFit::add(double x, double y) noexcept
{
    s_y = y + forgetting * s_y;
    s_x = x + forgetting * s_x;
    s_xy = x * y + forgetting * s_xy;
    s_xx = x * x + forgetting * s_xx;
    s_1 = 1.0 + forgetting * s_1;
}

void ClockFit::solve(double& a, double& b) const noexcept
{
    const double d = s_xx * s_1 - s_x * s_x;
    if (std::fabs(d) < threshold) {
        a = 0.0;
        b = 0.0;
        return;
    }
    a = (s_xx * s_y - s_x * s_xy) / d;
    b = (s_1 * s_xy - s_x * s_y) / d;
}

std::uint32_t SignatureEngine::version_word() { return pack_version(engine_release); }

SignatureEngine::SignatureEngine(SignatureType type, std::int32_t input_rate, EngineFlags flags)
    : selector_(flags), resampler_(input_rate, internal_rate, flags), input_rate_(input_rate), type_(type),
      flags_(flags), clock_(system_clock_us)
{
    if (flags & flag_no_timestamp)
        clock_fit_on_ = false;
    detector_.reset();
    initialise_header();
    // At most 64 waiting plus 65 converted per chunk: the buffers never grow
    // during a feed.
    pending_.reserve(3 * hop_samples);
    work_.reserve(3 * hop_samples);
    peaks_.reserve(type == 4 ? fat_peak_reserve : peak_reserve);
}

void SignatureEngine::initialise_header()
{
    header_.initialise(input_rate_, internal_rate, version_word());
    header_.set_is_stream(type_ == 3);
    header_.set_payload_type(type_ == 4 ? 1 : 2);
}

void SignatureEngine::update_clock(std::int32_t count)
{
    if (total_input_ == 0)
        clock_fit_.restart();
    total_input_ += static_cast<std::uint64_t>(static_cast<std::int64_t>(count));
    if (!clock_fit_on_ || count == 0)
        return;
    const double y = clock_();
    const double received = static_cast<double>(total_input_);
    const double x = received / input_rate_ * 125.0;
    // The first point since a reset also anchors the line at frame 0: the
    // moment the first received sample began.
    if (clock_fit_.s_x == 0.0)
        clock_fit_.add(0.0, y - received / input_rate_ * 1000000.0);
    clock_fit_.add(x, y);
}

void SignatureEngine::feed(const std::int16_t* samples, std::int32_t count)
{
    if (count < 0 || (count > 0 && samples == nullptr))
        raise(error_misuse, "feed needs a sample pointer and a count of at least 0");

    update_clock(count);

    // Conversions run in chunks of about 64 outputs. Whenever a whole hop is
    // waiting it runs, so that fewer than 64 samples are ever left over and
    // the hops done depend only on the audio, not on how it was split into
    // calls.
    const auto chunk = static_cast<std::int32_t>(resampler_.chunk_length());
    // The work buffer never holds more than 63 waiting plus 65 converted
    // samples, within the capacity reserved at construction.
    work_.assign(pending_.begin(), pending_.end());
    for (std::int32_t done = 0; done < count;) {
        const std::int32_t n = std::min(chunk, count - done);
        resampler_.convert(samples + done, n, work_);
        std::size_t consumed = 0;
        while (work_.size() - consumed >= hop_samples) {
            process_hop(work_.data() + consumed);
            consumed += hop_samples;
        }
        work_.erase(work_.begin(), work_.begin() + static_cast<std::ptrdiff_t>(consumed));
        done += n;
    }
    pending_.swap(work_);
}

void SignatureEngine::process_hop(const float* hop)
{
    fft_.process(hop, static_cast<std::int32_t>(hop_samples), detector_.next_slot());
    const std::int64_t r = detector_.advance(peaks_);
    const std::int64_t period = selector_.period_frames();
    if (type_ != 4 && r > 0 && r % period == 0) {
        selector_.seal(peaks_, true);
        peaks_.clear();
    }
}

// Pushes the last real frames through the detector's look-ahead with silence
// and collects their peaks, then puts both stages back where they were. Both
// are rewound before any error passes on, so a failed request never leaves a
// stage checkpointed.
void SignatureEngine::flush(std::vector<FatPeak>& peaks)
{
    static constexpr float silence[hop_samples] = {};
    detector_.checkpoint();
    try {
        fft_.checkpoint();
    } catch (...) {
        detector_.rewind();
        throw;
    }
    try {
        for (int i = 0; i < flush_hops; ++i) {
            fft_.process(silence, static_cast<std::int32_t>(hop_samples), detector_.next_slot());
            detector_.advance(peaks);
        }
    } catch (...) {
        detector_.rewind();
        fft_.rewind();
        throw;
    }
    detector_.rewind();
    fft_.rewind();
}

std::int32_t SignatureEngine::make_signature(std::vector<std::uint8_t>& out, double seconds)
{
    const std::uint32_t period = selector_.period_frames();
    const std::int32_t periods = periods_for(seconds, period);
    constexpr std::uint32_t all_blocks = ~std::uint32_t{0};

    // Peaks found while draining are used for this signature only: the
    // vector is cut back afterwards, so that a request leaves no trace in
    // later signatures (the real frames yield their own peaks later on).
    const std::size_t held = peaks_.size();
    switch (type_) {
    case 1:
        flush(peaks_);
        selector_.seal(peaks_, false);
        selector_.build_band_lists(all_blocks, true, bands_);
        chunks_ = build_compact_chunks(bands_);
        peaks_.resize(held);
        break;
    case 2:
        flush(peaks_);
        selector_.seal(peaks_, false);
        selector_.build_band_lists(static_cast<std::uint32_t>(periods), true, bands_);
        chunks_ = build_compact_chunks(bands_);
        peaks_.resize(held);
        kept_periods_ = std::max(kept_periods_, periods);
        selector_.trim(static_cast<std::uint32_t>(kept_periods_));
        break;
    case 3:
        selector_.build_band_lists(static_cast<std::uint32_t>(selector_.newest_index() - last_incremental_count_),
                                   false, bands_);
        chunks_ = build_compact_chunks(bands_);
        kept_periods_ = std::max(kept_periods_, periods);
        selector_.trim(static_cast<std::uint32_t>(kept_periods_));
        last_incremental_count_ = selector_.newest_index();
        break;
    default:
        flush(peaks_);
        chunks_ = build_fat_peak_chunks(peaks_);
        peaks_.resize(held);
        break;
    }

    resampler_.attach_captures(chunks_);  // a no-op without capture flags

    signature_timing timing;
    const std::uint64_t start = selector_.start_frame();
    timing.start_frame = start;
    timing.length_frames = static_cast<std::uint32_t>(last_incremental_count_ * period - start);
    if (clock_fit_on_) {
        double a = 0.0;
        double b = 0.0;
        clock_fit_.solve(a, b);
        timing.timestamp_us = to_u64(a + b * static_cast<double>(start));
        timing.clock_state = 1;
    }
    const double rate = input_rate_;
    timing.sample_count = total_input_ - to_u64(static_cast<double>(start) * 0.008 * rate) + to_u64(rate * 0.24);
    store_timing(header_, timing);

    const auto layout = (flags_ & flag_sample_info_form) ? signature_layout::sample_info : signature_layout::compact;
    write_signature(header_, chunks_, version_word(), layout, out);

    chunks_.clear();
    if (type_ == 3)
        resampler_.empty_captures();
    return 0;
}

void SignatureEngine::reset()
{
    total_input_ = 0;
    last_incremental_count_ = 0;
    pending_.clear();
    peaks_.clear();
    resampler_.reset();
    fft_.reset();
    detector_.reset();
    selector_.reset();
    chunks_.clear();
    initialise_header();
}

}  // namespace vxt
