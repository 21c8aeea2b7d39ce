#include "signature_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "chunk_types.h"
#include "engine_error.h"
#include "engine_version.h"
#include "peak_codec.h"
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

// A resampled sample as kept by the capture: truncated toward zero, and
// only the low 16 bits of that kept (no clamping).
std::int16_t truncate_to_pcm16(float sample) noexcept
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int32_t>(sample)));
}

// Audio captures are reserved for this long up front.
constexpr std::size_t capture_reserve_seconds = 12;

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

std::uint32_t SignatureEngine::version_word()
{
    return pack_version(engine_release);
}

SignatureEngine::SignatureEngine(const engine_config& config, std::int32_t input_rate)
    : config_(config),
      selector_(config.period_frames, config.peaks_per_band),
      resampler_(input_rate, internal_rate),
      input_rate_(input_rate),
      clock_(system_clock_us)
{
    detector_.reset();
    initialise_header();
    // At most 63 waiting plus 65 converted per chunk: the buffers never grow
    // during a feed.
    pending_.reserve(3 * hop_samples);
    work_.reserve(3 * hop_samples);
    peaks_.reserve(config_.type == 4 ? fat_peak_reserve : peak_reserve);
    if (config_.capture_input)
        input_capture_.reserve(static_cast<std::size_t>(input_rate) * capture_reserve_seconds);
    if (config_.capture_resampled)
        resampled_capture_.reserve(std::size_t{internal_rate} * capture_reserve_seconds);
}

void SignatureEngine::set_clock(clock_source clock)
{
    clock_ = clock ? std::move(clock) : clock_source(system_clock_us);
}

void SignatureEngine::initialise_header()
{
    header_.initialise(input_rate_, internal_rate, version_word());
    header_.set_is_stream(config_.type == 3);
    header_.set_payload_type(config_.type == 4 ? 1 : 2);
}

void SignatureEngine::update_clock(std::int32_t count)
{
    if (total_input_ == 0)
        clock_fit_.restart();
    total_input_ += static_cast<std::uint64_t>(static_cast<std::int64_t>(count));
    if (!config_.timestamp || count == 0)
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
    if (config_.capture_input)
        input_capture_.insert(input_capture_.end(), samples, samples + count);
    for (std::int32_t done = 0; done < count;) {
        const std::int32_t n = std::min(chunk, count - done);
        convert(samples + done, n);
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

// Converts into the work buffer; with the resampled capture on, each
// converted sample is kept exactly once, as it comes out.
void SignatureEngine::convert(const std::int16_t* samples, std::int32_t count)
{
    const std::size_t from = work_.size();
    resampler_.convert(samples, count, work_);
    if (config_.capture_resampled) {
        for (std::size_t i = from; i < work_.size(); ++i)
            resampled_capture_.push_back(truncate_to_pcm16(work_[i]));
    }
}

void SignatureEngine::process_hop(const float* hop)
{
    fft_.process(hop, static_cast<std::int32_t>(hop_samples), detector_.next_slot());
    const std::int64_t r = detector_.advance(peaks_);
    const std::int64_t period = selector_.period_frames();
    if (config_.type != 4 && r > 0 && r % period == 0) {
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
    switch (config_.type) {
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

    attach_captures();

    signature_timing timing;
    const std::uint64_t start = selector_.start_frame();
    timing.start_frame = start;
    timing.length_frames = static_cast<std::uint32_t>(last_incremental_count_ * period - start);
    timing.input_rate = input_rate_;
    if (config_.timestamp) {
        double a = 0.0;
        double b = 0.0;
        clock_fit_.solve(a, b);
        timing.timestamp_us = to_u64(a + b * static_cast<double>(start));
        timing.clock_state = 1;
    }
    const double rate = input_rate_;
    timing.sample_count = total_input_ - to_u64(static_cast<double>(start) * 0.008 * rate) + to_u64(rate * 0.24);

    write_signature(header_, timing, chunks_, version_word(), config_.form, out);

    chunks_.clear();
    if (config_.type == 3) {  // captures, like peaks, go out once in a stream
        input_capture_.clear();
        resampled_capture_.clear();
    }
    return 0;
}

// Merges chunks holding the captured audio into the request's chunks: the
// input at its own rate, then the resampled audio. A capture that would
// pass the signature size limit is refused before any chunk is built.
void SignatureEngine::attach_captures()
{
    const std::size_t bytes = 2 * (input_capture_.size() + resampled_capture_.size());
    if (bytes > max_signature_bytes)
        raise(error_invalid_configuration, "signature too large: the attached audio passes the 256 MiB limit");
    if (config_.capture_input)
        insert_chunk(chunks_, FpChunk::make(pcm_chunk_type(input_rate_), encode_pcm(input_capture_)));
    if (config_.capture_resampled)
        insert_chunk(chunks_, FpChunk::make(to_u32(FpChunkType::fp_data_format_resampled_pcm_16bit_mono_8000),
                                            encode_pcm(resampled_capture_)));
}

void SignatureEngine::reset()
{
    total_input_ = 0;
    last_incremental_count_ = 0;
    kept_periods_ = initial_kept_periods;
    input_capture_.clear();
    resampled_capture_.clear();
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
