#include "vextune/platform/FileAudioDevices.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include "vextune/platform/DeviceCore.h"

namespace VextuneCore::Platform {
namespace {

constexpr std::uint32_t packet_ms = 20;

struct SndfileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Whether format is 16-bit PCM or 32-bit float with channels and rate.
bool accepted(const WaveFormat& format, std::uint16_t channels, std::uint32_t rate)
{
    const bool extensible = format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const bool pcm = format.wFormatTag == WAVE_FORMAT_PCM || (extensible && format.subFormat == SubFormat::Pcm);
    const bool ieee =
        format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT || (extensible && format.subFormat == SubFormat::IeeeFloat);
    const std::uint16_t bits = pcm ? 16 : ieee ? 32 : 0;
    return bits != 0 && format.wBitsPerSample == bits && format.nChannels == channels &&
           format.nSamplesPerSec == rate && format.nBlockAlign == channels * (bits / 8u) &&
           (!extensible || format.wValidBitsPerSample == 0 || format.wValidBitsPerSample == bits);
}

std::uint64_t ms_of(std::uint64_t frames, std::uint32_t rate)
{
    return frames * 1000 / rate;
}

// What libsndfile says about file (null: about the last open), for the sink.
void tell(const FileDeviceOptions& options, SNDFILE* file, const std::string& what)
{
    if (options.diagnostics)
        options.diagnostics(std::string("libsndfile: ") + sf_strerror(file) + " (" + what + ")");
}

class FileClient final : public DeviceClient {
public:
    FileClient(SndfilePtr file, std::uint16_t channels, std::uint32_t rate, bool pcm16_file,
               const FileDeviceOptions& options)
        : file_(std::move(file)), channels_(channels), rate_(rate), pcm16_file_(pcm16_file), options_(options)
    {}

    ~FileClient() override
    {
        {
            std::lock_guard hold(lock_);
            stop_ = true;
        }
        producer_wake_.notify_all();
        Finish(producer_);
    }

protected:
    WaveFormat MixFormat() override { return FloatFormat(channels_, rate_); }

    HRESULT Open(std::uint32_t, std::int64_t buffer_duration, std::int64_t, const WaveFormat& format,
                 StreamSetup* setup) override
    {
        if (!accepted(format, channels_, rate_))
            return E_UNSUPPORTED_FORMAT;
        const std::uint64_t asked = (static_cast<std::uint64_t>(buffer_duration) * rate_ + 9'999'999) / 10'000'000;
        const std::uint64_t packet = (static_cast<std::uint64_t>(rate_) * packet_ms + 999) / 1000;
        setup->buffer_frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max(asked, packet), UINT32_MAX));
        setup->queue_frames = std::max<std::uint64_t>(std::uint64_t{options_.ring_ms} * rate_ / 1000, 2 * packet);
        return S_OK;
    }

    HRESULT StartStream() override
    {
        std::thread previous;
        {
            std::lock_guard hold(lock_);
            previous = std::move(producer_);
        }
        // A producer that was stopped from its own on_end may still be
        // finishing its callback.
        Finish(previous);
        std::size_t queued = 0;
        {
            std::lock_guard hold(lock_);
            stop_ = false;
            if (options_.clock)
                queued = Refill();
            producer_ = std::thread([this, weak = weak_from_this()] { Run(weak); });
        }
        Signal(queued);
        return S_OK;
    }

    void StopStream() override
    {
        std::thread producer;
        {
            std::lock_guard hold(lock_);
            stop_ = true;
            // A producer that has begun telling on_end produces nothing
            // more, and may be waiting on the caller: a capture stops its
            // client under the lock that its on_end takes too. It is left
            // to finish and joined at the next start, or by the destructor.
            if (!end_told_)
                producer = std::move(producer_);
        }
        producer_wake_.notify_all();
        Finish(producer);
    }

    void Taken(std::uint64_t device_position, std::uint32_t frames) override
    {
        // Simulated time reaches the end of a packet when it is handed out.
        const std::uint64_t end = device_position + frames;
        if (options_.clock && end > clocked_) {
            options_.clock->Advance(ms_of(end, rate_) - ms_of(clocked_, rate_));
            clocked_ = end;
        }
    }

    std::size_t Released(std::uint32_t frames) override
    {
        const std::size_t queued = options_.clock && frames != 0 ? Refill() : 0;
        if (ended_ && Queue().Idle())
            EndReached();
        return queued;
    }

private:
    // Joins a producer thread, or lets it finish on its own when this is it.
    static void Finish(std::thread& producer)
    {
        if (!producer.joinable())
            return;
        if (producer.get_id() == std::this_thread::get_id())
            producer.detach();
        else
            producer.join();
    }

    // Frames of 20 ms step number step of the stream; below 50 Hz some
    // steps hold none and are skipped.
    std::uint32_t StepFrames(std::uint64_t step) const
    {
        const std::uint64_t start = step * rate_ * packet_ms / 1000;
        const std::uint64_t end = (step + 1) * rate_ * packet_ms / 1000;
        return static_cast<std::uint32_t>(end - start);
    }

    // The first step from steps_ on that holds frames. Under lock_.
    std::uint64_t NextStep() const
    {
        std::uint64_t step = steps_;
        while (StepFrames(step) == 0)
            ++step;
        return step;
    }

    // Reads up to frames from the file as a packet in the stream's format;
    // a looping stream goes on from the file's start at its end (an empty
    // file has nothing to repeat). One thread at a time reads: the producer
    // on real time, the consumer's calls (under lock_) on simulated time.
    std::vector<std::uint8_t> Read(std::uint32_t frames, const WaveFormat& format, std::uint32_t* got_frames)
    {
        // 16-bit files read as 16-bit samples are exact; anything else is
        // read as float (libsndfile gives integer files as s / 32768
        // exactly) and converted.
        const bool pcm = format.nBlockAlign == channels_ * 2u;
        const bool shorts = pcm && pcm16_file_;
        const std::size_t count_asked = static_cast<std::size_t>(frames) * channels_;
        if (shorts)
            shorts_.resize(count_asked);
        else
            samples_.resize(count_asked);
        sf_count_t got = 0;
        bool rewound = false;
        while (got < frames) {
            const std::size_t at = static_cast<std::size_t>(got) * channels_;
            const sf_count_t n =
                std::max<sf_count_t>(shorts ? sf_readf_short(file_.get(), shorts_.data() + at, frames - got)
                                            : sf_readf_float(file_.get(), samples_.data() + at, frames - got),
                                     0);
            got += n;
            if (got == frames)
                break;
            if (sf_error(file_.get()) != SF_ERR_NO_ERROR) {
                tell(options_, file_.get(), "the stream ends here");
                break;
            }
            // Nothing read right after going back to the start: an empty
            // file, nothing to repeat.
            if (!options_.loop || (n == 0 && rewound))
                break;
            if (sf_seek(file_.get(), 0, SEEK_SET) != 0) {
                tell(options_, file_.get(), "the stream ends here: the file cannot be played again");
                break;
            }
            rewound = true;
        }
        const std::size_t count = static_cast<std::size_t>(got) * channels_;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(got) * format.nBlockAlign);
        if (count != 0 && shorts) {
            std::memcpy(bytes.data(), shorts_.data(), bytes.size());
        } else if (count != 0 && !pcm) {
            std::memcpy(bytes.data(), samples_.data(), bytes.size());
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                const std::int16_t value = FloatToPcm16(samples_[i]);
                std::memcpy(bytes.data() + 2 * i, &value, 2);
            }
        }
        *got_frames = static_cast<std::uint32_t>(got);
        return bytes;
    }

    // Simulated time: the next packet, once the stream runs and every
    // packet before it was released, so that what the consumer sees depends
    // on its calls alone. Under lock_; the packets queued.
    std::size_t Refill()
    {
        if (!IsRunning() || ended_ || !Queue().Idle())
            return 0;
        const std::uint64_t step = NextStep();
        const std::uint32_t frames = StepFrames(step);
        // The tick at which a packet ending at stream frame end will be
        // handed out.
        const std::uint64_t now = options_.clock->TickMs();
        const auto tick_at = [&](std::uint64_t end) { return now + ms_of(end, rate_) - ms_of(clocked_, rate_); };
        const std::uint64_t position = Queue().Position();
        if (options_.pace && !options_.pace->Admit(tick_at(position + frames), [weak = weak_from_this()] {
                if (const auto self = weak.lock())
                    static_cast<FileClient&>(*self).Resume();
            }))
            return 0;
        steps_ = step + 1;
        std::uint32_t got = 0;
        std::vector<std::uint8_t> bytes = Read(frames, Format(), &got);
        if (got < frames)
            ended_ = true;
        if (got == 0) {
            EndReached();  // nothing is queued
            return 0;
        }
        Queue().Push(std::move(bytes), got, 0, tick_at(position + got) * 10'000);
        return 1;
    }

    // The stream has ended and its last packet was released: the producer
    // tells on_end, a pace holds for good. Under lock_.
    void EndReached()
    {
        producer_wake_.notify_all();
        if (options_.pace && options_.clock)
            options_.pace->Ended();
    }

    // The pace allows more: the packet it held back, if the stream still
    // wants one. On the thread of the pace's caller.
    void Resume()
    {
        std::size_t queued = 0;
        {
            std::lock_guard hold(lock_);
            queued = Refill();
        }
        Signal(queued);
    }

    void Run(const std::weak_ptr<DeviceClient>& weak)
    {
        if (!options_.clock && !Produce())
            return;
        {
            // The stream has ended once its last packet was released.
            std::unique_lock hold(lock_);
            producer_wake_.wait(hold, [&] { return stop_ || (ended_ && Queue().Idle()); });
            if (stop_ || end_told_)
                return;
            end_told_ = true;
        }
        // Keeps the client alive through the callback unless it is already
        // going away (its destructor then waits for this thread).
        const auto self = weak.lock();
        if (self && options_.on_end)
            options_.on_end();
    }

    // Real time: delivers a packet each time its 20 ms have passed since
    // Start, until the file ends (true) or the stream stops (false).
    bool Produce()
    {
        using std::chrono::steady_clock;
        const auto started = steady_clock::now();
        std::uint64_t frames_since_start = 0;
        for (;;) {
            std::unique_lock hold(lock_);
            if (ended_)
                return true;
            const std::uint64_t step = NextStep();
            const std::uint32_t frames = StepFrames(step);
            steps_ = step + 1;
            const WaveFormat format = Format();
            frames_since_start += frames;
            const auto due = started + std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(
                                           static_cast<double>(frames_since_start) / rate_));
            producer_wake_.wait_until(hold, due, [&] { return stop_; });
            if (stop_) {
                steps_ = step;  // read after a restart
                return false;
            }
            hold.unlock();

            std::uint32_t got = 0;
            std::vector<std::uint8_t> bytes = Read(frames, format, &got);
            const auto now = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch()).count() /
                100);
            hold.lock();
            if (got < frames)
                ended_ = true;
            // Queued even when a Stop came meanwhile: a restart goes on after it.
            Queue().Push(std::move(bytes), got, 0, now);
            hold.unlock();
            // Stop waits for a signal under way before it returns.
            if (got > 0)
                Signal(1);
        }
    }

    SndfilePtr file_;
    const std::uint16_t channels_;
    const std::uint32_t rate_;
    const bool pcm16_file_;  // the file holds 16-bit integer samples
    const FileDeviceOptions options_;

    // Under lock_.
    bool stop_ = false;
    std::thread producer_;
    std::uint64_t steps_ = 0;    // 20 ms steps read: packets end at step boundaries of the whole file
    std::uint64_t clocked_ = 0;  // frames simulated time has reached
    bool ended_ = false;
    bool end_told_ = false;
    std::vector<float> samples_;
    std::vector<std::int16_t> shorts_;
    // Wakes the producer thread: a stop, the end of the stream. Not the
    // core's changed_, which every packet notifies.
    std::condition_variable producer_wake_;
};

}  // namespace

void PlaybackPace::AllowUntil(std::uint64_t tick_ms)
{
    std::unique_lock hold(lock_);
    until_ms_ = tick_ms;
    Allowed(std::move(hold));
}

void PlaybackPace::AllowPackets(std::uint64_t count)
{
    std::unique_lock hold(lock_);
    packets_ += count;
    Allowed(std::move(hold));
}

void PlaybackPace::Allowed(std::unique_lock<std::mutex> hold)
{
    held_ = ended_;
    std::function<void()> resume = std::exchange(resume_, {});
    hold.unlock();
    held_changed_.notify_all();
    // A resume that finds the allowance still too small holds again.
    if (resume)
        resume();
}

bool PlaybackPace::Admit(std::uint64_t end_tick_ms, std::function<void()> resume)
{
    {
        std::lock_guard hold(lock_);
        ended_ = false;  // a stream that asks has not ended (another client's may have)
        if (end_tick_ms <= until_ms_ || packets_ > 0) {
            if (end_tick_ms > until_ms_)
                --packets_;
            held_ = false;
            return true;
        }
        held_ = true;
        resume_ = std::move(resume);
    }
    held_changed_.notify_all();
    return false;
}

void PlaybackPace::Ended()
{
    {
        std::lock_guard hold(lock_);
        ended_ = true;
        held_ = true;
        resume_ = {};
    }
    held_changed_.notify_all();
}

bool PlaybackPace::WaitUntilHeld(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(lock_);
    return held_changed_.wait_for(hold, timeout, [&] { return held_; });
}

bool PlaybackPace::Held()
{
    std::lock_guard hold(lock_);
    return held_;
}

namespace {

SndfilePtr open_file(const std::string& path, SF_INFO* info)
{
    *info = SF_INFO{};
    return SndfilePtr(sf_open(path.c_str(), SFM_READ, info));
}

}  // namespace

FileAudioDevices::FileAudioDevices(std::string path, FileDeviceOptions options)
    : path_(std::move(path)), id_("file:" + path_), options_(std::move(options))
{
    SF_INFO info;
    const SndfilePtr file = open_file(path_, &info);
    if (!file) {
        tell(options_, nullptr, "E_DEVICE_NOT_FOUND");
        throw PlatformException(E_DEVICE_NOT_FOUND, path_ + ": " + sf_strerror(nullptr));
    }
    // The float mix format's block align and byte rate have to fit.
    const std::uint64_t block = static_cast<std::uint64_t>(std::max(info.channels, 0)) * 4;
    if (info.channels < 1 || block > UINT16_MAX || info.samplerate < 1 ||
        block * static_cast<std::uint64_t>(info.samplerate) > UINT32_MAX)
        throw PlatformException(E_UNSUPPORTED_FORMAT, path_ + ": " + std::to_string(info.channels) + " channels at " +
                                                          std::to_string(info.samplerate) + " Hz");
    channels_ = static_cast<std::uint16_t>(info.channels);
    rate_ = static_cast<std::uint32_t>(info.samplerate);
    frames_ = static_cast<std::uint64_t>(std::max<sf_count_t>(info.frames, 0));
}

FileAudioDevices::~FileAudioDevices()
{
    std::vector<std::thread> joining;
    {
        std::lock_guard hold(threads_lock_);
        joining.swap(threads_);
    }
    for (std::thread& t : joining) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

HRESULT FileAudioDevices::GetDefaultAudioCaptureId(std::string* id)
{
    if (!id)
        return E_INVALIDARG;
    *id = id_;
    return S_OK;
}

HRESULT
FileAudioDevices::ActivateAudioInterfaceAsync(const std::string& id,
                                              std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion)
{
    if (!completion)
        return E_INVALIDARG;
    if (id != id_)
        return E_DEVICE_NOT_FOUND;
    std::lock_guard hold(threads_lock_);
    threads_.emplace_back([this, completion = std::move(completion)] {
        SF_INFO info;
        SndfilePtr file = open_file(path_, &info);
        // The file changed or went away since the device was made.
        if (!file || info.channels != channels_ || info.samplerate != static_cast<int>(rate_)) {
            if (!file)
                tell(options_, nullptr, "E_DEVICE_INVALIDATED");
            else if (options_.diagnostics)
                options_.diagnostics(path_ + ": now " + std::to_string(info.channels) + " channels at " +
                                     std::to_string(info.samplerate) + " Hz (E_DEVICE_INVALIDATED)");
            completion(E_DEVICE_INVALIDATED, nullptr);
            return;
        }
        const bool pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        completion(S_OK, std::make_shared<FileClient>(std::move(file), channels_, rate_, pcm16, options_));
    });
    return S_OK;
}

void FileAudioDevices::LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion)
{
    if (!completion || id != id_)
        return;
    std::lock_guard hold(threads_lock_);
    threads_.emplace_back([completion = std::move(completion)] { completion(false); });
}

HRESULT FileAudioDevices::ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices)
{
    if (!devices)
        return E_INVALIDARG;
    devices->assign(1, CaptureDeviceInfo{id_, path_, true});
    return S_OK;
}

}  // namespace VextuneCore::Platform
