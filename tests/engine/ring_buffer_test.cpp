#include <gtest/gtest.h>

#include "ring_buffer.h"

namespace vxt {
namespace {

// Commits n rows, each filled with its own write count.
void commit_rows(ring_buffer<float>& ring, int n)
{
    for (int i = 0; i < n; ++i) {
        float* row = ring.next_row();
        std::fill_n(row, ring.row_length(), static_cast<float>(ring.write_count()));
        ring.commit();
    }
}

std::ptrdiff_t row_index(const ring_buffer<float>& ring, const float* row, const float* base)
{
    return (row - base) / static_cast<std::ptrdiff_t>(ring.row_length());
}

TEST(RingBuffer, ReadsRowsByAgeAndWraps)
{
    ring_buffer<float> ring(513, 256);
    try {
        ring.read(0);
        FAIL() << "a fresh ring must refuse reads";
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(std::string(e.what()).ends_with("): Can't read if we haven't written."));
    }

    const float* base = ring.next_row();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % 16, 0u);
    commit_rows(ring, 1);
    EXPECT_EQ(row_index(ring, ring.read(0), base), 0);
    EXPECT_EQ(row_index(ring, ring.read(-1), base), 255);
    EXPECT_EQ(ring.read(-1)[0], 0.0f);

    commit_rows(ring, 299);
    EXPECT_EQ(row_index(ring, ring.read(0), base), 43);
    EXPECT_EQ(row_index(ring, ring.read(-45), base), 254);
    EXPECT_EQ(ring.read(0)[512], 299.0f);
    EXPECT_EQ(ring.read(-45)[0], 254.0f);
}

TEST(RingBuffer, RewindRestoresTheCountButNotTheRows)
{
    ring_buffer<float> ring(4, 256);
    commit_rows(ring, 100);
    const float* base = ring.read(-99);
    ring.checkpoint();
    commit_rows(ring, 61);
    ring.rewind();
    EXPECT_EQ(ring.write_count(), 100);
    EXPECT_EQ(row_index(ring, ring.next_row(), base), 100);
    EXPECT_EQ(ring.next_row()[0], 100.0f);  // written during the detour
    EXPECT_EQ(ring.read(0)[0], 99.0f);      // the newest row before it
}

TEST(RingBuffer, MisuseRaisesAndChangesNothing)
{
    ring_buffer<float> ring(4, 8);
    EXPECT_THROW(
        {
            try {
                ring.rewind();
            } catch (const VXT_Exception& e) {
                EXPECT_EQ(e.code(), -9999);
                EXPECT_TRUE(std::string(e.what()).ends_with(
                    "Can't rewind a ring_buffer that hasn't been checkpointed. Must call checkpoint() first."));
                throw;
            }
        },
        VXT_Exception);

    commit_rows(ring, 3);
    ring.checkpoint();
    commit_rows(ring, 2);
    try {
        ring.checkpoint();
        FAIL();
    } catch (const VXT_Exception& e) {
        EXPECT_EQ(e.code(), -9999);
        EXPECT_TRUE(std::string(e.what()).ends_with(
            "Can't checkpoint a ring_buffer that has already been checkpointed. Must call rewind() before."));
    }
    ring.rewind();  // the first checkpoint still holds
    EXPECT_EQ(ring.write_count(), 3);
    EXPECT_FALSE(ring.checkpointed());
}

TEST(RingBuffer, ClearZeroesRowsAndKeepsTheCount)
{
    ring_buffer<float> ring(513, 256);
    commit_rows(ring, 10);
    ring.clear();
    EXPECT_EQ(ring.write_count(), 10);
    for (int offset = 0; offset > -256; --offset) {
        const float* row = ring.read(offset);
        ASSERT_TRUE(std::all_of(row, row + 513, [](float v) { return v == 0.0f; }));
    }
}

TEST(RingBuffer, RowCountMustBeAPowerOfTwo)
{
    EXPECT_THROW(ring_buffer<float>(4, 6), VXT_Exception);
    EXPECT_THROW(ring_buffer<float>(4, 0), VXT_Exception);
    EXPECT_NO_THROW(ring_buffer<float>(4, 1));
}

}  // namespace
}  // namespace vxt
