#include "CapturePacketQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform::Detail {

CapturePacketQueue::CapturePacketQueue(std::uint32_t frame_bytes, std::uint32_t packet_frames,
                                       std::uint32_t capacity_frames)
    : frame_bytes_(std::max<std::uint32_t>(frame_bytes, 1)),
      packet_frames_(std::max<std::uint32_t>(packet_frames, 1)),
      capacity_frames_(std::max(capacity_frames, packet_frames_))
{
}

std::size_t CapturePacketQueue::Push(const void* data, std::size_t bytes, std::uint64_t qpc_position)
{
    if (bytes % frame_bytes_ != 0)
        discontinuity_ = true;
    std::uint64_t frames_left = bytes / frame_bytes_;
    const auto* source = static_cast<const std::uint8_t*>(data);
    std::size_t queued = 0;
    while (frames_left > 0) {
        const auto frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames_left, packet_frames_));
        const std::size_t size = std::size_t{frames} * frame_bytes_;
        if (queued_frames_ + frames > capacity_frames_) {
            discontinuity_ = true;
        } else {
            Packet p;
            p.frames = frames;
            p.device_position = position_;
            p.qpc_position = qpc_position;
            p.bytes.assign(size, 0);
            if (source)
                std::memcpy(p.bytes.data(), source, size);
            else
                p.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
            if (discontinuity_)
                p.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
            discontinuity_ = false;
            packets_.push_back(std::move(p));
            queued_frames_ += frames;
            ++queued;
        }
        position_ += frames;
        frames_left -= frames;
        if (source)
            source += size;
    }
    return queued;
}

std::uint32_t CapturePacketQueue::NextPacketFrames() const
{
    return packets_.empty() ? 0 : packets_.front().frames;
}

HRESULT CapturePacketQueue::Get(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                                std::uint64_t* device_position, std::uint64_t* qpc_position)
{
    if (!data || !frames || !flags)
        return E_INVALIDARG;
    if (held_)
        return E_BUFFER_ERROR;
    if (packets_.empty()) {
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        return S_OK;
    }
    held_ = std::move(packets_.front());
    packets_.pop_front();
    *data = held_->bytes.data();
    *frames = held_->frames;
    *flags = held_->flags;
    if (device_position)
        *device_position = held_->device_position;
    if (qpc_position)
        *qpc_position = held_->qpc_position;
    return S_OK;
}

HRESULT CapturePacketQueue::Release(std::uint32_t frames)
{
    if (!held_)
        return E_BUFFER_ERROR;
    if (frames > held_->frames)
        return E_BUFFER_SIZE_ERROR;
    if (frames == 0) {
        packets_.push_front(std::move(*held_));
    } else if (frames == held_->frames) {
        queued_frames_ -= frames;
    } else {
        return E_INVALIDARG;
    }
    held_.reset();
    return S_OK;
}

}  // namespace VextuneCore::Platform::Detail
