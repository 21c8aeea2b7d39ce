// A capture over a scripted device on simulated time, with the state
// changes it raised recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vextune/capture/WASAPICapture.h"
#include "vextune/platform/ScriptedAudioDevices.h"
#include "vextune/platform/WorkQueues.h"

namespace VextuneCore::Capture::test {

using namespace Platform;

struct StateChange {
    DeviceState state;
    HRESULT result;
    friend bool operator==(const StateChange&, const StateChange&) = default;
};

class CaptureHarness {
public:
    explicit CaptureHarness(DeviceScript script = {})
    {
        Startup();
        script.clock = clock;
        devices = std::make_shared<ScriptedAudioDevices>(std::move(script));
        capture = WASAPICapture::Create(devices, clock);
        const DeviceStateChangedEvent* mine = &capture->StateEvent();
        token_ = DeviceStateChangedEvent::AddStateChanged(
            [this, mine](const DeviceStateChangedEvent& sender, const DeviceStateChangedEventArgs& args) {
                if (&sender != mine)
                    return;
                std::lock_guard hold(lock_);
                changes_.push_back({args.State(), args.Result()});
                changed_.notify_all();
            });
    }

    ~CaptureHarness()
    {
        DeviceStateChangedEvent::RemoveStateChanged(token_);
        capture->StopAndDrain();
        capture.reset();
        devices->WaitForCompletions();
        Shutdown();
    }

    // Waits until the given state has been raised (a safety timeout only).
    bool WaitForState(DeviceState state)
    {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] {
            for (const StateChange& c : changes_) {
                if (c.state == state)
                    return true;
            }
            return false;
        });
    }

    // Waits until n changes have been raised (a safety timeout only).
    bool WaitForChanges(std::size_t n)
    {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return changes_.size() >= n; });
    }

    std::vector<StateChange> Changes()
    {
        std::lock_guard hold(lock_);
        return changes_;
    }

    std::vector<DeviceState> States()
    {
        std::vector<DeviceState> states;
        for (const StateChange& c : Changes())
            states.push_back(c.state);
        return states;
    }

    void Initialize()
    {
        capture->InitializeAudioDevice();
        ASSERT_TRUE(WaitForState(DeviceState::Initialized));
    }

    void Start()
    {
        ASSERT_EQ(capture->StartCaptureAsync(), S_OK);
        ASSERT_TRUE(WaitForState(DeviceState::Capturing));
    }

    // Delivers the next n packets one at a time, each taken and released
    // before the next.
    void Deliver(std::size_t n = 1)
    {
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(devices->DeliverNext()) << "packet " << i;
            ASSERT_TRUE(devices->WaitUntilConsumed()) << "packet " << i;
        }
    }

    // Starts a wait for the next signature on another thread and returns
    // once it is armed.
    std::future<std::optional<CapturedSignature>>
    ArmWait(std::uint64_t recognition, std::optional<double> due_ms = std::nullopt, std::stop_token stop = {})
    {
        auto wait = std::async(std::launch::async, [this, recognition, due_ms, stop] {
            return capture->WaitForSignature(recognition, due_ms, stop);
        });
        EXPECT_TRUE(capture->WaitUntilArmed(recognition, stop, std::chrono::seconds(10)))
            << "the wait of recognition " << recognition << " was never armed";
        return wait;
    }

    // Delivers packets until the bridge has made a signature; the number
    // delivered (at most limit).
    std::size_t DeliverUntilSignature(std::size_t limit = 10000)
    {
        const std::uint64_t before = capture->SignaturesMade();
        std::size_t n = 0;
        while (capture->SignaturesMade() == before && n < limit) {
            Deliver(1);
            ++n;
        }
        return n;
    }

    std::shared_ptr<SimulatedClock> clock = std::make_shared<SimulatedClock>(100000);
    std::shared_ptr<ScriptedAudioDevices> devices;
    std::shared_ptr<WASAPICapture> capture;

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<StateChange> changes_;
    EventRegistrationToken token_ = 0;
};

// 20 ms stereo packets at 48 kHz: left a sweep of values, right constant.
inline std::vector<ScriptedPacket> StereoPackets(std::size_t count, std::uint32_t frames = 960)
{
    std::vector<ScriptedPacket> packets;
    std::int16_t value = 0;
    for (std::size_t p = 0; p < count; ++p) {
        std::vector<std::int16_t> left(frames);
        for (auto& v : left)
            v = value++;
        packets.push_back(StereoPacket(left, std::vector<std::int16_t>(frames, 7)));
    }
    return packets;
}

}  // namespace VextuneCore::Capture::test
