// The core every capture device is built on: the one packet queue and the
// one implementation of the client's rules. A device adds only how its
// packets are produced (from a script, from a file on a clock, from a sound
// server) and what it accepts as a stream.
//
// The packet queue
//   Packets wait in order and are taken one at a time (GetBuffer, then
//   ReleaseBuffer). The queue holds a bounded number of frames, the taken
//   packet included. When a new packet does not fit, the oldest packets not
//   taken are dropped until it does, and the first packet after the gap
//   carries AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY: a consumer that falls
//   behind and catches up reads the most recent audio, and learns that some
//   went missing. The new packet itself is never dropped, and the taken one
//   stays valid until released, so with a packet taken the queue may exceed
//   its bound by the packet just queued. Device positions count every frame
//   delivered, dropped ones included, so a gap shows in them as well.
//
// The client's rules, and the codes (every call, in this order):
//   - a device's own refusal first (a lost device: E_DEVICE_INVALIDATED;
//     a test fake's injected failure), which changes nothing else;
//   - a null output: E_INVALIDARG;
//   - SetClientProperties only before Initialize (E_ALREADY_INITIALIZED);
//   - Initialize once (E_ALREADY_INITIALIZED), in shared mode with durations
//     of at least 0 (E_INVALIDARG), with a format the device takes
//     (E_UNSUPPORTED_FORMAT);
//   - GetBufferSize, GetService, SetEventHandle, Start and the capture
//     client's calls only after Initialize (E_NOT_INITIALIZED);
//   - SetEventHandle and Start of a running stream: E_INVALID_STATE; Start
//     of an event-driven stream needs the event (E_INVALID_STATE);
//   - Stop of a stopped stream is S_OK; Stop keeps the packets not taken,
//     and a later Start goes on after them; once Stop has returned the
//     event is not set any more;
//   - GetNextPacketSize: frames of the next packet, 0 when none waits;
//   - GetBuffer with none waiting: S_OK, 0 frames, data null, nothing taken;
//     GetBuffer again before ReleaseBuffer: E_BUFFER_ERROR;
//   - ReleaseBuffer of the packet's frames consumes it; of 0 leaves it to
//     be handed out again; of any other count: E_BUFFER_SIZE_ERROR. With
//     nothing taken: S_OK for 0, E_BUFFER_ERROR for any other count.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform {

// The calls of the device contract, for devices that record or refuse them.
enum class DeviceCall : std::uint8_t {
    GetDefaultAudioCaptureId,
    ActivateAudioInterfaceAsync,
    ActivationCompleted,  // the result handed to the activation's completion
    LookupRawProcessingAsync,
    ListCaptureDevices,
    GetMixFormat,
    Initialize,
    GetBufferSize,
    GetService,
    SetEventHandle,
    Start,
    Stop,
    SetClientProperties,
    GetNextPacketSize,
    GetBuffer,
    ReleaseBuffer,
};

const char* DeviceCallName(DeviceCall call);

// Not thread-safe: a DeviceClient guards its queue with its lock.
class PacketQueue {
public:
    // frame_bytes: the stream's block align. capacity_frames: the bound
    // described above; 0 for none.
    PacketQueue(std::uint32_t frame_bytes, std::uint64_t capacity_frames);

    // Queues one packet of frames; bytes are cut or zero-padded to frames *
    // frame_bytes. A packet of 0 frames is not queued. Returns the number
    // of packets dropped to make room.
    std::size_t Push(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                     std::uint64_t qpc_position);
    // Queues audio cut into packets of at most packet_frames frames; data
    // null: that many bytes of silence, flagged AUDCLNT_BUFFERFLAGS_SILENT.
    // A trailing partial frame is dropped and counts as a discontinuity.
    // Returns the number of packets queued.
    std::size_t Append(const void* data, std::size_t bytes, std::uint32_t packet_frames, std::uint64_t qpc_position);
    // The next packet queued carries the discontinuity flag (audio was lost
    // before it reached the queue).
    void MarkDiscontinuity() { discontinuity_ = true; }

    std::uint32_t NextSize() const { return queued_.empty() ? 0 : queued_.front().frames; }
    HRESULT Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                std::uint64_t* qpc_position);
    HRESULT Release(std::uint32_t frames);

    // No packet queued and none taken.
    bool Idle() const { return queued_.empty() && !taken_; }
    bool Taken() const { return taken_.has_value(); }
    std::size_t Queued() const { return queued_.size(); }
    std::uint64_t Dropped() const { return dropped_; }
    // Frames delivered so far, dropped ones included.
    std::uint64_t Position() const { return position_; }

private:
    struct Packet {
        std::vector<std::uint8_t> bytes;
        std::uint32_t frames = 0;
        std::uint32_t flags = 0;
        std::uint64_t device_position = 0;
        std::uint64_t qpc_position = 0;
    };

    std::uint32_t frame_bytes_;
    std::uint64_t capacity_frames_;
    std::deque<Packet> queued_;
    std::optional<Packet> taken_;
    std::uint64_t held_frames_ = 0;  // queued and taken
    std::uint64_t position_ = 0;
    std::uint64_t dropped_ = 0;
    bool discontinuity_ = false;
};

// An activated device: the AudioClient and its AudioCaptureClient (GetService
// hands out the object itself), with the rules above. A device derives from
// it and fills in the hooks; every hook runs with lock_ held unless it says
// otherwise.
class DeviceClient : public AudioClient, public AudioCaptureClient, public std::enable_shared_from_this<DeviceClient> {
public:
    ~DeviceClient() override = default;

    HRESULT GetMixFormat(WaveFormat* format) override;
    HRESULT Initialize(ShareMode mode, std::uint32_t stream_flags, std::int64_t buffer_duration,
                       std::int64_t periodicity, const WaveFormat& format) override;
    HRESULT GetBufferSize(std::uint32_t* frames) override;
    HRESULT GetService(std::shared_ptr<AudioCaptureClient>* capture_client) override;
    HRESULT SetEventHandle(Event* event) override;
    HRESULT Start() override;
    HRESULT Stop() override;
    HRESULT SetClientProperties(const AudioClientProperties& properties) override;

    HRESULT GetNextPacketSize(std::uint32_t* frames) override;
    HRESULT GetBuffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                      std::uint64_t* qpc_position) override;
    HRESULT ReleaseBuffer(std::uint32_t frames) override;

    // Whether the stream runs, and packets delivered and not yet released.
    bool Running() const;
    std::size_t PacketsPending() const;
    // Waits until every packet delivered has been released; false when the
    // timeout passed first.
    bool WaitUntilIdle(std::chrono::milliseconds timeout);

protected:
    // What the device makes of Initialize's arguments.
    struct StreamSetup {
        std::uint32_t buffer_frames = 0;  // GetBufferSize's answer
        std::uint64_t queue_frames = 0;   // the queue's bound; 0 for none
    };

    DeviceClient() = default;

    // The device's refusal of a call before any rule; S_OK to go on.
    virtual HRESULT Admit(DeviceCall /*call*/) { return S_OK; }
    virtual WaveFormat MixFormat() = 0;
    // Checks format (which has channels, a rate and a matching block align)
    // and opens the stream. Runs without lock_ (the caller serialises
    // Initialize with the client's other calls).
    virtual HRESULT Open(std::uint32_t stream_flags, std::int64_t buffer_duration, std::int64_t periodicity,
                         const WaveFormat& format, StreamSetup* setup) = 0;
    // Starts producing packets; running already reads true. Without lock_.
    virtual HRESULT StartStream() { return S_OK; }
    // Stops producing; the event is no longer set. Without lock_, never on
    // a thread that is setting the event.
    virtual void StopStream() {}
    // After GetBuffer handed out a packet (again, after a release of 0).
    virtual void Taken(std::uint64_t /*device_position*/, std::uint32_t /*frames*/) {}
    // After every successful ReleaseBuffer (frames: its count); returns the
    // number of packets it queued, whose event the core then sets.
    virtual std::size_t Released(std::uint32_t /*frames*/) { return 0; }
    // After SetClientProperties was accepted.
    virtual void PropertiesSet(const AudioClientProperties& /*properties*/) {}

    // For the producing side. With lock_ held: queues a packet while the
    // stream runs; the packets queued (0 or 1).
    std::size_t PushLocked(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                           std::uint64_t qpc_position);
    // Without lock_: sets the event times times while the stream runs, so
    // that Stop can wait for it (1 with no packet: the consumer is to look).
    void Signal(std::size_t times);
    // Both: the number of packets queued.
    std::size_t Deliver(std::vector<std::uint8_t> bytes, std::uint32_t frames, std::uint32_t flags,
                        std::uint64_t qpc_position);

    // Under lock_.
    bool Initialized() const { return format_.has_value(); }
    bool IsRunning() const { return running_; }
    const WaveFormat& Format() const { return *format_; }
    PacketQueue& Queue() { return *queue_; }
    const PacketQueue& Queue() const { return *queue_; }

    mutable std::mutex lock_;
    std::condition_variable changed_;  // notified on every release, stop and end of a signal

private:
    std::optional<WaveFormat> format_;
    std::optional<PacketQueue> queue_;
    bool event_driven_ = false;
    std::uint32_t buffer_frames_ = 0;
    Event* event_ = nullptr;
    bool running_ = false;
    std::vector<std::thread::id> setters_;  // threads inside Signal
};

}  // namespace VextuneCore::Platform
