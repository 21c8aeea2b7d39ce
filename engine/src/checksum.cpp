// The word-sum checksum of the compact signature form.
#include "checksum.h"

#include "byte_order.h"
#include "engine_error.h"

namespace vxt {

std::uint32_t checksum(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() % 4 != 0)
        raise(error_misuse, "Checksum Alignment Error");
    // Eight words per step in independent lanes, added up at the end; the
    // sum wraps modulo 2^32, so the lane order does not matter.
    const std::size_t words = bytes.size() / 4;
    const std::uint8_t* p = bytes.data();
    std::uint32_t lane[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= words; i += 8) {
        for (std::size_t l = 0; l < 8; ++l)
            lane[l] += load_le32(p + 4 * (i + l));
    }
    std::uint32_t sum = 0;
    for (std::uint32_t v : lane)
        sum += v;
    for (; i < words; ++i)
        sum += load_le32(p + 4 * i);
    return sum;
}

}  // namespace vxt
