// Feeding allocates nothing: every buffer a hop touches is allocated when the
// engine is made. A replaced global operator new counts allocations while a
// test asks it to.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "signature_engine.h"
#include "engine/test_signals.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

// The replacements pair malloc with free; GCC cannot see that they replace
// the global pair together and warns of a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#pragma GCC diagnostic pop

namespace vxt {
namespace {

TEST(Allocation, FeedingAllocatesNothing)
{
    for (std::int32_t rate : {8000, 11025, 16000, 32000, 44100, 48000}) {
        SCOPED_TRACE(rate);
        // Less than a period and the detector's delay (300 frames), so that
        // no new block of the selector is due; those are the one thing that
        // may grow, once per period.
        const auto pcm = test::music_like(rate, 2.3);
        const auto half = static_cast<std::int32_t>(pcm.size() / 2);
        SignatureEngine engine(2, rate, 0x800);
        engine.feed(pcm.data(), 1000);  // the first feed starts the clock fit
        allocations = 0;
        counting = true;
        engine.feed(pcm.data() + 1000, half - 1000);  // one long call
        for (std::int32_t done = half; done + 333 <= static_cast<std::int32_t>(pcm.size()); done += 333)
            engine.feed(pcm.data() + done, 333);  // many short ones
        counting = false;
        EXPECT_EQ(allocations.load(), 0);
    }
}

}  // namespace
}  // namespace vxt
