#include "PacketQueue.h"

#include <algorithm>
#include <utility>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform::Detail {

PacketQueue::PacketQueue(std::size_t capacity) : capacity_(capacity == 0 ? 0 : std::max<std::size_t>(capacity, 2)) {}

bool PacketQueue::Push(QueuedPacket packet)
{
    bool dropped = false;
    if (capacity_ != 0 && queued_.size() + (taken_ ? 1 : 0) >= capacity_) {
        // The taken packet stays: its bytes are the consumer's until Release.
        queued_.pop_front();
        ++dropped_;
        dropped = true;
        if (queued_.empty())
            packet.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        else
            queued_.front().flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    }
    queued_.push_back(std::move(packet));
    return dropped;
}

std::uint32_t PacketQueue::NextSize() const
{
    if (taken_)
        return taken_->frames;
    return queued_.empty() ? 0 : queued_.front().frames;
}

HRESULT PacketQueue::Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                         std::uint64_t* device_position, std::uint64_t* qpc_position)
{
    if (taken_)
        return E_BUFFER_ERROR;
    QueuedPacket* packet = nullptr;
    if (!queued_.empty()) {
        taken_ = std::move(queued_.front());
        queued_.pop_front();
        packet = &*taken_;
    }
    if (data)
        *data = packet ? (packet->bytes.empty() ? &empty_byte_ : packet->bytes.data()) : nullptr;
    if (frames)
        *frames = packet ? packet->frames : 0;
    if (flags)
        *flags = packet ? packet->flags : 0;
    if (device_position)
        *device_position = packet ? packet->device_position : 0;
    if (qpc_position)
        *qpc_position = packet ? packet->qpc_position : 0;
    return S_OK;
}

HRESULT PacketQueue::Release(std::uint32_t frames)
{
    if (!taken_)
        return frames == 0 ? S_OK : E_BUFFER_ERROR;
    if (frames == 0) {
        queued_.push_front(std::move(*taken_));
        taken_.reset();
        return S_OK;
    }
    if (frames != taken_->frames)
        return E_BUFFER_SIZE_ERROR;
    taken_.reset();
    return S_OK;
}

void PacketQueue::Clear()
{
    queued_.clear();
    taken_.reset();
}

}  // namespace VextuneCore::Platform::Detail
