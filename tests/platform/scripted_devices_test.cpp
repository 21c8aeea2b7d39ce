#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "device_test_support.h"
#include "vextune/platform/ScriptedAudioDevices.h"

namespace VextuneCore::Platform {
namespace {

using Testing::Activate;
using Testing::Drain;
using Testing::SamplesOf;

constexpr std::int64_t twenty_ms = 200'000;

DeviceScript two_packet_script()
{
    DeviceScript script;
    script.packets = {MonoPacket({1, 2, 3}), MonoPacket({4, 5})};
    script.mix_format = FloatFormat(1, 48000);
    return script;
}

struct Outcome {
    std::optional<DeviceCall> failed;
    HRESULT code = S_OK;
};

// The capture's way through a device, up to the first failure: find and
// activate the default device, set it up for 16-bit PCM, take two packets,
// stop.
Outcome run_capture(ScriptedAudioDevices& devices, Event& event)
{
    Outcome out;
    auto ok = [&](DeviceCall call, HRESULT hr) {
        if (Failed(hr))
            out = {call, hr};
        return Succeeded(hr);
    };
    std::string id;
    if (!ok(DeviceCall::GetDefaultAudioCaptureId, devices.GetDefaultAudioCaptureId(&id)))
        return out;
    const Testing::Activation a = Activate(devices, id);
    if (!ok(DeviceCall::ActivateAudioInterfaceAsync, a.call) || !ok(DeviceCall::ActivationCompleted, a.completed))
        return out;
    AudioClient& client = *a.client;
    WaveFormat mix;
    std::uint32_t buffer = 0;
    std::shared_ptr<AudioCaptureClient> capture;
    if (!ok(DeviceCall::SetClientProperties, client.SetClientProperties({16, 0, 0, AUDCLNT_STREAMOPTIONS_RAW})) ||
        !ok(DeviceCall::GetMixFormat, client.GetMixFormat(&mix)) ||
        !ok(DeviceCall::Initialize, client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms,
                                                      0, PcmFormat(mix.nChannels, mix.nSamplesPerSec))) ||
        !ok(DeviceCall::GetBufferSize, client.GetBufferSize(&buffer)) ||
        !ok(DeviceCall::GetService, client.GetService(&capture)) ||
        !ok(DeviceCall::SetEventHandle, client.SetEventHandle(&event)) || !ok(DeviceCall::Start, client.Start()))
        return out;
    for (int i = 0; i < 2; ++i) {
        devices.DeliverNext();
        std::uint32_t frames = 0, flags = 0;
        std::uint8_t* data = nullptr;
        if (!ok(DeviceCall::GetNextPacketSize, capture->GetNextPacketSize(&frames)) ||
            !ok(DeviceCall::GetBuffer, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)) ||
            !ok(DeviceCall::ReleaseBuffer, capture->ReleaseBuffer(frames)))
            return out;
    }
    ok(DeviceCall::Stop, client.Stop());
    return out;
}

TEST(ScriptedDevices, InjectedFailuresSurfaceWithTheirCodes)
{
    struct Case {
        DeviceCall call;
        std::uint32_t nth;
    };
    const Case cases[] = {
        {DeviceCall::GetDefaultAudioCaptureId, 1},
        {DeviceCall::ActivateAudioInterfaceAsync, 1},
        {DeviceCall::ActivationCompleted, 1},
        {DeviceCall::SetClientProperties, 1},
        {DeviceCall::GetMixFormat, 1},
        {DeviceCall::Initialize, 1},
        {DeviceCall::GetBufferSize, 1},
        {DeviceCall::GetService, 1},
        {DeviceCall::SetEventHandle, 1},
        {DeviceCall::Start, 1},
        {DeviceCall::GetNextPacketSize, 1},
        {DeviceCall::GetNextPacketSize, 2},
        {DeviceCall::GetBuffer, 1},
        {DeviceCall::GetBuffer, 2},
        {DeviceCall::ReleaseBuffer, 2},
        {DeviceCall::Stop, 1},
    };
    HRESULT code = MakeResult(0x80AB0001);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(DeviceCallName(c.call)) + " #" + std::to_string(c.nth));
        ++code;  // a code of its own per case
        ScriptedAudioDevices devices(two_packet_script().Fail(c.call, c.nth, code));
        Event event(Event::Kind::AutoReset);
        const Outcome out = run_capture(devices, event);
        ASSERT_TRUE(out.failed.has_value());
        EXPECT_EQ(*out.failed, c.call);
        EXPECT_EQ(out.code, code);
        EXPECT_EQ(devices.CallCount(c.call), c.nth);
    }
    ScriptedAudioDevices clean(two_packet_script());
    Event event(Event::Kind::AutoReset);
    EXPECT_FALSE(run_capture(clean, event).failed.has_value());
}

TEST(ScriptedDevices, InjectedFailureChangesNothingAndCanLast)
{
    ScriptedAudioDevices devices(two_packet_script()
                                     .Fail(DeviceCall::GetBuffer, 1, E_FAIL)
                                     .FailFrom(DeviceCall::ReleaseBuffer, 2, E_DEVICE_INVALIDATED));
    Event event(Event::Kind::AutoReset);
    auto a = Activate(devices, "scripted-capture");
    ASSERT_EQ(
        a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(1, 48000)),
        S_OK);
    std::shared_ptr<AudioCaptureClient> capture;
    ASSERT_EQ(a.client->GetService(&capture), S_OK);
    ASSERT_EQ(a.client->SetEventHandle(&event), S_OK);
    ASSERT_EQ(a.client->Start(), S_OK);
    ASSERT_EQ(devices.DeliverAll(), 2u);

    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 0;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), E_FAIL);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);  // nothing was taken
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(capture->ReleaseBuffer(3), S_OK);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(capture->ReleaseBuffer(2), E_DEVICE_INVALIDATED);
    EXPECT_EQ(capture->ReleaseBuffer(2), E_DEVICE_INVALIDATED);
    EXPECT_EQ(devices.PacketsPending(), 1u);  // still taken
    EXPECT_EQ(devices.ReleasedFrames(), (std::vector<std::uint32_t>{3}));
}

TEST(ScriptedDevices, RecordsWhatTheClientWasAsked)
{
    ScriptedAudioDevices devices(two_packet_script());
    Event event(Event::Kind::AutoReset);
    ASSERT_FALSE(run_capture(devices, event).failed.has_value());

    using C = DeviceCall;
    const std::vector<DeviceCall> expected = {
        C::GetDefaultAudioCaptureId,
        C::ActivateAudioInterfaceAsync,
        C::ActivationCompleted,
        C::SetClientProperties,
        C::GetMixFormat,
        C::Initialize,
        C::GetBufferSize,
        C::GetService,
        C::SetEventHandle,
        C::Start,
        C::GetNextPacketSize,
        C::GetBuffer,
        C::ReleaseBuffer,
        C::GetNextPacketSize,
        C::GetBuffer,
        C::ReleaseBuffer,
        C::Stop,
    };
    EXPECT_EQ(devices.Calls(), expected);
    const auto init = devices.Initialized();
    ASSERT_TRUE(init.has_value());
    EXPECT_EQ(init->mode, ShareMode::Shared);
    EXPECT_EQ(init->stream_flags, AUDCLNT_STREAMFLAGS_EVENTCALLBACK);
    EXPECT_EQ(init->buffer_duration, twenty_ms);
    EXPECT_EQ(init->format, PcmFormat(1, 48000));
    ASSERT_EQ(devices.PropertiesSet().size(), 1u);
    EXPECT_EQ(devices.PropertiesSet()[0].Options, AUDCLNT_STREAMOPTIONS_RAW);
    EXPECT_EQ(devices.ReleasedFrames(), (std::vector<std::uint32_t>{3, 2}));
    EXPECT_FALSE(devices.Running());
    EXPECT_EQ(devices.PacketsLeft(), 0u);
}

TEST(ScriptedDevices, DeliversPacketsAsScriptedWithAnEventEach)
{
    DeviceScript script;
    script.mix_format = FloatFormat(2, 48000, true);
    script.clock = std::make_shared<SimulatedClock>(1000);
    ScriptedPacket short_bytes{4, {0x11, 0x22}, 0};
    script.packets = {
        StereoPacket({1, -2, 32767}, {-32768, 5, 6}, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY),
        SilentPacket(2, 4),
        EmptyPacket(),
        Pcm16Packet(std::vector<std::int16_t>(2 * 2000, 9), 2),  // larger than the 960-frame buffer
        short_bytes,
    };
    struct Expected {
        std::uint32_t frames;
        std::uint32_t flags;
        std::vector<std::int16_t> samples;  // leading samples checked
        std::uint64_t device_position;
    };
    const std::optional<Expected> expected[] = {
        Expected{3, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, {1, -32768, -2, 5, 32767, 6}, 0},
        Expected{2, AUDCLNT_BUFFERFLAGS_SILENT, {0, 0, 0, 0}, 3},
        std::nullopt,
        Expected{2000, 0, {9, 9}, 5},
        Expected{4, 0, {0x2211, 0, 0, 0, 0, 0, 0, 0}, 2005},
    };
    ScriptedAudioDevices devices(script);
    Event event(Event::Kind::ManualReset);
    auto a = Activate(devices, "scripted-capture");
    ASSERT_EQ(
        a.client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(2, 48000)),
        S_OK);
    std::uint32_t buffer = 0;
    ASSERT_EQ(a.client->GetBufferSize(&buffer), S_OK);
    EXPECT_EQ(buffer, 960u);
    std::shared_ptr<AudioCaptureClient> capture;
    ASSERT_EQ(a.client->GetService(&capture), S_OK);
    ASSERT_EQ(a.client->SetEventHandle(&event), S_OK);
    EXPECT_FALSE(devices.DeliverNext()) << "a stopped stream gets no packets";
    ASSERT_EQ(a.client->Start(), S_OK);

    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        event.Reset();
        ASSERT_TRUE(devices.DeliverNext());
        EXPECT_TRUE(event.IsSet());
        std::uint32_t next = 99;
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
        if (!expected[i]) {
            EXPECT_EQ(next, 0u);
            continue;
        }
        EXPECT_EQ(next, expected[i]->frames);
        std::uint8_t* data = nullptr;
        std::uint32_t frames = 0, flags = 0;
        std::uint64_t position = 99;
        ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
        EXPECT_EQ(frames, expected[i]->frames);
        EXPECT_EQ(flags, expected[i]->flags);
        EXPECT_EQ(position, expected[i]->device_position);
        const std::vector<std::uint8_t> bytes(data, data + 4 * frames);  // the whole packet is readable
        const auto samples = SamplesOf<std::int16_t>(bytes);
        EXPECT_EQ(std::vector<std::int16_t>(samples.begin(),
                                            samples.begin() + static_cast<std::ptrdiff_t>(expected[i]->samples.size())),
                  expected[i]->samples);
        EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
    }
    EXPECT_FALSE(devices.DeliverNext());
    // 2009 frames at 48 kHz: 41 ms, rounded down on the total.
    EXPECT_EQ(script.clock->TickMs(), 1000u + 41u);
}

TEST(ScriptedDevices, ClientRefusesCallsOutOfOrder)
{
    ScriptedAudioDevices devices(two_packet_script());
    auto a = Activate(devices, "scripted-capture");
    AudioClient& client = *a.client;
    Event event(Event::Kind::AutoReset);
    std::uint32_t frames = 0;
    std::shared_ptr<AudioCaptureClient> capture;

    EXPECT_EQ(client.GetBufferSize(&frames), E_NOT_INITIALIZED);
    EXPECT_EQ(client.GetService(&capture), E_NOT_INITIALIZED);
    EXPECT_EQ(client.SetEventHandle(&event), E_NOT_INITIALIZED);
    EXPECT_EQ(client.Start(), E_NOT_INITIALIZED);
    EXPECT_EQ(client.Stop(), S_OK);
    EXPECT_EQ(client.GetMixFormat(nullptr), E_INVALIDARG);
    ASSERT_EQ(
        client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(1, 48000)),
        S_OK);
    EXPECT_EQ(
        client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(1, 48000)),
        E_ALREADY_INITIALIZED);
    EXPECT_EQ(client.SetClientProperties({}), E_ALREADY_INITIALIZED);
    EXPECT_EQ(client.Start(), E_INVALID_STATE) << "event-driven without an event";
    EXPECT_EQ(client.SetEventHandle(nullptr), E_INVALIDARG);
    ASSERT_EQ(client.SetEventHandle(&event), S_OK);
    ASSERT_EQ(client.Start(), S_OK);
    EXPECT_EQ(client.Start(), E_INVALID_STATE);
    ASSERT_EQ(client.GetService(&capture), S_OK);
    EXPECT_EQ(capture->GetNextPacketSize(nullptr), E_INVALIDARG);
    EXPECT_EQ(capture->GetBuffer(nullptr, &frames, &frames, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(capture->ReleaseBuffer(1), E_BUFFER_ERROR);
}

TEST(ScriptedDevices, MixFormatsComeBackAsScripted)
{
    WaveFormat pcm24 = PcmFormat(2, 44100);
    pcm24.wBitsPerSample = 24;
    pcm24.nBlockAlign = 6;
    pcm24.nAvgBytesPerSec = 6 * 44100;
    WaveFormat no_channels = FloatFormat(0, 48000);
    struct Case {
        const char* name;
        WaveFormat mix;
        HRESULT initialize_with_it;
    };
    const Case cases[] = {
        {"24-bit PCM", pcm24, S_OK},
        {"no channels", no_channels, E_UNSUPPORTED_FORMAT},
        {"extensible float", FloatFormat(6, 96000, true), S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceScript script;
        script.mix_format = c.mix;
        ScriptedAudioDevices devices(script);
        auto a = Activate(devices, "scripted-capture");
        WaveFormat mix;
        ASSERT_EQ(a.client->GetMixFormat(&mix), S_OK);
        EXPECT_EQ(mix, c.mix);
        EXPECT_EQ(a.client->Initialize(ShareMode::Shared, 0, twenty_ms, 0, mix), c.initialize_with_it);
    }
}

TEST(ScriptedDevices, DefaultDeviceAndRawProcessingAnswers)
{
    struct Case {
        const char* name;
        std::optional<std::string> id;
        RawProcessing raw;
        HRESULT default_id;
        std::size_t listed;
        std::optional<bool> raw_answer;
    };
    const Case cases[] = {
        {"raw", "mic", RawProcessing::Supported, S_OK, 1, true},
        {"processed", "mic", RawProcessing::Unsupported, S_OK, 1, false},
        {"lookup fails", "mic", RawProcessing::LookupFails, S_OK, 1, std::nullopt},
        {"no device", std::nullopt, RawProcessing::Supported, E_DEVICE_NOT_FOUND, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceScript script;
        script.default_id = c.id;
        script.raw = c.raw;
        ScriptedAudioDevices devices(script);
        std::string id;
        EXPECT_EQ(devices.GetDefaultAudioCaptureId(&id), c.default_id);
        std::vector<CaptureDeviceInfo> listed;
        ASSERT_EQ(devices.ListCaptureDevices(&listed), S_OK);
        EXPECT_EQ(listed.size(), c.listed);
        EXPECT_EQ(Activate(devices, "mic").call, c.id ? S_OK : E_DEVICE_NOT_FOUND);
        EXPECT_EQ(Activate(devices, "another").call, E_DEVICE_NOT_FOUND);

        std::optional<bool> answer;
        devices.LookupRawProcessingAsync("mic", [&](bool supported) { answer = supported; });
        devices.WaitForCompletions();
        EXPECT_EQ(answer, c.raw_answer);
    }
}

// Concurrency: completions on other threads, delivery racing consumption
// and Stop.

TEST(ScriptedDevicesConcurrency, CompletionsRunOnAnotherThread)
{
    DeviceScript script;
    script.raw = RawProcessing::Supported;
    ScriptedAudioDevices devices(script);
    const auto a = Activate(devices, "scripted-capture");
    ASSERT_EQ(a.completed, S_OK);
    ASSERT_NE(a.client, nullptr);
    EXPECT_NE(a.completion_thread, std::this_thread::get_id());

    std::promise<std::thread::id> lookup;
    devices.LookupRawProcessingAsync("scripted-capture", [&](bool) { lookup.set_value(std::this_thread::get_id()); });
    EXPECT_NE(lookup.get_future().get(), std::this_thread::get_id());

    ScriptedAudioDevices failing(DeviceScript{}.Fail(DeviceCall::ActivationCompleted, 1, E_DEVICE_INVALIDATED));
    const auto b = Activate(failing, "scripted-capture");
    EXPECT_EQ(b.call, S_OK);
    EXPECT_EQ(b.completed, E_DEVICE_INVALIDATED);
    EXPECT_EQ(b.client, nullptr);
}

// A client set up and started on a fresh device; packets of n frames each.
struct Running {
    explicit Running(std::size_t packets, Event& event)
    {
        DeviceScript script;
        script.mix_format = FloatFormat(1, 16000);
        for (std::size_t i = 0; i < packets; ++i)
            script.packets.push_back(MonoPacket({static_cast<std::int16_t>(i), static_cast<std::int16_t>(i)}));
        devices = std::make_unique<ScriptedAudioDevices>(script);
        client = Activate(*devices, "scripted-capture").client;
        EXPECT_EQ(
            client->Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, PcmFormat(1, 16000)),
            S_OK);
        EXPECT_EQ(client->GetService(&capture), S_OK);
        EXPECT_EQ(client->SetEventHandle(&event), S_OK);
        EXPECT_EQ(client->Start(), S_OK);
    }
    std::unique_ptr<ScriptedAudioDevices> devices;
    std::shared_ptr<AudioClient> client;
    std::shared_ptr<AudioCaptureClient> capture;
};

TEST(ScriptedDevicesConcurrency, TestThreadDeliversWhileAnotherConsumes)
{
    constexpr std::size_t packets = 500;
    Event event(Event::Kind::AutoReset);
    Running r(packets, event);
    std::vector<std::uint8_t> bytes;
    std::thread consumer([&] {
        std::size_t taken = 0;
        while (taken < packets) {
            if (!event.WaitFor(std::chrono::seconds(30)))
                break;
            taken += Drain(*r.capture, &bytes, nullptr, 2);
        }
    });
    EXPECT_EQ(r.devices->DeliverAll(), packets);
    consumer.join();
    EXPECT_TRUE(r.devices->WaitUntilConsumed());
    const auto samples = SamplesOf<std::int16_t>(bytes);
    ASSERT_EQ(samples.size(), 2 * packets);
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], static_cast<std::int16_t>(i / 2)) << i;
}

TEST(ScriptedDevicesConcurrency, NoEventIsSetAfterStopReturns)
{
    constexpr std::size_t packets = 2000;
    auto event = std::make_unique<Event>(Event::Kind::AutoReset);
    Running r(packets, *event);
    std::promise<void> delivering;
    std::thread deliverer([&] {
        ASSERT_TRUE(r.devices->DeliverNext());
        delivering.set_value();
        r.devices->DeliverAll();
    });
    delivering.get_future().wait();
    ASSERT_EQ(r.client->Stop(), S_OK);
    event.reset();  // a delivery still setting it would now touch freed memory
    deliverer.join();
    EXPECT_FALSE(r.devices->Running());
    EXPECT_FALSE(r.devices->DeliverNext());
    EXPECT_EQ(r.devices->PacketsPending() + r.devices->PacketsLeft(), packets);
}

}  // namespace
}  // namespace VextuneCore::Platform
