// The API over a scripted device: what each method does with and without a
// capture, replacing and shutting down a running capture, the memory limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "vextune/platform/ScriptedAudioDevices.h"
#include "vextune/platform/WorkQueues.h"
#include "vextune/runtime/API.h"

namespace VextuneCore::test {
namespace {

using namespace Platform;
using Client::AsyncOperation;
using Client::AsyncStatus;
using State = DeviceState;

// Every state change of every capture, by sender.
class StateLog {
public:
    StateLog()
    {
        token_ = DeviceStateChangedEvent::AddStateChanged(
            [this](const DeviceStateChangedEvent& sender, const DeviceStateChangedEventArgs& args) {
                std::lock_guard hold(lock_);
                changes_.push_back({&sender, args.State(), args.Result()});
                changed_.notify_all();
            });
    }
    ~StateLog() { DeviceStateChangedEvent::RemoveStateChanged(token_); }

    bool WaitFor(const DeviceStateChangedEvent* sender, State state)
    {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [&] {
            for (const change& c : changes_) {
                if ((!sender || c.sender == sender) && c.state == state)
                    return true;
            }
            return false;
        });
    }

    std::size_t Count()
    {
        std::lock_guard hold(lock_);
        return changes_.size();
    }

private:
    struct change {
        const DeviceStateChangedEvent* sender;
        State state;
        HRESULT result;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<change> changes_;
    EventRegistrationToken token_ = 0;
};

struct CountingOperation : AsyncOperation {
    std::atomic<int> cancels{0};
    void Cancel() override { ++cancels; }
    AsyncStatus Status() const override { return cancels ? AsyncStatus::Canceled : AsyncStatus::Started; }
};

std::shared_ptr<ScriptedAudioDevices> Devices(std::shared_ptr<SimulatedClock> clock, std::size_t packets = 0)
{
    DeviceScript script;
    script.clock = std::move(clock);
    for (std::size_t i = 0; i < packets; ++i)
        script.packets.push_back(MonoPacket(std::vector<std::int16_t>(960, 1)));
    return std::make_shared<ScriptedAudioDevices>(script);
}

ApiOptions Options(std::shared_ptr<AudioDevices> devices, std::shared_ptr<Clock> clock,
                   std::function<std::optional<std::uint64_t>()> memory_limit = {})
{
    ApiOptions options;
    options.devices = std::move(devices);
    options.clock = std::move(clock);
    options.memory_limit = std::move(memory_limit);
    return options;
}

TEST(Api, WithoutACaptureNothingHappens)
{
    auto clock = std::make_shared<SimulatedClock>();
    auto devices = Devices(clock);
    StateLog log;
    API api(Options(devices, clock));
    EXPECT_TRUE(api.CancelRecognition());
    api.StartCapture();
    api.StopCapture();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_TRUE(devices->Calls().empty());

    // A stored operation is cancelled; there is still no capture to touch.
    auto operation = std::make_shared<CountingOperation>();
    api.SetCurrentRecognition(operation);
    EXPECT_TRUE(api.CancelRecognition());
    EXPECT_EQ(operation->cancels.load(), 1);
    EXPECT_TRUE(devices->Calls().empty());
}

TEST(ApiConcurrency, InitializeTwiceReplacesTheCapture)
{
    auto clock = std::make_shared<SimulatedClock>();
    auto devices = Devices(clock, 5);
    StateLog log;
    API api(Options(devices, clock));
    ASSERT_TRUE(api.InitializeCapture());
    auto first = api.Capture();
    ASSERT_TRUE(log.WaitFor(&first->StateEvent(), State::Initialized));
    api.StartCapture();
    ASSERT_TRUE(log.WaitFor(&first->StateEvent(), State::Capturing));

    // The running capture is stopped and drained before a new one activates.
    ASSERT_TRUE(api.InitializeCapture());
    auto second = api.Capture();
    ASSERT_NE(second, first);
    EXPECT_NE(&second->StateEvent(), &first->StateEvent());
    EXPECT_EQ(first->GetState(), State::Stopped);
    EXPECT_EQ(devices->CallCount(DeviceCall::Stop), 1u);
    ASSERT_TRUE(log.WaitFor(&second->StateEvent(), State::Initialized));
    EXPECT_EQ(devices->CallCount(DeviceCall::ActivateAudioInterfaceAsync), 2u);
}

TEST(ApiConcurrency, ShutdownStopsTheCaptureAndEndsThePlatform)
{
    auto clock = std::make_shared<SimulatedClock>();
    auto devices = Devices(clock, 5);
    StateLog log;
    const int started = StartCount();
    {
        API api(Options(devices, clock));
        EXPECT_EQ(StartCount(), started + 1);
        api.InitializeCapture();
        auto capture = api.Capture();
        ASSERT_TRUE(log.WaitFor(&capture->StateEvent(), State::Initialized));
        api.StartCapture();
        ASSERT_TRUE(log.WaitFor(&capture->StateEvent(), State::Capturing));
        EXPECT_TRUE(api.Shutdown());
        EXPECT_EQ(capture->GetState(), State::Stopped);
        EXPECT_EQ(api.Capture(), nullptr);
        EXPECT_EQ(StartCount(), started);
        api.StartCapture();  // nothing left to start
        EXPECT_EQ(capture->GetState(), State::Stopped);
    }
    EXPECT_EQ(StartCount(), started);  // counted once per object
}

TEST(ApiConcurrency, StopCaptureCancelsTheRecognition)
{
    auto clock = std::make_shared<SimulatedClock>();
    auto devices = Devices(clock, 5);
    StateLog log;
    API api(Options(devices, clock));
    api.InitializeCapture();
    auto capture = api.Capture();
    ASSERT_TRUE(log.WaitFor(&capture->StateEvent(), State::Initialized));
    api.StartCapture();
    ASSERT_TRUE(log.WaitFor(&capture->StateEvent(), State::Capturing));
    auto operation = std::make_shared<CountingOperation>();
    api.SetCurrentRecognition(operation);
    capture->BeginRecognition(3000.0, 12000.0);
    api.StopCapture();
    EXPECT_EQ(operation->cancels.load(), 1);
    EXPECT_FALSE(capture->RecognitionActive());
    ASSERT_TRUE(log.WaitFor(&capture->StateEvent(), State::Stopped));

    // A new operation cancels the one before it.
    auto next = std::make_shared<CountingOperation>();
    api.SetCurrentRecognition(next);
    EXPECT_EQ(operation->cancels.load(), 2);
}

TEST(ApiConcurrency, NoDeviceReachesTheApplication)
{
    auto clock = std::make_shared<SimulatedClock>();
    DeviceScript none;
    none.default_id.reset();
    StateLog log;
    API api(Options(std::make_shared<ScriptedAudioDevices>(none), clock));
    EXPECT_TRUE(api.InitializeCapture());
    EXPECT_TRUE(log.WaitFor(nullptr, State::InError));
}

TEST(Api, LowMemoryBelow200MillionBytes)
{
    auto clock = std::make_shared<SimulatedClock>();
    struct limit_case {
        std::optional<std::uint64_t> limit;
        bool low;
    };
    for (const limit_case c : {limit_case{199999999, true}, limit_case{200000000, false},
                               limit_case{std::uint64_t{8} << 30, false}, limit_case{std::nullopt, false}}) {
        API api(Options(Devices(clock), clock, [&] { return c.limit; }));
        EXPECT_EQ(api.IsLowMemoryDevice(), c.low) << c.limit.value_or(0);
    }
}

}  // namespace
}  // namespace VextuneCore::test
