// Waiting, in a command, for a capture to reach a state.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "vextune/capture/DeviceStateChangedEvent.h"

namespace vxt::cli {

// The state changes of one capture, waited for by the command.
class state_watch {
public:
    using Event = VextuneCore::DeviceStateChangedEvent;
    using State = VextuneCore::DeviceState;
    using Result = VextuneCore::Platform::HRESULT;

    explicit state_watch(const Event& event) : event_(event)
    {
        token_ = Event::AddStateChanged(
            [this](const Event& from, const VextuneCore::DeviceStateChangedEventArgs& args) {
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
    // throws when the capture fails instead.
    void wait_for(State state, const std::string& doing)
    {
        std::unique_lock hold(lock_);
        const auto failed = [&] { return error_ != 0 || event_.GetState() == State::InError; };
        changed_.wait(hold, [&] {
            return failed() || event_.GetState() == state || std::find(seen_.begin(), seen_.end(), state) != seen_.end();
        });
        if (failed())
            throw cli_error(doing + " failed: " + VextuneCore::Platform::ResultName(error_));
    }

private:
    const Event& event_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<State> seen_;
    Result error_ = 0;
    VextuneCore::EventRegistrationToken token_ = 0;
};

}  // namespace vxt::cli
