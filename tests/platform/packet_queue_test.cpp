#include <gtest/gtest.h>

#include "PacketQueue.h"
#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform::Detail {
namespace {

QueuedPacket packet(std::uint32_t frames, std::uint8_t fill, std::uint32_t flags = 0)
{
    QueuedPacket p;
    p.frames = frames;
    p.flags = flags;
    p.bytes.assign(frames * 4u, fill);
    p.device_position = fill;
    return p;
}

TEST(PacketQueue, GetAndReleaseFollowTheDeviceRules)
{
    PacketQueue queue;
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 99, flags = 99;

    // Nothing queued: an empty answer that takes nothing.
    EXPECT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(queue.Release(0), S_OK);
    EXPECT_EQ(queue.Release(1), E_BUFFER_ERROR);

    queue.Push(packet(3, 7, AUDCLNT_BUFFERFLAGS_SILENT));
    queue.Push(packet(5, 8));
    EXPECT_EQ(queue.NextSize(), 3u);
    std::uint64_t position = 0;
    ASSERT_EQ(queue.Get(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(flags, AUDCLNT_BUFFERFLAGS_SILENT);
    EXPECT_EQ(position, 7u);
    EXPECT_EQ(data[11], 7);
    EXPECT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), E_BUFFER_ERROR);
    EXPECT_EQ(queue.Release(2), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(queue.Release(4), E_BUFFER_SIZE_ERROR);

    // Releasing 0 frames puts the packet back for the next Get.
    EXPECT_EQ(queue.Release(0), S_OK);
    ASSERT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(queue.Release(3), S_OK);
    ASSERT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, 5u);
    EXPECT_EQ(data[0], 8);
    EXPECT_FALSE(queue.Idle());
    EXPECT_EQ(queue.Release(5), S_OK);
    EXPECT_TRUE(queue.Idle());
}

TEST(PacketQueue, FullQueueDropsTheOldestUntakenAndMarksTheGap)
{
    struct Case {
        const char* name;
        bool take_first;
        std::vector<std::uint8_t> remaining;          // fills of what is left, taken one first
        std::vector<std::uint32_t> remaining_flags;
    };
    const Case cases[] = {
        // 1..4 pushed into 3 places: 1 goes, 2 is after the gap.
        {"nothing taken", false, {2, 3, 4}, {AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0, 0}},
        // 1 is taken and stays valid: 2 goes, 3 is after the gap.
        {"first taken", true, {1, 3, 4}, {0, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketQueue queue(3);
        std::uint8_t* held = nullptr;
        std::uint32_t frames = 0, flags = 0;
        for (std::uint8_t fill = 1; fill <= 3; ++fill)
            EXPECT_FALSE(queue.Push(packet(2, fill)));
        if (c.take_first) {
            ASSERT_EQ(queue.Get(&held, &frames, &flags, nullptr, nullptr), S_OK);
        }
        EXPECT_TRUE(queue.Push(packet(2, 4)));
        EXPECT_EQ(queue.Dropped(), 1u);
        if (c.take_first) {
            EXPECT_EQ(held[0], 1);  // still the taken packet's bytes
            ASSERT_EQ(queue.Release(2), S_OK);
        }
        for (std::size_t i = c.take_first ? 1 : 0; i < c.remaining.size(); ++i) {
            std::uint8_t* data = nullptr;
            ASSERT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
            EXPECT_EQ(data[0], c.remaining[i]);
            EXPECT_EQ(flags, c.remaining_flags[i]);
            ASSERT_EQ(queue.Release(frames), S_OK);
        }
        EXPECT_TRUE(queue.Idle());
    }
}

TEST(PacketQueue, SmallestBoundStillKeepsTheTakenPacket)
{
    PacketQueue queue(1);  // raised to two
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 0;
    queue.Push(packet(1, 1));
    ASSERT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    queue.Push(packet(1, 2));
    queue.Push(packet(1, 3));  // drops 2; 3 follows the gap
    EXPECT_EQ(data[0], 1);
    ASSERT_EQ(queue.Release(1), S_OK);
    ASSERT_EQ(queue.Get(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(flags, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
}

}  // namespace
}  // namespace VextuneCore::Platform::Detail
