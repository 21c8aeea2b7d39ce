#include "vextune/capture/DeviceStateChangedEvent.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace VextuneCore::Capture {
namespace {

struct registration {
    EventRegistrationToken token;
    DeviceStateChangedHandler handler;
};
using handler_list = std::vector<registration>;

// The class-wide handler list, copied on write: raising takes a snapshot
// under the lock and runs the handlers without it.
struct event_source {
    std::mutex lock;
    std::shared_ptr<const handler_list> handlers = std::make_shared<handler_list>();
    EventRegistrationToken next_token = 1;
};

event_source& source()
{
    static event_source s;
    return s;
}

}  // namespace

const char* DeviceStateName(DeviceState state) noexcept
{
    switch (state) {
    case DeviceState::Uninitialized: return "Uninitialized";
    case DeviceState::InError: return "InError";
    case DeviceState::Discontinuity: return "Discontinuity";
    case DeviceState::Stopping: return "Stopping";
    case DeviceState::Initialized: return "Initialized";
    case DeviceState::Starting: return "Starting";
    case DeviceState::Capturing: return "Capturing";
    case DeviceState::StopRequested: return "StopRequested";
    case DeviceState::Stopped: return "Stopped";
    }
    return "unknown";
}

EventRegistrationToken DeviceStateChangedEvent::AddStateChanged(DeviceStateChangedHandler handler)
{
    event_source& s = source();
    std::lock_guard hold(s.lock);
    auto list = std::make_shared<handler_list>(*s.handlers);
    const EventRegistrationToken token = s.next_token++;
    list->push_back({token, std::move(handler)});
    s.handlers = std::move(list);
    return token;
}

void DeviceStateChangedEvent::RemoveStateChanged(EventRegistrationToken token)
{
    event_source& s = source();
    std::lock_guard hold(s.lock);
    auto list = std::make_shared<handler_list>(*s.handlers);
    std::erase_if(*list, [token](const registration& r) { return r.token == token; });
    s.handlers = std::move(list);
}

bool DeviceStateChangedEvent::SetState(DeviceState state, Platform::HRESULT result, bool raise)
{
    if (state_.exchange(state) == state)
        return false;
    if (raise)
        Raise(state, result);
    return true;
}

bool DeviceStateChangedEvent::SetStateFrom(std::initializer_list<DeviceState> from, DeviceState state,
                                           Platform::HRESULT result, bool raise)
{
    DeviceState current = state_.load();
    for (;;) {
        bool allowed = false;
        for (DeviceState f : from)
            allowed = allowed || f == current;
        if (!allowed || current == state)
            return false;
        if (state_.compare_exchange_weak(current, state))
            break;
    }
    if (raise)
        Raise(state, result);
    return true;
}

void DeviceStateChangedEvent::Raise(DeviceState state, Platform::HRESULT result) const
{
    event_source& s = source();
    std::shared_ptr<const handler_list> handlers;
    {
        std::lock_guard hold(s.lock);
        handlers = s.handlers;
    }
    const DeviceStateChangedEventArgs args(state, result);
    for (const registration& r : *handlers)
        r.handler(*this, args);
}

}  // namespace VextuneCore::Capture
