#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "vextune/platform/WorkQueues.h"

namespace VextuneCore::Platform {
namespace {

// How long a test waits for something that happens at once when the code
// works; only a hang runs into it.
constexpr auto patience = std::chrono::seconds(30);

void Noop() {}

TEST(WorkQueueStartCount, CountsNestedAndUnbalancedCalls)
{
    enum Op { Start, Stop, Put, PutWaiting, Lock };
    struct Step {
        Op op;
        HRESULT result;
        int count;
    };
    const Step steps[] = {
        {Put, E_NOT_STARTED, 0},  {PutWaiting, E_NOT_STARTED, 0},
        {Lock, E_NOT_STARTED, 0}, {Stop, E_NOT_STARTED, 0},
        {Start, S_OK, 1},         {Start, S_OK, 2},
        {Stop, S_OK, 1},          {Put, S_OK, 1},
        {Lock, S_OK, 1},          {Stop, S_OK, 0},
        {Put, E_NOT_STARTED, 0},  {PutWaiting, E_NOT_STARTED, 0},
        {Stop, E_NOT_STARTED, 0}, {Start, S_OK, 1},
        {Stop, S_OK, 0},
    };
    Event event(Event::Kind::ManualReset);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        std::uint64_t key = 0;
        QueueId queue = 0;
        HRESULT hr = E_FAIL;
        switch (steps[i].op) {
        case Start: hr = Startup(); break;
        case Stop: hr = Shutdown(); break;
        case Put: hr = PutWorkItem(MultithreadedQueue, Noop); break;
        case PutWaiting: hr = PutWaitingWorkItem(event, MultithreadedQueue, Noop, &key); break;
        case Lock: hr = LockSharedWorkQueue("Capture", &queue); break;
        }
        EXPECT_EQ(hr, steps[i].result) << ResultName(hr);
        EXPECT_EQ(StartCount(), steps[i].count);
    }
}

class WorkQueues : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(Startup(), S_OK);
        ASSERT_EQ(LockSharedWorkQueue("Capture", &serial), S_OK);
    }
    void TearDown() override
    {
        while (StartCount() > 0)
            Shutdown();
    }
    // Returns once everything put on queue before it has run.
    static void Drain(QueueId queue)
    {
        Event done(Event::Kind::ManualReset);
        ASSERT_EQ(PutWorkItem(queue, [&] { done.Set(); }), S_OK);
        ASSERT_TRUE(done.WaitFor(patience));
    }
    // Puts an item on the serial queue that holds it until released.
    void Block()
    {
        ASSERT_EQ(PutWorkItem(serial, [this] { blocking.Set(), release.WaitFor(patience); }), S_OK);
        ASSERT_TRUE(blocking.WaitFor(patience));
    }

    QueueId serial = 0;
    Event blocking{Event::Kind::ManualReset};
    Event release{Event::Kind::ManualReset};
};

TEST_F(WorkQueues, RejectsQueuesThatDoNotExist)
{
    QueueId unlocked = 0;
    ASSERT_EQ(LockSharedWorkQueue("Other", &unlocked), S_OK);
    ASSERT_EQ(UnlockWorkQueue(unlocked), S_OK);
    ASSERT_EQ(Shutdown(), S_OK);
    ASSERT_EQ(Startup(), S_OK);  // the queues of the earlier start are gone
    Event event(Event::Kind::ManualReset);
    for (const QueueId gone : {QueueId{999}, unlocked, serial}) {
        std::uint64_t key = 0;
        EXPECT_EQ(PutWorkItem(gone, Noop), E_INVALIDARG);
        EXPECT_EQ(PutWaitingWorkItem(event, gone, Noop, &key), E_INVALIDARG);
        EXPECT_EQ(UnlockWorkQueue(gone), E_INVALIDARG);
    }
    EXPECT_EQ(UnlockWorkQueue(MultithreadedQueue), E_INVALIDARG);
    QueueId fresh = 0;
    ASSERT_EQ(LockSharedWorkQueue("Capture", &fresh), S_OK);
    EXPECT_TRUE(fresh != unlocked && fresh != serial && fresh != MultithreadedQueue);
}

TEST_F(WorkQueues, SerialQueueRunsItemsOneAtATimeInOrder)
{
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> order;  // unguarded: only the queue's serial order protects it
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(PutWorkItem(serial,
                              [&, i] {
                                  overlapped = overlapped || running.fetch_add(1) != 0;
                                  order.push_back(i);
                                  running.fetch_sub(1);
                              }),
                  S_OK);
    }
    Drain(serial);
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
}

TEST_F(WorkQueues, MultithreadedQueueRunsItemsAtTheSameTime)
{
    // Each item waits for the other to have started: both finish only when
    // they run at once.
    Event started[2] = {Event(Event::Kind::ManualReset), Event(Event::Kind::ManualReset)};
    Event finished(Event::Kind::ManualReset);
    std::atomic<int> met{0};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(PutWorkItem(MultithreadedQueue,
                              [&, i] {
                                  started[i].Set();
                                  if (started[1 - i].WaitFor(patience) && ++met == 2)
                                      finished.Set();
                              }),
                  S_OK);
    }
    EXPECT_TRUE(finished.WaitFor(patience));
    EXPECT_EQ(met, 2);
}

TEST_F(WorkQueues, WaitingItemRunsOncePerSet)
{
    Event event(Event::Kind::AutoReset);
    std::atomic<int> runs{0};
    std::uint64_t key = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ++runs; }, &key),
              S_OK);
    Drain(serial);
    EXPECT_EQ(runs, 0);
    event.Set();
    event.Set();  // nothing waits any more: the event keeps this one
    Drain(serial);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(event.IsSet());
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ++runs; }, &key),
              S_OK);
    Drain(serial);
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(event.IsSet());
}

// The capture's sample-ready item puts itself back from inside.
TEST_F(WorkQueues, ItemPutsItselfBackWithAFreshKey)
{
    Event packet(Event::Kind::AutoReset);
    Event ran(Event::Kind::AutoReset);
    std::set<std::uint64_t> keys;  // touched by the serial queue only, then read after Drain
    int runs = 0;
    std::function<void()> sample_ready = [&] {
        if (++runs < 3) {
            std::uint64_t key = 0;
            EXPECT_EQ(PutWaitingWorkItem(packet, serial, sample_ready, &key), S_OK);
            keys.insert(key);
        }
        ran.Set();
    };
    std::uint64_t first = 0;
    ASSERT_EQ(PutWaitingWorkItem(packet, serial, sample_ready, &first), S_OK);
    for (int i = 0; i < 3; ++i) {
        packet.Set();
        ASSERT_TRUE(ran.WaitFor(patience));
    }
    packet.Set();
    Drain(serial);
    EXPECT_EQ(runs, 3);
    keys.insert(first);
    EXPECT_EQ(keys.size(), 3u);
}

TEST_F(WorkQueues, CancelBeforeTheEventFiresKeepsTheSignal)
{
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ran{false};
    std::uint64_t key = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ran = true; }, &key),
              S_OK);
    EXPECT_EQ(CancelWorkItem(key), S_OK);
    event.Set();
    Drain(serial);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(event.IsSet());
}

TEST_F(WorkQueues, CancelAfterFiringSkipsAnItemThatHasNotStarted)
{
    Block();
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> ran{false};
    std::uint64_t key = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ran = true; }, &key),
              S_OK);
    event.Set();  // the item is now queued behind the blocking one
    EXPECT_EQ(CancelWorkItem(key), S_OK);
    release.Set();
    Drain(serial);
    EXPECT_FALSE(ran);
}

TEST_F(WorkQueues, CancelLeavesARunningItemAlone)
{
    Event event(Event::Kind::AutoReset);
    std::atomic<bool> finished{false};
    std::uint64_t key = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { blocking.Set(), release.WaitFor(patience), finished = true; }, &key),
              S_OK);
    event.Set();
    ASSERT_TRUE(blocking.WaitFor(patience));
    EXPECT_EQ(CancelWorkItem(key), S_OK);
    release.Set();
    Drain(serial);
    EXPECT_TRUE(finished);
}

TEST_F(WorkQueues, StaleAndUnknownKeysCancelNothing)
{
    Event event(Event::Kind::AutoReset);
    std::atomic<int> runs{0};
    std::uint64_t done = 0;
    std::uint64_t waiting = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ++runs; }, &done),
              S_OK);
    event.Set();
    Drain(serial);
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ++runs; }, &waiting),
              S_OK);
    EXPECT_NE(waiting, done);
    for (const std::uint64_t key : {done, std::uint64_t{0}, waiting + 1000})
        EXPECT_EQ(CancelWorkItem(key), S_OK);
    event.Set();
    Drain(serial);
    EXPECT_EQ(runs, 2);
}

TEST_F(WorkQueues, ThrowingItemIsReportedAndTheQueueCarriesOn)
{
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(PutWorkItem(serial, [] { throw std::runtime_error("no packet"); }), S_OK);
    Drain(serial);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("\"Capture\""), std::string::npos) << report;
    EXPECT_NE(report.find("no packet"), std::string::npos) << report;
}

TEST_F(WorkQueues, LastShutdownFromAnItemIsRefused)
{
    std::atomic<HRESULT> hr{S_OK};
    ASSERT_EQ(PutWorkItem(serial, [&] { hr = Shutdown(); }), S_OK);
    Drain(serial);
    EXPECT_EQ(hr, E_INVALID_STATE);
    EXPECT_EQ(StartCount(), 1);
}

TEST_F(WorkQueues, ShutdownDropsQueuedItemsAndWaitsForRunningOnes)
{
    // Everything is queued behind a blocking item, so that the queue takes up
    // the running item and the ones after it together.
    Block();
    Event running(Event::Kind::ManualReset);
    std::atomic<bool> running_finished{false};
    std::atomic<int> queued_runs{0};
    ASSERT_EQ(PutWorkItem(serial,
                          [&] {
                              running.Set();
                              while (StartCount() != 0)  // until the last Shutdown has begun
                                  std::this_thread::yield();
                              running_finished = true;
                          }),
              S_OK);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(PutWorkItem(serial, [&] { ++queued_runs; }), S_OK);
    Event event(Event::Kind::AutoReset);
    std::uint64_t key = 0;
    ASSERT_EQ(PutWaitingWorkItem(
                  event, serial, [&] { ++queued_runs; }, &key),
              S_OK);
    release.Set();
    ASSERT_TRUE(running.WaitFor(patience));

    HRESULT hr = E_FAIL;
    bool finished_at_return = false;
    std::thread stopper([&] { hr = Shutdown(), finished_at_return = running_finished; });
    stopper.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(finished_at_return);
    EXPECT_EQ(queued_runs, 0);
    event.Set();  // the waiting item was dropped with its watch
    EXPECT_TRUE(event.IsSet());
}

}  // namespace
}  // namespace VextuneCore::Platform
