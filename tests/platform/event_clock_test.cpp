#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "vextune/platform/Clock.h"
#include "vextune/platform/Event.h"

namespace VextuneCore::Platform {
namespace {

using namespace std::chrono_literals;
using Kind = Event::Kind;

TEST(Event, AutoResetLetsOneWatchOrWaiterThroughPerSet)
{
    Event event(Kind::AutoReset);
    std::vector<int> fired;
    event.Watch([&] { fired.push_back(1); });
    event.Watch([&] { fired.push_back(2); });
    event.Set();
    EXPECT_EQ(fired, std::vector<int>{1});  // the oldest watch takes the signal
    EXPECT_FALSE(event.IsSet());
    event.Set();
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    event.Set();  // no watch left: the event stays set for one waiter
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.WaitFor(0ms));
}

TEST(Event, ManualResetLetsEveryoneThroughUntilReset)
{
    Event event(Kind::ManualReset);
    int fired = 0;
    event.Watch([&] { ++fired; });
    event.Watch([&] { ++fired; });
    event.Set();
    EXPECT_EQ(fired, 2);
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_TRUE(event.WaitFor(0ms));
    event.Reset();
    EXPECT_FALSE(event.WaitFor(0ms));
}

TEST(Event, WatchOnASetEventFiresAtOnce)
{
    for (const Kind kind : {Kind::AutoReset, Kind::ManualReset}) {
        Event event(kind);
        event.Set();
        bool fired = false;
        const std::uint64_t id = event.Watch([&] { fired = true; });
        EXPECT_TRUE(fired);
        EXPECT_EQ(event.IsSet(), kind == Kind::ManualReset);
        EXPECT_FALSE(event.Unwatch(id));  // already fired
    }
}

TEST(Event, UnwatchedWatchNeverFires)
{
    Event event(Kind::AutoReset);
    bool fired = false;
    const std::uint64_t id = event.Watch([&] { fired = true; });
    EXPECT_TRUE(event.Unwatch(id));
    event.Set();
    EXPECT_FALSE(fired);
    EXPECT_TRUE(event.IsSet());  // the signal was not used up
}

// Whichever of Wait and Set comes first, the waiter gets through.
TEST(EventThreads, SetReleasesBlockedWaiters)
{
    for (const Kind kind : {Kind::AutoReset, Kind::ManualReset}) {
        Event event(kind);
        const int waiters = kind == Kind::AutoReset ? 1 : 3;
        std::vector<std::thread> threads;
        for (int i = 0; i < waiters; ++i)
            threads.emplace_back([&] { event.Wait(); });
        event.Set();
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(event.IsSet(), kind == Kind::ManualReset);
    }
}

TEST(SimulatedClock, AdvancesBothClocksTogether)
{
    SimulatedClock clock(1000, 1.7e15);
    EXPECT_EQ(clock.TickMs(), 1000u);
    EXPECT_EQ(clock.WallClockUs(), 1.7e15);
    clock.Advance(250);
    clock.Advance(5);
    EXPECT_EQ(clock.TickMs(), 1255u);
    EXPECT_EQ(clock.WallClockUs(), 1.7e15 + 255'000.0);
}

}  // namespace
}  // namespace VextuneCore::Platform
