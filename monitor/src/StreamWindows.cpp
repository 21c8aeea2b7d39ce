#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "vextune/monitor/Monitor.h"
#include "vextune/signature.h"

namespace vxt::monitor {

namespace {

// The 48-byte header form says where a window starts; the compact form
// does not. Without a clock the bytes depend on the audio alone.
constexpr EngineFlags kWindowFlags = flag_sample_info_form | flag_no_timestamp;
constexpr double kFrameSeconds = 0.008;
// Samples fed at once: a count the engine takes, and a bounded copy.
constexpr std::size_t kMostFed = std::size_t{1} << 20;

}  // namespace

StreamWindows::StreamWindows(std::int32_t rate, WindowOptions options) : rate_(rate), options_(options)
{
    if (rate_code(rate) == 0)
        throw std::invalid_argument("the engine takes no audio at " + std::to_string(rate) + " Hz");
    if (!(options.seconds > 0.0) || !(options.hop > 0.0))
        throw std::invalid_argument("a window's seconds and hop must be positive");
    engine_ = create_engine(2, rate, kWindowFlags);
    hop_samples_ = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(options.hop * rate)));
    next_hop_ = hop_samples_;
}

void StreamWindows::Feed(std::span<const std::int16_t> samples, const std::function<void(const Window&)>& on_window)
{
    while (!samples.empty()) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({samples.size(), next_hop_ - fed_, std::uint64_t{kMostFed}}));
        if (feed_samples(engine_, samples.data(), static_cast<std::int32_t>(n)) != 0)
            throw std::runtime_error("the engine failed while taking audio");
        fed_ += n;
        samples = samples.subspan(n);
        if (fed_ == next_hop_) {
            next_hop_ += hop_samples_;
            on_window(Make());
        }
    }
}

void StreamWindows::Finish(const std::function<void(const Window&)>& on_window)
{
    if (fed_ + hop_samples_ > next_hop_)  // audio since the last window
        on_window(Make());
    next_hop_ = fed_ + hop_samples_;
}

Window StreamWindows::Make()
{
    Window w;
    if (get_signature(engine_, w.signature, options_.seconds) != 0)
        throw std::runtime_error("the engine failed to make a signature");
    w.end = StreamSeconds();
    const decoded_signature d = read_signature(w.signature, {.peaks = false});
    w.start = std::min(w.end, static_cast<double>(d.timing.start_frame) * kFrameSeconds);
    return w;
}

}  // namespace vxt::monitor
