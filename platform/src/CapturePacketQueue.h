// The packets of a capture client between the sound server's thread, which
// pushes what the server delivers, and the consumer, which takes one packet
// at a time (Get, then Release).
//
// Audio is cut into packets of at most packet_frames frames. A hole (no
// data for a range) becomes a packet of zeros flagged silent. When more
// than capacity_frames frames wait (the held packet included), new audio is
// dropped, and the next packet that fits carries the discontinuity flag, as
// does the next packet after MarkDiscontinuity. Device positions count
// every frame delivered, dropped ones included, so a gap shows in them too.
//
// Not thread-safe: the client guards it with its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "vextune/platform/Result.h"

namespace VextuneCore::Platform::Detail {

class CapturePacketQueue {
public:
    CapturePacketQueue(std::uint32_t frame_bytes, std::uint32_t packet_frames, std::uint32_t capacity_frames);

    // Appends bytes of audio (data null: that many bytes of silence) and
    // returns the number of packets queued. A trailing partial frame is
    // dropped and counts as a discontinuity.
    std::size_t Push(const void* data, std::size_t bytes, std::uint64_t qpc_position);
    // The next packet carries the discontinuity flag.
    void MarkDiscontinuity() { discontinuity_ = true; }

    // Frames in the next packet; 0 when none waits.
    std::uint32_t NextPacketFrames() const;
    // Hands out the next packet (frames 0 and data null when none waits);
    // E_BUFFER_ERROR while a packet is still held.
    HRESULT Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags, std::uint64_t* device_position,
                std::uint64_t* qpc_position);
    // frames == the held packet's frames: it is consumed; 0: it is handed
    // out again by the next Get. E_BUFFER_ERROR without a held packet,
    // E_BUFFER_SIZE_ERROR for more frames than held, E_INVALIDARG for part
    // of them.
    HRESULT Release(std::uint32_t frames);

private:
    struct Packet {
        std::vector<std::uint8_t> bytes;
        std::uint32_t frames = 0;
        std::uint32_t flags = 0;
        std::uint64_t device_position = 0;
        std::uint64_t qpc_position = 0;
    };

    std::uint32_t frame_bytes_;
    std::uint32_t packet_frames_;
    std::uint32_t capacity_frames_;
    std::deque<Packet> packets_;
    std::optional<Packet> held_;
    std::uint64_t queued_frames_ = 0;  // waiting and held
    std::uint64_t position_ = 0;       // frames delivered so far
    bool discontinuity_ = false;
};

}  // namespace VextuneCore::Platform::Detail
