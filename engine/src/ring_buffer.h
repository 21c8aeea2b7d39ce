// ring_buffer: a fixed ring of equal-length rows with one level of
// checkpoint and rewind.
//
// Input: rows written in place through next_row() and published by commit().
// Output: rows read back by age, read(0) the newest, read(-k) k commits older.
// Latency: none. Ownership: owns one zero-filled, 16-byte aligned block of
// row_count x row_length elements; rows never move and are never copied.
//
// checkpoint() and rewind() save and restore only the write count: rows
// written while checkpointed overwrite the oldest rows and keep their new
// contents after the rewind, so a caller that needs its old rows back must
// write fewer rows than it has history to spare.
//
// The write count is 64-bit so that a long-running engine never reaches a
// negative count (a 32-bit one would after 2^31 rows, about 198 days of
// audio at 125 rows per second).
#pragma once

#include <cstdint>

#include "aligned_buffer.h"
#include "checkpoint.h"
#include "engine_error.h"

namespace vxt {

template <typename T>
class ring_buffer {
public:
    ring_buffer(std::uint32_t row_length, std::uint32_t row_count)
        : row_length_(row_length), row_mask_(row_count - 1), rows_(std::size_t{row_length} * row_count)
    {
        if (row_count == 0 || (row_count & row_mask_) != 0)
            raise(error_invalid_configuration, "ring_buffer row count must be a power of two");
    }

    // The row that the next commit publishes. Checks and changes nothing.
    T* next_row() noexcept { return rows_.data() + offset_of(write_count_); }

    void commit() noexcept { ++write_count_; }

    // Offset 0 is the newest committed row, -k the row committed k commits
    // earlier. Offsets are not range-checked: -row_count or less, or a
    // positive offset, wraps around the ring.
    const T* read(std::int32_t offset) const
    {
        if (write_count_ <= 0)
            raise(error_misuse, "Can't read if we haven't written.");
        return rows_.data() + offset_of(write_count_ + offset - 1);
    }

    void checkpoint()
    {
        checkpoint_.save(write_count_, "Can't checkpoint a ring_buffer that has already been checkpointed. "
                                       "Must call rewind() before.");
    }

    void rewind()
    {
        write_count_ = checkpoint_.take("Can't rewind a ring_buffer that hasn't been checkpointed. "
                                        "Must call checkpoint() first.");
    }

    // Zero every row; the write count and the checkpoint stay as they are.
    void clear() noexcept { rows_.zero(); }

    std::int64_t write_count() const noexcept { return write_count_; }
    bool checkpointed() const noexcept { return checkpoint_.held(); }
    std::uint32_t row_length() const noexcept { return row_length_; }
    std::uint32_t row_count() const noexcept { return row_mask_ + 1; }

private:
    // Element offset of the row for a given write count.
    std::size_t offset_of(std::int64_t count) const noexcept
    {
        return (static_cast<std::uint64_t>(count) & row_mask_) * row_length_;
    }

    std::uint32_t row_length_;
    std::uint32_t row_mask_;
    aligned_buffer<T> rows_;
    std::int64_t write_count_ = 0;
    checkpoint_slot<std::int64_t> checkpoint_;
};

}  // namespace vxt
