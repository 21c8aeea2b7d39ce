#include "vextune/platform/ScriptedAudioDevices.h"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "PacketQueue.h"

namespace VextuneCore::Platform {

static_assert(std::endian::native == std::endian::little, "packets are built in the wire's little-endian order");

namespace {

constexpr std::size_t call_kinds = static_cast<std::size_t>(DeviceCall::ReleaseBuffer) + 1;

template <typename Sample>
ScriptedPacket packet_of(const Sample* samples, std::size_t count, std::uint16_t channels, std::uint32_t flags)
{
    ScriptedPacket packet;
    packet.flags = flags;
    if (channels == 0)
        return packet;
    const std::size_t frames = count / channels;
    packet.frames = static_cast<std::uint32_t>(frames);
    packet.bytes.resize(frames * channels * sizeof(Sample));
    if (!packet.bytes.empty())
        std::memcpy(packet.bytes.data(), samples, packet.bytes.size());
    return packet;
}

// Whether a client can be initialized with format: channels, a rate, whole
// bytes per sample and the block align they make.
bool usable(const WaveFormat& format)
{
    return format.nChannels != 0 && format.nSamplesPerSec != 0 && format.wBitsPerSample != 0 &&
           format.wBitsPerSample % 8 == 0 &&
           format.nBlockAlign == static_cast<std::uint32_t>(format.nChannels) * (format.wBitsPerSample / 8u);
}

}  // namespace

const char* DeviceCallName(DeviceCall call)
{
    static constexpr std::array<const char*, call_kinds> names = {
        "GetDefaultAudioCaptureId", "ActivateAudioInterfaceAsync", "ActivationCompleted", "LookupRawProcessingAsync",
        "ListCaptureDevices",       "GetMixFormat",                "Initialize",          "GetBufferSize",
        "GetService",               "SetEventHandle",              "Start",               "Stop",
        "SetClientProperties",      "GetNextPacketSize",           "GetBuffer",           "ReleaseBuffer",
    };
    const auto index = static_cast<std::size_t>(call);
    return index < names.size() ? names[index] : "?";
}

ScriptedPacket StereoPacket(const std::vector<std::int16_t>& left, const std::vector<std::int16_t>& right,
                            std::uint32_t flags)
{
    const std::size_t frames = std::min(left.size(), right.size());
    std::vector<std::int16_t> interleaved(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = left[i];
        interleaved[2 * i + 1] = right[i];
    }
    return Pcm16Packet(interleaved, 2, flags);
}

ScriptedPacket MonoPacket(const std::vector<std::int16_t>& samples, std::uint32_t flags)
{
    return Pcm16Packet(samples, 1, flags);
}

ScriptedPacket Pcm16Packet(const std::vector<std::int16_t>& interleaved, std::uint16_t channels, std::uint32_t flags)
{
    return packet_of(interleaved.data(), interleaved.size(), channels, flags);
}

ScriptedPacket FloatPacket(const std::vector<float>& interleaved, std::uint16_t channels, std::uint32_t flags)
{
    return packet_of(interleaved.data(), interleaved.size(), channels, flags);
}

ScriptedPacket SilentPacket(std::uint32_t frames, std::uint16_t block_align)
{
    ScriptedPacket packet;
    packet.frames = frames;
    packet.bytes.assign(static_cast<std::size_t>(frames) * block_align, 0);
    packet.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    return packet;
}

ScriptedPacket EmptyPacket()
{
    return {};
}

DeviceScript& DeviceScript::Fail(DeviceCall call, std::uint32_t nth, HRESULT code)
{
    failures.push_back({call, nth, code, false});
    return *this;
}

DeviceScript& DeviceScript::FailFrom(DeviceCall call, std::uint32_t nth, HRESULT code)
{
    failures.push_back({call, nth, code, true});
    return *this;
}

namespace {
class ScriptedClient;
}

// The state the device and its clients share; every member under lock.
class ScriptedAudioDevices::Core {
public:
    explicit Core(DeviceScript s) : script(std::move(s)) {}

    // Counts the call, logs it and gives the code scripted for it (S_OK for
    // none). Caller holds lock.
    HRESULT Record(DeviceCall call)
    {
        calls.push_back(call);
        const std::uint32_t n = ++counts[static_cast<std::size_t>(call)];
        for (const DeviceScript::Failure& f : script.failures) {
            if (f.call == call && (n == f.nth || (f.and_after && n >= f.nth)))
                return f.code;
        }
        return S_OK;
    }

    // Waits (lock held by hold) until no other thread is setting an event
    // of this device, so that the event can go away afterwards.
    void WaitForSetters(std::unique_lock<std::mutex>& hold)
    {
        const auto me = std::this_thread::get_id();
        changed.wait(hold, [&] { return std::none_of(setters.begin(), setters.end(), [&](auto id) { return id != me; }); });
    }

    void Launch(std::function<void()> work)
    {
        std::lock_guard hold(threads_lock);
        threads.emplace_back(std::move(work));
    }

    void JoinThreads()
    {
        std::vector<std::thread> joining;
        {
            std::lock_guard hold(threads_lock);
            joining.swap(threads);
        }
        for (std::thread& t : joining) {
            if (t.get_id() == std::this_thread::get_id())
                t.detach();  // a completion that let the device go
            else
                t.join();
        }
    }

    DeviceScript script;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<DeviceCall> calls;
    std::array<std::uint32_t, call_kinds> counts{};
    std::optional<InitializeArguments> initialized;
    std::vector<std::uint32_t> released;
    std::vector<AudioClientProperties> properties;
    std::vector<AudioClientProperties> properties_asked;
    std::size_t next_packet = 0;
    std::weak_ptr<ScriptedClient> current;
    std::vector<std::thread::id> setters;  // threads inside Event::Set for a delivery

    std::mutex threads_lock;
    std::vector<std::thread> threads;
};

namespace {

using Core = ScriptedAudioDevices::Core;

class ScriptedClient final : public AudioClient, public std::enable_shared_from_this<ScriptedClient> {
public:
    explicit ScriptedClient(std::shared_ptr<Core> core) : core_(std::move(core)) {}

    HRESULT GetMixFormat(WaveFormat* format) override
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::GetMixFormat);
        if (Failed(hr))
            return hr;
        if (!format)
            return E_INVALIDARG;
        *format = core_->script.mix_format;
        return S_OK;
    }

    HRESULT Initialize(ShareMode mode, std::uint32_t stream_flags, std::int64_t buffer_duration,
                       std::int64_t periodicity, const WaveFormat& format) override
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::Initialize);
        if (Failed(hr))
            return hr;
        if (format_)
            return E_ALREADY_INITIALIZED;
        if (buffer_duration < 0 || periodicity < 0)
            return E_INVALIDARG;
        if (!usable(format))
            return E_UNSUPPORTED_FORMAT;
        format_ = format;
        event_driven_ = (stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        const std::uint64_t frames =
            (static_cast<std::uint64_t>(buffer_duration) * format.nSamplesPerSec + 9'999'999) / 10'000'000;
        buffer_frames_ = core_->script.buffer_frames != 0
                             ? core_->script.buffer_frames
                             : static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, UINT32_MAX));
        core_->initialized = ScriptedAudioDevices::InitializeArguments{mode, stream_flags, buffer_duration, periodicity, format};
        return S_OK;
    }

    HRESULT GetBufferSize(std::uint32_t* frames) override
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::GetBufferSize);
        if (Failed(hr))
            return hr;
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
        std::unique_lock hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::SetEventHandle);
        if (Failed(hr))
            return hr;
        if (!event)
            return E_INVALIDARG;
        if (!format_)
            return E_NOT_INITIALIZED;
        core_->WaitForSetters(hold);
        event_ = event;
        return S_OK;
    }

    HRESULT Start() override
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::Start);
        if (Failed(hr))
            return hr;
        if (!format_)
            return E_NOT_INITIALIZED;
        if (running_ || (event_driven_ && !event_))
            return E_INVALID_STATE;
        running_ = true;
        return S_OK;
    }

    HRESULT Stop() override
    {
        std::unique_lock hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::Stop);
        if (Failed(hr))
            return hr;
        running_ = false;
        // No delivery sets the event once Stop has returned.
        core_->WaitForSetters(hold);
        return S_OK;
    }

    HRESULT SetClientProperties(const AudioClientProperties& properties) override
    {
        std::lock_guard hold(core_->lock);
        core_->properties_asked.push_back(properties);
        const HRESULT hr = core_->Record(DeviceCall::SetClientProperties);
        if (Failed(hr))
            return hr;
        if (format_)
            return E_ALREADY_INITIALIZED;
        core_->properties.push_back(properties);
        return S_OK;
    }

    // The capture client's calls.
    HRESULT NextPacketSize(std::uint32_t* frames)
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::GetNextPacketSize);
        if (frames)
            *frames = 0;
        if (Failed(hr))
            return hr;
        if (!frames)
            return E_INVALIDARG;
        *frames = queue_.NextSize();
        return S_OK;
    }

    HRESULT Buffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                   std::uint64_t* qpc_position)
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::GetBuffer);
        if (Failed(hr))
            return hr;
        if (!data || !frames || !flags)
            return E_INVALIDARG;
        return queue_.Get(data, frames, flags, device_position, qpc_position);
    }

    HRESULT Release(std::uint32_t frames)
    {
        HRESULT hr;
        {
            std::lock_guard hold(core_->lock);
            hr = core_->Record(DeviceCall::ReleaseBuffer);
            if (Failed(hr))
                return hr;
            hr = queue_.Release(frames);
            if (Succeeded(hr))
                core_->released.push_back(frames);
        }
        core_->changed.notify_all();
        return hr;
    }

    // The device's side, under core lock.
    bool Running() const { return running_; }
    const Detail::PacketQueue& Queue() const { return queue_; }
    Event* EventHandle() const { return event_; }

    // Queues packet and advances the clock by its duration.
    void Deliver(const ScriptedPacket& packet)
    {
        if (packet.frames == 0)
            return;
        const std::uint32_t rate = format_->nSamplesPerSec;
        const std::uint64_t frames_before = delivered_frames_;
        delivered_frames_ += packet.frames;
        if (const auto& clock = core_->script.clock) {
            clock->Advance(delivered_frames_ * 1000 / rate - frames_before * 1000 / rate);
        }
        Detail::QueuedPacket queued;
        queued.frames = packet.frames;
        queued.flags = packet.flags;
        queued.bytes = packet.bytes;
        queued.bytes.resize(static_cast<std::size_t>(packet.frames) * format_->nBlockAlign, 0);
        queued.device_position = frames_before;
        queued.qpc_position = core_->script.clock ? core_->script.clock->TickMs() * 10'000 : 0;
        queue_.Push(std::move(queued));
    }

private:
    std::shared_ptr<Core> core_;
    std::optional<WaveFormat> format_;
    bool event_driven_ = false;
    std::uint32_t buffer_frames_ = 0;
    Event* event_ = nullptr;
    bool running_ = false;
    std::uint64_t delivered_frames_ = 0;
    Detail::PacketQueue queue_;
};


HRESULT ScriptedClient::GetService(std::shared_ptr<AudioCaptureClient>* capture_client)
{
    std::lock_guard hold(core_->lock);
    const HRESULT hr = core_->Record(DeviceCall::GetService);
    if (Failed(hr))
        return hr;
    if (!capture_client)
        return E_INVALIDARG;
    if (!format_)
        return E_NOT_INITIALIZED;
    *capture_client = std::make_shared<Detail::ForwardingCaptureClient<ScriptedClient>>(shared_from_this());
    return S_OK;
}

}  // namespace

ScriptedAudioDevices::ScriptedAudioDevices(DeviceScript script) : core_(std::make_shared<Core>(std::move(script))) {}

ScriptedAudioDevices::~ScriptedAudioDevices()
{
    core_->JoinThreads();
}

HRESULT ScriptedAudioDevices::GetDefaultAudioCaptureId(std::string* id)
{
    std::lock_guard hold(core_->lock);
    const HRESULT hr = core_->Record(DeviceCall::GetDefaultAudioCaptureId);
    if (Failed(hr))
        return hr;
    if (!id)
        return E_INVALIDARG;
    if (!core_->script.default_id)
        return E_DEVICE_NOT_FOUND;
    *id = *core_->script.default_id;
    return S_OK;
}

HRESULT ScriptedAudioDevices::ActivateAudioInterfaceAsync(
    const std::string& id, std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion)
{
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::ActivateAudioInterfaceAsync);
        if (Failed(hr))
            return hr;
        if (!completion)
            return E_INVALIDARG;
        if (!core_->script.default_id || id != *core_->script.default_id)
            return E_DEVICE_NOT_FOUND;
    }
    core_->Launch([core = core_, completion = std::move(completion)] {
        auto client = std::make_shared<ScriptedClient>(core);
        HRESULT hr;
        {
            std::lock_guard hold(core->lock);
            hr = core->Record(DeviceCall::ActivationCompleted);
            if (Succeeded(hr))
                core->current = client;
        }
        if (Failed(hr))
            completion(hr, nullptr);
        else
            completion(S_OK, std::move(client));
    });
    return S_OK;
}

void ScriptedAudioDevices::LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion)
{
    RawProcessing answer;
    {
        std::lock_guard hold(core_->lock);
        const HRESULT hr = core_->Record(DeviceCall::LookupRawProcessingAsync);
        const bool known = core_->script.default_id && id == *core_->script.default_id;
        answer = Failed(hr) || !known || !completion ? RawProcessing::LookupFails : core_->script.raw;
    }
    if (answer == RawProcessing::LookupFails)
        return;
    core_->Launch([completion = std::move(completion), answer] { completion(answer == RawProcessing::Supported); });
}

HRESULT ScriptedAudioDevices::ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices)
{
    std::lock_guard hold(core_->lock);
    const HRESULT hr = core_->Record(DeviceCall::ListCaptureDevices);
    if (Failed(hr))
        return hr;
    if (!devices)
        return E_INVALIDARG;
    devices->clear();
    if (core_->script.default_id)
        devices->push_back({*core_->script.default_id, "Scripted capture device", true});
    return S_OK;
}

bool ScriptedAudioDevices::DeliverNext()
{
    Event* event = nullptr;
    {
        std::lock_guard hold(core_->lock);
        const auto client = core_->current.lock();
        if (!client || !client->Running() || core_->next_packet >= core_->script.packets.size())
            return false;
        client->Deliver(core_->script.packets[core_->next_packet++]);
        event = client->EventHandle();
        core_->setters.push_back(std::this_thread::get_id());
    }
    if (event)
        event->Set();
    {
        std::lock_guard hold(core_->lock);
        auto& setters = core_->setters;
        setters.erase(std::find(setters.begin(), setters.end(), std::this_thread::get_id()));
    }
    core_->changed.notify_all();
    return true;
}

std::size_t ScriptedAudioDevices::DeliverAll()
{
    std::size_t delivered = 0;
    while (DeliverNext())
        ++delivered;
    return delivered;
}

std::size_t ScriptedAudioDevices::PacketsLeft() const
{
    std::lock_guard hold(core_->lock);
    return core_->script.packets.size() - core_->next_packet;
}

bool ScriptedAudioDevices::WaitUntilConsumed(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(core_->lock);
    return core_->changed.wait_for(hold, timeout, [&] {
        const auto client = core_->current.lock();
        return !client || client->Queue().Idle();
    });
}

void ScriptedAudioDevices::WaitForCompletions()
{
    core_->JoinThreads();
}

std::vector<DeviceCall> ScriptedAudioDevices::Calls() const
{
    std::lock_guard hold(core_->lock);
    return core_->calls;
}

std::size_t ScriptedAudioDevices::CallCount(DeviceCall call) const
{
    std::lock_guard hold(core_->lock);
    return core_->counts[static_cast<std::size_t>(call)];
}

std::optional<ScriptedAudioDevices::InitializeArguments> ScriptedAudioDevices::Initialized() const
{
    std::lock_guard hold(core_->lock);
    return core_->initialized;
}

std::vector<std::uint32_t> ScriptedAudioDevices::ReleasedFrames() const
{
    std::lock_guard hold(core_->lock);
    return core_->released;
}

std::vector<AudioClientProperties> ScriptedAudioDevices::PropertiesSet() const
{
    std::lock_guard hold(core_->lock);
    return core_->properties;
}

std::vector<AudioClientProperties> ScriptedAudioDevices::PropertiesAsked() const
{
    std::lock_guard hold(core_->lock);
    return core_->properties_asked;
}

bool ScriptedAudioDevices::Running() const
{
    std::lock_guard hold(core_->lock);
    const auto client = core_->current.lock();
    return client && client->Running();
}

std::size_t ScriptedAudioDevices::PacketsPending() const
{
    std::lock_guard hold(core_->lock);
    const auto client = core_->current.lock();
    if (!client)
        return 0;
    return client->Queue().Queued() + (client->Queue().Taken() ? 1 : 0);
}

}  // namespace VextuneCore::Platform
