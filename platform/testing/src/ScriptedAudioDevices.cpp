#include "vextune/platform/ScriptedAudioDevices.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

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

}  // namespace

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

// The state the device and its clients share; every member under lock. A
// client takes its own lock before this one, never after.
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

    std::shared_ptr<ScriptedClient> Current()
    {
        std::lock_guard hold(lock);
        return current.lock();
    }

    DeviceScript script;
    std::mutex lock;
    std::vector<DeviceCall> calls;
    std::array<std::uint32_t, call_kinds> counts{};
    std::optional<InitializeArguments> initialized;
    std::vector<std::uint32_t> released;
    std::vector<AudioClientProperties> properties;
    std::vector<AudioClientProperties> properties_asked;
    std::size_t next_packet = 0;
    std::weak_ptr<ScriptedClient> current;

    std::mutex threads_lock;
    std::vector<std::thread> threads;
};

namespace {

using Core = ScriptedAudioDevices::Core;

class ScriptedClient final : public DeviceClient {
public:
    explicit ScriptedClient(std::shared_ptr<Core> core) : core_(std::move(core)) {}

    HRESULT SetClientProperties(const AudioClientProperties& properties) override
    {
        {
            std::lock_guard hold(core_->lock);
            core_->properties_asked.push_back(properties);
        }
        return DeviceClient::SetClientProperties(properties);
    }

    // Gives the next scripted packet while the stream runs and sets the
    // event; false when there is none or the stream does not run.
    bool DeliverNext()
    {
        std::size_t signals = 0;
        {
            std::lock_guard hold(lock_);
            if (!IsRunning())
                return false;
            ScriptedPacket packet;
            {
                std::lock_guard device(core_->lock);
                if (core_->next_packet >= core_->script.packets.size())
                    return false;
                packet = core_->script.packets[core_->next_packet++];
            }
            signals = 1;  // a packet of 0 frames sets the event with nothing to read
            if (packet.frames != 0) {
                const std::uint32_t rate = Format().nSamplesPerSec;
                const std::uint64_t before = Queue().Position();
                const std::uint64_t after = before + packet.frames;
                if (const auto& clock = core_->script.clock)
                    clock->Advance(after * 1000 / rate - before * 1000 / rate);
                const std::uint64_t qpc = core_->script.clock ? core_->script.clock->TickMs() * 10'000 : 0;
                PushLocked(std::move(packet.bytes), packet.frames, packet.flags, qpc);
            }
        }
        Signal(signals);
        return true;
    }

protected:
    HRESULT Admit(DeviceCall call) override
    {
        std::lock_guard hold(core_->lock);
        return core_->Record(call);
    }

    WaveFormat MixFormat() override
    {
        std::lock_guard hold(core_->lock);
        return core_->script.mix_format;
    }

    HRESULT Open(std::uint32_t stream_flags, std::int64_t buffer_duration, std::int64_t periodicity,
                 const WaveFormat& format, StreamSetup* setup) override
    {
        std::lock_guard hold(core_->lock);
        const std::uint64_t frames =
            (static_cast<std::uint64_t>(buffer_duration) * format.nSamplesPerSec + 9'999'999) / 10'000'000;
        setup->buffer_frames = core_->script.buffer_frames != 0
                                   ? core_->script.buffer_frames
                                   : static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, UINT32_MAX));
        setup->queue_frames = 0;
        core_->initialized = ScriptedAudioDevices::InitializeArguments{ShareMode::Shared, stream_flags, buffer_duration,
                                                                       periodicity, format};
        return S_OK;
    }

    std::size_t Released(std::uint32_t frames) override
    {
        std::lock_guard hold(core_->lock);
        core_->released.push_back(frames);
        return 0;
    }

    void PropertiesSet(const AudioClientProperties& properties) override
    {
        std::lock_guard hold(core_->lock);
        core_->properties.push_back(properties);
    }

private:
    std::shared_ptr<Core> core_;
};

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

HRESULT
ScriptedAudioDevices::ActivateAudioInterfaceAsync(const std::string& id,
                                                  std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion)
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

void ScriptedAudioDevices::LookupRawProcessingAsync(const std::string& id,
                                                    std::function<void(bool supported)> completion)
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
    const auto client = core_->Current();
    return client && client->DeliverNext();
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
    const auto client = core_->Current();
    return !client || client->WaitUntilIdle(timeout);
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
    const auto client = core_->Current();
    return client && client->Running();
}

std::size_t ScriptedAudioDevices::PacketsPending() const
{
    const auto client = core_->Current();
    return client ? client->PacketsPending() : 0;
}

}  // namespace VextuneCore::Platform
