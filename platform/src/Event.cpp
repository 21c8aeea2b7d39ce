#include "vextune/platform/Event.h"

#include <utility>
#include <vector>

namespace VextuneCore::Platform {

Event::Event(Kind kind) : kind_(kind) {}

void Event::Set()
{
    std::vector<std::function<void()>> fire;
    {
        std::lock_guard hold(lock_);
        if (watches_.empty()) {
            set_ = true;
        } else if (kind_ == Kind::AutoReset) {
            // The signal goes to the oldest watch and is used up.
            fire.push_back(std::move(watches_.begin()->second));
            watches_.erase(watches_.begin());
        } else {
            set_ = true;
            for (auto& [id, f] : watches_)
                fire.push_back(std::move(f));
            watches_.clear();
        }
        // Under the lock: a waiter let through may destroy the event as soon
        // as the lock is free.
        changed_.notify_all();
    }
    for (auto& f : fire)
        f();
}

void Event::Reset()
{
    std::lock_guard hold(lock_);
    set_ = false;
}

bool Event::IsSet() const
{
    std::lock_guard hold(lock_);
    return set_;
}

void Event::Wait()
{
    std::unique_lock hold(lock_);
    changed_.wait(hold, [this] { return set_; });
    if (kind_ == Kind::AutoReset)
        set_ = false;
}

bool Event::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock hold(lock_);
    if (!changed_.wait_for(hold, timeout, [this] { return set_; }))
        return false;
    if (kind_ == Kind::AutoReset)
        set_ = false;
    return true;
}

std::uint64_t Event::Watch(std::function<void()> fire)
{
    std::unique_lock hold(lock_);
    const std::uint64_t id = next_watch_++;
    if (set_) {
        if (kind_ == Kind::AutoReset)
            set_ = false;
        hold.unlock();
        fire();
        return id;
    }
    watches_.emplace(id, std::move(fire));
    return id;
}

bool Event::Unwatch(std::uint64_t id)
{
    std::lock_guard hold(lock_);
    return watches_.erase(id) != 0;
}

}  // namespace VextuneCore::Platform
