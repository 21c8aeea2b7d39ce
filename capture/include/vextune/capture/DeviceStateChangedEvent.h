// Device states and the class-wide event that reports every change of a
// capture's state.
//
// Each capture owns one DeviceStateChangedEvent holding its current state.
// Handlers are registered on the class, not on an instance: a handler hears
// the changes of every capture in the process and tells them apart by the
// sender. Handlers run synchronously on the thread that made the change
// (the application's, an activation thread or a work-queue thread), never
// under a lock of the capture or of the event, so a handler may add or
// remove handlers (itself included) and call back into the capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>

#include "vextune/platform/Result.h"

namespace VextuneCore::Capture {

enum class DeviceState : std::int32_t {
    Uninitialized = 0,
    InError = 1,        // a capture operation failed; the code travels with the change
    Discontinuity = 2,  // the device reported a gap; followed by a silent return to Capturing
    Stopping = 3,
    Initialized = 5,
    Starting = 6,
    Capturing = 8,
    StopRequested = 11,
    Stopped = 12,
};

const char* DeviceStateName(DeviceState state) noexcept;

class DeviceStateChangedEventArgs {
public:
    DeviceStateChangedEventArgs(DeviceState state, Platform::HRESULT result) : state_(state), result_(result) {}
    DeviceState State() const noexcept { return state_; }
    // The failing code for InError, 0 otherwise.
    Platform::HRESULT Result() const noexcept { return result_; }

private:
    DeviceState state_;
    Platform::HRESULT result_;
};

class DeviceStateChangedEvent;

using DeviceStateChangedHandler =
    std::function<void(const DeviceStateChangedEvent& sender, const DeviceStateChangedEventArgs& args)>;

// A registration; 0 is never a token.
using EventRegistrationToken = std::uint64_t;

class DeviceStateChangedEvent {
public:
    DeviceStateChangedEvent() = default;
    DeviceStateChangedEvent(const DeviceStateChangedEvent&) = delete;
    DeviceStateChangedEvent& operator=(const DeviceStateChangedEvent&) = delete;

    DeviceState GetState() const noexcept { return state_.load(); }

    // The class-wide event. Safe from any thread, and from inside a handler;
    // a handler removed while a change is being raised may still receive
    // that one change.
    static EventRegistrationToken AddStateChanged(DeviceStateChangedHandler handler);
    static void RemoveStateChanged(EventRegistrationToken token);

    // Stores state unless it is the current one; then, when raise is set,
    // invokes every handler with (this, {state, result}). Returns whether
    // the state changed.
    bool SetState(DeviceState state, Platform::HRESULT result, bool raise);

    // The same, but only from one of the given states, atomically: a change
    // that another thread made first is never overwritten.
    bool SetStateFrom(std::initializer_list<DeviceState> from, DeviceState state, Platform::HRESULT result, bool raise);

    // Invokes the handlers for a change made earlier without raising.
    void Raise(DeviceState state, Platform::HRESULT result) const;

private:
    std::atomic<DeviceState> state_{DeviceState::Uninitialized};
};

}  // namespace VextuneCore::Capture
