#include "vextune/platform/DeviceCore.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace VextuneCore::Platform {

namespace {

constexpr std::size_t call_kinds = static_cast<std::size_t>(DeviceCall::ReleaseBuffer) + 1;

// Channels, a rate, whole bytes per sample and the block align they make.
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
        "GetDefaultAudioCaptureId",
        "ActivateAudioInterfaceAsync",
        "ActivationCompleted",
        "LookupRawProcessingAsync",
        "ListCaptureDevices",
        "GetMixFormat",
        "Initialize",
        "GetBufferSize",
        "GetService",
        "SetEventHandle",
        "Start",
        "Stop",
        "SetClientProperties",
        "GetNextPacketSize",
        "GetBuffer",
        "ReleaseBuffer",
    };
    const auto index = static_cast<std::size_t>(call);
    return index < names.size() ? names[index] : "?";
}

PacketQueue::PacketQueue(std::uint32_t frame_bytes, std::uint64_t capacity_frames)
    : frame_bytes_(std::max<std::uint32_t>(frame_bytes, 1)), capacity_frames_(capacity_frames)
{}

std::size_t PacketQueue::Push(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                              std::uint64_t qpc_position)
{
    if (frames == 0)
        return 0;
    std::size_t dropped = 0;
    while (capacity_frames_ != 0 && held_frames_ + frames > capacity_frames_ && !queued_.empty()) {
        held_frames_ -= queued_.front().frames;
        queued_.pop_front();
        ++dropped;
    }
    dropped_ += dropped;
    // The first packet after the gap says so: the oldest one left, or this.
    if (dropped != 0 && !queued_.empty())
        queued_.front().flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    else if (dropped != 0)
        flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    if (std::exchange(discontinuity_, false))
        flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;

    Packet p;
    p.bytes = std::move(bytes);
    p.bytes.resize(std::size_t{frames} * frame_bytes_, 0);
    p.frames = frames;
    p.flags = flags;
    p.device_position = position_;
    p.qpc_position = qpc_position;
    queued_.push_back(std::move(p));
    held_frames_ += frames;
    position_ += frames;
    return dropped;
}

std::size_t PacketQueue::Append(const void* data, std::size_t bytes, std::uint32_t packet_frames,
                                std::uint64_t qpc_position)
{
    packet_frames = std::max<std::uint32_t>(packet_frames, 1);
    const bool partial = bytes % frame_bytes_ != 0;
    std::uint64_t frames_left = bytes / frame_bytes_;
    const auto* source = static_cast<const std::uint8_t*>(data);
    std::size_t queued = 0;
    while (frames_left > 0) {
        const auto frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames_left, packet_frames));
        const std::size_t size = std::size_t{frames} * frame_bytes_;
        std::vector<std::uint8_t> packet(size, 0);
        if (source) {
            std::memcpy(packet.data(), source, size);
            source += size;
        }
        Push(std::move(packet), frames, source ? 0 : AUDCLNT_BUFFERFLAGS_SILENT, qpc_position);
        frames_left -= frames;
        ++queued;
    }
    if (partial)
        discontinuity_ = true;
    return queued;
}

HRESULT PacketQueue::Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                         std::uint64_t* device_position, std::uint64_t* qpc_position)
{
    if (!data || !frames || !flags)
        return E_INVALIDARG;
    if (taken_)
        return E_BUFFER_ERROR;
    Packet none;
    if (!queued_.empty()) {
        taken_ = std::move(queued_.front());
        queued_.pop_front();
    }
    const Packet& packet = taken_ ? *taken_ : none;
    *data = taken_ ? taken_->bytes.data() : nullptr;
    *frames = packet.frames;
    *flags = packet.flags;
    if (device_position)
        *device_position = packet.device_position;
    if (qpc_position)
        *qpc_position = packet.qpc_position;
    return S_OK;
}

HRESULT PacketQueue::Release(std::uint32_t frames)
{
    if (!taken_)
        return frames == 0 ? S_OK : E_BUFFER_ERROR;
    if (frames == 0) {
        queued_.push_front(std::move(*taken_));
    } else if (frames == taken_->frames) {
        held_frames_ -= frames;
    } else {
        return E_BUFFER_SIZE_ERROR;
    }
    taken_.reset();
    return S_OK;
}

HRESULT DeviceClient::GetMixFormat(WaveFormat* format)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::GetMixFormat); Failed(hr))
        return hr;
    if (!format)
        return E_INVALIDARG;
    *format = MixFormat();
    return S_OK;
}

HRESULT DeviceClient::Initialize(ShareMode mode, std::uint32_t stream_flags, std::int64_t buffer_duration,
                                 std::int64_t periodicity, const WaveFormat& format)
{
    {
        std::lock_guard hold(lock_);
        if (const HRESULT hr = Admit(DeviceCall::Initialize); Failed(hr))
            return hr;
        if (format_)
            return E_ALREADY_INITIALIZED;
        if (mode != ShareMode::Shared || buffer_duration < 0 || periodicity < 0)
            return E_INVALIDARG;
        if (!usable(format))
            return E_UNSUPPORTED_FORMAT;
    }
    StreamSetup setup;
    if (const HRESULT hr = Open(stream_flags, buffer_duration, periodicity, format, &setup); Failed(hr))
        return hr;
    std::lock_guard hold(lock_);
    format_ = format;
    queue_.emplace(format.nBlockAlign, setup.queue_frames);
    event_driven_ = (stream_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
    buffer_frames_ = setup.buffer_frames;
    return S_OK;
}

HRESULT DeviceClient::GetBufferSize(std::uint32_t* frames)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::GetBufferSize); Failed(hr))
        return hr;
    if (!frames)
        return E_INVALIDARG;
    if (!format_)
        return E_NOT_INITIALIZED;
    *frames = buffer_frames_;
    return S_OK;
}

HRESULT DeviceClient::GetService(std::shared_ptr<AudioCaptureClient>* capture_client)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::GetService); Failed(hr))
        return hr;
    if (!capture_client)
        return E_INVALIDARG;
    if (!format_)
        return E_NOT_INITIALIZED;
    *capture_client = shared_from_this();
    return S_OK;
}

HRESULT DeviceClient::SetEventHandle(Event* event)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::SetEventHandle); Failed(hr))
        return hr;
    if (!event)
        return E_INVALIDARG;
    if (!format_)
        return E_NOT_INITIALIZED;
    if (running_)
        return E_INVALID_STATE;
    event_ = event;
    return S_OK;
}

HRESULT DeviceClient::Start()
{
    {
        std::lock_guard hold(lock_);
        if (const HRESULT hr = Admit(DeviceCall::Start); Failed(hr))
            return hr;
        if (!format_)
            return E_NOT_INITIALIZED;
        if (running_ || (event_driven_ && !event_))
            return E_INVALID_STATE;
        running_ = true;
    }
    const HRESULT hr = StartStream();
    if (Failed(hr)) {
        std::unique_lock hold(lock_);
        running_ = false;
    }
    return hr;
}

HRESULT DeviceClient::Stop()
{
    {
        std::unique_lock hold(lock_);
        if (const HRESULT hr = Admit(DeviceCall::Stop); Failed(hr))
            return hr;
        running_ = false;
        // A signal under way on another thread ends before Stop returns; one
        // on this thread (a callback of the device that stops the stream)
        // has already been made.
        const auto me = std::this_thread::get_id();
        changed_.wait(hold,
                      [&] { return std::all_of(setters_.begin(), setters_.end(), [&](auto id) { return id == me; }); });
    }
    changed_.notify_all();
    StopStream();
    return S_OK;
}

HRESULT DeviceClient::SetClientProperties(const AudioClientProperties& properties)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::SetClientProperties); Failed(hr))
        return hr;
    if (format_)
        return E_ALREADY_INITIALIZED;
    PropertiesSet(properties);
    return S_OK;
}

HRESULT DeviceClient::GetNextPacketSize(std::uint32_t* frames)
{
    std::lock_guard hold(lock_);
    if (frames)
        *frames = 0;
    if (const HRESULT hr = Admit(DeviceCall::GetNextPacketSize); Failed(hr))
        return hr;
    if (!frames)
        return E_INVALIDARG;
    if (!queue_)
        return E_NOT_INITIALIZED;
    *frames = queue_->NextSize();
    return S_OK;
}

HRESULT DeviceClient::GetBuffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                                std::uint64_t* device_position, std::uint64_t* qpc_position)
{
    std::lock_guard hold(lock_);
    if (const HRESULT hr = Admit(DeviceCall::GetBuffer); Failed(hr))
        return hr;
    if (!data || !frames || !flags)
        return E_INVALIDARG;
    if (!queue_)
        return E_NOT_INITIALIZED;
    std::uint64_t position = 0;
    const HRESULT hr = queue_->Get(data, frames, flags, &position, qpc_position);
    if (device_position)
        *device_position = position;
    if (Succeeded(hr) && *frames != 0)
        Taken(position, *frames);
    return hr;
}

HRESULT DeviceClient::ReleaseBuffer(std::uint32_t frames)
{
    std::size_t refilled = 0;
    {
        std::lock_guard hold(lock_);
        if (const HRESULT hr = Admit(DeviceCall::ReleaseBuffer); Failed(hr))
            return hr;
        if (!queue_)
            return E_NOT_INITIALIZED;
        if (const HRESULT hr = queue_->Release(frames); Failed(hr))
            return hr;
        refilled = Released(frames);
    }
    changed_.notify_all();
    Signal(refilled);
    return S_OK;
}

bool DeviceClient::Running() const
{
    std::lock_guard hold(lock_);
    return running_;
}

std::size_t DeviceClient::PacketsPending() const
{
    std::lock_guard hold(lock_);
    return queue_ ? queue_->Queued() + (queue_->Taken() ? 1 : 0) : 0;
}

bool DeviceClient::WaitUntilIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, timeout, [&] { return !queue_ || queue_->Idle(); });
}

std::size_t DeviceClient::PushLocked(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                                     std::uint64_t qpc_position)
{
    if (!running_ || !queue_ || frames == 0)
        return 0;
    queue_->Push(std::move(bytes), frames, flags, qpc_position);
    return 1;
}

void DeviceClient::Signal(std::size_t times)
{
    if (times == 0)
        return;
    Event* event = nullptr;
    {
        std::lock_guard hold(lock_);
        if (!running_ || !event_)
            return;
        event = event_;
        setters_.push_back(std::this_thread::get_id());
    }
    for (std::size_t i = 0; i < times; ++i)
        event->Set();
    {
        std::lock_guard hold(lock_);
        setters_.erase(std::find(setters_.begin(), setters_.end(), std::this_thread::get_id()));
    }
    changed_.notify_all();
}

std::size_t DeviceClient::Deliver(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                                  std::uint64_t qpc_position)
{
    std::size_t queued = 0;
    {
        std::lock_guard hold(lock_);
        queued = PushLocked(std::move(bytes), frames, flags, qpc_position);
    }
    Signal(queued);
    return queued;
}

}  // namespace VextuneCore::Platform
