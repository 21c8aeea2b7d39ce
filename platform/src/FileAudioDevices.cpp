#include "vextune/platform/FileAudioDevices.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <utility>

#include "PacketQueue.h"

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

class FileClient final : public AudioClient, public std::enable_shared_from_this<FileClient> {
public:
    FileClient(SndfilePtr file, std::uint16_t channels, std::uint32_t rate, const FileDeviceOptions& options)
        : file_(std::move(file)),
          channels_(channels),
          rate_(rate),
          clock_(options.clock),
          on_end_(options.on_end),
          queue_(std::max<std::uint32_t>(options.ring_ms / packet_ms, 2))
    {
    }

    ~FileClient() override
    {
        {
            std::lock_guard hold(lock_);
            running_ = false;
            stop_ = true;
        }
        changed_.notify_all();
        Finish(producer_);
    }

    HRESULT GetMixFormat(WaveFormat* format) override
    {
        if (!format)
            return E_INVALIDARG;
        *format = FloatFormat(channels_, rate_);
        return S_OK;
    }

    HRESULT Initialize(ShareMode mode, std::uint32_t, std::int64_t buffer_duration, std::int64_t,
                       const WaveFormat& format) override
    {
        std::lock_guard hold(lock_);
        if (format_)
            return E_ALREADY_INITIALIZED;
        if (mode != ShareMode::Shared || buffer_duration < 0)
            return E_INVALIDARG;
        if (!accepted(format, channels_, rate_))
            return E_UNSUPPORTED_FORMAT;
        format_ = format;
        const std::uint64_t asked = (static_cast<std::uint64_t>(buffer_duration) * rate_ + 9'999'999) / 10'000'000;
        const std::uint64_t packet = (static_cast<std::uint64_t>(rate_) * packet_ms + 999) / 1000;
        buffer_frames_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max(asked, packet), UINT32_MAX));
        return S_OK;
    }

    HRESULT GetBufferSize(std::uint32_t* frames) override
    {
        std::lock_guard hold(lock_);
        if (!frames)
            return E_INVALIDARG;
        if (!format_)
            return E_NOT_INITIALIZED;
        *frames = buffer_frames_;
        return S_OK;
    }

    HRESULT GetService(std::shared_ptr<AudioCaptureClient>* capture_client) override;

    HRESULT SetEventHandle(Event* event) override
    {
        std::lock_guard hold(lock_);
        if (!event)
            return E_INVALIDARG;
        if (!format_)
            return E_NOT_INITIALIZED;
        if (running_)
            return E_INVALID_STATE;
        event_ = event;
        return S_OK;
    }

    HRESULT Start() override
    {
        std::thread previous;
        {
            std::lock_guard hold(lock_);
            if (!format_)
                return E_NOT_INITIALIZED;
            if (running_ || !event_)
                return E_INVALID_STATE;
            previous = std::move(producer_);
        }
        // A producer that was stopped from its own on_end may still be
        // finishing its callback.
        Finish(previous);
        std::lock_guard hold(lock_);
        running_ = true;
        stop_ = false;
        producer_ = std::thread([this, weak = weak_from_this()] { Run(weak); });
        return S_OK;
    }

    HRESULT Stop() override
    {
        std::thread producer;
        {
            std::lock_guard hold(lock_);
            running_ = false;
            stop_ = true;
            producer = std::move(producer_);
        }
        changed_.notify_all();
        Finish(producer);
        return S_OK;
    }

    HRESULT SetClientProperties(const AudioClientProperties&) override
    {
        std::lock_guard hold(lock_);
        return format_ ? E_ALREADY_INITIALIZED : S_OK;
    }

    // The capture client's calls.
    HRESULT NextPacketSize(std::uint32_t* frames)
    {
        if (!frames)
            return E_INVALIDARG;
        std::lock_guard hold(lock_);
        *frames = queue_.NextSize();
        return S_OK;
    }

    HRESULT Buffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                   std::uint64_t* qpc_position)
    {
        if (!data || !frames || !flags)
            return E_INVALIDARG;
        std::lock_guard hold(lock_);
        return queue_.Get(data, frames, flags, device_position, qpc_position);
    }

    HRESULT Release(std::uint32_t frames)
    {
        HRESULT hr;
        {
            std::lock_guard hold(lock_);
            hr = queue_.Release(frames);
        }
        changed_.notify_all();
        return hr;
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

    void Run(const std::weak_ptr<FileClient>& weak)
    {
        if (!Produce())
            return;
        // Keeps the client alive through the callback unless it is already
        // going away (its destructor then waits for this thread).
        const auto self = weak.lock();
        if (self && on_end_)
            on_end_();
    }

    // Delivers packets until the file ends and its last packet was released
    // (true, the first time only) or until stopped (false).
    bool Produce()
    {
        using std::chrono::steady_clock;
        const auto started = steady_clock::now();
        std::uint64_t frames_since_start = 0;
        std::vector<float> samples;
        const bool as_float = format_->nBlockAlign == channels_ * 4u;
        const std::uint32_t block = format_->nBlockAlign;

        for (;;) {
            std::unique_lock hold(lock_);
            if (ended_)
                break;
            const std::uint64_t position = position_;
            const std::uint64_t end = (packets_ + 1) * rate_ * packet_ms / 1000;
            const auto frames = static_cast<std::uint32_t>(end - packets_ * rate_ * packet_ms / 1000);
            if (frames == 0) {  // below 50 Hz some 20 ms steps hold no frame
                ++packets_;
                continue;
            }
            if (clock_) {
                changed_.wait(hold, [&] { return stop_ || queue_.Idle(); });
            } else {
                const auto due = started + std::chrono::duration_cast<steady_clock::duration>(
                                               std::chrono::duration<double>(
                                                   static_cast<double>(frames_since_start + frames) / rate_));
                changed_.wait_until(hold, due, [&] { return stop_; });
            }
            if (stop_)
                return false;
            hold.unlock();

            // Only this thread reads the file while the stream runs. Read as
            // float (libsndfile gives integer files as s / 32768 exactly).
            samples.resize(static_cast<std::size_t>(frames) * channels_);
            const sf_count_t got = std::max<sf_count_t>(sf_readf_float(file_.get(), samples.data(), frames), 0);
            const std::size_t count = static_cast<std::size_t>(got) * channels_;
            Detail::QueuedPacket packet;
            packet.bytes.resize(static_cast<std::size_t>(got) * block);
            if (as_float && count != 0) {
                std::memcpy(packet.bytes.data(), samples.data(), packet.bytes.size());
            } else if (!as_float) {
                for (std::size_t i = 0; i < count; ++i) {
                    const std::int16_t value = FloatToPcm16(samples[i]);
                    std::memcpy(packet.bytes.data() + 2 * i, &value, 2);
                }
            }
            packet.frames = static_cast<std::uint32_t>(got);
            packet.device_position = position;
            frames_since_start += frames;

            Event* event = nullptr;
            hold.lock();
            ++packets_;
            if (got < frames)
                ended_ = true;
            if (got > 0) {
                position_ += static_cast<std::uint64_t>(got);
                if (clock_) {
                    clock_->Advance(ms_of(position_, rate_) - ms_of(position, rate_));
                    packet.qpc_position = clock_->TickMs() * 10'000;
                } else {
                    packet.qpc_position = static_cast<std::uint64_t>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch())
                            .count() /
                        100);
                }
                queue_.Push(std::move(packet));
                event = event_;
            }
            hold.unlock();
            // Stop joins this thread before it returns, so the event is alive.
            if (event)
                event->Set();
        }

        std::unique_lock hold(lock_);
        changed_.wait(hold, [&] { return stop_ || queue_.Idle(); });
        if (stop_ || end_told_)
            return false;
        end_told_ = true;
        return true;
    }

    SndfilePtr file_;
    const std::uint16_t channels_;
    const std::uint32_t rate_;
    const std::shared_ptr<SimulatedClock> clock_;
    const std::function<void()> on_end_;

    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<WaveFormat> format_;
    std::uint32_t buffer_frames_ = 0;
    Event* event_ = nullptr;
    bool running_ = false;
    bool stop_ = false;
    std::thread producer_;
    std::uint64_t position_ = 0;  // frames read from the file
    std::uint64_t packets_ = 0;   // packets read: they end at packet boundaries of the whole file
    bool ended_ = false;
    bool end_told_ = false;
    Detail::PacketQueue queue_;
};


HRESULT FileClient::GetService(std::shared_ptr<AudioCaptureClient>* capture_client)
{
    std::lock_guard hold(lock_);
    if (!capture_client)
        return E_INVALIDARG;
    if (!format_)
        return E_NOT_INITIALIZED;
    *capture_client = std::make_shared<Detail::ForwardingCaptureClient<FileClient>>(shared_from_this());
    return S_OK;
}

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
    if (!file)
        throw PlatformException(E_DEVICE_NOT_FOUND, path_ + ": " + sf_strerror(nullptr));
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

HRESULT FileAudioDevices::ActivateAudioInterfaceAsync(
    const std::string& id, std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion)
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
            completion(E_DEVICE_INVALIDATED, nullptr);
            return;
        }
        completion(S_OK, std::make_shared<FileClient>(std::move(file), channels_, rate_, options_));
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
