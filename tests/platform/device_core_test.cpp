// The client rules of the device core, the same for every device built on
// it: here the file device and the scripted one.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>

#include "device_test_support.h"
#include "vextune/platform/FileAudioDevices.h"
#include "vextune/platform/ScriptedAudioDevices.h"

namespace VextuneCore::Platform {
namespace {

constexpr std::int64_t twenty_ms = 200'000;

// One second of 16-bit mono at 8 kHz, in a file of the test's own.
std::string mono_file()
{
    const std::string path = (std::filesystem::temp_directory_path() / "vxt-device-core-test.wav").string();
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 8000;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<std::int16_t> samples(8000, 1000);
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return path;
}

struct Device {
    const char* name;
    std::function<std::shared_ptr<AudioDevices>()> make;
    friend void PrintTo(const Device& d, std::ostream* os) { *os << d.name; }
};

class DeviceCore : public testing::TestWithParam<Device> {};

TEST_P(DeviceCore, EveryDeviceFollowsTheSameClientRules)
{
    const auto devices = GetParam().make();
    std::string id;
    ASSERT_EQ(devices->GetDefaultAudioCaptureId(&id), S_OK);
    const auto a = Testing::Activate(*devices, id);
    ASSERT_EQ(a.completed, S_OK);
    AudioClient& client = *a.client;
    const WaveFormat format = PcmFormat(1, 8000);
    Event event(Event::Kind::AutoReset);
    std::shared_ptr<AudioCaptureClient> capture;
    std::uint32_t frames = 0;

    // Before Initialize.
    EXPECT_EQ(client.GetBufferSize(&frames), E_NOT_INITIALIZED);
    EXPECT_EQ(client.GetService(&capture), E_NOT_INITIALIZED);
    EXPECT_EQ(client.SetEventHandle(&event), E_NOT_INITIALIZED);
    EXPECT_EQ(client.Start(), E_NOT_INITIALIZED);
    EXPECT_EQ(client.Stop(), S_OK);
    EXPECT_EQ(client.GetMixFormat(nullptr), E_INVALIDARG);
    EXPECT_EQ(client.SetClientProperties({}), S_OK);
    EXPECT_EQ(client.Initialize(ShareMode::Exclusive, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, format),
              E_INVALIDARG);
    EXPECT_EQ(client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, -1, 0, format), E_INVALIDARG);
    WaveFormat odd = format;
    odd.nBlockAlign = 3;
    EXPECT_EQ(client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, odd),
              E_UNSUPPORTED_FORMAT);

    // Initialize once.
    ASSERT_EQ(client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, format), S_OK);
    EXPECT_EQ(client.Initialize(ShareMode::Shared, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, twenty_ms, 0, format),
              E_ALREADY_INITIALIZED);
    EXPECT_EQ(client.SetClientProperties({}), E_ALREADY_INITIALIZED);
    EXPECT_EQ(client.GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 160u);
    ASSERT_EQ(client.GetService(&capture), S_OK);
    EXPECT_EQ(client.Start(), E_INVALID_STATE) << "event-driven without an event";
    EXPECT_EQ(client.SetEventHandle(nullptr), E_INVALIDARG);
    ASSERT_EQ(client.SetEventHandle(&event), S_OK);

    // The capture client before and while running.
    EXPECT_EQ(capture->GetNextPacketSize(nullptr), E_INVALIDARG);
    EXPECT_EQ(capture->GetBuffer(nullptr, &frames, &frames, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK) << "nothing taken, nothing given back";
    EXPECT_EQ(capture->ReleaseBuffer(1), E_BUFFER_ERROR);
    ASSERT_EQ(client.Start(), S_OK);
    EXPECT_EQ(client.Start(), E_INVALID_STATE);
    EXPECT_EQ(client.SetEventHandle(&event), E_INVALID_STATE);
    if (auto* scripted = dynamic_cast<ScriptedAudioDevices*>(devices.get())) {
        ASSERT_TRUE(scripted->DeliverNext());
    }
    ASSERT_TRUE(event.WaitFor(std::chrono::seconds(30)));
    std::uint32_t next = 0;
    ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    ASSERT_EQ(next, 160u);
    std::uint8_t* data = nullptr;
    std::uint32_t flags = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), E_BUFFER_ERROR);
    EXPECT_EQ(capture->ReleaseBuffer(frames - 1), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(capture->ReleaseBuffer(frames + 1), E_BUFFER_SIZE_ERROR);
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
    EXPECT_EQ(client.Stop(), S_OK);
    EXPECT_EQ(client.Stop(), S_OK);
    // Stop kept the packet not taken.
    ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 160u);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceCore,
                         testing::Values(Device{"File",
                                                [] {
                                                    FileDeviceOptions options;
                                                    options.clock = std::make_shared<SimulatedClock>();
                                                    return std::make_shared<FileAudioDevices>(mono_file(), options);
                                                }},
                                         Device{"Scripted",
                                                [] {
                                                    DeviceScript script;
                                                    script.packets.push_back(
                                                        MonoPacket(std::vector<std::int16_t>(160, 1000)));
                                                    return std::make_shared<ScriptedAudioDevices>(std::move(script));
                                                }}),
                         [](const auto& info) { return std::string(info.param.name); });

// Full scale 1.0 to 16 bits, as a float device's packets reach the capture
// and a float file reaches the signature tool.
TEST(WaveFormat, FloatToPcm16RoundsAndClamps)
{
    EXPECT_EQ(FloatToPcm16(0.0f), 0);
    EXPECT_EQ(FloatToPcm16(100.4f / 32768), 100);
    EXPECT_EQ(FloatToPcm16(100.6f / 32768), 101);
    EXPECT_EQ(FloatToPcm16(-100.6f / 32768), -101);
    EXPECT_EQ(FloatToPcm16(32767.0f / 32768), 32767);
    EXPECT_EQ(FloatToPcm16(1.0f), 32767);  // +1.0 is one step past the top
    EXPECT_EQ(FloatToPcm16(1.7f), 32767);
    EXPECT_EQ(FloatToPcm16(-1.0f), -32768);
    EXPECT_EQ(FloatToPcm16(-3.0f), -32768);
    EXPECT_EQ(FloatToPcm16(std::nanf("")), 0);
}

}  // namespace
}  // namespace VextuneCore::Platform
