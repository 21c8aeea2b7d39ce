// The class-wide state event: one raise per change, none for a repeated or
// silent change, handlers removed by token and from inside a handler.
#include <gtest/gtest.h>

#include <vector>

#include "vextune/capture/DeviceStateChangedEvent.h"

namespace VextuneCore::Capture::test {
namespace {

using State = DeviceState;

struct Recorder {
    std::vector<State> seen;
    EventRegistrationToken token = 0;

    explicit Recorder(const DeviceStateChangedEvent& only)
    {
        token = DeviceStateChangedEvent::AddStateChanged(
            [this, &only](const DeviceStateChangedEvent& sender, const DeviceStateChangedEventArgs& args) {
                if (&sender == &only)
                    seen.push_back(args.State());
            });
    }
    ~Recorder() { DeviceStateChangedEvent::RemoveStateChanged(token); }
};

TEST(StateEvent, RaisesOncePerChange)
{
    DeviceStateChangedEvent event;
    Recorder r(event);
    EXPECT_EQ(event.GetState(), State::Uninitialized);
    EXPECT_TRUE(event.SetState(State::Initialized, 0, true));
    EXPECT_FALSE(event.SetState(State::Initialized, 0, true));                          // the same state: nothing
    EXPECT_TRUE(event.SetState(State::Starting, 0, false));                             // silent
    EXPECT_FALSE(event.SetStateFrom({State::Initialized}, State::Capturing, 0, true));  // not from Starting
    EXPECT_TRUE(event.SetStateFrom({State::Initialized, State::Starting}, State::Capturing, 0, true));
    EXPECT_EQ(r.seen, (std::vector<State>{State::Initialized, State::Capturing}));
    EXPECT_EQ(event.GetState(), State::Capturing);
}

TEST(StateEvent, EveryHandlerHearsEveryInstance)
{
    DeviceStateChangedEvent a;
    DeviceStateChangedEvent b;
    std::vector<const DeviceStateChangedEvent*> senders;
    std::vector<Platform::HRESULT> results;
    const auto token = DeviceStateChangedEvent::AddStateChanged(
        [&](const DeviceStateChangedEvent& sender, const DeviceStateChangedEventArgs& args) {
            if (&sender == &a || &sender == &b) {
                senders.push_back(&sender);
                results.push_back(args.Result());
            }
        });
    a.SetState(State::InError, Platform::E_FAIL, true);
    b.SetState(State::Initialized, 0, true);
    DeviceStateChangedEvent::RemoveStateChanged(token);
    a.SetState(State::Stopped, 0, true);  // removed: not heard
    EXPECT_EQ(senders, (std::vector<const DeviceStateChangedEvent*>{&a, &b}));
    EXPECT_EQ(results, (std::vector<Platform::HRESULT>{Platform::E_FAIL, 0}));
}

// A handler may remove itself, and add others, while a change is raised.
TEST(StateEvent, HandlersChangeTheListFromInside)
{
    DeviceStateChangedEvent event;
    int once = 0;
    int added_calls = 0;
    EventRegistrationToken self = 0;
    EventRegistrationToken added = 0;
    self = DeviceStateChangedEvent::AddStateChanged([&](const DeviceStateChangedEvent& sender, const auto&) {
        if (&sender != &event)
            return;
        ++once;
        DeviceStateChangedEvent::RemoveStateChanged(self);
        added = DeviceStateChangedEvent::AddStateChanged([&](const DeviceStateChangedEvent& s, const auto&) {
            if (&s == &event)
                ++added_calls;
        });
    });
    event.SetState(State::Initialized, 0, true);
    event.SetState(State::Starting, 0, true);
    DeviceStateChangedEvent::RemoveStateChanged(added);
    event.SetState(State::Capturing, 0, true);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(added_calls, 1);  // added during the first raise, heard the second only
}

}  // namespace
}  // namespace VextuneCore::Capture::test
