#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "vextune/platform/DeviceCore.h"

namespace VextuneCore::Platform {
namespace {

constexpr std::uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr std::uint32_t kGap = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;

struct Taken {
    std::vector<std::uint8_t> bytes;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 0;
};

// Takes and releases the next packet.
Taken Take(PacketQueue& q)
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

// A packet of frames whose bytes are all fill.
void PushFilled(PacketQueue& q, std::uint32_t frames, std::uint8_t fill)
{
    q.Push(std::vector<std::uint8_t>(std::size_t{frames} * kFrameBytes, fill), frames, 0, 0);
}

TEST(PacketQueue, PacketsAreCutOrPaddedToTheirFrames)
{
    PacketQueue q(kFrameBytes, 0);
    q.Push(Bytes(3), 2, AUDCLNT_BUFFERFLAGS_SILENT, 5);  // short: zero-padded
    q.Push(Bytes(40), 1, 0, 6);                          // long: cut
    q.Push({}, 0, 0, 7);                                 // nothing: not queued
    const Taken a = Take(q);
    EXPECT_EQ(a.bytes, (std::vector<std::uint8_t>{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(a.flags, AUDCLNT_BUFFERFLAGS_SILENT);
    const Taken b = Take(q);
    EXPECT_EQ(b.bytes, Bytes(4));
    EXPECT_EQ(b.position, 2u);
    EXPECT_TRUE(q.Idle());
}

TEST(PacketQueue, AppendCutsAudioIntoPacketsOfAtMostTheBufferSize)
{
    PacketQueue q(kFrameBytes, 1000);
    const auto audio = Bytes(25 * kFrameBytes);
    EXPECT_EQ(q.Append(audio.data(), audio.size(), 10, 7), 3u);

    std::vector<std::uint8_t> joined;
    const std::uint32_t sizes[] = {10, 10, 5};
    const std::uint64_t positions[] = {0, 10, 20};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(q.NextSize(), sizes[i]);
        const Taken t = Take(q);
        EXPECT_EQ(t.frames, sizes[i]);
        EXPECT_EQ(t.position, positions[i]);
        EXPECT_EQ(t.flags, 0u);
        joined.insert(joined.end(), t.bytes.begin(), t.bytes.end());
    }
    EXPECT_EQ(joined, audio);
    EXPECT_EQ(q.NextSize(), 0u);
    EXPECT_EQ(Take(q).frames, 0u);
}

TEST(PacketQueue, AppendMarksHolesPartialFramesAndServerOverflows)
{
    struct Case {
        const char* name;
        bool hole;  // data null
        std::size_t bytes;
        bool overflow_first;  // MarkDiscontinuity before
        std::uint32_t frames;
        std::uint32_t flags;       // of the first packet
        std::uint32_t next_flags;  // of a whole packet appended after
    };
    const Case cases[] = {
        {"hole", true, 6 * kFrameBytes, false, 6, AUDCLNT_BUFFERFLAGS_SILENT, 0},
        {"partial frame", false, 3 * kFrameBytes + 2, false, 3, 0, kGap},
        {"overflow", false, 3 * kFrameBytes, true, 3, kGap, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketQueue q(kFrameBytes, 1000);
        if (c.overflow_first)
            q.MarkDiscontinuity();
        const auto audio = Bytes(c.bytes);
        EXPECT_EQ(q.Append(c.hole ? nullptr : audio.data(), c.bytes, 10, 0), 1u);
        const Taken t = Take(q);
        EXPECT_EQ(t.frames, c.frames);
        EXPECT_EQ(t.flags, c.flags);
        if (c.hole) {
            EXPECT_EQ(t.bytes, std::vector<std::uint8_t>(c.bytes, 0));
        }
        q.Append(audio.data(), 2 * kFrameBytes, 10, 0);
        EXPECT_EQ(Take(q).flags, c.next_flags) << "the flag goes with one packet only";
    }
}

// The overflow policy: the oldest packets not taken go, the packet after the
// gap is flagged, and positions still count the dropped frames.
TEST(PacketQueue, AFullQueueDropsTheOldestUntakenAndFlagsTheGap)
{
    struct Case {
        const char* name;
        bool take_first;
        std::uint32_t new_frames;
        std::vector<std::uint8_t> remaining;  // fills of what is left after the taken one
        std::vector<std::uint32_t> flags;
        std::vector<std::uint64_t> positions;
        std::uint64_t dropped;
    };
    const Case cases[] = {
        // 1, 2, 3 fill 30 frames; 4 pushes 1 out and 2 is after the gap.
        {"nothing taken", false, 10, {2, 3, 4}, {kGap, 0, 0}, {10, 20, 30}, 1},
        // 1 is taken and stays valid: 2 goes, 3 is after the gap.
        {"first taken", true, 10, {3, 4}, {kGap, 0}, {20, 30}, 1},
        // A packet as large as the bound empties the queue: it carries the flag.
        {"large packet", false, 30, {4}, {kGap}, {30}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketQueue q(kFrameBytes, 30);
        for (std::uint8_t fill = 1; fill <= 3; ++fill)
            PushFilled(q, 10, fill);
        std::uint8_t* held = nullptr;
        std::uint32_t frames = 0, flags = 0;
        if (c.take_first) {
            ASSERT_EQ(q.Get(&held, &frames, &flags, nullptr, nullptr), S_OK);
        }
        EXPECT_EQ(q.Push(std::vector<std::uint8_t>(std::size_t{c.new_frames} * kFrameBytes, 4), c.new_frames, 0, 0),
                  c.dropped);
        EXPECT_EQ(q.Dropped(), c.dropped);
        if (c.take_first) {
            EXPECT_EQ(held[0], 1);  // still the taken packet's bytes
            ASSERT_EQ(q.Release(frames), S_OK);
        }
        for (std::size_t i = 0; i < c.remaining.size(); ++i) {
            const Taken t = Take(q);
            ASSERT_FALSE(t.bytes.empty());
            EXPECT_EQ(t.bytes[0], c.remaining[i]);
            EXPECT_EQ(t.flags, c.flags[i]);
            EXPECT_EQ(t.position, c.positions[i]);
        }
        EXPECT_TRUE(q.Idle());
        EXPECT_EQ(q.Position(), 30u + c.new_frames);
    }
}

TEST(PacketQueue, ReleasingNothingHandsTheSamePacketOutAgain)
{
    PacketQueue q(kFrameBytes, 1000);
    q.Append(Bytes(15 * kFrameBytes).data(), 15 * kFrameBytes, 10, 0);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 0;
    std::uint64_t position = 99;
    ASSERT_EQ(q.Get(&data, &frames, &flags, &position, nullptr), S_OK);
    ASSERT_EQ(q.Release(0), S_OK);
    ASSERT_EQ(q.Get(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(frames, 10u);
    EXPECT_EQ(position, 0u);
}

TEST(PacketQueue, GetAndReleaseOutOfOrderGiveTheCoresCodes)
{
    PacketQueue q(kFrameBytes, 1000);
    std::uint8_t* data = reinterpret_cast<std::uint8_t*>(&q);
    std::uint32_t frames = 99, flags = 99;
    // Nothing queued: an empty answer that takes nothing.
    EXPECT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(q.Release(0), S_OK);
    EXPECT_EQ(q.Release(1), E_BUFFER_ERROR);
    EXPECT_EQ(q.Get(nullptr, &frames, &flags, nullptr, nullptr), E_INVALIDARG);

    q.Append(Bytes(20 * kFrameBytes).data(), 20 * kFrameBytes, 10, 0);
    ASSERT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(q.Get(&data, &frames, &flags, nullptr, nullptr), E_BUFFER_ERROR);
    EXPECT_EQ(q.Release(11), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(q.Release(4), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(q.Release(10), S_OK);
    EXPECT_EQ(q.Release(10), E_BUFFER_ERROR);
    EXPECT_EQ(q.NextSize(), 10u);
}

}  // namespace
}  // namespace VextuneCore::Platform
