// The capture's state machine, formats and failures, and its bridge on
// simulated time.
#include <chrono>
#include <cmath>
#include <future>
#include <stop_token>
#include <thread>

#include "capture_harness.h"
#include "vextune/signature.h"

namespace VextuneCore::Capture::test {
namespace {

using State = DeviceState;

DeviceScript StereoScript(std::size_t packets = 0)
{
    DeviceScript script;
    script.mix_format = FloatFormat(2, 48000);
    script.packets = StereoPackets(packets);
    return script;
}

TEST(CaptureFormats, FloatMixFormatsBecome16BitPcm)
{
    for (const bool extensible : {false, true}) {
        SCOPED_TRACE(extensible);
        DeviceScript script;
        script.mix_format = FloatFormat(2, 48000, extensible);
        CaptureHarness h(script);
        h.Initialize();
        const auto init = h.devices->Initialized();
        ASSERT_TRUE(init);
        EXPECT_EQ(init->format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(init->format.nChannels, 2);
        EXPECT_EQ(init->format.nSamplesPerSec, 48000u);
        EXPECT_EQ(init->format.wBitsPerSample, 16);
        EXPECT_EQ(init->format.nBlockAlign, 4);
        EXPECT_EQ(init->format.nAvgBytesPerSec, 192000u);
        EXPECT_EQ(init->format.cbSize, 0);
        EXPECT_EQ(init->mode, ShareMode::Shared);
        EXPECT_EQ(init->stream_flags, AUDCLNT_STREAMFLAGS_EVENTCALLBACK);
        EXPECT_EQ(init->buffer_duration, 200000);
        EXPECT_EQ(h.States(), std::vector<State>{State::Initialized});
    }
}

// Only 16-bit PCM and 32-bit float can be read as frames; anything else,
// and rates the engine does not take, end activation in InError.
TEST(CaptureFormats, OtherFormatsEndInError)
{
    WaveFormat pcm24 = PcmFormat(2, 48000);
    pcm24.wBitsPerSample = 24;
    pcm24.nBlockAlign = 6;
    WaveFormat no_channels = FloatFormat(2, 48000);
    no_channels.nChannels = 0;
    WaveFormat float64 = FloatFormat(1, 48000);
    float64.wBitsPerSample = 64;
    for (const WaveFormat& f : {pcm24, no_channels, float64, FloatFormat(2, 22050), PcmFormat(1, 96000)}) {
        SCOPED_TRACE(f.nSamplesPerSec);
        DeviceScript script;
        script.mix_format = f;
        CaptureHarness h(script);
        h.capture->InitializeAudioDevice();
        ASSERT_TRUE(h.WaitForState(State::InError));
        EXPECT_EQ(h.Changes().back(), (StateChange{State::InError, E_UNSUPPORTED_FORMAT}));
        EXPECT_EQ(h.capture->StartCaptureAsync(), E_INVALID_STATE);
    }
    DeviceScript mono16;
    mono16.mix_format = PcmFormat(1, 16000);
    CaptureHarness h(mono16);
    h.Initialize();
    EXPECT_EQ(h.devices->Initialized()->format, PcmFormat(1, 16000));
}

// Every failing device call of activation ends in InError with its code,
// and the capture lets go of the device: a later stop does not call it.
TEST(CaptureActivation, FailuresEndInErrorWithTheirCode)
{
    const HRESULT code = MakeResult(0x88890123);
    for (const DeviceCall call : {DeviceCall::ActivationCompleted, DeviceCall::GetMixFormat, DeviceCall::Initialize,
                                  DeviceCall::GetBufferSize, DeviceCall::GetService, DeviceCall::SetEventHandle}) {
        SCOPED_TRACE(DeviceCallName(call));
        DeviceScript script;
        script.Fail(call, 1, code);
        CaptureHarness h(script);
        EXPECT_EQ(h.capture->InitializeAudioDevice(), S_OK);
        ASSERT_TRUE(h.WaitForState(State::InError));
        EXPECT_EQ(h.Changes(), (std::vector<StateChange>{{State::InError, code}}));
        EXPECT_EQ(h.capture->StopCaptureAsync(), S_OK);
        ASSERT_TRUE(h.WaitForState(State::Stopped));
        EXPECT_EQ(h.devices->CallCount(DeviceCall::Stop), 0u);
        // With no device left, a later start fails into InError.
        EXPECT_EQ(h.capture->StartCaptureAsync(), S_OK);
        ASSERT_TRUE(h.WaitForChanges(6));
        EXPECT_EQ(h.Changes().back(), (StateChange{State::InError, E_NOT_INITIALIZED}));
        EXPECT_EQ(h.devices->CallCount(DeviceCall::Start), 0u);
    }
}

TEST(CaptureActivation, NoDeviceIsReportedNotLeftWaiting)
{
    DeviceScript none;
    none.default_id.reset();
    CaptureHarness h(none);
    EXPECT_EQ(h.capture->InitializeAudioDevice(), E_DEVICE_NOT_FOUND);
    EXPECT_EQ(h.Changes(), (std::vector<StateChange>{{State::InError, E_DEVICE_NOT_FOUND}}));

    DeviceScript refused;
    refused.Fail(DeviceCall::ActivateAudioInterfaceAsync, 1, E_FAIL);
    CaptureHarness r(refused);
    EXPECT_EQ(r.capture->InitializeAudioDevice(), E_FAIL);
    EXPECT_EQ(r.Changes(), (std::vector<StateChange>{{State::InError, E_FAIL}}));
}

TEST(CaptureActivation, RawCaptureWhereTheDeviceOffersIt)
{
    for (const auto& [raw, options] :
         {std::pair{RawProcessing::Supported, AUDCLNT_STREAMOPTIONS_RAW}, std::pair{RawProcessing::Unsupported, 0u}}) {
        DeviceScript script;
        script.raw = raw;
        CaptureHarness h(script);
        h.Initialize();
        h.devices->WaitForCompletions();
        const auto set = h.devices->PropertiesAsked();
        ASSERT_EQ(set.size(), 1u);
        EXPECT_EQ(set[0].cbSize, 16u);
        EXPECT_EQ(set[0].bIsOffload, 1u);
        EXPECT_EQ(set[0].eCategory, 1u);
        EXPECT_EQ(set[0].Options, options);
    }
}

TEST(CaptureStates, WrongStateCallsChangeNothing)
{
    CaptureHarness h(StereoScript());
    EXPECT_EQ(h.capture->StartCaptureAsync(), E_INVALID_STATE);  // Uninitialized
    h.Initialize();
    EXPECT_EQ(h.capture->StopCaptureAsync(), E_INVALID_STATE);  // Initialized
    h.Start();
    EXPECT_EQ(h.capture->StartCaptureAsync(), E_INVALID_STATE);  // Capturing
    ASSERT_EQ(h.capture->StopCaptureAsync(), S_OK);
    EXPECT_EQ(h.capture->StopCaptureAsync(), E_INVALID_STATE);  // StopRequested or later
    ASSERT_TRUE(h.WaitForState(State::Stopped));
    EXPECT_EQ(h.States(), (std::vector<State>{State::Initialized, State::Starting, State::Capturing,
                                              State::StopRequested, State::Stopping, State::Stopped}));
}

TEST(CaptureStates, StartStopStartBeginsWithAnEmptyPreroll)
{
    CaptureHarness h(StereoScript(10));
    h.Initialize();
    h.Start();
    h.Deliver(5);
    EXPECT_EQ(h.capture->PrerollSamples(), 5 * 960);
    ASSERT_EQ(h.capture->StopCaptureAsync(), S_OK);
    ASSERT_TRUE(h.WaitForState(State::Stopped));
    EXPECT_EQ(h.capture->PrerollChunks(), 0u);
    EXPECT_EQ(h.capture->StartCaptureAsync(), S_OK);
    EXPECT_EQ(h.capture->PrerollSamples(), 0);
}

TEST(CaptureStates, NothingIsProcessedAfterTheStop)
{
    CaptureHarness h(StereoScript(4));
    h.Initialize();
    h.Start();
    h.Deliver(2);
    ASSERT_EQ(h.capture->StopCaptureAsync(), S_OK);
    ASSERT_TRUE(h.WaitForState(State::Stopped));
    h.devices->DeliverNext();  // the stream is stopped: nothing arrives
    EXPECT_EQ(h.devices->ReleasedFrames().size(), 2u);
    EXPECT_EQ(h.capture->PrerollSamples(), 0);
}

// A discontinuity raises one change to Discontinuity; the return to
// Capturing is silent.
TEST(CapturePackets, DiscontinuityIsRaisedOnce)
{
    DeviceScript script = StereoScript(3);
    script.packets[1].flags = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    CaptureHarness h(script);
    h.Initialize();
    h.Start();
    h.Deliver(3);
    EXPECT_EQ(h.States(),
              (std::vector<State>{State::Initialized, State::Starting, State::Capturing, State::Discontinuity}));
    EXPECT_EQ(h.capture->GetState(), State::Capturing);
}

TEST(CapturePackets, SilentAndEmptyPackets)
{
    DeviceScript script = StereoScript(1);
    script.packets.push_back(SilentPacket(480, 4));
    script.packets.push_back(EmptyPacket());
    script.packets.push_back(StereoPackets(1)[0]);
    CaptureHarness h(script);
    h.Initialize();
    h.Start();
    h.Deliver(2);
    ASSERT_TRUE(h.devices->DeliverNext());  // the empty one: no GetBuffer, no release
    h.Deliver(1);
    EXPECT_EQ(h.devices->ReleasedFrames(), (std::vector<std::uint32_t>{960, 480, 960}));
    EXPECT_EQ(h.devices->CallCount(DeviceCall::GetBuffer), 3u);
    EXPECT_EQ(h.capture->PrerollSamples(), 960 + 480 + 960);
}

TEST(CapturePackets, PacketFailuresEndInErrorAndStopTheFlow)
{
    for (const DeviceCall call : {DeviceCall::GetNextPacketSize, DeviceCall::GetBuffer}) {
        SCOPED_TRACE(DeviceCallName(call));
        DeviceScript script = StereoScript(3);
        script.Fail(call, 2, E_DEVICE_INVALIDATED);
        CaptureHarness h(script);
        h.Initialize();
        h.Start();
        h.Deliver(1);
        ASSERT_TRUE(h.devices->DeliverNext());
        ASSERT_TRUE(h.WaitForState(State::InError));
        EXPECT_EQ(h.Changes().back(), (StateChange{State::InError, E_DEVICE_INVALIDATED}));
        h.devices->DeliverNext();
        EXPECT_EQ(h.devices->ReleasedFrames().size(), 1u);
        // A stop is still accepted and ends in Stopped.
        ASSERT_EQ(h.capture->StopCaptureAsync(), S_OK);
        ASSERT_TRUE(h.WaitForState(State::Stopped));
    }
}

// The pre-roll keeps the last three seconds in whole chunks, and a packet
// larger than that is kept whole.
TEST(CaptureBridge, PrerollKeepsWholeChunksOfThreeSeconds)
{
    CaptureHarness h(StereoScript(500));
    h.Initialize();
    h.Start();
    h.Deliver(500);  // 10 s
    EXPECT_EQ(h.capture->PrerollSamples(), 144000);
    EXPECT_EQ(h.capture->PrerollChunks(), 150u);

    DeviceScript big = StereoScript();
    big.buffer_frames = 200000;
    big.packets = StereoPackets(2, 150000);
    CaptureHarness b(big);
    b.Initialize();
    b.Start();
    b.Deliver(2);
    EXPECT_EQ(b.capture->PrerollSamples(), 150000);
    EXPECT_EQ(b.capture->PrerollChunks(), 1u);
}

// The first signature comes with the first packet after the minimum, the
// pre-roll counting in whole seconds; later ones only after the maximum.
TEST(CaptureBridge, SignaturesFollowTheSchedule)
{
    CaptureHarness h(StereoScript(2000));
    h.Initialize();
    h.Start();
    h.Deliver(500);  // 10 s of capture before the recognition
    const auto recognition = h.capture->BeginRecognition(5000.0, 12000.0);

    auto first = h.ArmWait(recognition);
    // The first packet replays 3 s (150 chunks of 960): the origin moves
    // back 3000 ms, so 2000 ms of live audio are due.
    EXPECT_EQ(h.DeliverUntilSignature(), 101u);  // more than 5000 ms: 3000 + 101 x 20
    const auto signature = first.get();
    ASSERT_TRUE(signature);
    EXPECT_DOUBLE_EQ(signature->sample_ms, 5020.0);
    EXPECT_DOUBLE_EQ(h.capture->LastSampleMs(), 5020.0);
    const vxt::decoded_signature d = vxt::read_signature(signature->bytes);
    EXPECT_TRUE(d.ok()) << d.error;

    // Nobody waits: no signature is made, however long the audio runs.
    h.Deliver(400);
    EXPECT_EQ(h.capture->SignaturesMade(), 1u);

    // Now armed, past the maximum: the next packet makes one.
    auto second = h.ArmWait(recognition);
    EXPECT_EQ(h.DeliverUntilSignature(), 1u);
    ASSERT_TRUE(second.get());
    EXPECT_EQ(h.capture->SignaturesMade(), 2u);
}

TEST(CaptureBridge, EndingOrCancellingWakesTheWaitWithNothing)
{
    CaptureHarness h(StereoScript(10));
    h.Initialize();
    h.Start();
    EXPECT_FALSE(h.capture->WaitForSignature(0, 1000.0, {}));  // no recognition
    const auto first = h.capture->BeginRecognition(60000.0, 60000.0);
    auto ended = h.ArmWait(first);
    h.Deliver(2);
    h.capture->EndRecognition(first);
    EXPECT_FALSE(ended.get());

    const auto second = h.capture->BeginRecognition(60000.0, 60000.0);
    std::stop_source stop;
    auto cancelled = h.ArmWait(second, std::nullopt, stop.get_token());
    h.Deliver(2);
    stop.request_stop();
    EXPECT_FALSE(cancelled.get());

    // A replaced recognition's wait ends, and its end touches the new one.
    const auto third = h.capture->BeginRecognition(60000.0, 60000.0);
    auto replaced = h.ArmWait(third);
    const auto fourth = h.capture->BeginRecognition(60000.0, 60000.0);
    EXPECT_FALSE(replaced.get());
    h.capture->EndRecognition(third);
    EXPECT_TRUE(h.capture->RecognitionActive());
    EXPECT_FALSE(h.capture->WaitForSignature(third, std::nullopt, {}));
    h.capture->EndRecognition(fourth);
    EXPECT_FALSE(h.capture->RecognitionActive());
}

// WaitUntilArmed returns once the recognition's wait is armed, and with
// false when it cannot be: no recognition, one ended, one replaced, a
// stop; the ten seconds are only a safety net.
TEST(CaptureBridge, WaitUntilArmedEndsWithTheArmingOrWithoutIt)
{
    constexpr auto limit = std::chrono::seconds(10);
    CaptureHarness h(StereoScript(10));
    h.Initialize();
    h.Start();
    EXPECT_FALSE(h.capture->WaitUntilArmed(0, {}, limit));  // no recognition yet

    // Armed: the waiter started before the wait, or after it, sees it.
    const auto first = h.capture->BeginRecognition(60000.0, 60000.0);
    auto armed = std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed(first, {}, limit); });
    auto wait = std::async(std::launch::async, [&] { return h.capture->WaitForSignature(first, std::nullopt, {}); });
    EXPECT_TRUE(armed.get());
    EXPECT_TRUE(h.capture->WaitArmed());
    EXPECT_TRUE(h.capture->WaitUntilArmed(first, {}, limit));
    h.capture->EndRecognition(first);
    EXPECT_FALSE(wait.get());
    EXPECT_FALSE(h.capture->WaitUntilArmed(first, {}, limit));  // ended

    // Never armed: the recognition ends, is replaced, or the stop comes.
    const auto second = h.capture->BeginRecognition(60000.0, 60000.0);
    auto ended = std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed(second, {}, limit); });
    h.capture->EndRecognition(second);
    EXPECT_FALSE(ended.get());

    const auto third = h.capture->BeginRecognition(60000.0, 60000.0);
    auto replaced = std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed(third, {}, limit); });
    const auto fourth = h.capture->BeginRecognition(60000.0, 60000.0);
    EXPECT_FALSE(replaced.get());

    std::stop_source stop;
    auto stopped =
        std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed(fourth, stop.get_token(), limit); });
    stop.request_stop();
    EXPECT_FALSE(stopped.get());
    EXPECT_TRUE(h.capture->RecognitionActive());  // the stop was the waiter's only
    EXPECT_FALSE(h.capture->WaitUntilArmed(fourth, {}, std::chrono::seconds(0)));

    // Whichever recognition arms a wait: false on the stop, true on the
    // arming.
    std::stop_source give_up;
    auto any_stopped =
        std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed(give_up.get_token(), limit); });
    give_up.request_stop();
    EXPECT_FALSE(any_stopped.get());
    auto any = std::async(std::launch::async, [&] { return h.capture->WaitUntilArmed({}, limit); });
    auto fourth_wait =
        std::async(std::launch::async, [&] { return h.capture->WaitForSignature(fourth, std::nullopt, {}); });
    EXPECT_TRUE(any.get());
    EXPECT_TRUE(h.capture->WaitUntilArmed(fourth, {}, limit));
    h.capture->EndRecognition(fourth);
    EXPECT_FALSE(fourth_wait.get());
}

// When the stream ends (a recording played to its end), a waiting
// recognition gets a signature of all that was captured, marked final, and
// so does every later wait.
TEST(CaptureBridge, TheEndOfTheStreamHandsOverWhatThereIs)
{
    CaptureHarness h(StereoScript(100));
    h.Initialize();
    h.Start();
    const auto recognition = h.capture->BeginRecognition(60000.0, 60000.0);
    auto wait = h.ArmWait(recognition);
    h.Deliver(100);  // 2 s, far from due
    h.capture->FinishStream();
    const auto got = wait.get();
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->final);
    EXPECT_DOUBLE_EQ(got->sample_ms, 2000.0);
    EXPECT_FALSE(got->bytes.empty());
    const auto again = h.capture->WaitForSignature(recognition, std::nullopt, {});
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->final);
    EXPECT_EQ(again->bytes, got->bytes);
}

// Only channel 0 reaches the engine: the capture's peaks are those of an
// engine fed the left channel alone.
TEST(CaptureBridge, OnlyChannelZeroIsFed)
{
    std::vector<ScriptedPacket> packets;
    std::vector<std::int16_t> left_all;
    for (int p = 0; p < 300; ++p) {
        std::vector<std::int16_t> left(960);
        std::vector<std::int16_t> right(960);
        for (int i = 0; i < 960; ++i) {
            const double t = (p * 960 + i) / 48000.0;
            left[static_cast<std::size_t>(i)] =
                static_cast<std::int16_t>(6000 * std::sin(2 * 3.14159265 * (440 + 200 * std::floor(t * 4)) * t));
            right[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(6000 * std::sin(2 * 3.14159265 * 1900 * t));
        }
        left_all.insert(left_all.end(), left.begin(), left.end());
        packets.push_back(StereoPacket(left, right));
    }
    DeviceScript script;
    script.packets = packets;
    CaptureHarness h(script);
    h.Initialize();
    h.Start();
    const auto recognition = h.capture->BeginRecognition(5900.0, 60000.0);
    auto signature = h.ArmWait(recognition);
    const std::size_t fed = h.DeliverUntilSignature() * 960;
    const auto got = signature.get();
    ASSERT_TRUE(got);

    auto engine = vxt::create_engine(2, 48000, 0);
    vxt::feed_samples(engine, left_all.data(), static_cast<std::int32_t>(fed));
    std::vector<std::uint8_t> expected;
    vxt::get_signature(engine, expected, 0.0);
    const auto mine = vxt::read_signature(got->bytes);
    const auto theirs = vxt::read_signature(expected);
    ASSERT_EQ(mine.bands.size(), theirs.bands.size());
    for (std::size_t b = 0; b < mine.bands.size(); ++b)
        EXPECT_EQ(mine.bands[b].peaks, theirs.bands[b].peaks) << "band " << b;
    EXPECT_GT(mine.band_peak_count(), 10u);
}

}  // namespace
}  // namespace VextuneCore::Capture::test
