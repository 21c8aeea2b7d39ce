// Events: a signal that threads wait for, and that the work queues can wait
// for on a caller's behalf (WorkQueues::PutWaitingWorkItem).
//
// An auto-reset event lets exactly one waiter through per Set (a waiting
// work item first, else a blocked thread) and is then clear again; a
// manual-reset event stays set until Reset and lets every waiter through.
// All members are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace VextuneCore::Platform {

class Event {
public:
    enum class Kind { AutoReset, ManualReset };

    explicit Event(Kind kind);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Blocks until the event is set (an auto-reset event is then cleared).
    void Wait();
    // Returns false when the time passed first.
    bool WaitFor(std::chrono::milliseconds timeout);

    // For the work queues: fire is called, outside any lock of the event,
    // once the event is set; an auto-reset event's signal goes to the
    // oldest watch first. A watch on a set event fires at once. Returns an
    // id for Unwatch, which returns false when the watch already fired.
    std::uint64_t Watch(std::function<void()> fire);
    bool Unwatch(std::uint64_t id);

private:
    Kind kind_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool set_ = false;
    std::uint64_t next_watch_ = 1;
    std::map<std::uint64_t, std::function<void()>> watches_;  // by id: oldest first
};

}  // namespace VextuneCore::Platform
