// The packets a capture client holds for its consumer: queued in order,
// taken one at a time with GetBuffer and given back with ReleaseBuffer.
//
// Shared by the scripted and the file device; not thread-safe (the devices
// call it under their own lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/Result.h"

namespace VextuneCore::Platform::Detail {

struct QueuedPacket {
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> bytes;  // frames * block align of the stream
    std::uint64_t device_position = 0;
    std::uint64_t qpc_position = 0;
};

class PacketQueue {
public:
    // capacity: most packets held at once, the taken one included; 0 for no
    // bound. A bounded queue holds at least two.
    explicit PacketQueue(std::size_t capacity = 0);

    // Adds a packet at the back. When the queue is full the oldest packet
    // not taken is dropped first and the packet after the gap carries
    // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY. Returns whether one was dropped.
    bool Push(QueuedPacket packet);

    // Frames of the packet GetBuffer would return; 0 when none is queued.
    // While a packet is taken, that packet's frames.
    std::uint32_t NextSize() const;

    // Takes the oldest packet. With none queued: S_OK and 0 frames (nothing
    // is then taken). A second call before ReleaseBuffer: E_BUFFER_ERROR.
    // *data stays valid until Release or Clear. Any output may be null.
    HRESULT Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                std::uint64_t* qpc_position);

    // Gives back the taken packet: frames equal to its count consumes it, 0
    // leaves it at the front for the next Get; any other count is
    // E_BUFFER_SIZE_ERROR. Nothing taken: S_OK for 0, E_BUFFER_ERROR else.
    HRESULT Release(std::uint32_t frames);

    // No packet queued and none taken.
    bool Idle() const { return queued_.empty() && !taken_; }
    bool Taken() const { return taken_.has_value(); }
    std::size_t Queued() const { return queued_.size(); }
    std::uint64_t Dropped() const { return dropped_; }
    void Clear();

private:
    std::size_t capacity_;
    std::deque<QueuedPacket> queued_;
    std::optional<QueuedPacket> taken_;
    std::uint64_t dropped_ = 0;
    std::uint8_t empty_byte_ = 0;  // what *data points at for a packet of no bytes
};

// The capture client of a device client that does the work itself (its
// NextPacketSize, Buffer and Release), sharing it with the AudioClient.
template <typename Client>
class ForwardingCaptureClient final : public AudioCaptureClient {
public:
    explicit ForwardingCaptureClient(std::shared_ptr<Client> client) : client_(std::move(client)) {}

    HRESULT GetNextPacketSize(std::uint32_t* frames) override { return client_->NextPacketSize(frames); }
    HRESULT GetBuffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                      std::uint64_t* qpc_position) override
    {
        return client_->Buffer(data, frames, flags, device_position, qpc_position);
    }
    HRESULT ReleaseBuffer(std::uint32_t frames) override { return client_->Release(frames); }

private:
    std::shared_ptr<Client> client_;
};

}  // namespace VextuneCore::Platform::Detail
