// Waiting, in a command, for a capture to reach a state.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "cli_error.h"
#include "vextune/capture/DeviceStateChangedEvent.h"
#include "vextune/capture/WASAPICapture.h"

namespace vxt::cli {

// The state changes of one capture, waited for by the command.
class state_watch {
public:
    using Event = VextuneCore::Capture::DeviceStateChangedEvent;
    using State = VextuneCore::Capture::DeviceState;
    using Result = VextuneCore::Platform::HRESULT;

    explicit state_watch(const Event& event) : event_(event)
    {
        token_ = Event::AddStateChanged(
            [this](const Event& from, const VextuneCore::Capture::DeviceStateChangedEventArgs& args) {
                if (&from != &event_)
                    return;
                std::lock_guard hold(lock_);
                seen_.push_back(args.State());
                if (args.State() == State::InError)
                    error_ = args.Result();
                changed_.notify_all();
            });
    }
    ~state_watch() { Event::RemoveStateChanged(token_); }
    state_watch(const state_watch&) = delete;
    state_watch& operator=(const state_watch&) = delete;

    // Waits for state, also when it was reached before the watch began;
    // throws when the capture fails instead, or has not got there after
    // thirty seconds (a device that never answers).
    void wait_for(State state, const std::string& doing)
    {
        std::unique_lock hold(lock_);
        const auto failed = [&] { return error_ != 0 || event_.GetState() == State::InError; };
        const bool reached = changed_.wait_for(hold, std::chrono::seconds(30), [&] {
            return failed() || event_.GetState() == state ||
                   std::find(seen_.begin(), seen_.end(), state) != seen_.end();
        });
        if (!reached)
            throw cli_error(doing + " timed out: the capture is still " +
                            VextuneCore::Capture::DeviceStateName(event_.GetState()));
        if (failed())
            throw cli_error(doing + " failed: " + VextuneCore::Platform::ResultName(error_));
    }

private:
    const Event& event_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<State> seen_;
    Result error_ = 0;
    VextuneCore::Capture::EventRegistrationToken token_ = 0;
};

// A command starts the capture of a recording only once the recognition
// waits on it for a signature (WASAPICapture::WaitUntilArmed), so that no
// packet passes the due time unheard; a recognition that arms no wait
// within this time is an error rather than a hang.
inline constexpr std::chrono::seconds arm_time_limit{10};

inline cli_error never_armed()
{
    return cli_error("the recognition never waited for a signature");
}

}  // namespace vxt::cli
