#include "CapturePacketQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform::Detail {
namespace {

constexpr std::uint32_t kFrameBytes = 4;  // 16-bit stereo

struct Taken {
    std::vector<std::uint8_t> bytes;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 0;
};

// Takes and releases the next packet.
Taken Take(CapturePacketQueue& q)
{
    Taken t;
    std::uint8_t* data = nullptr;
    std::uint64_t qpc = 0;
    EXPECT_EQ(q.Get(&data, &t.frames, &t.flags, &t.position, &qpc), S_OK);
    if (data)
        t.bytes.assign(data, data + std::size_t{t.frames} * kFrameBytes);
    if (t.frames > 0) {
        EXPECT_EQ(q.Release(t.frames), S_OK);
    }
    return t;
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first = 1)
{
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

TEST(CapturePacketQueue, CutsAudioIntoPacketsOfAtMostTheBufferSize)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    const auto audio = Bytes(25 * kFrameBytes);
    EXPECT_EQ(q.Push(audio.data(), audio.size(), 7), 3u);

    std::vector<std::uint8_t> joined;
    const std::uint32_t sizes[] = {10, 10, 5};
    const std::uint64_t positions[] = {0, 10, 20};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(q.NextPacketFrames(), sizes[i]);
        const Taken t = Take(q);
        EXPECT_EQ(t.frames, sizes[i]);
        EXPECT_EQ(t.position, positions[i]);
        EXPECT_EQ(t.flags, 0u);
        joined.insert(joined.end(), t.bytes.begin(), t.bytes.end());
    }
    EXPECT_EQ(joined, audio);
    EXPECT_EQ(q.NextPacketFrames(), 0u);
    EXPECT_EQ(Take(q).frames, 0u);
}

TEST(CapturePacketQueue, AHoleBecomesSilentZeros)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    q.Push(nullptr, 6 * kFrameBytes, 0);
    const Taken t = Take(q);
    EXPECT_EQ(t.frames, 6u);
    EXPECT_EQ(t.flags, AUDCLNT_BUFFERFLAGS_SILENT);
    EXPECT_EQ(t.bytes, std::vector<std::uint8_t>(6 * kFrameBytes, 0));
}

TEST(CapturePacketQueue, AudioBeyondTheCapacityIsDroppedAndTheGapFlagged)
{
    CapturePacketQueue q(kFrameBytes, 10, 20);
    const auto audio = Bytes(30 * kFrameBytes);
    EXPECT_EQ(q.Push(audio.data(), audio.size(), 0), 2u);  // the third packet does not fit
    Take(q);
    Take(q);
    const auto more = Bytes(10 * kFrameBytes, 200);
    EXPECT_EQ(q.Push(more.data(), more.size(), 0), 1u);
    const Taken t = Take(q);
    EXPECT_EQ(t.flags, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
    EXPECT_EQ(t.position, 30u);  // frames 20..29 are missing
    EXPECT_EQ(t.bytes, more);

    q.Push(more.data(), more.size(), 0);
    EXPECT_EQ(Take(q).flags, 0u);  // the flag goes with one packet only
}

TEST(CapturePacketQueue, AHeldPacketCountsAgainstTheCapacityUntilReleased)
{
    CapturePacketQueue q(kFrameBytes, 10, 20);
    const auto audio = Bytes(20 * kFrameBytes);
    q.Push(audio.data(), audio.size(), 0);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(q.Push(audio.data(), 10 * kFrameBytes, 0), 0u);
    // The held packet's bytes stay where they are while audio comes in.
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 10 * kFrameBytes),
              std::vector<std::uint8_t>(audio.begin(), audio.begin() + 10 * kFrameBytes));
    ASSERT_EQ(q.Release(frames), S_OK);
    EXPECT_EQ(q.Push(audio.data(), 10 * kFrameBytes, 0), 1u);
}

TEST(CapturePacketQueue, AnOverflowFlagsTheNextPacket)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    const auto audio = Bytes(10 * kFrameBytes);
    q.Push(audio.data(), audio.size(), 0);
    q.MarkDiscontinuity();
    q.Push(nullptr, audio.size(), 0);
    EXPECT_EQ(Take(q).flags, 0u);
    EXPECT_EQ(Take(q).flags, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY | AUDCLNT_BUFFERFLAGS_SILENT);
}

TEST(CapturePacketQueue, APartialFrameIsDroppedAsADiscontinuity)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    const auto audio = Bytes(3 * kFrameBytes + 2);
    EXPECT_EQ(q.Push(audio.data(), audio.size(), 0), 1u);
    const Taken t = Take(q);
    EXPECT_EQ(t.frames, 3u);
    EXPECT_EQ(t.flags, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
}

TEST(CapturePacketQueue, ReleasingNothingHandsTheSamePacketOutAgain)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    q.Push(Bytes(15 * kFrameBytes).data(), 15 * kFrameBytes, 0);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 99;
    ASSERT_EQ(q.Get(&data, &frames, &flags, &position, nullptr), S_OK);
    ASSERT_EQ(q.Release(0), S_OK);
    ASSERT_EQ(q.Get(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(frames, 10u);
    EXPECT_EQ(position, 0u);
}

TEST(CapturePacketQueue, GetAndReleaseOutOfOrderAreRefused)
{
    CapturePacketQueue q(kFrameBytes, 10, 1000);
    EXPECT_EQ(q.Release(0), E_BUFFER_ERROR);
    q.Push(Bytes(20 * kFrameBytes).data(), 20 * kFrameBytes, 0);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), E_BUFFER_ERROR);
    EXPECT_EQ(q.Release(11), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(q.Release(4), E_INVALIDARG);
    EXPECT_EQ(q.Release(10), S_OK);
    EXPECT_EQ(q.Release(10), E_BUFFER_ERROR);
    EXPECT_EQ(q.NextPacketFrames(), 10u);
}

}  // namespace
}  // namespace VextuneCore::Platform::Detail
